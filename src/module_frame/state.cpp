// The process-wide state: the module's identity and caches, the registered
// strings, and forgetting everything when the runtime ends.
#include "state.h"

namespace frame {

Identity g_identity;
Caches g_caches;

Identity Identity::of(const ModuleSpec& spec) noexcept {
  Identity identity;
  identity.spec = &spec;
  PyOS_snprintf(identity.init_name, sizeof identity.init_name, "init %s", spec.dotted_name);
  return identity;
}

namespace {
Registration* g_constants = nullptr;
}  // namespace

Registration::Registration(const Name& name) noexcept : name_(&name), next_(g_constants) { g_constants = this; }
Registration::Registration(const Made& made) noexcept : made_(&made), next_(g_constants) { g_constants = this; }

int make_names() noexcept {
  for (Registration* r = g_constants; r; r = r->next_) {
    const Name* n = r->name_;
    if (!n) continue;
    PyObject* s = n->kind_ == Name::kIdentifier ? PyUnicode_InternFromString(n->text_) : PyUnicode_FromString(n->text_);
    if (!s) return -1;
    store(n->obj_, s);
  }
  for (Registration* r = g_constants; r; r = r->next_) {
    const Made* m = r->made_;
    if (!m) continue;
    PyObject* o = m->make_();
    if (!o) return -1;
    store(m->obj_, o);
  }
  return 0;
}

void forget_names() noexcept {
  for (Registration* r = g_constants; r; r = r->next_) {
    if (r->name_) r->name_->obj_ = nullptr;
    if (r->made_) r->made_->obj_ = nullptr;
  }
}

void forget_runtime() noexcept {
  g_identity = Identity::of(*g_identity.spec);
  g_caches = Caches{};
  forget_names();
}

Ref global_missing(PyObject* name) noexcept {
  if (g_identity.builtins) {
    Ref value = Ref::steal(PyObject_GetAttr(g_identity.builtins, name));
    if (value) return value;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
    PyErr_Clear();
  }
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return {};
}

PyObject* kept_open() noexcept { return g_caches.open; }
PyObject* empty_tuple() noexcept { return g_caches.empty_tuple; }

Failed Call::fail(int line) const noexcept {
  add_traceback(traceback_name, line, globals);
  return {};
}

}  // namespace frame
