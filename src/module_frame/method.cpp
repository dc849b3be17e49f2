// The method object: a function-like descriptor that binds the arguments of a
// call to the parameters of its method table, checks them and runs the body.
// Only this file knows the object's layout.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "state.h"

namespace frame {
namespace {

struct MethodObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const MethodSpec* spec;
  MethodState* state;
  PyObject* name;         // __name__
  PyObject* qualname;     // __qualname__
  PyObject* doc;          // __doc__
  PyObject* module;       // __module__
  PyObject* globals;      // __globals__
  PyObject* code;         // __code__
  PyObject* defaults;     // __defaults__ (may be null)
  PyObject* kwdefaults;   // __kwdefaults__ (may be null)
  PyObject* annotations;  // __annotations__ (may be null until read)
  PyObject* dict;         // __dict__ (made on first use)
  PyObject* weakrefs;
};

MethodObject* as_method(PyObject* self) noexcept { return reinterpret_cast<MethodObject*>(self); }

// ---------------------------------------------------------------------------
// Binding and check errors: cold, out of line, and each message made once.

// Raises TypeError(*args). The exception is made by the type's tp_new, which
// takes the tuple as its args as TypeError(message) does (its tp_init would
// only store it again), and raised as PyErr_SetObject raises it, chained to
// the exception being handled.
[[gnu::cold]] void raise_with(PyObject* args) noexcept {
  auto* type = reinterpret_cast<PyTypeObject*>(PyExc_TypeError);
  Ref exception = Ref::steal(type->tp_new(type, args, nullptr));
  if (exception) PyErr_SetObject(PyExc_TypeError, exception.get());
}

// Raises TypeError(message). When `keep` is given, the args tuple is stored
// there (a new reference) so that the next identical error reuses it.
[[gnu::cold]] void raise_type_error(Ref message, PyObject** keep) noexcept {
  if (!message) return;
  Ref args = Ref::steal(PyTuple_Pack(1, message.get()));
  if (!args) return;
  raise_with(args.get());
  if (keep) store(*keep, args.release());
}

// "takes at least/at most/exactly N positional argument(s) (M given)".
[[gnu::cold]] void count_error(const MethodObject* m, Py_ssize_t given) noexcept {
  PyObject** keep = given >= 0 && given < kCachedCounts ? &m->state->count_messages[given] : nullptr;
  if (keep && *keep) {
    raise_with(*keep);
    return;
  }
  const MethodSpec& s = *m->spec;
  const int min = m->state->min_positional;
  const int max = s.n_positional();
  const char* qualifier = "at most";
  Py_ssize_t expected = max;
  if (min == max || given < min) {
    qualifier = min == max ? "exactly" : "at least";
    expected = min;
  }
  raise_type_error(Ref::steal(PyUnicode_FromFormat("%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                                                   s.name, qualifier, expected, expected == 1 ? "" : "s", given)),
                   keep);
}

// "Argument '<name>' has incorrect type (expected <type>, got <type of value>)".
[[gnu::cold]] void check_error(const Param& p, PyObject* value) noexcept {
  const char* type_name = Py_TYPE(value)->tp_name;
  CheckMessage* slot = nullptr;
  for (CheckMessage& m : g_caches.check_messages) {
    if (m.param == nullptr) m.param = &p;
    if (m.param != &p) continue;
    slot = &m;
    break;
  }
  if (slot && slot->args && strncmp(slot->type_name, type_name, 200) == 0) {
    raise_with(slot->args);
    return;
  }
  Ref message = Ref::steal(PyUnicode_FromFormat("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                                                p.name->text(), p.check == Check::kStr ? "str" : "dict", type_name));
  if (slot && message) PyOS_snprintf(slot->type_name, sizeof slot->type_name, "%.200s", type_name);
  raise_type_error(std::move(message), slot ? &slot->args : nullptr);
}

// ---------------------------------------------------------------------------
// Argument binding

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

// Binding with keyword arguments. On failure an exception is set and false
// returned.
[[gnu::noinline]] bool bind_keywords(const MethodObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                     PyObject** out) noexcept {
  const MethodSpec& s = *m->spec;
  const int n_params = s.n_params();
  const int npos = s.n_positional();
  const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
  if (nargs > npos) {
    count_error(m, nargs);
    return false;
  }
  for (int i = 0; i < n_params; ++i) out[i] = i < nargs ? args[i] : nullptr;

  PyObject* const* kwvalues = args + nargs;
  Py_ssize_t used = 0;
  // Required parameters not given positionally must come by keyword.
  for (int i = static_cast<int>(nargs); i < npos; ++i) {
    if (s.params[i].dflt != Default::kRequired) continue;
    Py_ssize_t k = find_keyword(kwnames, nkw, s.params[i].name->get());
    if (k < 0) {
      count_error(m, i);
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
  for (int i = static_cast<int>(nargs); i < n_params; ++i) {
    if (!out[i]) out[i] = m->state->default_values[i];
  }
  return true;
}

// f(i) for each i < n <= kMaxParams, last first: straight-line code where a
// loop over so few would cost as much again (and a copying loop would become a
// call of memcpy).
template <typename F>
[[gnu::always_inline]] inline void for_each_below(Py_ssize_t n, F f) noexcept {
  static_assert(kMaxParams == 8, "one case per parameter");
  switch (n) {
    case 8:
      f(7);
      [[fallthrough]];
    case 7:
      f(6);
      [[fallthrough]];
    case 6:
      f(5);
      [[fallthrough]];
    case 5:
      f(4);
      [[fallthrough]];
    case 4:
      f(3);
      [[fallthrough]];
    case 3:
      f(2);
      [[fallthrough]];
    case 2:
      f(1);
      [[fallthrough]];
    case 1:
      f(0);
      [[fallthrough]];
    default:
      break;
  }
}

// Fills `out` (kMaxParams borrowed references) from a vectorcall argument
// array. Without keywords, the common case, binding is a count check, the
// defaults (a copy of fixed size) and the positional arguments over them.
bool bind(const MethodObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) noexcept {
  if (kwnames && PyTuple_GET_SIZE(kwnames)) return bind_keywords(m, args, nargs, kwnames, out);
  if (nargs < m->state->min_positional || nargs > m->spec->n_positional()) {
    count_error(m, nargs);
    return false;
  }
  std::copy_n(m->state->default_values, kMaxParams, out);
  for_each_below(nargs, [&](int i) { out[i] = args[i]; });
  return true;
}

// Exact-type checks on entry, in table order.
bool check_types(const MethodObject* m, PyObject* const* args) noexcept {
  const MethodState& ms = *m->state;
  for (int k = 0; k < ms.n_checked; ++k) {
    const int i = ms.checked[k];
    if (Py_IS_TYPE(args[i], ms.check_types[i])) continue;
    check_error(m->spec->params[i], args[i]);
    return false;
  }
  return true;
}

// Nested method calls (in all threads together) that need no recursion check.
constexpr int kUncountedCalls = 16;

// What the caller lent (the positional and keyword values of the call: every
// bound argument but the defaults, which the method holds itself), held from
// the body's start to its end as a Python frame holds its arguments. A caller
// may drop what it lent while the body runs (functools.partial does, when its
// __setstate__ is called meanwhile), and the array it passed may go with it,
// so the pointers are copied. Once binding succeeded, there are at most
// kMaxParams of them.
class HeldArguments {
 public:
  HeldArguments(PyObject* const* args, Py_ssize_t n) noexcept : n_(n) {
    for_each_below(n_, [&](int i) { held_[i] = Py_NewRef(args[i]); });
  }
  ~HeldArguments() {
    for_each_below(n_, [this](int i) { Py_DECREF(held_[i]); });
  }
  HeldArguments(const HeldArguments&) = delete;
  HeldArguments& operator=(const HeldArguments&) = delete;

 private:
  PyObject* held_[kMaxParams];
  Py_ssize_t n_;
};

PyObject* run(MethodObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  const MethodSpec& s = *m->spec;
  // The argument slots are all filled by binding.
  Call c;
  c.globals = m->globals;
  c.traceback_name = m->state->traceback_name;
  if (!bind(m, args, nargs, kwnames, c.args)) return c.fail(s.def_line);
  if (!check_types(m, c.args)) return nullptr;
  const HeldArguments held(args, nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0));
  // A chain of calls that comes back into a method through C callables alone
  // (functools.partial, say) passes no Python frame that would count it, so the
  // methods count themselves against the interpreter's recursion limit: all but
  // the first few nested calls, which cannot exhaust the C stack, and which are
  // the only calls an ordinary caller makes.
  const bool guarded = ++g_caches.active_calls > kUncountedCalls;
  if (guarded && Py_EnterRecursiveCall(" while calling a Python object")) {
    --g_caches.active_calls;
    return nullptr;
  }
  Ref result = Ref::steal(s.body(c));
  if (guarded) Py_LeaveRecursiveCall();
  --g_caches.active_calls;
  if (result && s.return_check_line && result.get() != Py_None && !PyUnicode_CheckExact(result.get())) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "unicode", Py_TYPE(result.get())->tp_name);
    result.reset();
    return c.fail(s.return_check_line);
  }
  return result.release();
}

PyObject* method_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
  return run(as_method(self), args, PyVectorcall_NARGS(nargsf), kwnames);
}

// The arguments of a call by tuple and dict, laid out for vectorcall: the
// positional ones borrowed from the tuple, the keyword values held for the call
// (the body may reach code that changes the dict).
class KeywordCall {
 public:
  KeywordCall(PyObject* args, PyObject* kwargs) noexcept
      : nargs_(PyTuple_GET_SIZE(args)), nkw_(PyDict_GET_SIZE(kwargs)) {
    kwnames_ = Ref::steal(PyTuple_New(nkw_));
    if (!kwnames_) return;
    stack_ = nargs_ + nkw_ <= kSmall ? small_ : PyMem_New(PyObject*, nargs_ + nkw_);
    if (!stack_) {
      PyErr_NoMemory();
      return;
    }
    for (Py_ssize_t i = 0; i < nargs_; ++i) stack_[i] = PyTuple_GET_ITEM(args, i);
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      PyTuple_SET_ITEM(kwnames_.get(), filled_, Py_NewRef(key));
      stack_[nargs_ + filled_++] = Py_NewRef(value);
    }
  }
  KeywordCall(const KeywordCall&) = delete;
  KeywordCall& operator=(const KeywordCall&) = delete;
  ~KeywordCall() {
    if (!stack_) return;
    for (Py_ssize_t i = 0; i < filled_; ++i) Py_DECREF(stack_[nargs_ + i]);
    if (stack_ != small_) PyMem_Free(static_cast<void*>(stack_));
  }

  bool ready() const noexcept { return stack_ != nullptr; }
  PyObject* call(MethodObject* m) const noexcept { return run(m, stack_, nargs_, kwnames_.get()); }

 private:
  static constexpr Py_ssize_t kSmall = 16;
  Py_ssize_t nargs_, nkw_, filled_ = 0;
  Ref kwnames_;
  PyObject* small_[kSmall];
  PyObject** stack_ = nullptr;
};

// A call by tuple and dict: the same binding, with the dict's keys as the names.
PyObject* method_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  if (!kwargs || PyDict_GET_SIZE(kwargs) == 0) {
    return run(as_method(self), &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), nullptr);
  }
  KeywordCall call(args, kwargs);
  return call.ready() ? call.call(as_method(self)) : nullptr;
}

PyObject* method_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
  if (!obj || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* method_repr(PyObject* self) noexcept {
  MethodObject* m = as_method(self);
  return PyUnicode_FromFormat("<compiled function %S at %p>", m->qualname, self);
}

int method_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  MethodObject* m = as_method(self);
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

// The empty string. The interpreter keeps one, so making it cannot fail.
PyObject* empty_str() noexcept { return PyUnicode_New(0, 0); }

// Clears every reference that can take part in a cycle. __name__ and
// __qualname__ can be any str, a subclass with a reference back included, so
// they are cleared too: to the empty string, as a Python function's are, so
// that the names are never null.
int method_clear(PyObject* self) noexcept {
  MethodObject* m = as_method(self);
  Py_SETREF(m->name, empty_str());
  Py_SETREF(m->qualname, empty_str());
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
  PyObject_GC_UnTrack(self);
  if (as_method(self)->weakrefs) PyObject_ClearWeakRefs(self);
  method_clear(self);
  // What method_clear leaves in the names.
  Py_DECREF(as_method(self)->name);
  Py_DECREF(as_method(self)->qualname);
  PyObject_GC_Del(self);
}

// ---------------------------------------------------------------------------
// Attributes: one getter and setter per attribute, each setter's rule beside it.

PyObject* or_none(PyObject* o) noexcept { return Py_NewRef(o ? o : Py_None); }

// Replaces a str attribute; anything else, and deleting, raise TypeError.
int set_str(PyObject*& slot, PyObject* value, const char* message) noexcept {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
  }
  Py_XSETREF(slot, Py_NewRef(value));
  return 0;
}

// Calls keep the defaults of the method table; say so on every assignment.
int warn_defaults(const char* attr) noexcept {
  char message[160];
  PyOS_snprintf(message, sizeof message,
                "changes to %s of a compiled method do not affect its calls, which keep their own defaults", attr);
  return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

// Stores `value` of type `type` (None and deleting store nothing), warning first
// when `warn_attr` is given; a failed warning keeps the old value.
int set_optional(PyObject*& slot, PyObject* value, PyTypeObject* type, const char* message,
                 const char* warn_attr) noexcept {
  if (value == Py_None) value = nullptr;
  if (value && !PyObject_TypeCheck(value, type)) {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
  }
  if (warn_attr && warn_defaults(warn_attr) < 0) return -1;
  Py_XSETREF(slot, Py_XNewRef(value));
  return 0;
}

// __name__, __qualname__: a str, else TypeError.
PyObject* get_name(PyObject* self, void*) noexcept { return Py_NewRef(as_method(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) noexcept {
  return set_str(as_method(self)->name, value, "__name__ must be set to a string object");
}
PyObject* get_qualname(PyObject* self, void*) noexcept { return Py_NewRef(as_method(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
  return set_str(as_method(self)->qualname, value, "__qualname__ must be set to a string object");
}

// __doc__, __module__: any object; deleting sets None.
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

// __dict__: made on first read; a dict replaces it; never deleted.
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

// Read-only: __globals__, __closure__ (None), __code__, _is_coroutine (False).
PyObject* get_globals(PyObject* self, void*) noexcept { return or_none(as_method(self)->globals); }
PyObject* get_closure(PyObject*, void*) noexcept { Py_RETURN_NONE; }
PyObject* get_code(PyObject* self, void*) noexcept { return or_none(as_method(self)->code); }
PyObject* get_is_coroutine(PyObject*, void*) noexcept { Py_RETURN_FALSE; }

// __defaults__ (tuple), __kwdefaults__ (dict): stored with a RuntimeWarning, as
// calls keep the table's defaults; None or deleting removes them.
PyObject* get_defaults(PyObject* self, void*) noexcept { return or_none(as_method(self)->defaults); }
int set_defaults(PyObject* self, PyObject* value, void*) noexcept {
  return set_optional(as_method(self)->defaults, value, &PyTuple_Type, "__defaults__ must be set to a tuple object",
                      "__defaults__");
}
PyObject* get_kwdefaults(PyObject* self, void*) noexcept { return or_none(as_method(self)->kwdefaults); }
int set_kwdefaults(PyObject* self, PyObject* value, void*) noexcept {
  return set_optional(as_method(self)->kwdefaults, value, &PyDict_Type, "__kwdefaults__ must be set to a dict object",
                      "__kwdefaults__");
}

// __annotations__: a new dict on first read when there is none; a dict replaces
// it; None or deleting removes it.
PyObject* get_annotations(PyObject* self, void*) noexcept {
  MethodObject* m = as_method(self);
  if (!m->annotations) {
    m->annotations = PyDict_New();
    if (!m->annotations) return nullptr;
  }
  return Py_NewRef(m->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
  return set_optional(as_method(self)->annotations, value, &PyDict_Type, "__annotations__ must be set to a dict object",
                      nullptr);
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

// copy, deepcopy and pickle take a method by reference, as they take a Python
// function: given a name, copying returns the object itself and pickling
// stores the module (__module__) and this name, looked up again when loaded.
PyObject* method_reduce(PyObject* self, PyObject*) noexcept { return Py_NewRef(as_method(self)->qualname); }

PyMethodDef method_methods[] = {
    {"__reduce__", method_reduce, METH_NOARGS, "The qualified name: copies and pickles refer to the method."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Making method objects

FRAME_NAME(k_return, "return");

Ref make_annotations(const MethodSpec& m) noexcept {
  Ref annotations = Ref::steal(PyDict_New());
  if (!annotations) return {};
  for (const Param& p : m.params) {
    if (!p.annotation) continue;
    Ref text = Ref::steal(PyUnicode_FromString(p.annotation));
    if (!text || PyDict_SetItem(annotations.get(), p.name->get(), text.get()) < 0) return {};
  }
  Ref ret = Ref::steal(PyUnicode_FromString(m.return_annotation));
  if (!ret || PyDict_SetItem(annotations.get(), k_return.get(), ret.get()) < 0) return {};
  return annotations;
}

// The keyword-only defaults dict, or nothing (and no error) when no keyword-only
// parameter has a default, as for a Python function.
Ref make_kwdefaults(const MethodSpec& m, const MethodState& ms, bool& failed) noexcept {
  failed = false;
  if (!m.n_kwonly) return {};
  Ref kwdefaults = Ref::steal(PyDict_New());
  failed = !kwdefaults;
  for (int p = m.n_positional(); kwdefaults && p < m.n_params(); ++p) {
    if (ms.default_values[p] && PyDict_SetItem(kwdefaults.get(), m.params[p].name->get(), ms.default_values[p]) < 0) {
      failed = true;
      return {};
    }
  }
  if (kwdefaults && PyDict_GET_SIZE(kwdefaults.get()) == 0) return {};
  return kwdefaults;
}

}  // namespace

PyTypeObject method_type_template() noexcept {
  return {
      .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name = "compiled_function",
      .tp_basicsize = sizeof(MethodObject),
      .tp_dealloc = method_dealloc,
      .tp_vectorcall_offset = offsetof(MethodObject, vectorcall),
      .tp_repr = method_repr,
      .tp_call = method_call,
      .tp_getattro = PyObject_GenericGetAttr,
      .tp_setattro = PyObject_GenericSetAttr,
      .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR,
      .tp_doc = "A method of a compiled action class.",
      .tp_traverse = method_traverse,
      .tp_clear = method_clear,
      .tp_weaklistoffset = offsetof(MethodObject, weakrefs),
      .tp_methods = method_methods,
      .tp_getset = method_getset,
      .tp_descr_get = method_descr_get,
      .tp_dictoffset = offsetof(MethodObject, dict),
  };
}

int ready_method_type() noexcept { return PyType_Ready(&g_caches.method_type); }

PyObject* new_method(std::size_t index, PyObject* qualname, PyObject* module_name) noexcept {
  const MethodSpec& spec = g_identity.spec->methods[index];
  MethodState& ms = g_caches.methods[index];
  Ref annotations = make_annotations(spec);
  if (!annotations) return nullptr;
  bool failed = false;
  Ref kwdefaults = make_kwdefaults(spec, ms, failed);
  if (failed) return nullptr;
  Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
  if (!name) return nullptr;
  Ref doc = spec.doc ? Ref::steal(PyUnicode_FromString(spec.doc)) : Ref::borrow(Py_None);
  if (!doc) return nullptr;

  MethodObject* m = PyObject_GC_New(MethodObject, &g_caches.method_type);
  if (!m) return nullptr;
  m->vectorcall = method_vectorcall;
  m->spec = &spec;
  m->state = &ms;
  m->name = name.release();
  m->qualname = Py_NewRef(qualname);
  m->doc = doc.release();
  m->module = Py_NewRef(module_name);
  m->globals = Py_XNewRef(g_identity.module_dict);
  m->code = Py_XNewRef(ms.code);
  m->defaults = Py_XNewRef(ms.defaults);
  m->kwdefaults = kwdefaults.release();
  m->annotations = annotations.release();
  m->dict = nullptr;
  m->weakrefs = nullptr;
  PyObject_GC_Track(m);
  return reinterpret_cast<PyObject*>(m);
}

}  // namespace frame
