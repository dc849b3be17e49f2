// Traceback entries: one per function of the module that an exception leaves,
// made as if a Python frame had been running at the reported line.
#include "state.h"

#include <frameobject.h>

#include <cstring>

namespace frame {
namespace {

// The code object of each function and line is made on first use and kept in
// the state for the life of the runtime, with a frame for the next entry.
//
// Every live entry has a frame of its own, as a Python frame would: what a
// debugger writes into one entry's frame (pdb's `!x = ...` fills its f_locals)
// reaches no other entry and goes with that entry's traceback. Making a frame
// costs about 1,700 instructions, so the kept frame is used again when nobody
// can tell it from a new one:
//
// - nothing else holds it: its reference count is 1, its keeper's (below).
//   Every way to reach a frame (a traceback, gc.get_objects(), a debugger's
//   list of frames) holds a reference, and frames take no weak references.
//   While an entry that has it lives, the next entry gets a new frame, which
//   is kept from then on.
// - nothing that held it left state on it. A frame made by PyFrame_New never
//   runs, so what can change is only what its attributes write: f_trace,
//   f_locals (3.12 and 3.13 alike give a frame of code that is not optimised
//   its own dict, made on first read and kept, into which pdb executes;
//   3.13's write-through proxy is for optimised frames only), f_trace_lines,
//   f_trace_opcodes, and f_lasti (setting f_lineno from inside a trace
//   function, even to the same line, moves it on 3.13). f_trace and the locals
//   dict are references the frame holds, so they show in what the frame's
//   tp_traverse visits: the frame is still as made when it visits exactly what
//   it visited then (its function and code object). The two flags are read
//   as the frame type reads them, through its own member and getset tables;
//   the last instruction by PyFrame_GetLasti. Reading f_locals instead would
//   make the dict (on 3.12 a second one at every read) for every entry.
//
// Nothing in these checks runs Python code or can fail, so they run with the
// exception pending; only making a code object or a frame sets it aside.

// Where the frame type keeps f_trace_lines (a bool member) and how it reads
// f_trace_opcodes (a getter), from PyFrame_Type's tables; found once.
const FrameFlags& frame_flags() noexcept {
  FrameFlags& flags = g_caches.frame_flags;
  if (flags.looked_up) return flags;
  flags.looked_up = true;
  for (const PyMemberDef* m = PyFrame_Type.tp_members; m && m->name; ++m) {
    if (strcmp(m->name, "f_trace_lines") == 0 && m->type == Py_T_BOOL) flags.lines_offset = m->offset;
  }
  for (const PyGetSetDef* g = PyFrame_Type.tp_getset; g && g->name; ++g) {
    if (strcmp(g->name, "f_trace_opcodes") == 0) {
      flags.opcodes = g->get;
      flags.opcodes_closure = g->closure;
    }
  }
  return flags;
}

// f_trace_lines, f_trace_opcodes and f_lasti of a frame, as the frame type
// reads them.
FrameMarks marks(PyObject* frame) noexcept {
  const FrameFlags& flags = frame_flags();
  FrameMarks out{PyFrame_GetLasti(reinterpret_cast<PyFrameObject*>(frame)), -1, nullptr};
  if (flags.lines_offset >= 0) {
    out.trace_lines = *(reinterpret_cast<const unsigned char*>(frame) + flags.lines_offset);
  }
  if (flags.opcodes) {
    // The frame type's own getter: it returns True or False and cannot fail.
    PyObject* opcodes = flags.opcodes(frame, flags.opcodes_closure);
    out.trace_opcodes = opcodes;
    Py_XDECREF(opcodes);  // a bool, immortal: the pointer stays good to compare
  }
  return out;
}

TracebackEntry* find(const char* funcname, int line) noexcept {
  for (int i = 0; i < g_caches.n_entries; ++i) {
    TracebackEntry& e = g_caches.entries[i];
    if (e.line == line && e.funcname == funcname) return &e;
  }
  return nullptr;
}

PyObject* new_frame(PyObject* code, PyObject* globals) noexcept {
  return reinterpret_cast<PyObject*>(
      PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr));
}

// What a frame's tp_traverse visits, in order.
struct Referents {
  PyObject* items[kFrameReferents];
  int count;
};

int note_referent(PyObject* o, void* arg) noexcept {
  auto* seen = static_cast<Referents*>(arg);
  if (seen->count < kFrameReferents) seen->items[seen->count] = o;
  ++seen->count;
  return 0;
}

Referents referents(PyObject* frame) noexcept {
  Referents seen{{}, 0};
  (void)Py_TYPE(frame)->tp_traverse(frame, note_referent, &seen);
  return seen;
}

// Whether the kept frame of `cached` is only its keeper's and still as made.
bool reusable(const TracebackEntry& cached) noexcept {
  PyObject* frame = cached.frame;
  if (Py_REFCNT(frame) != 1) return false;
  const Referents now = referents(frame);
  if (now.count != cached.n_referents) return false;
  for (int i = 0; i < now.count; ++i) {
    if (now.items[i] != cached.referents[i]) return false;
  }
  const FrameMarks now_marks = marks(frame);
  return now_marks.lasti == cached.marks.lasti && now_marks.trace_lines == cached.marks.trace_lines &&
         now_marks.trace_opcodes == cached.marks.trace_opcodes && now_marks.trace_lines >= 0 && now_marks.trace_opcodes;
}

// ---------------------------------------------------------------------------
// The keeper: what holds the kept frame.
//
// The cache must not hold the frame itself: a frame a debugger wrote into
// would then keep what it wrote alive after the entries that had it are gone.
// The frame is held instead by a keeper that the frame reaches itself, through
// the function PyFrame_New made for it (its only referent besides the code
// object, seen by nothing but the garbage collector), as that function's
// defaults: frame -> function -> (keeper,) -> frame. The cycle keeps the frame
// while the collector does not run; once no traceback holds the frame, a
// collection frees it with whatever was left on it, and the keeper, as it goes,
// takes the frame out of the cache. A kept frame that a new one replaces is let
// go at once when nothing holds it any more (release_kept).

struct Keeper {
  PyObject_HEAD
  PyObject* frame;
  TracebackEntry* entry;  // whose kept frame it is, until another replaces it
};

Keeper* as_keeper(PyObject* self) noexcept { return reinterpret_cast<Keeper*>(self); }

int keeper_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(as_keeper(self)->frame);
  return 0;
}

int keeper_clear(PyObject* self) noexcept {
  Keeper* k = as_keeper(self);
  if (k->entry && k->entry->frame == k->frame) k->entry->frame = nullptr;
  k->entry = nullptr;
  Py_CLEAR(k->frame);
  return 0;
}

void keeper_dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  keeper_clear(self);
  PyObject_GC_Del(self);
}

// Lets the kept frame of `cached` go now, if nothing but its keeper holds it,
// instead of at the next collection: clearing its function's defaults frees
// the keeper, which takes the frame out of the cache, and the frame with it.
// Runs with no exception pending; leaves none.
void release_kept(const TracebackEntry& cached) noexcept {
  if (!cached.frame || Py_REFCNT(cached.frame) != 1) return;
  for (int i = 0; i < cached.n_referents; ++i) {
    if (!PyFunction_Check(cached.referents[i])) continue;
    const Ref function = Ref::borrow(cached.referents[i]);  // outlives the frame that holds it
    if (PyFunction_SetDefaults(function.get(), Py_None) < 0) PyErr_Clear();
    return;
  }
}

// Keeps `frame`, new and as made, as the frame the next entries at this line
// may use, in place of the one kept before. Runs with no exception pending;
// leaves none.
void keep(TracebackEntry& cached, PyObject* frame, PyObject* globals) noexcept {
  const Referents made = referents(frame);
  PyObject* function = nullptr;
  for (int i = 0; i < made.count && i < kFrameReferents; ++i) {
    if (PyFunction_Check(made.items[i])) function = made.items[i];
  }
  if (!function || made.count > kFrameReferents || !(g_caches.keeper_type.tp_flags & Py_TPFLAGS_READY)) return;
  Keeper* k = PyObject_GC_New(Keeper, &g_caches.keeper_type);
  if (!k) {
    PyErr_Clear();
    return;
  }
  k->frame = Py_NewRef(frame);
  k->entry = &cached;
  PyObject_GC_Track(k);
  Ref keeper = Ref::steal(reinterpret_cast<PyObject*>(k));
  Ref defaults = Ref::steal(PyTuple_Pack(1, keeper.get()));
  if (!defaults || PyFunction_SetDefaults(function, defaults.get()) < 0) {
    PyErr_Clear();
    return;
  }
  // Releasing the old frame may run Python code (a finalizer of what a debugger
  // left on it), even a failing call that comes back here and keeps a frame of
  // its own; this one is kept after it.
  release_kept(cached);
  for (int i = 0; i < made.count; ++i) cached.referents[i] = made.items[i];
  cached.n_referents = made.count;
  cached.marks = marks(frame);
  cached.globals = globals;
  cached.frame = frame;  // alive while its keeper is; an earlier one still held is left to its own keeper
}

// A new frame for an entry of `code` with `globals`, made with the pending
// exception set aside (looking the builtins up in the globals may run a key's
// __eq__). When the globals cannot be used (a key's __eq__ raised, say), that
// error is not the one being reported: the frame gets plain globals. `cached`,
// when given, keeps it for later entries. Null only when no frame can be made.
Ref make_frame(PyObject* code, PyObject* globals, TracebackEntry* cached) noexcept {
  Ref pending = Ref::steal(PyErr_GetRaisedException());
  Ref frame = globals ? Ref::steal(new_frame(code, globals)) : Ref();
  if (frame && cached) keep(*cached, frame.get(), globals);
  if (!frame) {
    PyErr_Clear();
    Ref plain = Ref::steal(PyDict_New());
    if (plain) frame = Ref::steal(new_frame(code, plain.get()));
  }
  PyErr_Clear();
  PyErr_SetRaisedException(pending.release());
  return frame;
}

}  // namespace

PyTypeObject keeper_type_template() noexcept {
  return {
      .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name = "traceback_frame_keeper",
      .tp_basicsize = sizeof(Keeper),
      .tp_dealloc = keeper_dealloc,
      .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
      .tp_doc = "Holds the frame kept for the traceback entries at one line.",
      .tp_traverse = keeper_traverse,
      .tp_clear = keeper_clear,
  };
}

void add_traceback(const char* funcname, int line, PyObject* globals) noexcept {
  if (!PyErr_Occurred()) return;
  if (!globals) globals = g_identity.module_dict;

  TracebackEntry* cached = find(funcname, line);
  if (cached && cached->frame && globals == cached->globals && reusable(*cached)) {
    // Held for the entry: a collection while the traceback object is made may
    // run a finalizer that fails a call and comes back here; it must not find
    // this frame unused.
    Ref frame = Ref::borrow(cached->frame);
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    return;
  }

  Ref owned_code;
  if (!cached) {
    // Made with the exception set aside; if that fails, the new error replaces
    // the pending exception.
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    auto* code = reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(g_identity.spec ? g_identity.spec->source_path : "", funcname, line));
    if (!code) return;
    PyErr_SetRaisedException(pending.release());
    if (g_caches.n_entries < kCachedEntries) {
      cached = &g_caches.entries[g_caches.n_entries++];
      *cached = {funcname, line, code};
    } else {
      owned_code = Ref::steal(code);  // past the cache's size, not reached by any module
    }
  }
  // The cache keeps frames on the module's globals; a method outliving a failed
  // execution has globals of its own, and gets a frame for each entry.
  const bool kept = cached && (globals == cached->globals || globals == g_identity.module_dict);
  Ref frame = make_frame(cached ? cached->code : owned_code.get(), globals, kept ? cached : nullptr);
  if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace frame
