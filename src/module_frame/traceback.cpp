// Traceback entries: one per function of the module that an exception leaves,
// made as if a Python frame had been running at the reported line.
#include <cstring>

#include "internal.h"

#include <frameobject.h>

namespace frame {
namespace {

// Code objects of traceback entries, one per function and line, made on first
// use and kept for the life of the process.
struct CachedCode {
  const char* funcname;
  int line;
  PyObject* code;
};
constexpr int kCacheSize = 128;
CachedCode g_cache[kCacheSize];
int g_cached = 0;

PyObject* cached_code(const char* funcname, int line) noexcept {
  for (int i = 0; i < g_cached; ++i) {
    if (g_cache[i].line == line && g_cache[i].funcname == funcname) return Py_NewRef(g_cache[i].code);
  }
  return nullptr;
}

// Makes the code object with the pending exception set aside; if that fails the
// new error replaces the pending one.
PyObject* new_code(const char* funcname, int line) noexcept {
  PyObject* pending = PyErr_GetRaisedException();
  const char* path = g_state.spec ? g_state.spec->source_path : "";
  PyObject* code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(path, funcname, line));
  if (!code) {
    Py_XDECREF(pending);
    return nullptr;
  }
  PyErr_SetRaisedException(pending);
  if (g_cached < kCacheSize) g_cache[g_cached++] = {funcname, line, Py_NewRef(code)};
  return code;
}

}  // namespace

void add_traceback(const char* funcname, int line, PyObject* globals) noexcept {
  PyObject* c = cached_code(funcname, line);
  if (!c) c = new_code(funcname, line);
  if (!c) return;
  Ref code = Ref::steal(c);

  Ref fallback;
  if (!globals) globals = g_state.module_dict;
  if (!globals) {
    fallback = Ref::steal(PyDict_New());
    if (!fallback) return;
    globals = fallback.get();
  }
  PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr);
  if (!frame) return;
  // The line comes from the code object, whose first line is the reported one.
  PyTraceBack_Here(frame);
  Py_DECREF(frame);
}

}  // namespace frame
