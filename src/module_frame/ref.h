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

// Replaces the object held in a process-wide slot, releasing the old one.
inline void store(PyObject*& slot, PyObject* new_ref) noexcept { Py_XSETREF(slot, new_ref); }

}  // namespace frame
