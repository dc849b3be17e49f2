// State and types shared by the frame's own sources; not for module sources.
#pragma once

#include <cstdint>

#include "frame.h"

namespace frame {

// The method object: a function-like object holding one method of the class.
struct MethodObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const MethodSpec* spec;
  const char* traceback_name;  // "<dotted module>.<class>.<method>"
  PyObject* name;              // __name__
  PyObject* qualname;          // __qualname__
  PyObject* doc;               // __doc__
  PyObject* module;            // __module__
  PyObject* globals;           // __globals__
  PyObject* code;              // __code__
  PyObject* defaults;          // __defaults__ (may be null)
  PyObject* kwdefaults;        // __kwdefaults__ (may be null)
  PyObject* annotations;       // __annotations__ (may be null until read)
  PyObject* dict;              // __dict__ (made on first use)
  PyObject* weakrefs;
};

extern PyTypeObject MethodType;

// Makes a method object; steals nothing.
PyObject* new_method(const MethodSpec& spec, const char* traceback_name, PyObject* qualname, PyObject* module_name,
                     PyObject* globals, PyObject* code) noexcept;

// Process-wide state of this module, created by Create and Execute.
struct MethodState {
  PyObject* defaults = nullptr;  // tuple, or null when the method has none
  PyObject* varnames = nullptr;
  PyObject* code = nullptr;
  char traceback_name[256] = {};
};

struct State {
  const ModuleSpec* spec = nullptr;
  PyObject* module = nullptr;  // stored once Execute succeeded
  int64_t interpreter_id = -1;
  PyObject* module_dict = nullptr;
  PyObject* builtins = nullptr;
  PyObject* empty_tuple = nullptr;
  PyObject* empty_bytes = nullptr;
  PyObject* empty_str = nullptr;
  PyObject* open = nullptr;
  MethodState methods[kMaxMethods];
  char init_name[256] = {};
};

extern State g_state;

// Registry of Name constants, made during execution.
extern Name* g_names;
int make_names() noexcept;

// Global lookup against `globals` (may be null), then the builtins.
Ref lookup_global(PyObject* globals, PyObject* name) noexcept;

}  // namespace frame
