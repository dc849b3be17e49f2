// The table a module describes itself with, and the compile-time check of it.
//
// A module is one constant ModuleSpec: its names, the statements of its body
// with their source lines, its class and, per method, the parameters, defaults,
// checks, annotations, locals, docstring and body. FRAME_MODULE_INIT checks the
// whole table while it compiles, so a table that cannot be right does not build.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <span>
#include <type_traits>

#include "ref.h"

namespace frame {

// A string constant of the module. A Name is a constant whose text the table
// checks can read while compiling; its string object is made (interned when it
// is an identifier) when the module executes, and get() is valid from then on,
// until the runtime ends. Declare one with FRAME_NAME, which also registers it.
class Name {
 public:
  enum Kind : unsigned char { kIdentifier, kText };
  explicit constexpr Name(const char* text, Kind kind = kIdentifier) noexcept : text_(text), kind_(kind) {}
  Name(const Name&) = delete;
  Name& operator=(const Name&) = delete;

  PyObject* get() const noexcept { return obj_; }
  constexpr const char* text() const noexcept { return text_; }

 private:
  friend int make_names() noexcept;
  friend void forget_names() noexcept;
  const char* text_;
  Kind kind_;
  mutable PyObject* obj_ = nullptr;  // made at execution; the only part that changes
};

// A constant object of the module other than a string: made at execution by
// its maker (after every string, which it may use) and kept, like a Name.
class Made {
 public:
  using Maker = PyObject* (*)() noexcept;
  explicit constexpr Made(Maker make) noexcept : make_(make) {}
  Made(const Made&) = delete;
  Made& operator=(const Made&) = delete;

  PyObject* get() const noexcept { return obj_; }

 private:
  friend int make_names() noexcept;
  friend void forget_names() noexcept;
  Maker make_;
  mutable PyObject* obj_ = nullptr;
};

// Enters a Name or a Made in the list of constants that execution makes.
class Registration {
 public:
  explicit Registration(const Name& name) noexcept;
  explicit Registration(const Made& made) noexcept;
  Registration(const Registration&) = delete;
  Registration& operator=(const Registration&) = delete;

 private:
  friend int make_names() noexcept;
  friend void forget_names() noexcept;
  const Name* name_ = nullptr;
  const Made* made_ = nullptr;
  Registration* next_;
};

// Declares the Name `id` with the given text (and kind) and registers it.
#define FRAME_NAME(id, ...)                       \
  inline constexpr ::frame::Name id{__VA_ARGS__}; \
  inline ::frame::Registration id##_registration { id }

// Exact-type check applied to an argument right after binding.
enum class Check : unsigned char { kNone, kStr, kDict };
// Default of a parameter, as the method table gives it.
enum class Default : unsigned char { kRequired, kNone, kFalse };

struct Param {
  const Name* name;
  const char* annotation;  // the annotation's source text, never evaluated; null: none
  Check check = Check::kNone;
  Default dflt = Default::kRequired;
};

// The first parameter of every method.
FRAME_NAME(k_self, "self");
inline constexpr Param kSelf{&k_self, nullptr};

struct Call;
// A method body: receives the bound, checked arguments; returns a new reference,
// or null with an exception set and the traceback entry of the failing line added.
using Body = PyObject* (*)(Call&) noexcept;

inline constexpr std::size_t kMaxParams = 8;
inline constexpr std::size_t kMaxMethods = 4;

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

  constexpr int n_params() const noexcept { return static_cast<int>(params.size()); }
  constexpr int n_positional() const noexcept { return n_params() - n_kwonly; }
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
// The compile-time check. Each fault calls a function that is not constexpr,
// which stops the constant evaluation: the compiler's message names the fault.

namespace table_fault {
void too_many_methods() noexcept;
void too_many_parameters() noexcept;
void self_must_come_first() noexcept;
void keyword_only_count_out_of_range() noexcept;
void required_parameter_after_a_default() noexcept;
void required_keyword_only_parameter() noexcept;
void parameter_named_twice() noexcept;
void lines_out_of_order() noexcept;
void return_check_before_the_def_line() noexcept;
void no_such_parameter() noexcept;
void short_name_differs_from_the_module_name() noexcept;
}  // namespace table_fault

// Names compare by their text while compiling (the addresses of two objects
// are not constants to every compiler configuration).
consteval bool same_name(const Name* a, const Name* b) {
  const char* x = a->text();
  const char* y = b->text();
  while (*x && *x == *y) ++x, ++y;
  return *x == *y;
}

consteval bool valid_method(const MethodSpec& m, int previous_line) {
  if (m.params.empty() || !same_name(m.params[0].name, &k_self) || m.params[0].check != Check::kNone ||
      m.params[0].dflt != Default::kRequired)
    table_fault::self_must_come_first();
  if (m.params.size() > kMaxParams) table_fault::too_many_parameters();
  if (m.n_kwonly < 0 || m.n_kwonly >= m.n_params()) table_fault::keyword_only_count_out_of_range();
  for (int i = 1; i < m.n_positional(); ++i) {
    if (m.params[i - 1].dflt != Default::kRequired && m.params[i].dflt == Default::kRequired)
      table_fault::required_parameter_after_a_default();
  }
  // Binding fills keyword-only parameters from their defaults; none is required.
  for (int i = m.n_positional(); i < m.n_params(); ++i) {
    if (m.params[i].dflt == Default::kRequired) table_fault::required_keyword_only_parameter();
  }
  for (std::size_t i = 0; i < m.params.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (same_name(m.params[i].name, m.params[j].name)) table_fault::parameter_named_twice();
    }
  }
  if (m.def_line <= previous_line) table_fault::lines_out_of_order();
  if (m.return_check_line != 0 && m.return_check_line <= m.def_line) table_fault::return_check_before_the_def_line();
  return true;
}

consteval bool valid_module(const ModuleSpec& spec) {
  if (spec.methods.size() > kMaxMethods) table_fault::too_many_methods();
  int line = 0;
  for (const Statement& st : spec.statements) {
    if (st.line <= line) table_fault::lines_out_of_order();
    line = st.line;
  }
  if (spec.class_line <= line) table_fault::lines_out_of_order();
  line = spec.class_line;
  for (const MethodSpec& m : spec.methods) {
    valid_method(m, line);
    line = m.def_line;
  }
  return true;
}

// A module's own record of the source lines its bodies report: a struct of ints
// (and of such structs) declared in source order. lines_of(record) gives them in
// declaration order; a record with a member of another kind does not compile.
template <typename Lines>
consteval auto lines_of(const Lines& record) {
  static_assert(std::has_unique_object_representations_v<Lines> && sizeof(Lines) % sizeof(int) == 0,
                "a record of lines holds ints alone");
  return std::bit_cast<std::array<int, sizeof(Lines) / sizeof(int)>>(record);
}

// Each line must come after the one before.
consteval bool lines_ascend(std::span<const int> lines) {
  for (std::size_t i = 1; i < lines.size(); ++i) {
    if (lines[i] <= lines[i - 1]) table_fault::lines_out_of_order();
  }
  return true;
}

// The position of the parameter `name` among `params`, for reading a bound
// argument by name: c.arg(param_index(kParams, k_env_name)).
consteval int param_index(std::span<const Param> params, const Name& name) {
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (same_name(params[i].name, &name)) return static_cast<int>(i);
  }
  table_fault::no_such_parameter();
  return -1;
}

consteval bool same_text(const char* a, const char* b) {
  while (*a && *a == *b) ++a, ++b;
  if (*a != *b) table_fault::short_name_differs_from_the_module_name();
  return true;
}

}  // namespace frame

// The build names each module (FRAME_MODULE_NAME, its short name, from the file
// it is built from); these turn that name into text and into the init symbol.
#define FRAME_TEXT_(x) #x
#define FRAME_TEXT(x) FRAME_TEXT_(x)
#define FRAME_PASTE_(a, b) a##b
#define FRAME_PASTE(a, b) FRAME_PASTE_(a, b)

// Defines the init symbol of the module from its table, once the table has been
// checked.
#define FRAME_MODULE_INIT(spec)                                                        \
  static_assert(::frame::valid_module(spec));                                          \
  static_assert(::frame::same_text((spec).short_name, FRAME_TEXT(FRAME_MODULE_NAME))); \
  PyMODINIT_FUNC FRAME_PASTE(PyInit_, FRAME_MODULE_NAME)(void) { return ::frame::init(spec); }
