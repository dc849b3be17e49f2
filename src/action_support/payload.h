// Call forms of the outside components that every action uses: the base class's
// operations, the Base64 text of a payload, the response models.
//
// Two kinds of helper serve a body, and the signature tells them apart:
// - A step adds the traceback entry of the statement that failed, so it takes
//   that statement's line (or the record of the lines of the statements it
//   runs) as a parameter; its caller passes a failure on as it is:
//   `if (!copy_into(c, ..., at.sources)) return {};`.
// - A call form, like every function of this header, never adds an entry and
//   takes no line; its caller adds the entry of its own statement:
//   `if (!model) return c.fail(at.model);`.
#pragma once

#include "names.h"

namespace actions {

using frame::Call;
using frame::Ref;

// obj.<name>(args...), looked up and called as a method call does.
template <typename... Args>
Ref call_method(PyObject* obj, const Name& name, Args*... args) noexcept {
  return frame::call_method(obj, name.get(), args...);
}

// base64.b64encode(payload).decode("utf-8"), with `base64` read as a module global.
Ref b64_text(const Call& c, PyObject* payload) noexcept;

// Model(**response): None is refused as `**` refuses it, an exact dict is copied,
// anything else goes through dict(...).
Ref response_model(PyObject* model, PyObject* response) noexcept;

// obj[key]: a dictionary lookup for an exact dict, general subscription otherwise.
Ref get_item(PyObject* obj, PyObject* key) noexcept;

// Default string formatting: a str unchanged, anything else format(obj, "").
Ref format_simple(PyObject* obj) noexcept;

// self.execute_transaction: looked up first, called once the request is built.
// A bound method is called through its function with its self prepended, as the
// interpreter calls one, which saves making the call through the method object.
class Transaction {
 public:
  // False with an exception set when the attribute cannot be read.
  bool look_up(PyObject* self) noexcept;
  // execute_transaction(name, request).
  Ref send(PyObject* name, PyObject* request) const noexcept;

 private:
  Ref callable_;
  PyObject* function_ = nullptr;  // borrowed from callable_ when it is a bound method
  PyObject* self_ = nullptr;
};

}  // namespace actions
