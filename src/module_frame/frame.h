// The module frame: what every compiled action module is made of.
//
// A module describes itself in one constant table (ModuleSpec): its names, the
// statements of its body with their source lines, its class and, per method, the
// parameters, defaults, checks, annotations, locals, docstring and body. The frame
// reads that table to create and execute the module, build the class, make the
// code objects, bind and check call arguments and add traceback entries.
#pragma once

#include <span>

#include "ref.h"

namespace frame {

// ---------------------------------------------------------------------------
// Strings made once, when the module executes.

// A string constant of the module. Every Name registers itself at load time and
// is made (interned when it is an identifier) during execution; get() is valid
// from then on.
class Name {
 public:
  enum Kind : unsigned char { kIdentifier, kText };
  explicit Name(const char* text, Kind kind = kIdentifier) noexcept;
  Name(const Name&) = delete;
  Name& operator=(const Name&) = delete;

  PyObject* get() const noexcept { return obj_; }
  const char* text() const noexcept { return text_; }

 private:
  friend int make_names() noexcept;
  friend void forget_names() noexcept;
  const char* text_;
  Kind kind_;
  PyObject* obj_ = nullptr;
  Name* next_;
};

// ---------------------------------------------------------------------------
// The table a module describes itself with.

// Exact-type check applied to an argument right after binding.
enum class Check : unsigned char { kNone, kStr, kDict };
// Default of a parameter, as the method table gives it.
enum class Default : unsigned char { kRequired, kNone, kFalse };

struct Param {
  const Name* name;
  const char* annotation;  // the annotation's source text, never evaluated
  Check check = Check::kNone;
  Default dflt = Default::kRequired;
};

struct Call;
// A method body: receives the bound, checked arguments; returns a new reference,
// or null with an exception set and the traceback entry of the failing line added.
using Body = PyObject* (*)(Call&) noexcept;

inline constexpr int kMaxParams = 8;
inline constexpr int kMaxMethods = 4;

struct MethodSpec {
  const char* name;  // plain name, e.g. "action"
  int def_line;
  std::span<const Param> params;  // self first; keyword-only parameters last
  int n_kwonly;                   // how many trailing parameters are keyword-only
  const char* return_annotation;
  std::span<const char* const> locals;  // local variables after the parameters
  const char* doc;                      // null: no docstring
  Body body;
  int return_check_line = 0;  // non-zero: the result must be exactly str or None

  constexpr int n_positional() const noexcept { return static_cast<int>(params.size()) - n_kwonly; }
  constexpr int min_positional() const noexcept {
    int n = 0;
    while (n < n_positional() && params[n].dflt == Default::kRequired) ++n;
    return n;
  }
};

// One import statement of the module body. Without `name` the module is imported
// whole and bound under its own name; with it, `name` is imported from `module`.
struct Statement {
  int line;
  const Name* module;
  const Name* name = nullptr;
};

struct ModuleSpec {
  const char* short_name;   // e.g. "enumerate_outer_links"
  const char* dotted_name;  // e.g. "veltra.cloud.services.actions.enumerate_outer_links"
  const char* source_path;  // file name of traceback entries and code objects
  std::span<const Statement> statements;
  const Name* base_name;  // the module global the class derives from
  int class_line;
  const char* class_name;
  const char* class_doc;
  std::span<const MethodSpec> methods;
  bool keeps_open = false;  // takes the builtin `open` once, at execution
};

// The init function of a module: records the table and returns the module
// definition for multi-phase initialisation.
PyObject* init(const ModuleSpec& spec) noexcept;

// ---------------------------------------------------------------------------
// What a body works with.

struct MethodObject;

struct Call {
  MethodObject* method;
  const MethodSpec* spec;
  PyObject* args[kMaxParams];  // borrowed: the bound arguments, in parameter order

  PyObject* self() const noexcept { return args[0]; }
  PyObject* arg(int i) const noexcept { return args[i]; }
  // Adds the traceback entry of this method at `line` to the pending exception
  // and returns null, so a body can `return c.fail(line);`.
  PyObject* fail(int line) const noexcept;
  // Module-global lookup: module namespace, then builtins, else NameError.
  Ref global(const Name& name) const noexcept;
};

// The builtin `open` kept at execution (modules with keeps_open only).
PyObject* kept_open() noexcept;
// The empty tuple made at execution.
PyObject* empty_tuple() noexcept;

// Adds a traceback entry for `funcname` at `line` to the pending exception.
void add_traceback(const char* funcname, int line, PyObject* globals) noexcept;

}  // namespace frame

// Defines the init symbol of a module from its table.
#define FRAME_MODULE_INIT(short_name, spec) \
  PyMODINIT_FUNC PyInit_##short_name(void) { return ::frame::init(spec); }
