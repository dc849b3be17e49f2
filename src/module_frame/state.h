// The process-wide state of a module, shared by the frame's own sources; not for
// module sources. It is two objects: the module's identity and its caches.
//
// Lifetime: the first Create records the interpreter; Execute makes everything
// else, in the order its steps give, and a failed Execute forgets only the module
// (the next import makes it again). Nothing is released while the runtime lives.
// When the runtime ends, forget_runtime() drops every pointer into both without
// touching the objects, which are gone by then.
#pragma once

#include <cstdint>

#include "frame.h"

namespace frame {

// Binding and check messages are few and raised again and again by callers that
// probe or misuse an API, so each is made once and kept, as the args tuple of
// the TypeError.
inline constexpr Py_ssize_t kCachedCounts = 16;
inline constexpr int kCachedChecks = 16;
inline constexpr int kCachedEntries = 128;

struct CheckMessage {
  const Param* param;
  char type_name[201];  // the message shows at most 200 bytes of it
  PyObject* args;       // (message,)
};

// What a frame made for a traceback entry holds, as its tp_traverse shows it
// (its function and its code object); more than this, and it is not kept.
inline constexpr int kFrameReferents = 4;

// A frame's state besides its references: f_lasti, f_trace_lines (-1: not
// read) and f_trace_opcodes (True or False; null: not read).
struct FrameMarks {
  int lasti;
  int trace_lines;
  PyObject* trace_opcodes;
};

struct TracebackEntry {
  const char* funcname;
  int line;
  PyObject* code;
  PyObject* frame;    // the frame kept for this line (held by its keeper), or null
  PyObject* globals;  // the frame's globals, kept alive by the frame
  // The kept frame as it was made: what it referred to, its trace flags and
  // its last instruction.
  PyObject* referents[kFrameReferents];
  int n_referents;
  FrameMarks marks;
};

// How the frame type stores f_trace_lines and reads f_trace_opcodes.
struct FrameFlags {
  bool looked_up = false;
  Py_ssize_t lines_offset = -1;  // of f_trace_lines, a bool member; -1: not found
  getter opcodes = nullptr;      // the getter of f_trace_opcodes
  void* opcodes_closure = nullptr;
};

struct MethodState {
  // What binding reads on every call, worked out once from the table.
  int min_positional = 0;
  PyObject* default_values[kMaxParams] = {};   // borrowed singletons (None, False); null: required
  PyTypeObject* check_types[kMaxParams] = {};  // exact type required on entry; null: none
  int checked[kMaxParams] = {};                // the checked parameters, in order
  int n_checked = 0;
  PyObject* defaults = nullptr;                  // __defaults__: tuple, or null when there are none
  PyObject* code = nullptr;                      // __code__
  PyObject* count_messages[kCachedCounts] = {};  // by the number of positional arguments given
  char traceback_name[256] = {};
};

// Who the module is: its table, the interpreter that claimed it, and, once an
// execution succeeded, the module object with its namespace and builtins.
// Nothing here can be made again: the guards rely on it.
struct Identity {
  const ModuleSpec* spec = nullptr;
  char init_name[256] = {};  // "init <dotted name>"
  int64_t interpreter_id = -1;
  PyObject* module = nullptr;  // stored once Execute succeeded
  PyObject* module_dict = nullptr;
  PyObject* builtins = nullptr;

  // The identity of the module `spec` describes, before any Create.
  static Identity of(const ModuleSpec& spec) noexcept;
};

// What the module makes from its table at execution (constants, the two types,
// per method its binding data and code object) and what its calls fill in as
// they come (messages, traceback entries), with the count of bodies running.
struct Caches {
  PyObject* empty_tuple = nullptr;
  PyObject* empty_bytes = nullptr;
  PyObject* open = nullptr;
  MethodState methods[kMaxMethods];
  int active_calls = 0;  // method bodies running now, in every thread (changed under the GIL only)
  CheckMessage check_messages[kCachedChecks] = {};
  TracebackEntry entries[kCachedEntries] = {};
  int n_entries = 0;
  FrameFlags frame_flags;
  PyTypeObject method_type = {};  // a copy of the type's template, readied at execution
  PyTypeObject keeper_type = {};  // likewise: what holds the frame kept for traceback entries
};

extern Identity g_identity;
extern Caches g_caches;

// Makes every registered string, then every other registered constant,
// replacing those of an earlier, failed execution.
int make_names() noexcept;
// Forgets every pointer into a runtime that has ended (the Py_AtExit hook).
void forget_runtime() noexcept;
void forget_names() noexcept;

// The method-object type (method.cpp): readies the state's copy of the type.
int ready_method_type() noexcept;
// The template the state's copy of the type is made from.
PyTypeObject method_type_template() noexcept;
// Makes the method object of spec.methods[index], with its defaults, keyword
// defaults and annotations as the table gives them.
PyObject* new_method(std::size_t index, PyObject* qualname, PyObject* module_name) noexcept;

// The template of the type that holds the frame kept for traceback entries.
PyTypeObject keeper_type_template() noexcept;
// Adds a traceback entry for `funcname` at `line` to the pending exception.
void add_traceback(const char* funcname, int line, PyObject* globals) noexcept;

}  // namespace frame
