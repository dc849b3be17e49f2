// What a method body works with: its bound arguments, the module's globals and
// the one way to fail.
#pragma once

#include "table.h"

namespace frame {

// Global lookup past the module namespace: the builtins, else NameError.
Ref global_missing(PyObject* name) noexcept;

// What Call::fail returns: the failure value of whatever the failing function
// returns (null as a PyObject* or a Ref, false, or -1 as the C API's int
// results), so every body and helper fails alike: `return c.fail(line);`.
struct Failed {
  operator PyObject*() const noexcept { return nullptr; }
  operator Ref() const noexcept { return {}; }
  operator bool() const noexcept { return false; }
  operator int() const noexcept { return -1; }
};

struct Call {
  PyObject* globals;           // the method's __globals__ (null only while a cycle is being cleared)
  const char* traceback_name;  // "<dotted module>.<class>.<method>"
  PyObject* args[kMaxParams];  // borrowed: the bound arguments, in parameter order

  PyObject* self() const noexcept { return args[0]; }
  PyObject* arg(int i) const noexcept { return args[i]; }

  // Adds the traceback entry of this method at `line` to the pending exception
  // and returns null: a body fails with `return c.fail(line);`.
  Failed fail(int line) const noexcept;

  // Module-global lookup: the module namespace, then the builtins, else
  // NameError. Read at every use, so rebinding a global changes later calls.
  Ref global(const Name& name) const noexcept {
    if (globals) {
      if (PyObject* value = PyDict_GetItemWithError(globals, name.get())) return Ref::borrow(value);
      if (PyErr_Occurred()) return {};
    }
    return global_missing(name.get());
  }
};

// The builtin `open` kept at execution (modules with keeps_open only).
PyObject* kept_open() noexcept;
// The empty tuple made at execution.
PyObject* empty_tuple() noexcept;

}  // namespace frame
