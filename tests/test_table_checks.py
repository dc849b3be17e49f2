"""A module table that cannot be right does not compile: FRAME_MODULE_INIT checks
the whole table while the module builds."""

from __future__ import annotations

import shutil
import subprocess
import sysconfig
from pathlib import Path

import pytest

FRAME = Path(__file__).resolve().parents[1] / "src" / "module_frame"

PARAMS = {
    "good": "frame::kSelf, {&k_a, nullptr}, {&k_b, nullptr, Check::kNone, Default::kNone}",
    "ten parameters": "frame::kSelf, " + ", ".join(f"{{&k_p{i}, nullptr}}" for i in range(9)),
    "self missing": "{&k_a, nullptr}, {&k_b, nullptr}",
    "self not first": "{&k_a, nullptr}, frame::kSelf",
    "required after a default": "frame::kSelf, {&k_a, nullptr, Check::kNone, Default::kNone}, {&k_b, nullptr}",
    "a parameter twice": "frame::kSelf, {&k_a, nullptr}, {&k_a, nullptr}",
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
constexpr frame::MethodSpec kMethods[] = {{.name = "f", .def_line = 3, .params = kParams, .n_kwonly = %(kwonly)d,
                                           .return_annotation = "None", .locals = {}, .doc = nullptr, .body = body}};
constexpr frame::Statement kStatements[] = {{1, &k_mod}};
constexpr frame::ModuleSpec kModule = {.short_name = "probe", .dotted_name = "probe", .source_path = "probe",
                                       .statements = kStatements, .base_name = &k_mod, .class_line = 2,
                                       .class_name = "C", .class_doc = "", .methods = kMethods};
}  // namespace
FRAME_MODULE_INIT(kModule)
"""


def compile_table(tmp_path: Path, params: str, kwonly: int = 0) -> subprocess.CompletedProcess:
    compiler = shutil.which("c++") or shutil.which("g++")
    include = sysconfig.get_paths()["include"]
    if compiler is None or not (Path(include) / "Python.h").exists():
        pytest.skip("no C++ compiler or Python headers to compile a table with")
    names = "\n".join(f'FRAME_NAME(k_p{i}, "p{i}");' for i in range(9))
    source = tmp_path / "probe.cpp"
    source.write_text(SOURCE % {"names": names, "params": params, "kwonly": kwonly})
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


def test_a_good_table_compiles(tmp_path):
    result = compile_table(tmp_path, PARAMS["good"])
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
    ],
)
def test_a_bad_table_does_not_compile(tmp_path, fault, case, kwonly):
    result = compile_table(tmp_path, PARAMS[case], kwonly)
    assert result.returncode != 0
    assert f"table_fault::{fault}" in result.stderr
