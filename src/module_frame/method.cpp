// The method object: a function-like descriptor that binds the arguments of a
// call to the parameters of its method table, checks them and runs the body.
#include <cstddef>
#include <cstring>

#include "internal.h"

namespace frame {
namespace {

// ---------------------------------------------------------------------------
// Argument binding

// The binding and check messages of a method are few and are raised again and
// again by callers that probe or misuse an API, so each is made once and kept.
constexpr Py_ssize_t kCachedCounts = 16;
struct CountMessages {
  const MethodSpec* spec;
  PyObject* by_given[kCachedCounts];  // (message,)
};
CountMessages g_count_messages[kMaxMethods];

struct CheckMessage {
  const Param* param;
  char type_name[201];  // the message shows at most 200 bytes of it
  PyObject* args;       // (message,)
};
constexpr int kCachedChecks = 16;
CheckMessage g_check_messages[kCachedChecks];

// Raises TypeError with a kept message, held as the exception's args tuple so
// that raising it again allocates nothing but the exception; `slot` is null when
// the message cannot be kept.
void raise_kept(PyObject** slot, PyObject* message) noexcept {
  if (!message) return;
  PyObject* args = PyTuple_Pack(1, message);
  Py_DECREF(message);
  if (!args) return;
  PyErr_SetObject(PyExc_TypeError, args);
  if (slot) {
    *slot = args;
  } else {
    Py_DECREF(args);
  }
}

// "takes at least/at most/exactly N positional argument(s) (M given)".
void count_error(const MethodSpec& s, Py_ssize_t given) noexcept {
  PyObject** slot = nullptr;
  if (given >= 0 && given < kCachedCounts) {
    for (CountMessages& m : g_count_messages) {
      if (m.spec == nullptr) m.spec = &s;
      if (m.spec != &s) continue;
      slot = &m.by_given[given];
      break;
    }
  }
  if (slot && *slot) {
    PyErr_SetObject(PyExc_TypeError, *slot);
    return;
  }
  const int min = s.min_positional();
  const int max = s.n_positional();
  const char* qualifier;
  Py_ssize_t expected;
  if (min == max) {
    qualifier = "exactly";
    expected = min;
  } else if (given < min) {
    qualifier = "at least";
    expected = min;
  } else {
    qualifier = "at most";
    expected = max;
  }
  raise_kept(slot, PyUnicode_FromFormat("%.200s() takes %.8s %zd positional argument%.1s (%zd given)", s.name,
                                        qualifier, expected, expected == 1 ? "" : "s", given));
}

// Parameter names compare by identity first (they are interned), then by value.
bool same_name(PyObject* key, PyObject* name) noexcept {
  if (key == name) return true;
  return PyUnicode_Check(key) && PyUnicode_GET_LENGTH(key) == PyUnicode_GET_LENGTH(name) &&
         PyUnicode_Compare(key, name) == 0;
}

Py_ssize_t find_keyword(PyObject* kwnames, Py_ssize_t nkw, PyObject* name) noexcept {
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (same_name(PyTuple_GET_ITEM(kwnames, k), name)) return k;
  }
  return -1;
}

// Fills `out` (borrowed references) from a vectorcall argument array. On failure
// an exception is set and false returned.
bool bind(const MethodSpec& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) noexcept {
  const int n_params = static_cast<int>(s.params.size());
  const int npos = s.n_positional();
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

  if (nkw == 0) {
    if (nargs < s.min_positional() || nargs > npos) {
      count_error(s, nargs);
      return false;
    }
  } else if (nargs > npos) {
    count_error(s, nargs);
    return false;
  }
  for (int i = 0; i < n_params; ++i) out[i] = i < nargs ? args[i] : nullptr;

  if (nkw) {
    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t used = 0;
    // Required parameters not given positionally must come by keyword.
    for (int i = static_cast<int>(nargs); i < npos; ++i) {
      if (s.params[i].dflt != Default::kRequired) continue;
      Py_ssize_t k = find_keyword(kwnames, nkw, s.params[i].name->get());
      if (k < 0) {
        count_error(s, i);
        return false;
      }
      out[i] = kwvalues[k];
      ++used;
    }
    // Optional positional parameters, while keywords remain.
    for (int i = static_cast<int>(nargs); i < npos && used < nkw; ++i) {
      if (s.params[i].dflt == Default::kRequired) continue;
      Py_ssize_t k = find_keyword(kwnames, nkw, s.params[i].name->get());
      if (k >= 0) {
        out[i] = kwvalues[k];
        ++used;
      }
    }
    // The keyword-only parameter, when it is the one keyword left.
    if (s.n_kwonly && nkw - used == 1) {
      Py_ssize_t k = find_keyword(kwnames, nkw, s.params[npos].name->get());
      if (k >= 0) {
        out[npos] = kwvalues[k];
        ++used;
      }
    }
    // Anything left is a keyword that is not a string, repeats a positional
    // argument or names no parameter.
    if (used < nkw) {
      for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
          PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", s.name);
          return false;
        }
        int j = 0;
        while (j < n_params && !same_name(key, s.params[j].name->get())) ++j;
        if (j >= nargs && j < n_params) {
          out[j] = kwvalues[k];
        } else if (j < n_params) {
          PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", s.name, key);
          return false;
        } else {
          PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", s.name, key);
          return false;
        }
      }
    }
  }

  for (int i = static_cast<int>(nargs); i < n_params; ++i) {
    if (!out[i]) out[i] = s.params[i].dflt == Default::kFalse ? Py_False : Py_None;
  }
  return true;
}

// "Argument '<name>' has incorrect type (expected <type>, got <type of value>)".
void check_error(const Param& p, PyObject* value) noexcept {
  const char* type_name = Py_TYPE(value)->tp_name;
  CheckMessage* slot = nullptr;
  for (CheckMessage& m : g_check_messages) {
    if (m.param == nullptr) m.param = &p;
    if (m.param != &p) continue;
    slot = &m;
    break;
  }
  if (slot && slot->args && strncmp(slot->type_name, type_name, 200) == 0) {
    PyErr_SetObject(PyExc_TypeError, slot->args);
    return;
  }
  PyObject* message = PyUnicode_FromFormat("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                                           p.name->text(), p.check == Check::kStr ? "str" : "dict", type_name);
  if (!message || !slot) {
    raise_kept(nullptr, message);
    return;
  }
  Py_CLEAR(slot->args);
  PyOS_snprintf(slot->type_name, sizeof slot->type_name, "%.200s", type_name);
  raise_kept(&slot->args, message);
}

// Exact-type checks on entry, in table order.
bool check_types(const MethodSpec& s, PyObject* const* args) noexcept {
  for (size_t i = 0; i < s.params.size(); ++i) {
    const Param& p = s.params[i];
    if (p.check == Check::kNone) continue;
    PyTypeObject* expected = p.check == Check::kStr ? &PyUnicode_Type : &PyDict_Type;
    if (Py_IS_TYPE(args[i], expected)) continue;
    check_error(p, args[i]);
    return false;
  }
  return true;
}

PyObject* run(MethodObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  const MethodSpec& s = *m->spec;
  Call c{m, &s, {}};
  if (!bind(s, args, nargs, kwnames, c.args)) return c.fail(s.def_line);
  if (!check_types(s, c.args)) return nullptr;
  if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
  PyObject* result = s.body(c);
  Py_LeaveRecursiveCall();
  if (result && s.return_check_line && result != Py_None && !PyUnicode_CheckExact(result)) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "unicode", Py_TYPE(result)->tp_name);
    Py_DECREF(result);
    return c.fail(s.return_check_line);
  }
  return result;
}

PyObject* method_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  return run(reinterpret_cast<MethodObject*>(self), args, PyVectorcall_NARGS(nargsf), kwnames);
}

// A call by tuple and dict: the same binding, with the dict's keys as the names.
PyObject* method_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  auto* m = reinterpret_cast<MethodObject*>(self);
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
  if (nkw == 0) return run(m, &PyTuple_GET_ITEM(args, 0), nargs, nullptr);

  Ref kwnames = Ref::steal(PyTuple_New(nkw));
  if (!kwnames) return nullptr;
  PyObject* small[16];
  PyObject** stack = nargs + nkw <= 16 ? small : PyMem_New(PyObject*, nargs + nkw);
  if (!stack) return PyErr_NoMemory();
  for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = PyTuple_GET_ITEM(args, i);
  Py_ssize_t pos = 0;
  Py_ssize_t k = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
    // Held for the call: the body may reach code that changes the dict.
    stack[nargs + k] = Py_NewRef(value);
    ++k;
  }
  PyObject* result = run(m, stack, nargs, kwnames.get());
  for (Py_ssize_t i = 0; i < nkw; ++i) Py_DECREF(stack[nargs + i]);
  if (stack != small) PyMem_Free(static_cast<void*>(stack));
  return result;
}

PyObject* method_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
  if (!obj || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* method_repr(PyObject* self) noexcept {
  auto* m = reinterpret_cast<MethodObject*>(self);
  return PyUnicode_FromFormat("<compiled function %S at %p>", m->qualname ? m->qualname : Py_None, self);
}

int method_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  auto* m = reinterpret_cast<MethodObject*>(self);
  Py_VISIT(m->name);
  Py_VISIT(m->qualname);
  Py_VISIT(m->doc);
  Py_VISIT(m->module);
  Py_VISIT(m->globals);
  Py_VISIT(m->code);
  Py_VISIT(m->defaults);
  Py_VISIT(m->kwdefaults);
  Py_VISIT(m->annotations);
  Py_VISIT(m->dict);
  return 0;
}

// Names stay: they are strings and take part in no cycle.
int method_clear(PyObject* self) noexcept {
  auto* m = reinterpret_cast<MethodObject*>(self);
  Py_CLEAR(m->doc);
  Py_CLEAR(m->module);
  Py_CLEAR(m->globals);
  Py_CLEAR(m->code);
  Py_CLEAR(m->defaults);
  Py_CLEAR(m->kwdefaults);
  Py_CLEAR(m->annotations);
  Py_CLEAR(m->dict);
  return 0;
}

void method_dealloc(PyObject* self) noexcept {
  auto* m = reinterpret_cast<MethodObject*>(self);
  PyObject_GC_UnTrack(self);
  if (m->weakrefs) PyObject_ClearWeakRefs(self);
  method_clear(self);
  Py_CLEAR(m->name);
  Py_CLEAR(m->qualname);
  PyObject_GC_Del(self);
}

// ---------------------------------------------------------------------------
// Attributes

MethodObject* as_method(PyObject* self) noexcept { return reinterpret_cast<MethodObject*>(self); }
PyObject* or_none(PyObject* o) noexcept { return Py_NewRef(o ? o : Py_None); }

PyObject* get_name(PyObject* self, void*) noexcept { return or_none(as_method(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) noexcept {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
    return -1;
  }
  Py_XSETREF(as_method(self)->name, Py_NewRef(value));
  return 0;
}

PyObject* get_qualname(PyObject* self, void*) noexcept { return or_none(as_method(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
    return -1;
  }
  Py_XSETREF(as_method(self)->qualname, Py_NewRef(value));
  return 0;
}

PyObject* get_doc(PyObject* self, void*) noexcept { return or_none(as_method(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) noexcept {
  Py_XSETREF(as_method(self)->doc, Py_NewRef(value ? value : Py_None));
  return 0;
}

PyObject* get_module(PyObject* self, void*) noexcept { return or_none(as_method(self)->module); }
int set_module(PyObject* self, PyObject* value, void*) noexcept {
  Py_XSETREF(as_method(self)->module, Py_NewRef(value ? value : Py_None));
  return 0;
}

PyObject* get_dict(PyObject* self, void*) noexcept {
  MethodObject* m = as_method(self);
  if (!m->dict) {
    m->dict = PyDict_New();
    if (!m->dict) return nullptr;
  }
  return Py_NewRef(m->dict);
}
int set_dict(PyObject* self, PyObject* value, void*) noexcept {
  if (!value) {
    PyErr_SetString(PyExc_TypeError, "function's dictionary may not be deleted");
    return -1;
  }
  if (!PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "setting function's dictionary to a non-dict");
    return -1;
  }
  Py_XSETREF(as_method(self)->dict, Py_NewRef(value));
  return 0;
}

PyObject* get_globals(PyObject* self, void*) noexcept { return or_none(as_method(self)->globals); }
PyObject* get_closure(PyObject*, void*) noexcept { Py_RETURN_NONE; }
PyObject* get_code(PyObject* self, void*) noexcept { return or_none(as_method(self)->code); }
PyObject* get_is_coroutine(PyObject*, void*) noexcept { Py_RETURN_FALSE; }

// Calls keep the defaults of the method table; say so on every assignment.
int warn_defaults(const char* attr) noexcept {
  char message[160];
  PyOS_snprintf(message, sizeof message,
                "changes to %s of a compiled method do not affect its calls, which keep their own defaults", attr);
  return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

PyObject* get_defaults(PyObject* self, void*) noexcept { return or_none(as_method(self)->defaults); }
int set_defaults(PyObject* self, PyObject* value, void*) noexcept {
  if (value == Py_None) value = nullptr;
  if (value && !PyTuple_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
    return -1;
  }
  if (warn_defaults("__defaults__") < 0) return -1;
  Py_XSETREF(as_method(self)->defaults, Py_XNewRef(value));
  return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) noexcept { return or_none(as_method(self)->kwdefaults); }
int set_kwdefaults(PyObject* self, PyObject* value, void*) noexcept {
  if (value == Py_None) value = nullptr;
  if (value && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
    return -1;
  }
  if (warn_defaults("__kwdefaults__") < 0) return -1;
  Py_XSETREF(as_method(self)->kwdefaults, Py_XNewRef(value));
  return 0;
}

PyObject* get_annotations(PyObject* self, void*) noexcept {
  MethodObject* m = as_method(self);
  if (!m->annotations) {
    m->annotations = PyDict_New();
    if (!m->annotations) return nullptr;
  }
  return Py_NewRef(m->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
  if (value == Py_None) value = nullptr;
  if (value && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  Py_XSETREF(as_method(self)->annotations, Py_XNewRef(value));
  return 0;
}

PyGetSetDef method_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"func_name", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"func_doc", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__dict__", get_dict, set_dict, nullptr, nullptr},
    {"func_dict", get_dict, set_dict, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"func_globals", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"func_closure", get_closure, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"func_code", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"func_defaults", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject MethodType = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "compiled_function";
  t.tp_basicsize = sizeof(MethodObject);
  t.tp_dealloc = method_dealloc;
  t.tp_vectorcall_offset = offsetof(MethodObject, vectorcall);
  t.tp_repr = method_repr;
  t.tp_call = method_call;
  t.tp_getattro = PyObject_GenericGetAttr;
  t.tp_setattro = PyObject_GenericSetAttr;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
  t.tp_doc = "A method of a compiled action class.";
  t.tp_traverse = method_traverse;
  t.tp_clear = method_clear;
  t.tp_weaklistoffset = offsetof(MethodObject, weakrefs);
  t.tp_getset = method_getset;
  t.tp_descr_get = method_descr_get;
  t.tp_dictoffset = offsetof(MethodObject, dict);
  return t;
}();

PyObject* new_method(const MethodSpec& spec, const char* traceback_name, PyObject* qualname, PyObject* module_name,
                     PyObject* globals, PyObject* code) noexcept {
  PyObject* name = PyUnicode_InternFromString(spec.name);
  if (!name) return nullptr;
  PyObject* doc = spec.doc ? PyUnicode_FromString(spec.doc) : Py_NewRef(Py_None);
  if (!doc) {
    Py_DECREF(name);
    return nullptr;
  }
  MethodObject* m = PyObject_GC_New(MethodObject, &MethodType);
  if (!m) {
    Py_DECREF(name);
    Py_DECREF(doc);
    return nullptr;
  }
  m->vectorcall = method_vectorcall;
  m->spec = &spec;
  m->traceback_name = traceback_name;
  m->name = name;
  m->qualname = Py_NewRef(qualname);
  m->doc = doc;
  m->module = Py_NewRef(module_name);
  m->globals = Py_XNewRef(globals);
  m->code = Py_XNewRef(code);
  m->defaults = nullptr;
  m->kwdefaults = nullptr;
  m->annotations = nullptr;
  m->dict = nullptr;
  m->weakrefs = nullptr;
  PyObject_GC_Track(m);
  return reinterpret_cast<PyObject*>(m);
}

PyObject* Call::fail(int line) const noexcept {
  add_traceback(method->traceback_name, line, method->globals);
  return nullptr;
}

}  // namespace frame
