"""Shared fixtures: the package from the source tree, the corpus and its expected names.

The library is found as the package finds it: a run from the source tree has
none bundled, so TAVRIK_LIBRARY names the one to test (scripts/test gives the
release build's), else the system's library path must have one.
"""

import json
import shutil
import sys
from pathlib import Path

import pytest

PYTHON_DIR = Path(__file__).resolve().parents[1]
ROOT = PYTHON_DIR.parents[1]
CORPUS = ROOT / "tests" / "fixtures" / "corpus"

sys.path.insert(0, str(PYTHON_DIR / "src"))


def _expected():
    with open(CORPUS / "expected.jsonl", encoding="utf-8") as f:
        return {case["file"]: case["suggest"] for case in map(json.loads, f)}


EXPECTED = _expected()


@pytest.fixture
def corpus_copy(tmp_path):
    """Copies a corpus file into a fresh directory: copy(name, dest_dir=None) -> Path."""

    def copy(name, dest_dir=None):
        target = Path(dest_dir) if dest_dir is not None else tmp_path
        target.mkdir(parents=True, exist_ok=True)
        return Path(shutil.copy(CORPUS / name, target / name))

    return copy
