// Call forms of the outside components shared by the actions.
#include "payload.h"

namespace actions {

Ref b64_text(const Call& c, PyObject* payload) noexcept {
  Ref base64 = c.global(k_base64);
  if (!base64) return {};
  Ref encoded;
  if (PyModule_CheckExact(base64.get())) {
    // A plain module: its namespace is where getattr would find the function.
    PyObject* b64encode = PyDict_GetItemWithError(PyModule_GetDict(base64.get()), k_b64encode.get());
    if (b64encode) {
      Ref held = Ref::borrow(b64encode);
      encoded = frame::vectorcall(held.get(), payload);
    } else if (!PyErr_Occurred()) {
      encoded = call_method(base64.get(), k_b64encode, payload);
    }
  } else {
    encoded = call_method(base64.get(), k_b64encode, payload);
  }
  if (!encoded) return {};
  // bytes.decode cannot be replaced on exact bytes: decode directly.
  if (PyBytes_CheckExact(encoded.get())) {
    return Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(encoded.get()), PyBytes_GET_SIZE(encoded.get()), nullptr));
  }
  return call_method(encoded.get(), k_decode, k_utf8.get());
}

Ref response_model(PyObject* model, PyObject* response) noexcept {
  if (response == Py_None) {
    PyErr_Format(PyExc_TypeError, "argument after ** must be a mapping, not %.200s", Py_TYPE(response)->tp_name);
    return {};
  }
  Ref kwargs;
  if (PyDict_CheckExact(response)) {
    // Model(**{}) is a call without arguments.
    if (PyDict_GET_SIZE(response) == 0) return frame::vectorcall(model);
    kwargs = Ref::steal(PyDict_Copy(response));
  } else {
    kwargs = frame::vectorcall(reinterpret_cast<PyObject*>(&PyDict_Type), response);
  }
  if (!kwargs) return {};
  return Ref::steal(PyObject_Call(model, frame::empty_tuple(), kwargs.get()));
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

bool Transaction::look_up(PyObject* self) noexcept {
  callable_ = Ref::steal(PyObject_GetAttr(self, k_execute_transaction.get()));
  if (!callable_) return false;
  if (PyMethod_Check(callable_.get())) {
    function_ = PyMethod_GET_FUNCTION(callable_.get());
    self_ = PyMethod_GET_SELF(callable_.get());
  }
  return true;
}

Ref Transaction::send(PyObject* name, PyObject* request) const noexcept {
  if (function_) return frame::vectorcall(function_, self_, name, request);
  return frame::vectorcall(callable_.get(), name, request);
}

}  // namespace actions
