// Control flow of the bodies: `with` and `except`.
#include "flow.h"

namespace frame {
namespace {

FRAME_NAME(k_enter, "__enter__");
FRAME_NAME(k_exit, "__exit__");

}  // namespace

// ---------------------------------------------------------------------------
// except

namespace {

// What the running frame's handled-exception slot holds. The C API reads the
// topmost handled exception, which comes from an outer frame when this slot is
// empty: inside a generator, the exception that its caller is handling. Emptying
// the slot tells the two apart: when the topmost exception stays the same, the
// slot was empty (or held that same exception again, which every reader sees
// alike either way).
Ref handled_in_this_frame() noexcept {
  Ref top = Ref::steal(PyErr_GetHandledException());
  if (!top) return top;
  PyErr_SetHandledException(nullptr);
  Ref below = Ref::steal(PyErr_GetHandledException());
  if (below.get() == top.get()) return {};
  PyErr_SetHandledException(top.get());
  return top;
}

}  // namespace

Handled::Handled() noexcept : exception_(Ref::steal(PyErr_GetRaisedException())) {
  if (!exception_) {
    // A body failed without saying why; handle that instead of nothing.
    PyErr_SetString(PyExc_SystemError, "error return without exception set");
    exception_ = Ref::steal(PyErr_GetRaisedException());
  }
  previous_ = handled_in_this_frame();
  PyErr_SetHandledException(exception_.get());
}

Handled::~Handled() noexcept { PyErr_SetHandledException(previous_.get()); }

int Handled::matches(PyObject* cls) const noexcept {
  bool usable = true;
  if (PyTuple_Check(cls)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cls) && usable; ++i)
      usable = PyExceptionClass_Check(PyTuple_GET_ITEM(cls, i));
  } else {
    usable = PyExceptionClass_Check(cls);
  }
  if (!usable) {
    PyErr_SetString(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
    return -1;
  }
  return PyErr_GivenExceptionMatches(exception_.get(), cls);
}

void Handled::reraise() noexcept { PyErr_SetRaisedException(exception_.release()); }

// ---------------------------------------------------------------------------
// with

Ref With::enter(PyObject* manager) noexcept {
  Ref exit = Ref::steal(PyObject_GetAttr(manager, k_exit.get()));
  if (!exit) return {};
  Ref enter = Ref::steal(PyObject_GetAttr(manager, k_enter.get()));
  if (!enter) return {};
  Ref value = vectorcall(enter.get());
  if (!value) return {};
  exit_ = std::move(exit);
  return value;
}

bool With::leave() noexcept {
  Ref exit = std::move(exit_);
  return static_cast<bool>(vectorcall(exit.get(), Py_None, Py_None, Py_None));
}

bool With::leave_raising(const Call& c, int line) noexcept {
  Ref exit = std::move(exit_);
  Handled caught;
  PyObject* exc = caught.exception();
  Ref traceback = Ref::steal(PyException_GetTraceback(exc));
  Ref result =
      vectorcall(exit.get(), reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc, traceback ? traceback.get() : Py_None);
  int suppress = result ? PyObject_IsTrue(result.get()) : -1;
  if (suppress < 0) {
    c.fail(line);
    return false;
  }
  if (!suppress) caught.reraise();
  return suppress;
}

}  // namespace frame
