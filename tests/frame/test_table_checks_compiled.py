"""A module table that cannot be right does not compile: FRAME_MODULE_INIT checks
the whole table while the module builds."""

from __future__ import annotations

import shutil
import subprocess
import sysconfig
from dataclasses import dataclass
from pathlib import Path

import pytest

FRAME = Path(__file__).resolve().parents[2] / "src" / "module_frame"

PARAMS = {
    "good": "frame::kSelf, {&k_a, nullptr}, {&k_b, nullptr, Check::kNone, Default::kNone}",
    "ten parameters": "frame::kSelf, " + ", ".join(f"{{&k_p{i}, nullptr}}" for i in range(9)),
    "self missing": "{&k_a, nullptr}, {&k_b, nullptr}",
    "self not first": "{&k_a, nullptr}, frame::kSelf",
    "required after a default": "frame::kSelf, {&k_a, nullptr, Check::kNone, Default::kNone}, {&k_b, nullptr}",
    "a parameter twice": "frame::kSelf, {&k_a, nullptr}, {&k_a, nullptr}",
    "required keyword-only last": "frame::kSelf, {&k_a, nullptr, Check::kNone, Default::kNone}, {&k_b, nullptr}",
}

SOURCE = """
#include "frame.h"
namespace {
using frame::Check;
using frame::Default;
using frame::Name;
using frame::Param;
FRAME_NAME(k_a, "a");
FRAME_NAME(k_b, "b");
%(names)s
FRAME_NAME(k_mod, "m");
constexpr Param kParams[] = {%(params)s};
PyObject* body(frame::Call&) noexcept { return nullptr; }
constexpr frame::MethodSpec method(const char* name, int def_line) {
  return {.name = name, .def_line = def_line, .params = kParams, .n_kwonly = %(kwonly)d,
          .return_annotation = "None", .locals = {}, .doc = nullptr, .body = body};
}
constexpr frame::MethodSpec kMethods[] = {%(methods)s};
constexpr frame::Statement kStatements[] = {%(statements)s};
constexpr frame::ModuleSpec kModule = {.short_name = "probe", .dotted_name = "probe", .source_path = "probe",
                                       .statements = kStatements, .base_name = &k_mod, .class_line = %(class_line)d,
                                       .class_name = "C", .class_doc = "", .methods = kMethods};
}  // namespace
FRAME_MODULE_INIT(kModule)
"""


@dataclass(frozen=True)
class Lines:
    """The source lines of the probe module: its import statements, its class
    statement and its methods' def lines."""

    statements: tuple[int, ...] = (1,)
    class_line: int = 2
    defs: tuple[int, ...] = (3,)


LINES = {
    "in order": Lines(statements=(1, 2), class_line=4, defs=(6, 9)),
    "statements out of order": Lines(statements=(2, 1), class_line=4, defs=(6,)),
    "class on a statement's line": Lines(statements=(1, 2), class_line=2, defs=(6,)),
    "def on the class line": Lines(class_line=4, defs=(4,)),
    "two methods on one line": Lines(class_line=4, defs=(6, 6)),
    "methods out of order": Lines(class_line=4, defs=(9, 6)),
}


def compile_table(
    tmp_path: Path, params: str, kwonly: int = 0, lines: Lines | None = None
) -> subprocess.CompletedProcess:
    lines = lines or Lines()
    names = "\n".join(f'FRAME_NAME(k_p{i}, "p{i}");' for i in range(9))
    return compile_source(
        tmp_path,
        SOURCE
        % {
            "names": names,
            "params": params,
            "kwonly": kwonly,
            "methods": ", ".join(f'method("f{i}", {line})' for i, line in enumerate(lines.defs)),
            "statements": ", ".join(f"{{{line}, &k_mod}}" for line in lines.statements),
            "class_line": lines.class_line,
        },
    )


def compile_source(tmp_path: Path, text: str) -> subprocess.CompletedProcess:
    compiler = shutil.which("c++") or shutil.which("g++")
    include = sysconfig.get_paths()["include"]
    if compiler is None or not (Path(include) / "Python.h").exists():
        pytest.skip("no C++ compiler or Python headers to compile a table with")
    source = tmp_path / "probe.cpp"
    source.write_text(text)
    return subprocess.run(
        [
            compiler,
            "-std=c++20",
            "-fsyntax-only",
            "-DFRAME_MODULE_NAME=probe",
            f"-I{FRAME}",
            f"-I{include}",
            str(source),
        ],
        capture_output=True,
        text=True,
        timeout=120,
    )


@pytest.mark.parametrize("lines", [Lines(), LINES["in order"]], ids=["one method", "two methods"])
def test_a_good_table_compiles(tmp_path, lines):
    result = compile_table(tmp_path, PARAMS["good"], lines=lines)
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize(
    "fault, case, kwonly",
    [
        ("too_many_parameters", "ten parameters", 0),
        ("self_must_come_first", "self missing", 0),
        ("self_must_come_first", "self not first", 0),
        ("required_parameter_after_a_default", "required after a default", 0),
        ("parameter_named_twice", "a parameter twice", 0),
        ("keyword_only_count_out_of_range", "good", 3),
        # Binding fills keyword-only parameters from their defaults.
        ("required_keyword_only_parameter", "good", 2),
        ("required_keyword_only_parameter", "required keyword-only last", 1),
    ],
)
def test_a_bad_table_does_not_compile(tmp_path, fault, case, kwonly):
    result = compile_table(tmp_path, PARAMS[case], kwonly)
    assert result.returncode != 0
    assert f"table_fault::{fault}" in result.stderr


@pytest.mark.parametrize("case", [case for case in LINES if case != "in order"])
def test_lines_out_of_order_do_not_compile(tmp_path, case):
    result = compile_table(tmp_path, PARAMS["good"], lines=LINES[case])
    assert result.returncode != 0
    assert "table_fault::lines_out_of_order" in result.stderr


# A module's own record of the lines its bodies report (a connection module's
# ConnectionLines, the deploy's DeployLines): ints, and records of ints, in
# source order.
RECORD = """
#include "frame.h"
namespace {
struct Step { %(step)s };
struct Lines { int def_line; Step step; int last; };
constexpr Lines kAt = {%(values)s};
static_assert(frame::lines_ascend(frame::lines_of(kAt)));
}  // namespace
"""


@pytest.mark.parametrize(
    "step, values, fault",
    [
        ("int test; int copy;", "36, {62, 63}, 70", None),
        ("int test; int copy;", "36, {63, 62}, 70", "table_fault::lines_out_of_order"),
        ("int test; int copy;", "36, {62, 70}, 70", "table_fault::lines_out_of_order"),
        ("int test; bool copy;", "36, {62, true}, 70", "a record of lines holds ints alone"),
    ],
    ids=["in order", "a step out of order", "two steps on one line", "not all ints"],
)
def test_a_record_of_lines_compiles_only_in_source_order(tmp_path, step, values, fault):
    result = compile_source(tmp_path, RECORD % {"step": step, "values": values})
    if fault is None:
        assert result.returncode == 0, result.stderr
    else:
        assert result.returncode != 0
        assert fault in result.stderr
