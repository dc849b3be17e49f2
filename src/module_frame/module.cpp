// Module creation and execution: the guards, the version warning, the imports
// of the module body and the building of the action class.
#include <cstdio>

#include "state.h"

namespace frame {
namespace {

// The interpreter this module was built for; others get a warning.
constexpr int kTargetMajor = 3;
constexpr int kTargetMinor = 12;

FRAME_NAME(k_test, "__test__");
FRAME_NAME(k_spec, "__spec__");
FRAME_NAME(k_initializing, "_initializing");
FRAME_NAME(k_mro_entries, "__mro_entries__");
FRAME_NAME(k_prepare, "__prepare__");
FRAME_NAME(k_module_attr, "__module__");
FRAME_NAME(k_qualname_attr, "__qualname__");
FRAME_NAME(k_doc_attr, "__doc__");
FRAME_NAME(k_orig_bases, "__orig_bases__");
FRAME_NAME(k_name_attr, "__name__");
FRAME_NAME(k_open, "open");

// The module definition: no functions, no state (the state is process-wide),
// the two slots below.
PyModuleDef g_def;
PyMethodDef g_no_methods[] = {{nullptr, nullptr, 0, nullptr}};

// Global lookup during execution: the module namespace, then the builtins.
Ref lookup_global(PyObject* globals, PyObject* name) noexcept {
  if (globals) {
    if (PyObject* value = PyDict_GetItemWithError(globals, name)) return Ref::borrow(value);
    if (PyErr_Occurred()) return {};
  }
  return global_missing(name);
}

// Fails the execution from step 7 on: adds the "init" traceback entry.
int fail_init(int line) noexcept {
  add_traceback(g_identity.init_name, line, g_identity.module_dict);
  return -1;
}

// ---------------------------------------------------------------------------
// Create

// Copies spec.<attr> to module.<target>; a missing attribute is skipped.
int copy_spec_attr(PyObject* spec, const char* attr, PyObject* module, const char* target, bool skip_none) noexcept {
  Ref value = Ref::steal(PyObject_GetAttrString(spec, attr));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  if (skip_none && value.get() == Py_None) return 0;
  return PyObject_SetAttrString(module, target, value.get());
}

PyObject* create(PyObject* spec, PyModuleDef*) noexcept {
  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (g_identity.interpreter_id == -1) {
    if (id == -1) return nullptr;
    g_identity.interpreter_id = id;
    // When this runtime ends, forget what belongs to it, so that an embedding
    // program that starts the interpreter again imports the module afresh. Only
    // if no slot is left does the process keep the old state.
    (void)Py_AtExit(forget_runtime);
  } else if (id != g_identity.interpreter_id) {
    if (id == -1) return nullptr;
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return nullptr;
  }
  if (g_identity.module) {
    // The import system resets the state pointer of the module that Create
    // returns and Execute's caller allocates a new (empty) state block for it;
    // free the old block now, or every re-import would lose one.
    PyMem_Free(PyModule_GetState(g_identity.module));
    return Py_NewRef(g_identity.module);
  }

  Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  if (copy_spec_attr(spec, "loader", module.get(), "__loader__", false) < 0 ||
      copy_spec_attr(spec, "origin", module.get(), "__file__", false) < 0 ||
      copy_spec_attr(spec, "parent", module.get(), "__package__", false) < 0 ||
      copy_spec_attr(spec, "submodule_search_locations", module.get(), "__path__", true) < 0)
    return nullptr;
  return module.release();
}

// ---------------------------------------------------------------------------
// Execute

int check_version() noexcept {
  int major = static_cast<int>((Py_Version >> 24) & 0xFF);
  int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
  if (major == kTargetMajor && minor == kTargetMinor) return 0;
  char message[200];
  PyOS_snprintf(message, sizeof message,
                "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", kTargetMajor,
                kTargetMinor, g_identity.spec->dotted_name, "does not match", major, minor);
  return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

// The body of the interpreter's own empty code object (PyCode_NewEmpty): a few
// instructions that raise, with the constants, names, stack size and line table
// they need. Taken from the running interpreter, so it is right for its version.
struct Stub {
  Ref code, consts, names, linetable;
  int stacksize = 0;
};

Stub raising_stub(const char* path, const char* name, int line) noexcept {
  Stub stub;
  Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(path, name, line)));
  if (!empty) return stub;
  Ref code = Ref::steal(PyCode_GetCode(reinterpret_cast<PyCodeObject*>(empty.get())));
  Ref consts = Ref::steal(PyObject_GetAttrString(empty.get(), "co_consts"));
  Ref names = Ref::steal(PyObject_GetAttrString(empty.get(), "co_names"));
  Ref linetable = Ref::steal(PyObject_GetAttrString(empty.get(), "co_linetable"));
  Ref stacksize = Ref::steal(PyObject_GetAttrString(empty.get(), "co_stacksize"));
  if (!code || !consts || !names || !linetable || !stacksize) return stub;
  long size = PyLong_AsLong(stacksize.get());
  if (size < 0 || size > 1024) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "unexpected stack size of the empty code object");
    return stub;
  }
  stub.stacksize = size < 1 ? 1 : static_cast<int>(size);
  stub.consts = std::move(consts);
  stub.names = std::move(names);
  stub.linetable = std::move(linetable);
  stub.code = std::move(code);
  return stub;
}

// The object a parameter's default stands for; null for a required parameter.
PyObject* default_value(Default dflt) noexcept {
  switch (dflt) {
    case Default::kNone:
      return Py_None;
    case Default::kFalse:
      return Py_False;
    case Default::kRequired:
      break;
  }
  return nullptr;
}

// The exact type an entry check requires; null for no check.
PyTypeObject* checked_type(Check check) noexcept {
  switch (check) {
    case Check::kStr:
      return &PyUnicode_Type;
    case Check::kDict:
      return &PyDict_Type;
    case Check::kNone:
      break;
  }
  return nullptr;
}

int make_constants() noexcept {
  const ModuleSpec& spec = *g_identity.spec;
  Ref path = Ref::steal(PyUnicode_FromString(spec.source_path));
  if (!path) return -1;
  for (size_t i = 0; i < spec.methods.size(); ++i) {
    const MethodSpec& m = spec.methods[i];
    MethodState& ms = g_caches.methods[i];
    PyOS_snprintf(ms.traceback_name, sizeof ms.traceback_name, "%s.%s.%s", spec.dotted_name, spec.class_name, m.name);

    // What binding reads per parameter, and the defaults of the positional
    // parameters, in order.
    ms.min_positional = m.min_positional();
    ms.n_checked = 0;
    Py_ssize_t n_defaults = 0;
    for (int p = 0; p < m.n_params(); ++p) {
      const Param& param = m.params[p];
      ms.default_values[p] = default_value(param.dflt);
      ms.check_types[p] = checked_type(param.check);
      if (ms.check_types[p]) ms.checked[ms.n_checked++] = p;
      n_defaults += p < m.n_positional() && ms.default_values[p];
    }
    Ref defaults;
    if (n_defaults) {
      defaults = Ref::steal(PyTuple_New(n_defaults));
      if (!defaults) return -1;
      Py_ssize_t k = 0;
      for (int p = 0; p < m.n_positional(); ++p) {
        if (ms.default_values[p]) PyTuple_SET_ITEM(defaults.get(), k++, Py_NewRef(ms.default_values[p]));
      }
    }

    auto n_vars = static_cast<Py_ssize_t>(m.params.size() + m.locals.size());
    Ref varnames = Ref::steal(PyTuple_New(n_vars));
    if (!varnames) return -1;
    Py_ssize_t k = 0;
    for (const Param& p : m.params) PyTuple_SET_ITEM(varnames.get(), k++, Py_NewRef(p.name->get()));
    for (const char* local : m.locals) {
      PyObject* s = PyUnicode_InternFromString(local);
      if (!s) return -1;
      PyTuple_SET_ITEM(varnames.get(), k++, s);
    }

    Ref name = Ref::steal(PyUnicode_InternFromString(m.name));
    if (!name) return -1;
    Stub stub = raising_stub(spec.source_path, m.name, m.def_line);
    if (!stub.code) return -1;
    // For introspection: flags CO_OPTIMIZED | CO_NEWLOCALS, and for a body the
    // interpreter's stub that raises, so that a function made from this code
    // object fails cleanly instead of running bytecode that is not there.
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        m.n_positional(), 0, m.n_kwonly, static_cast<int>(n_vars), stub.stacksize, CO_OPTIMIZED | CO_NEWLOCALS,
        stub.code.get(), stub.consts.get(), stub.names.get(), varnames.get(), g_caches.empty_tuple,
        g_caches.empty_tuple, path.get(), name.get(), name.get(), m.def_line, stub.linetable.get(),
        g_caches.empty_bytes)));
    if (!code) return -1;

    store(ms.defaults, defaults.release());
    store(ms.code, code.release());
  }
  return 0;
}

// Whole-module import: a module already in sys.modules and not initialising is
// taken as it is; otherwise the import machinery is asked.
Ref import_module(PyObject* name) noexcept {
  Ref module = Ref::steal(PyImport_GetModule(name));
  if (module) {
    bool initializing = false;
    Ref spec = Ref::steal(PyObject_GetAttr(module.get(), k_spec.get()));
    if (spec) {
      Ref flag = Ref::steal(PyObject_GetAttr(spec.get(), k_initializing.get()));
      initializing = flag && PyObject_IsTrue(flag.get()) == 1;
    }
    PyErr_Clear();
    if (!initializing) return module;
  } else {
    PyErr_Clear();
  }
  Ref locals = Ref::steal(PyDict_New());
  if (!locals) return {};
  return Ref::steal(PyImport_ImportModuleLevelObject(name, g_identity.module_dict, locals.get(), nullptr, 0));
}

// `from module import name`.
Ref import_name(PyObject* module_name, PyObject* name) noexcept {
  Ref locals = Ref::steal(PyDict_New());
  if (!locals) return {};
  Ref fromlist = Ref::steal(PyList_New(1));
  if (!fromlist) return {};
  PyList_SET_ITEM(fromlist.get(), 0, Py_NewRef(name));
  Ref module = Ref::steal(
      PyImport_ImportModuleLevelObject(module_name, g_identity.module_dict, locals.get(), fromlist.get(), 0));
  if (!module) return {};

  Ref value = Ref::steal(PyObject_GetAttr(module.get(), name));
  if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    // The name may be a submodule that is loaded but not bound on its package.
    PyErr_Clear();
    Ref module_name_attr = Ref::steal(PyObject_GetAttr(module.get(), k_name_attr.get()));
    if (module_name_attr) {
      Ref full = Ref::steal(PyUnicode_FromFormat("%S.%U", module_name_attr.get(), name));
      if (full) value = Ref::steal(PyImport_GetModule(full.get()));
    }
  }
  if (!value) PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
  return value;
}

// Bases resolved as PEP 560 prescribes; `changed` tells whether any was replaced.
Ref resolve_bases(PyObject* bases, bool& changed) noexcept {
  changed = false;
  Ref resolved;  // a list, made at the first replacement
  Py_ssize_t n = PyTuple_GET_SIZE(bases);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* base = PyTuple_GET_ITEM(bases, i);
    Ref entries;
    if (!PyType_Check(base)) {
      Ref meth = Ref::steal(PyObject_GetAttr(base, k_mro_entries.get()));
      if (!meth) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
        PyErr_Clear();
      } else {
        entries = vectorcall(meth.get(), bases);
        if (!entries) return {};
        if (!PyTuple_Check(entries.get())) {
          PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
          return {};
        }
      }
    }
    if (entries && !resolved) {
      Ref head = Ref::steal(PyTuple_GetSlice(bases, 0, i));
      if (!head) return {};
      resolved = Ref::steal(PySequence_List(head.get()));
      if (!resolved) return {};
    }
    if (!resolved) continue;
    if (entries) {
      Py_ssize_t end = PyList_GET_SIZE(resolved.get());
      if (PyList_SetSlice(resolved.get(), end, end, entries.get()) < 0) return {};
    } else if (PyList_Append(resolved.get(), base) < 0) {
      return {};
    }
  }
  if (!resolved) return Ref::borrow(bases);
  changed = true;
  return Ref::steal(PyList_AsTuple(resolved.get()));
}

// The most derived metaclass of the bases.
Ref choose_metaclass(PyObject* bases) noexcept {
  PyTypeObject* winner = nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
    PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
    if (!winner || PyType_IsSubtype(candidate, winner)) {
      winner = candidate;
    } else if (!PyType_IsSubtype(winner, candidate)) {
      PyErr_SetString(PyExc_TypeError,
                      "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of the "
                      "metaclasses of all its bases");
      return {};
    }
  }
  return Ref::borrow(reinterpret_cast<PyObject*>(winner ? winner : &PyType_Type));
}

int set_item(PyObject* ns, PyObject* key, PyObject* value) noexcept {
  return PyDict_CheckExact(ns) ? PyDict_SetItem(ns, key, value) : PyObject_SetItem(ns, key, value);
}

// Adds the method objects to the namespace. On failure, `line` is the def line
// of the method that failed.
int add_methods(PyObject* ns, PyObject* module_name, PyObject* qualname_prefix, int& line) noexcept {
  const ModuleSpec& spec = *g_identity.spec;
  for (size_t i = 0; i < spec.methods.size(); ++i) {
    const MethodSpec& m = spec.methods[i];
    line = m.def_line;
    Ref qualname = Ref::steal(PyUnicode_FromFormat("%U.%s", qualname_prefix, m.name));
    if (!qualname) return -1;
    Ref method = Ref::steal(new_method(i, qualname.get(), module_name));
    if (!method) return -1;
    Ref name = Ref::steal(PyUnicode_InternFromString(m.name));
    if (!name || set_item(ns, name.get(), method.get()) < 0) return -1;
  }
  return 0;
}

// The class statement. On failure, `line` is the line to report.
int build_class(int& line) noexcept {
  const ModuleSpec& spec = *g_identity.spec;
  line = spec.class_line;
  Ref base = lookup_global(g_identity.module_dict, spec.base_name->get());
  if (!base) return -1;
  Ref orig_bases = Ref::steal(PyTuple_Pack(1, base.get()));
  if (!orig_bases) return -1;
  bool changed = false;
  Ref bases = resolve_bases(orig_bases.get(), changed);
  if (!bases) return -1;
  Ref metaclass = choose_metaclass(bases.get());
  if (!metaclass) return -1;
  Ref class_name = Ref::steal(PyUnicode_InternFromString(spec.class_name));
  if (!class_name) return -1;

  Ref ns;
  Ref prepare = Ref::steal(PyObject_GetAttr(metaclass.get(), k_prepare.get()));
  if (prepare) {
    ns = vectorcall(prepare.get(), class_name.get(), bases.get());
  } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    ns = Ref::steal(PyDict_New());
  }
  if (!ns) return -1;

  Ref module_name = Ref::steal(PyUnicode_FromString(spec.dotted_name));
  if (!module_name) return -1;
  Ref doc = Ref::steal(PyUnicode_FromString(spec.class_doc));
  if (!doc) return -1;
  if (PyObject_SetItem(ns.get(), k_module_attr.get(), module_name.get()) < 0 ||
      PyObject_SetItem(ns.get(), k_qualname_attr.get(), class_name.get()) < 0 ||
      PyObject_SetItem(ns.get(), k_doc_attr.get(), doc.get()) < 0)
    return -1;
  if (changed && PyObject_SetItem(ns.get(), k_orig_bases.get(), orig_bases.get()) < 0) return -1;

  if (add_methods(ns.get(), module_name.get(), class_name.get(), line) < 0) return -1;
  line = spec.class_line;

  Ref cls = vectorcall(metaclass.get(), class_name.get(), bases.get(), ns.get());
  if (!cls) return -1;
  return PyDict_SetItem(g_identity.module_dict, class_name.get(), cls.get());
}

int run_statements(int& line) noexcept {
  for (const Statement& st : g_identity.spec->statements) {
    line = st.line;
    Ref value = st.name ? import_name(st.module->get(), st.name->get()) : import_module(st.module->get());
    if (!value) return -1;
    PyObject* bound = st.name ? st.name->get() : st.module->get();
    if (PyDict_SetItem(g_identity.module_dict, bound, value.get()) < 0) return -1;
  }
  return build_class(line);
}

int exec_steps(PyObject* module, bool& added) noexcept {
  // 2: the module object and its namespace.
  store(g_identity.module, Py_NewRef(module));
  PyObject* dict = PyModule_GetDict(module);
  if (!dict) return -1;
  store(g_identity.module_dict, Py_NewRef(dict));

  // 3: builtins.
  PyObject* builtins = PyImport_AddModule("builtins");
  if (!builtins) return -1;
  store(g_identity.builtins, Py_NewRef(builtins));
  // By its text: the module's strings are made at step 6.
  if (PyObject_SetAttrString(module, "__builtins__", builtins) < 0) return -1;

  // 4: the interpreter version.
  if (check_version() < 0) return -1;

  // 5: constants and the method-object type.
  PyObject* t = PyTuple_New(0);
  if (!t) return -1;
  store(g_caches.empty_tuple, t);
  PyObject* b = PyBytes_FromStringAndSize("", 0);
  if (!b) return -1;
  store(g_caches.empty_bytes, b);
  // A type readied before stays: objects of an earlier, failed execution may
  // still use it.
  if (!(g_caches.method_type.tp_flags & Py_TPFLAGS_READY)) g_caches.method_type = method_type_template();
  if (ready_method_type() < 0) return -1;
  if (!(g_caches.keeper_type.tp_flags & Py_TPFLAGS_READY)) g_caches.keeper_type = keeper_type_template();
  if (PyType_Ready(&g_caches.keeper_type) < 0) return -1;

  // 6: the strings.
  if (make_names() < 0) return -1;

  // 7: sys.modules.
  Ref dotted = Ref::steal(PyUnicode_FromString(g_identity.spec->dotted_name));
  if (!dotted) return fail_init(1);
  Ref existing = Ref::steal(PyImport_GetModule(dotted.get()));
  if (!existing) {
    if (PyErr_Occurred()) return fail_init(1);
    if (PyObject_SetItem(PyImport_GetModuleDict(), dotted.get(), module) < 0) return fail_init(1);
    added = true;
  }

  // 8: the builtin `open`, kept for the life of the process.
  if (g_identity.spec->keeps_open) {
    Ref open = lookup_global(nullptr, k_open.get());
    if (!open) return fail_init(1);
    store(g_caches.open, open.release());
  }

  // 9: defaults, variable names, code objects.
  if (make_constants() < 0) return fail_init(1);

  // 10: the module body.
  int line = 0;
  if (run_statements(line) < 0) return fail_init(line);

  // 11: __test__.
  Ref test = Ref::steal(PyDict_New());
  if (!test || PyDict_SetItem(g_identity.module_dict, k_test.get(), test.get()) < 0) return fail_init(1);
  return 0;
}

// Removes sys.modules[<dotted name>] when it is `module`, keeping the pending
// exception as it is.
void remove_entry(PyObject* module) noexcept {
  Ref pending = Ref::steal(PyErr_GetRaisedException());
  Ref dotted = Ref::steal(PyUnicode_FromString(g_identity.spec->dotted_name));
  if (dotted) {
    Ref entry = Ref::steal(PyImport_GetModule(dotted.get()));
    if (entry.get() == module) (void)PyObject_DelItem(PyImport_GetModuleDict(), dotted.get());
  }
  PyErr_Clear();
  PyErr_SetRaisedException(pending.release());
}

int exec(PyObject* module) noexcept {
  // 1: re-initialisation guard.
  if (g_identity.module) {
    if (g_identity.module == module) return 0;
    PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                 g_identity.spec->short_name);
    return -1;
  }
  bool added = false;
  if (exec_steps(module, added) == 0) return 0;
  // Loaded under another name, the module was added under its own name too:
  // take that entry out again, or every later import would find the half-made
  // module. Only the entry this execution added, and only while it is still it.
  if (added) remove_entry(module);
  // Forget the module: the next import starts again at Create.
  Py_CLEAR(g_identity.module);
  Py_CLEAR(g_identity.module_dict);
  return -1;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

}  // namespace

PyObject* init(const ModuleSpec& spec) noexcept {
  if (!g_identity.spec) g_identity = Identity::of(spec);
  if (!g_def.m_name) {
    g_def = {PyModuleDef_HEAD_INIT, spec.short_name, nullptr, 0, g_no_methods, g_slots, nullptr, nullptr, nullptr};
  }
  return PyModuleDef_Init(&g_def);
}

}  // namespace frame
