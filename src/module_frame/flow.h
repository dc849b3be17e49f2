// Control flow that a body needs beyond plain calls: the `with` statement and an
// exception taken up by an `except` clause.
#pragma once

#include "frame.h"

namespace frame {

// The pending exception, taken up as an `except` clause takes it up. While this
// object lives, the exception is the one being handled (sys.exception()), so an
// exception raised meanwhile gets it as its __context__; when it ends, the
// exception that was being handled before is restored and the taken exception is
// dropped, unless reraise() put it back.
class Handled {
 public:
  Handled() noexcept;
  ~Handled() noexcept;
  Handled(const Handled&) = delete;
  Handled& operator=(const Handled&) = delete;

  // The exception taken up; never null.
  PyObject* exception() const noexcept { return exception_.get(); }
  // Matches the exception against `cls` as `except cls:` does: a class derived
  // from BaseException or a tuple of such classes. 1 on a match, 0 when it does
  // not match, -1 with an exception set when `cls` cannot be used.
  int matches(PyObject* cls) const noexcept;
  // Makes the exception pending again, unchanged.
  void reraise() noexcept;

 private:
  Ref exception_;
  Ref previous_;
};

// One `with` statement: the exit method is held from entering to leaving.
class With {
 public:
  With() noexcept = default;
  With(const With&) = delete;
  With& operator=(const With&) = delete;

  // Looks up the exit method of `manager`, then its enter method, and calls
  // enter with no arguments. Returns what enter returned, or null with an
  // exception set (exit is then not called).
  Ref enter(PyObject* manager) noexcept;
  // Leaves the block normally: exit(None, None, None). False with an exception
  // set when exit fails.
  bool leave() noexcept;
  // Leaves the block with the pending exception, which already carries the
  // entry of its own line: exit(type, value, traceback) is called while the
  // exception is being handled. Returns true when exit's result is true: the
  // exception is suppressed and the code after the block runs. Otherwise returns
  // false with an exception pending: the original one, unchanged, or the one exit
  // raised, which gets the entry of the `with` line `line` of `c`.
  bool leave_raising(const Call& c, int line) noexcept;

 private:
  Ref exit_;
};

}  // namespace frame
