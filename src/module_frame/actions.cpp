// Call forms of the outside components shared by the actions.
#include "actions.h"

#include "internal.h"

namespace frame {

Name k_base64{"base64"};
Name k_b64encode{"b64encode"};
Name k_decode{"decode"};
Name k_utf8{"utf-8", Name::kText};
Name k_typing{"typing"};
Name k_any{"Any"};
Name k_data{"data"};
Name k_credentials_data{"_credentials_data"};
Name k_execute_transaction{"execute_transaction"};
Name k_cloud_action_base{"CloudActionBase"};
Name k_base_module{"veltra.cloud.services.actions.base"};
Name k_models_module{"veltra.cloud.models.base"};
Name k_self{"self"};
Name k_env_name{"env_name"};
Name k_connection_name{"connection_name"};
Name k_backend{"backend"};
Name k_credentials{"credentials"};
Name k_application_uuid{"application_uuid"};
Name k_application_name{"application_name"};

Ref call_method(PyObject* obj, const Name& name) noexcept {
  return Ref::steal(PyObject_VectorcallMethod(name.get(), &obj, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref call_method(PyObject* obj, const Name& name, PyObject* arg) noexcept {
  PyObject* args[] = {obj, arg};
  return Ref::steal(PyObject_VectorcallMethod(name.get(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref call(PyObject* callable, PyObject* a, PyObject* b) noexcept {
  PyObject* args[] = {nullptr, a, b};
  return Ref::steal(PyObject_Vectorcall(callable, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref b64_text(const Call& c, PyObject* payload) noexcept {
  Ref base64 = c.global(k_base64);
  if (!base64) return {};
  Ref encoded;
  if (PyModule_CheckExact(base64.get())) {
    // A plain module: its namespace is where getattr would find the function.
    PyObject* b64encode = PyDict_GetItemWithError(PyModule_GetDict(base64.get()), k_b64encode.get());
    if (b64encode) {
      Ref held = Ref::borrow(b64encode);
      encoded = Ref::steal(PyObject_CallOneArg(held.get(), payload));
    } else if (!PyErr_Occurred()) {
      encoded = call_method(base64.get(), k_b64encode, payload);
    }
  } else {
    encoded = call_method(base64.get(), k_b64encode, payload);
  }
  if (!encoded) return {};
  // bytes.decode cannot be replaced on exact bytes: decode directly.
  if (PyBytes_CheckExact(encoded.get()))
    return Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(encoded.get()), PyBytes_GET_SIZE(encoded.get()), nullptr));
  return call_method(encoded.get(), k_decode, k_utf8.get());
}

Ref response_model(PyObject* model, PyObject* response) noexcept {
  Ref kwargs;
  if (response == Py_None) {
    PyErr_Format(PyExc_TypeError, "argument after ** must be a mapping, not %.200s", Py_TYPE(response)->tp_name);
    return {};
  }
  if (PyDict_CheckExact(response)) {
    // Model(**{}) is a call without arguments.
    if (PyDict_GET_SIZE(response) == 0) return Ref::steal(PyObject_CallNoArgs(model));
    kwargs = Ref::steal(PyDict_Copy(response));
  } else {
    kwargs = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), response));
  }
  if (!kwargs) return {};
  return Ref::steal(PyObject_Call(model, empty_tuple(), kwargs.get()));
}

Ref get_item(PyObject* obj, PyObject* key) noexcept {
  if (PyDict_CheckExact(obj)) {
    PyObject* value = PyDict_GetItemWithError(obj, key);
    if (value) return Ref::borrow(value);
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
    return {};
  }
  return Ref::steal(PyObject_GetItem(obj, key));
}

Ref format_simple(PyObject* obj) noexcept {
  if (PyUnicode_CheckExact(obj)) return Ref::borrow(obj);
  return Ref::steal(PyObject_Format(obj, nullptr));
}

PyObject* run_connection_action(Call& c, const ConnectionAction& a) noexcept {
  PyObject* self = c.self();

  // encrypted_data = self._credentials_data()
  Ref encrypted_data = call_method(self, k_credentials_data);
  if (!encrypted_data) return c.fail(a.credentials_line);

  // response_data = self.execute_transaction(<name>, {...}): the callee is looked
  // up before the request is built.
  Ref execute = Ref::steal(PyObject_GetAttr(self, k_execute_transaction.get()));
  if (!execute) return c.fail(a.transaction_line);

  Ref request = Ref::steal(PyDict_New());
  if (!request) return c.fail(a.request_line);
  Ref data = b64_text(c, encrypted_data.get());
  if (!data || PyDict_SetItem(request.get(), k_data.get(), data.get()) < 0) return c.fail(a.request_line);
  for (const RequestEntry& e : a.entries) {
    if (PyDict_SetItem(request.get(), e.key->get(), c.arg(e.param)) < 0) return c.fail(a.request_line);
  }

  Ref response_data = call(execute.get(), a.transaction->get(), request.get());
  if (!response_data) return c.fail(a.transaction_line);
  request.reset();

  // return <Model>(**response_data)
  Ref model = c.global(*a.model);
  if (!model) return c.fail(a.model_line);
  Ref result = response_model(model.get(), response_data.get());
  if (!result) return c.fail(a.model_line);
  return result.release();
}

}  // namespace frame
