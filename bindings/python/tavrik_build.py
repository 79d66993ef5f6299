"""Build backend of the tavrik Python package (pyproject.toml names it).

A wheel holds the package's modules and, built here with CMake from the
repository's sources, the tavrik shared library beside them. The backend needs
nothing beyond the standard library, so `pip install --no-index
--no-build-isolation` works offline in a fresh virtual environment: setuptools,
which such an environment has, cannot build a wheel there without the separate
`wheel` package.

Config settings (pip install --config-settings KEY=VALUE):
  library=PATH   bundle this library, built already, instead of building one
  bundle=false   bundle no library; the package then finds one through
                 TAVRIK_LIBRARY or on the system's library path

The metadata comes from the [project] table of pyproject.toml beside this file,
the version from the project() line of the top CMakeLists.txt, so that package
and library carry the same version.
"""

from __future__ import annotations

import base64
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import time
import zipfile
from pathlib import Path
from typing import Dict, List, Optional, Tuple

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
PACKAGE_DIR = HERE / "src" / "tavrik"

if sys.platform == "win32":
    LIBRARY_NAME = "tavrik.dll"
elif sys.platform == "darwin":
    LIBRARY_NAME = "libtavrik.1.dylib"
else:
    LIBRARY_NAME = "libtavrik.so.1"

# What the library's build needs of the repository, and so what an sdist holds.
LIBRARY_SOURCES = ("CMakeLists.txt", "cmake", "include", "src")
PACKAGE_FILE_PATTERNS = ("*.py", "py.typed")
SETTINGS = ("library", "bundle")


# ---- metadata ------------------------------------------------------------------

def _version() -> str:
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    match = re.search(r"project\(\s*tavrik\s+VERSION\s+([0-9][0-9.]*)", text)
    if not match:
        raise RuntimeError(f"no 'project(tavrik VERSION ...)' in {ROOT / 'CMakeLists.txt'}")
    return match.group(1)


def _project() -> dict:
    try:
        import tomllib
    except ImportError:
        try:
            import tomli as tomllib  # type: ignore[no-redef]
        except ImportError:
            raise RuntimeError("building the tavrik package needs Python 3.11 or later, or the tomli package") from None
    with open(HERE / "pyproject.toml", "rb") as f:
        return tomllib.load(f)["project"]


def _metadata_text() -> str:
    project = _project()
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {_version()}",
        f"Summary: {project['description']}",
        f"Requires-Python: {project['requires-python']}",
    ]
    lines += [f"Classifier: {c}" for c in project.get("classifiers", [])]
    return "\n".join(lines) + "\n"


def _dist_info() -> str:
    return f"tavrik-{_version()}.dist-info"


def _wheel_text(tag: str, purelib: bool) -> str:
    return (f"Wheel-Version: 1.0\nGenerator: tavrik_build\n"
            f"Root-Is-Purelib: {'true' if purelib else 'false'}\nTag: {tag}\n")


def _tag(bundled: bool) -> str:
    if not bundled:
        return "py3-none-any"
    # ctypes bindings: any Python 3, no Python ABI, but this machine's platform.
    return "py3-none-" + re.sub(r"[-.]", "_", sysconfig.get_platform())


# ---- config settings -------------------------------------------------------------

def _settings(config_settings: Optional[dict]) -> Dict[str, str]:
    settings: Dict[str, str] = {}
    for key, value in (config_settings or {}).items():
        if key not in SETTINGS:
            raise ValueError(f"unknown config setting {key!r} (known: {', '.join(SETTINGS)})")
        settings[key] = value[-1] if isinstance(value, list) else str(value)
    return settings


def _bundles(settings: Dict[str, str]) -> bool:
    value = settings.get("bundle", "true").strip().lower()
    if value in ("true", "yes", "on", "1"):
        return True
    if value in ("false", "no", "off", "0"):
        if "library" in settings:
            raise ValueError("config settings library=PATH and bundle=false contradict each other")
        return False
    raise ValueError(f"config setting bundle={value!r}: expected true or false")


# ---- the library -------------------------------------------------------------------

def _run(command: List[str]) -> None:
    print("+ " + " ".join(command), file=sys.stderr, flush=True)
    subprocess.run(command, check=True)


def _build_library(scratch: Path) -> Path:
    """Builds the shared library alone (no tests, no command) and returns its file."""
    if not (ROOT / "CMakeLists.txt").is_file() or not (ROOT / "src").is_dir():
        raise RuntimeError(
            f"the tavrik library's sources are not at {ROOT}, where this package expects them "
            "(pip older than 21.3 copies the package away from them). Install the package from the "
            "repository, or pass --config-settings library=PATH (a built library) or bundle=false")
    cmake = shutil.which("cmake")
    if cmake is None:
        raise RuntimeError(
            "building the tavrik library needs CMake and a C++20 compiler; or pass --config-settings "
            "library=PATH (a built library) or bundle=false (find one through TAVRIK_LIBRARY or the "
            "system's library path)")
    build = scratch / "build"
    configure = [cmake, "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                 "-DTAVRIK_BUILD_TESTS=OFF", "-DTAVRIK_BUILD_CLI=OFF",
                 # A newer compiler's new warnings must not fail a user's install.
                 "-DTAVRIK_WERROR=OFF"]
    if "CMAKE_GENERATOR" not in os.environ and shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    _run(configure)
    compile_ = [cmake, "--build", str(build), "--target", "tavrik", "--config", "Release"]
    if "CMAKE_BUILD_PARALLEL_LEVEL" not in os.environ:
        # A bare --parallel lets make start any number of jobs.
        compile_ += ["--parallel", str(os.cpu_count() or 1)]
    _run(compile_)
    for candidate in (build / LIBRARY_NAME, build / "Release" / LIBRARY_NAME):
        if candidate.exists():
            return candidate.resolve()  # the file itself, not the SONAME link
    raise RuntimeError(f"the build made no {LIBRARY_NAME} in {build}")


def _library_for_wheel(settings: Dict[str, str], scratch: Path) -> Optional[Path]:
    if not _bundles(settings):
        return None
    if "library" in settings:
        library = Path(settings["library"]).expanduser().resolve()
        if not library.is_file():
            raise FileNotFoundError(f"config setting library={settings['library']}: no such file")
        return library
    return _build_library(scratch)


# ---- archives --------------------------------------------------------------------

def _package_files() -> List[Tuple[str, Path]]:
    files = set()
    for pattern in PACKAGE_FILE_PATTERNS:
        files.update(p for p in PACKAGE_DIR.rglob(pattern) if "__pycache__" not in p.parts)
    return sorted((p.relative_to(PACKAGE_DIR.parent).as_posix(), p) for p in files)


def _zip_time() -> Tuple[int, int, int, int, int, int]:
    # Reproducible archives: the time that SOURCE_DATE_EPOCH gives, else zip's epoch.
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if epoch and epoch.isdigit():
        return max(time.gmtime(int(epoch))[:6], (1980, 1, 1, 0, 0, 0))
    return (1980, 1, 1, 0, 0, 0)


def _record_hash(data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
    return "sha256=" + digest.decode("ascii")


def _write_wheel(path: Path, entries: List[Tuple[str, bytes, int]]) -> None:
    """Writes the entries (archive name, content, file mode) and a RECORD of them."""
    record_name = f"{_dist_info()}/RECORD"
    record = "".join(f"{name},{_record_hash(data)},{len(data)}\n" for name, data, _ in entries)
    record += f"{record_name},,\n"
    stamp = _zip_time()
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED) as wheel:
        for name, data, mode in entries + [(record_name, record.encode("utf-8"), 0o644)]:
            info = zipfile.ZipInfo(name, date_time=stamp)
            info.external_attr = (0o100000 | mode) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(info, data)


# ---- PEP 517 hooks -------------------------------------------------------------------

def get_requires_for_build_wheel(config_settings: Optional[dict] = None) -> List[str]:
    return []


def get_requires_for_build_sdist(config_settings: Optional[dict] = None) -> List[str]:
    return []


def prepare_metadata_for_build_wheel(metadata_directory: str, config_settings: Optional[dict] = None) -> str:
    settings = _settings(config_settings)
    bundled = _bundles(settings)
    target = Path(metadata_directory) / _dist_info()
    target.mkdir(parents=True, exist_ok=True)
    (target / "METADATA").write_text(_metadata_text(), encoding="utf-8")
    (target / "WHEEL").write_text(_wheel_text(_tag(bundled), purelib=not bundled), encoding="utf-8")
    return target.name


def build_wheel(wheel_directory: str, config_settings: Optional[dict] = None,
                metadata_directory: Optional[str] = None) -> str:
    settings = _settings(config_settings)
    version = _version()
    with tempfile.TemporaryDirectory(prefix="tavrik-wheel-") as scratch:
        library = _library_for_wheel(settings, Path(scratch))
        tag = _tag(library is not None)
        entries = [(name, path.read_bytes(), 0o644) for name, path in _package_files()]
        entries.append(("tavrik/_version.py", f'version = "{version}"\n'.encode("ascii"), 0o644))
        if library is not None:
            entries.append((f"tavrik/{LIBRARY_NAME}", library.read_bytes(), 0o755))
        entries.append((f"{_dist_info()}/METADATA", _metadata_text().encode("utf-8"), 0o644))
        entries.append((f"{_dist_info()}/WHEEL", _wheel_text(tag, purelib=library is None).encode("utf-8"), 0o644))
        entries.append((f"{_dist_info()}/top_level.txt", b"tavrik\n", 0o644))
        name = f"tavrik-{version}-{tag}.whl"
        Path(wheel_directory).mkdir(parents=True, exist_ok=True)
        _write_wheel(Path(wheel_directory) / name, entries)
    return name


def build_sdist(sdist_directory: str, config_settings: Optional[dict] = None) -> str:
    """The package and the library's sources, laid out as in the repository."""
    _settings(config_settings)
    base = f"tavrik-{_version()}"
    members: List[Path] = [ROOT / "pyproject.toml", HERE / "pyproject.toml", Path(__file__).resolve()]
    members += [path for _, path in _package_files()]
    for name in LIBRARY_SOURCES:
        source = ROOT / name
        members += [source] if source.is_file() else sorted(p for p in source.rglob("*") if p.is_file())
    name = f"{base}.tar.gz"
    Path(sdist_directory).mkdir(parents=True, exist_ok=True)
    mtime = int(os.environ.get("SOURCE_DATE_EPOCH", "0") or 0)

    def add(tar: tarfile.TarFile, arcname: str, data: bytes) -> None:
        info = tarfile.TarInfo(f"{base}/{arcname}")
        info.size, info.mode, info.mtime = len(data), 0o644, mtime
        tar.addfile(info, io.BytesIO(data))

    with tarfile.open(Path(sdist_directory) / name, "w:gz", format=tarfile.PAX_FORMAT) as tar:
        add(tar, "PKG-INFO", _metadata_text().encode("utf-8"))
        for path in sorted(set(members)):
            add(tar, path.relative_to(ROOT).as_posix(), path.read_bytes())
    return name
