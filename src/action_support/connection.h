// A connection action as data. Each of the four connection modules is one
// ConnectionModule record: its names, parameters, docstrings, request keys and
// source lines. The body and the module's table are made from the record by the
// templates below, so the four modules share every line of code.
#pragma once

#include <array>
#include <span>
#include <utility>

#include "payload.h"

namespace actions {

using frame::MethodSpec;
using frame::ModuleSpec;
using frame::Registration;
using frame::Statement;

// The source lines of a connection module.
struct ConnectionLines {
  int models_import;  // from veltra.cloud.models.base import <Model>
  int base_import;    // from veltra.cloud.services.actions.base import CloudActionBase
  int class_line;     // class <Name>Action(CloudActionBase):
  int def_line;       // def action(self, ...):
  int credentials;    // encrypted_data = self._credentials_data()
  int transaction;    // response_data = self.execute_transaction(...)
  int request;        // the request dictionary
  int model;          // return <Model>(**response_data)
};

struct ConnectionModule {
  const char* short_name;  // these six from CONNECTION_NAMES
  const char* dotted_name;
  const char* source_path;
  const char* class_name;
  const char* transaction;
  const char* model;    // the response model, also the return annotation
  bool imports_typing;  // `from typing import Any` at line 2
  std::span<const Param> params;
  std::span<const Name* const> request;  // the request's keys after "data", in order: parameter names
  ConnectionLines lines;
  const char* class_doc;
  const char* doc;  // the docstring of `action`
};

// The transaction and the response model of a module, as strings of its own.
template <const ConnectionModule& M>
inline constexpr Name kTransaction{M.transaction};
template <const ConnectionModule& M>
inline Registration kTransactionRegistration{kTransaction<M>};
template <const ConnectionModule& M>
inline constexpr Name kModel{M.model};
template <const ConnectionModule& M>
inline Registration kModelRegistration{kModel<M>};

// A request of more than five keys would grow its dictionary while it is
// filled; such a request is a copy of a template that has every key already,
// made once, so that filling it only replaces values. (Fewer keys fit a new
// dictionary, which costs less than a copy.)
template <const ConnectionModule& M>
inline constexpr bool kPresized = M.request.size() + 1 > 5;

template <const ConnectionModule& M>
PyObject* make_request_template() noexcept {
  Ref request = Ref::steal(PyDict_New());
  if (!request || PyDict_SetItem(request.get(), k_data.get(), Py_None) < 0) return nullptr;
  for (const Name* key : M.request) {
    if (PyDict_SetItem(request.get(), key->get(), Py_None) < 0) return nullptr;
  }
  return request.release();
}
template <const ConnectionModule& M>
inline constexpr frame::Made kRequestTemplate{make_request_template<M>};
template <const ConnectionModule& M>
inline Registration kRequestTemplateRegistration{kRequestTemplate<M>};

// Local variables of a connection action, after its parameters.
inline constexpr const char* kConnectionLocals[] = {"encrypted_data", "response_data"};

// The argument behind each request key, found by name while compiling.
template <const ConnectionModule& M>
consteval std::array<int, frame::kMaxParams> request_params() {
  std::array<int, frame::kMaxParams> out{};
  if (M.request.size() > out.size()) frame::table_fault::too_many_parameters();
  for (std::size_t i = 0; i < M.request.size(); ++i) out[i] = frame::param_index(M.params, *M.request[i]);
  return out;
}

// Stores each request key after "data" with the argument of that name, in
// order; false with an exception set when a store fails.
template <const ConnectionModule& M, std::size_t... I>
bool fill_request(PyObject* request, const Call& c, std::index_sequence<I...>) noexcept {
  static constexpr std::array<int, frame::kMaxParams> kParams = request_params<M>();
  return ((PyDict_SetItem(request, M.request[I]->get(), c.arg(kParams[I])) == 0) && ...);
}

// The whole road of a connection action: fetch the credentials payload, build
// the request, send the transaction and return the response model.
template <const ConnectionModule& M>
PyObject* connection_action(Call& c) noexcept {
  // Instantiated with the body, so that execution makes the two strings.
  static_cast<void>(&kTransactionRegistration<M>);
  static_cast<void>(&kModelRegistration<M>);
  if constexpr (kPresized<M>) static_cast<void>(&kRequestTemplateRegistration<M>);
  const ConnectionLines& at = M.lines;
  PyObject* self = c.self();

  // encrypted_data = self._credentials_data()
  Ref encrypted_data = call_method(self, k_credentials_data);
  if (!encrypted_data) return c.fail(at.credentials);

  // response_data = self.execute_transaction(<name>, {...}): the callee is looked
  // up before the request is built.
  Transaction execute;
  if (!execute.look_up(self)) return c.fail(at.transaction);
  Ref request = Ref::steal(kPresized<M> ? PyDict_Copy(kRequestTemplate<M>.get()) : PyDict_New());
  if (!request) return c.fail(at.request);
  Ref data = b64_text(c, encrypted_data.get());
  if (!data || PyDict_SetItem(request.get(), k_data.get(), data.get()) < 0) return c.fail(at.request);
  if (!fill_request<M>(request.get(), c, std::make_index_sequence<M.request.size()>())) return c.fail(at.request);
  Ref response_data = execute.send(kTransaction<M>.get(), request.get());
  if (!response_data) return c.fail(at.transaction);
  request.reset();

  // return <Model>(**response_data)
  Ref model = c.global(kModel<M>);
  if (!model) return c.fail(at.model);
  Ref result = response_model(model.get(), response_data.get());
  if (!result) return c.fail(at.model);
  return result.release();
}

// The module's import statements.
struct ConnectionStatements {
  Statement items[4];
  std::size_t count;
};

template <const ConnectionModule& M>
consteval ConnectionStatements connection_statements() {
  ConnectionStatements out{};
  out.items[out.count++] = {1, &k_base64};
  if (M.imports_typing) out.items[out.count++] = {2, &k_typing, &k_any};
  out.items[out.count++] = {M.lines.models_import, &k_models_module, &kModel<M>};
  out.items[out.count++] = {M.lines.base_import, &k_base_module, &k_cloud_action_base};
  return out;
}

template <const ConnectionModule& M>
inline constexpr ConnectionStatements kConnectionStatements = connection_statements<M>();

template <const ConnectionModule& M>
inline constexpr MethodSpec kConnectionMethods[] = {{
    .name = "action",
    .def_line = M.lines.def_line,
    .params = M.params,
    .n_kwonly = 0,
    .return_annotation = M.model,
    .locals = kConnectionLocals,
    .doc = M.doc,
    .body = connection_action<M>,
}};

template <const ConnectionModule& M>
inline constexpr ModuleSpec kConnectionSpec = {
    .short_name = M.short_name,
    .dotted_name = M.dotted_name,
    .source_path = M.source_path,
    .statements = std::span<const Statement>(kConnectionStatements<M>.items, kConnectionStatements<M>.count),
    .base_name = &k_cloud_action_base,
    .class_line = M.lines.class_line,
    .class_name = M.class_name,
    .class_doc = M.class_doc,
    .methods = kConnectionMethods<M>,
};

}  // namespace actions

// The names of a connection module: those of ACTION_MODULE_NAMES, then the
// class, the transaction and the model of its operation, e.g. "AttachOuterLink":
// the class adds "Action", the response model "Response".
// The argument stays bare: it is a string literal pasted to the others.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define CONNECTION_NAMES(operation) \
  ACTION_MODULE_NAMES, .class_name = operation "Action", .transaction = operation, .model = operation "Response"
// NOLINTEND(bugprone-macro-parentheses)

// Defines a connection module from its record, once its lines are checked to
// come in source order.
#define CONNECTION_MODULE(record)                                          \
  static_assert(::frame::lines_ascend(::frame::lines_of((record).lines))); \
  FRAME_MODULE_INIT(::actions::kConnectionSpec<record>)
