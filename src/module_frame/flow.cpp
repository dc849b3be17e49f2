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

// What the running frame's handled-exception slot holds: the exception an
// `except` block of the code that called us is handling, or null. The public
// API reads only the topmost handled exception, which is an outer frame's when
// this slot is empty (inside a generator, the exception its caller handles);
// it cannot tell "empty" from "the same exception as below", which is the case
// after gen.throw(e) from inside `except e` (contextlib.contextmanager does
// that when a `with` block raises). So the slot is read exactly, from the
// thread state's stack of handled exceptions (PyThreadState.exc_info, in
// Include/cpython/pystate.h): the frame's one use of a structure outside the
// public API, kept to this function. Its layout is known for 3.12 and 3.13
// alone, so another version does not compile.
#if PY_VERSION_HEX < 0x030C0000 || PY_VERSION_HEX >= 0x030E0000
#error "the handled-exception slot is read for CPython 3.12 and 3.13 only"
#endif
Ref handled_in_this_frame() noexcept {
  PyObject* slot = PyThreadState_Get()->exc_info->exc_value;
  return Ref::borrow(slot == Py_None ? nullptr : slot);
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
