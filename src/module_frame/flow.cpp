// Control flow of the bodies: `with`, `except` and the API domain of a deploy.
#include "flow.h"

#include "actions.h"

namespace frame {
namespace {

Name k_enter{"__enter__"};
Name k_exit{"__exit__"};
Name k_domain_url{"domain_url"};

}  // namespace

// ---------------------------------------------------------------------------
// except

Handled::Handled() noexcept : previous_(Ref::steal(PyErr_GetHandledException())) {
  exception_ = Ref::steal(PyErr_GetRaisedException());
  if (!exception_) {
    // A body failed without saying why; handle that instead of nothing.
    PyErr_SetString(PyExc_SystemError, "error return without exception set");
    exception_ = Ref::steal(PyErr_GetRaisedException());
  }
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
  Ref value = Ref::steal(PyObject_CallNoArgs(enter.get()));
  if (!value) return {};
  exit_ = std::move(exit);
  return value;
}

bool With::leave() noexcept {
  Ref exit = std::move(exit_);
  PyObject* args[] = {Py_None, Py_None, Py_None};
  return static_cast<bool>(Ref::steal(PyObject_Vectorcall(exit.get(), args, 3, nullptr)));
}

bool With::leave_raising(const Call& c, int line) noexcept {
  Ref exit = std::move(exit_);
  Handled caught;
  PyObject* exc = caught.exception();
  Ref traceback = Ref::steal(PyException_GetTraceback(exc));
  PyObject* args[] = {reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc, traceback ? traceback.get() : Py_None};
  Ref result = Ref::steal(PyObject_Vectorcall(exit.get(), args, 3, nullptr));
  int suppress = result ? PyObject_IsTrue(result.get()) : -1;
  if (suppress < 0) {
    c.fail(line);
    return false;
  }
  if (!suppress) caught.reraise();
  return suppress;
}

// ---------------------------------------------------------------------------
// The API domain

Ref api_domain(const Call& c, PyObject* model, const Name& subdomain, int test_line, int compose_line) noexcept {
  Ref domain_url = Ref::steal(PyObject_GetAttr(model, k_domain_url.get()));
  int given = domain_url ? PyObject_IsTrue(domain_url.get()) : -1;
  if (given < 0) {
    c.fail(test_line);
    return {};
  }
  if (given) return domain_url;

  Ref uuid = Ref::steal(PyObject_GetAttr(model, k_application_uuid.get()));
  Ref uuid_text = uuid ? format_simple(uuid.get()) : Ref();
  Ref sub = uuid_text ? c.global(subdomain) : Ref();
  Ref sub_text = sub ? format_simple(sub.get()) : Ref();
  Ref url = sub_text
                ? Ref::steal(PyUnicode_FromFormat("https://%U.%U%s", uuid_text.get(), sub_text.get(), kDomainSuffix))
                : Ref();
  if (!url) c.fail(compose_line);
  return url;
}

}  // namespace frame
