// Owning references and small helpers around the C API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace frame {

// Owns one strong reference (or none). Moves hand the reference on; nothing is
// ever copied implicitly, so every reference has exactly one owner.
class Ref {
 public:
  constexpr Ref() noexcept = default;
  // Takes over a new reference (the result of an API call that returns one).
  static Ref steal(PyObject* o) noexcept { return Ref(o); }
  // Takes a new reference to a borrowed object.
  static Ref borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return Ref(o);
  }

  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    PyObject* old = obj_;
    obj_ = std::exchange(other.obj_, nullptr);
    Py_XDECREF(old);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  // Hands the reference on to a caller or an API that steals it.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  void reset() noexcept { Py_CLEAR(obj_); }

 private:
  explicit constexpr Ref(PyObject* o) noexcept : obj_(o) {}
  PyObject* obj_ = nullptr;
};

// Replaces the object held in a process-wide slot with a new reference,
// releasing the old one. Process-wide slots are plain pointers, never Refs: they
// live until the runtime ends and are then forgotten, not released.
inline void store(PyObject*& slot, PyObject* new_ref) noexcept { Py_XSETREF(slot, new_ref); }

// callable(args...), positional arguments only, through vectorcall. The slot in
// front of the arguments lets a bound method prepend its self without copying.
template <typename... Args>
Ref vectorcall(PyObject* callable, Args*... args) noexcept {
  PyObject* stack[] = {nullptr, args...};
  return Ref::steal(
      PyObject_Vectorcall(callable, stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.<name>(args...), looked up and called as a method call does.
template <typename... Args>
Ref call_method(PyObject* obj, PyObject* name, Args*... args) noexcept {
  PyObject* stack[] = {obj, args...};
  return Ref::steal(
      PyObject_VectorcallMethod(name, stack, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace frame
