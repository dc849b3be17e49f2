// Call forms of the outside components that every action uses: the base class's
// operations, the Base64 text of a payload, and the response models.
#pragma once

#include <span>

#include "frame.h"

namespace frame {

// Strings shared by the actions.
extern Name k_base64;
extern Name k_b64encode;
extern Name k_decode;
extern Name k_utf8;
extern Name k_typing;
extern Name k_any;
extern Name k_data;
extern Name k_credentials_data;
extern Name k_execute_transaction;
extern Name k_cloud_action_base;
extern Name k_base_module;    // veltra.cloud.services.actions.base
extern Name k_models_module;  // veltra.cloud.models.base
extern Name k_self;
extern Name k_env_name;
extern Name k_connection_name;
extern Name k_backend;
extern Name k_credentials;
extern Name k_application_uuid;
extern Name k_application_name;

// Parameters that every action spells alike.
inline constexpr Param kSelf{&k_self, nullptr};
inline constexpr Param kApplicationUuid{&k_application_uuid, "str | None", Check::kNone, Default::kNone};
inline constexpr Param kApplicationName{&k_application_name, "str | None", Check::kNone, Default::kNone};
// Local variables of a connection action, after its parameters.
inline constexpr const char* kConnectionLocals[] = {"encrypted_data", "response_data"};

// obj.<name>(), obj.<name>(arg): method calls through vectorcall.
Ref call_method(PyObject* obj, const Name& name) noexcept;
Ref call_method(PyObject* obj, const Name& name, PyObject* arg) noexcept;
// callable(a, b) with positional arguments only.
Ref call(PyObject* callable, PyObject* a, PyObject* b) noexcept;

// base64.b64encode(payload).decode("utf-8"), with `base64` read as a module global.
Ref b64_text(const Call& c, PyObject* payload) noexcept;

// Model(**response): None is refused as `**` refuses it, an exact dict is copied,
// anything else goes through dict(...).
Ref response_model(PyObject* model, PyObject* response) noexcept;

// obj[key]: a dictionary lookup for an exact dict, general subscription otherwise.
Ref get_item(PyObject* obj, PyObject* key) noexcept;

// Default string formatting: a str unchanged, anything else format(obj, "").
Ref format_simple(PyObject* obj) noexcept;

// One connection action, described as data: which arguments go into the request
// under which keys, the transaction, the response model and the source lines.
struct RequestEntry {
  const Name* key;
  int param;  // index of the argument in the method's parameters
};

struct ConnectionAction {
  const Name* transaction;
  const Name* model;
  std::span<const RequestEntry> entries;  // after "data", in request order
  int credentials_line;                   // self._credentials_data()
  int transaction_line;                   // self.execute_transaction(...)
  int request_line;                       // the request dictionary
  int model_line;                         // Model(**response_data)
};

// The whole road of a connection action: fetch the credentials payload, build the
// request, send the transaction and return the response model.
PyObject* run_connection_action(Call& c, const ConnectionAction& a) noexcept;

}  // namespace frame
