// Traceback entries: one per function of the module that an exception leaves,
// made as if a Python frame had been running at the reported line.
#include "internal.h"

#include <frameobject.h>

namespace frame {
namespace {

// The code object of each function and line, made on first use and kept for the
// life of the process, with the frame made for it. A frame made by PyFrame_New
// never runs, so every entry at that line can share it: an entry then costs one
// traceback object.
struct Cached {
  const char* funcname;
  int line;
  PyObject* code;
  PyObject* frame;    // null until needed
  PyObject* globals;  // the frame's globals, kept alive by the frame
};
constexpr int kCacheSize = 128;
Cached g_cache[kCacheSize];
int g_cached = 0;

Cached* find(const char* funcname, int line) noexcept {
  for (int i = 0; i < g_cached; ++i) {
    if (g_cache[i].line == line && g_cache[i].funcname == funcname) return &g_cache[i];
  }
  return nullptr;
}

// Makes the code object with the pending exception set aside; if that fails the
// new error replaces the pending one.
PyObject* new_code(const char* funcname, int line) noexcept {
  PyObject* pending = PyErr_GetRaisedException();
  const char* path = g_state.spec ? g_state.spec->source_path : "";
  auto* code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(path, funcname, line));
  if (!code) {
    Py_XDECREF(pending);
    return nullptr;
  }
  PyErr_SetRaisedException(pending);
  return code;
}

PyObject* new_frame(PyObject* code, PyObject* globals) noexcept {
  return reinterpret_cast<PyObject*>(
      PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr));
}

}  // namespace

void add_traceback(const char* funcname, int line, PyObject* globals) noexcept {
  if (!globals) globals = g_state.module_dict;
  Cached* cached = find(funcname, line);
  if (!cached) {
    PyObject* code = new_code(funcname, line);
    if (!code) return;
    if (g_cached == kCacheSize) {
      // Past the cache's size (not reached by any module): a code object per entry.
      Ref owned = Ref::steal(code);
      Ref fallback = globals ? Ref::borrow(globals) : Ref::steal(PyDict_New());
      if (!fallback) return;
      Ref frame = Ref::steal(new_frame(code, fallback.get()));
      if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
      return;
    }
    cached = &g_cache[g_cached++];
    *cached = {funcname, line, code, nullptr, nullptr};
  }

  if (globals && (globals == cached->globals || globals == g_state.module_dict)) {
    if (globals != cached->globals) {
      // First use, or a module made again after a failed execution.
      PyObject* frame = new_frame(cached->code, globals);
      if (!frame) return;
      Py_XSETREF(cached->frame, frame);
      cached->globals = globals;
    }
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(cached->frame));
    return;
  }
  // A method outliving a failed execution has globals of its own.
  Ref fallback = globals ? Ref::borrow(globals) : Ref::steal(PyDict_New());
  if (!fallback) return;
  Ref frame = Ref::steal(new_frame(cached->code, fallback.get()));
  if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace frame
