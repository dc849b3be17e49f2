// Traceback entries: one per function of the module that an exception leaves,
// made as if a Python frame had been running at the reported line.
#include "state.h"

#include <frameobject.h>

namespace frame {
namespace {

// The code object of each function and line is made on first use and kept in
// the state for the life of the runtime, with a frame made for it. A frame made
// by PyFrame_New never runs, so entries at that line share it while it stays as
// it was made: an entry then costs one traceback object. Its line cannot be
// changed (f_lineno is writable only from a trace function running in that
// frame), but a debugger may set f_trace or fill f_locals; such a frame is left
// to the entries that have it, and the next entry gets a new one.

FRAME_NAME(k_f_trace, "f_trace");
FRAME_NAME(k_f_locals, "f_locals");

TracebackEntry* find(const char* funcname, int line) noexcept {
  for (int i = 0; i < g_state.n_entries; ++i) {
    TracebackEntry& e = g_state.entries[i];
    if (e.line == line && e.funcname == funcname) return &e;
  }
  return nullptr;
}

PyObject* new_frame(PyObject* code, PyObject* globals) noexcept {
  return reinterpret_cast<PyObject*>(
      PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr));
}

// Whether a tool has left state on a shared frame since it was made.
bool touched(PyObject* frame) noexcept {
  Ref trace = Ref::steal(PyObject_GetAttr(frame, k_f_trace.get()));
  if (!trace || trace.get() != Py_None) return true;
  Ref locals = Ref::steal(PyObject_GetAttr(frame, k_f_locals.get()));
  return !locals || !PyDict_CheckExact(locals.get()) || PyDict_GET_SIZE(locals.get()) != 0;
}

// A frame for an entry of `cached` with `globals`: the shared one when it can
// be, else a new one in `owned`. Runs with no exception pending.
PyFrameObject* frame_for(TracebackEntry& cached, PyObject* globals, Ref& owned) noexcept {
  if (globals != cached.globals && globals != g_state.module_dict) {
    // A method outliving a failed execution has globals of its own.
    owned = Ref::steal(new_frame(cached.code, globals));
    return reinterpret_cast<PyFrameObject*>(owned.get());
  }
  if (globals != cached.globals || touched(cached.frame)) {
    // First use, a module made again after a failed execution, or a frame that
    // a tool has changed.
    PyErr_Clear();
    PyObject* frame = new_frame(cached.code, globals);
    if (!frame) return nullptr;
    Py_XSETREF(cached.frame, frame);
    cached.globals = globals;
  }
  return reinterpret_cast<PyFrameObject*>(cached.frame);
}

}  // namespace

void add_traceback(const char* funcname, int line, PyObject* globals) noexcept {
  // The entry is made with the exception set aside: making a frame looks up the
  // globals, which may run Python code (the __eq__ of a str subclass key), and
  // nothing may run with an exception pending.
  Ref pending = Ref::steal(PyErr_GetRaisedException());
  if (!pending) return;
  if (!globals) globals = g_state.module_dict;

  Ref owned_code;
  Ref owned;
  PyFrameObject* frame = nullptr;
  TracebackEntry* cached = find(funcname, line);
  if (!cached) {
    auto* code =
        reinterpret_cast<PyObject*>(PyCode_NewEmpty(g_state.spec ? g_state.spec->source_path : "", funcname, line));
    if (!code) return;  // the new error replaces the pending exception
    if (g_state.n_entries < kCachedEntries) {
      cached = &g_state.entries[g_state.n_entries++];
      *cached = {funcname, line, code, nullptr, nullptr};
    } else {
      owned_code = Ref::steal(code);  // past the cache's size, not reached by any module
    }
  }
  PyObject* code = cached ? cached->code : owned_code.get();
  if (cached && globals) {
    frame = frame_for(*cached, globals, owned);
  } else if (globals) {
    owned = Ref::steal(new_frame(code, globals));
    frame = reinterpret_cast<PyFrameObject*>(owned.get());
  }
  if (!frame) {
    // The globals could not be used (a key's __eq__ raised, say). That error is
    // not the one being reported: the entry still comes, on plain globals.
    PyErr_Clear();
    Ref plain = Ref::steal(PyDict_New());
    if (plain) owned = Ref::steal(new_frame(code, plain.get()));
    frame = reinterpret_cast<PyFrameObject*>(owned.get());
    PyErr_Clear();
  }
  PyErr_SetRaisedException(pending.release());
  if (frame) PyTraceBack_Here(frame);
}

}  // namespace frame
