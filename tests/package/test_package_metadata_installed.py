"""The installed package's metadata says what the project promises: one version,
exactly the interpreters that are built and tested, the license it ships."""

from __future__ import annotations

import importlib.metadata
import re
from pathlib import Path

import pytest

import veltra

ROOT = Path(__file__).resolve().parents[2]
DIST = "veltra-actions"


@pytest.fixture(scope="module")
def metadata() -> importlib.metadata.PackageMetadata:
    return importlib.metadata.metadata(DIST)


def supported_by_dev() -> list[str]:
    """The interpreters ./dev dist builds wheels for."""
    found = re.search(r'^SUPPORTED="([^"]*)"', (ROOT / "dev").read_text(), re.MULTILINE)
    assert found, "dev has no SUPPORTED line"
    return found.group(1).split()


def test_version_has_one_source(metadata):
    # The build backend reads the version from veltra/__init__.py; the two never drift.
    assert metadata["Version"] == veltra.__version__


@pytest.mark.parametrize(
    "source",
    ["requires-python", "classifiers"],
)
def test_supported_pythons_agree_with_what_is_built(metadata, source):
    built = supported_by_dev()
    if source == "requires-python":
        low, high = built[0], built[-1]
        major, minor = high.split(".")
        spec = sorted(part.strip() for part in metadata["Requires-Python"].split(","))
        assert spec == sorted([f">={low}", f"<{major}.{int(minor) + 1}"])
    else:
        versions = [
            c.rsplit(" :: ", 1)[1]
            for c in metadata.get_all("Classifier") or []
            if re.fullmatch(r"Programming Language :: Python :: \d+\.\d+", c)
        ]
        assert versions == built


def test_license_is_declared_and_shipped(metadata):
    assert metadata["License-Expression"] == "MIT"
    files = [str(f) for f in importlib.metadata.files(DIST) or []]
    assert any(f.endswith("licenses/LICENSE") for f in files), files
    assert (ROOT / "LICENSE").read_text().startswith("MIT License")
