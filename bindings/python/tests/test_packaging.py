"""The package as pip builds and installs it.

The offline installs build the library once per interpreter and take a minute
or so each; they run when TAVRIK_TEST_INSTALL=1 (scripts/test sets it).
"""

import base64
import hashlib
import os
import shutil
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

from conftest import CORPUS, PYTHON_DIR, ROOT

sys.path.insert(0, str(PYTHON_DIR))
import tavrik_build  # noqa: E402

LIBRARY_NAME = tavrik_build.LIBRARY_NAME


def library_under_test():
    library = os.environ.get("TAVRIK_LIBRARY")
    if not library:
        pytest.skip("TAVRIK_LIBRARY does not name a built library")
    return library


def test_wheel_holds_the_package_the_library_and_a_true_record(tmp_path):
    library = library_under_test()
    settings = {"library": library}
    name = tavrik_build.build_wheel(str(tmp_path / "dist"), settings)
    version = tavrik_build._version()
    dist_info = f"tavrik-{version}.dist-info"
    assert name == f"tavrik-{version}-{tavrik_build._tag(True)}.whl" and not name.endswith("-any.whl")

    with zipfile.ZipFile(tmp_path / "dist" / name) as wheel:
        files = {info.filename: wheel.read(info) for info in wheel.infolist()}
    assert sorted(files) == sorted([
        "tavrik/__init__.py", "tavrik/py.typed", "tavrik/_version.py", f"tavrik/{LIBRARY_NAME}",
        f"{dist_info}/METADATA", f"{dist_info}/WHEEL", f"{dist_info}/top_level.txt", f"{dist_info}/RECORD"])
    assert files[f"tavrik/{LIBRARY_NAME}"] == Path(library).read_bytes()
    assert f'version = "{version}"'.encode() in files["tavrik/_version.py"]
    assert f"\nVersion: {version}\n".encode() in files[f"{dist_info}/METADATA"]
    assert b"Root-Is-Purelib: false" in files[f"{dist_info}/WHEEL"]

    record = {}
    for line in files[f"{dist_info}/RECORD"].decode().splitlines():
        path, digest, size = line.rsplit(",", 2)
        record[path] = (digest, size)
    assert sorted(record) == sorted(files)
    for path, data in files.items():
        if path.endswith("/RECORD"):
            continue
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        assert record[path] == (f"sha256={digest}", str(len(data))), path

    # What pip reads before it builds is what the wheel says.
    prepared = tavrik_build.prepare_metadata_for_build_wheel(str(tmp_path / "meta"), settings)
    assert prepared == dist_info
    for part in ("METADATA", "WHEEL"):
        assert (tmp_path / "meta" / dist_info / part).read_bytes() == files[f"{dist_info}/{part}"]


def test_a_wheel_without_the_library_is_pure_python(tmp_path):
    name = tavrik_build.build_wheel(str(tmp_path), {"bundle": "false"})
    assert name.endswith("-py3-none-any.whl")
    with zipfile.ZipFile(tmp_path / name) as wheel:
        assert not [n for n in wheel.namelist() if LIBRARY_NAME in n]
        assert b"Root-Is-Purelib: true" in wheel.read(f"tavrik-{tavrik_build._version()}.dist-info/WHEEL")


@pytest.mark.parametrize("settings, error", [
    ({"bundel": "false"}, ValueError),
    ({"bundle": "maybe"}, ValueError),
    ({"library": "/nonexistent/libtavrik.so.1"}, FileNotFoundError),
    ({"library": __file__, "bundle": "false"}, ValueError),
])
def test_config_settings_are_checked(settings, error, tmp_path):
    with pytest.raises(error):
        tavrik_build.build_wheel(str(tmp_path), settings)
    assert os.listdir(tmp_path) == []


def test_sdist_holds_the_package_and_the_library_sources(tmp_path):
    name = tavrik_build.build_sdist(str(tmp_path))
    base = name[: -len(".tar.gz")]
    with tarfile.open(tmp_path / name) as sdist:
        members = {m.name[len(base) + 1:] for m in sdist.getmembers()}
    for wanted in ("PKG-INFO", "pyproject.toml", "bindings/python/pyproject.toml", "bindings/python/tavrik_build.py",
                   "bindings/python/src/tavrik/__init__.py", "bindings/python/src/tavrik/py.typed",
                   "CMakeLists.txt", "cmake/tavrik.pc.in", "include/tavrik.h", "src/tavrik.cpp"):
        assert wanted in members
    # Everything the library's build reads is there.
    sources = {p.relative_to(ROOT).as_posix() for p in (ROOT / "src").rglob("*") if p.is_file()}
    assert sources <= members


# ---- offline installs from a clean copy ---------------------------------------------

USER_SCRIPT = r"""
import os, pathlib, shutil, sys, threading
import tavrik

corpus, work = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
assert pathlib.Path(tavrik.library_path()).parent == pathlib.Path(tavrik.__file__).parent, tavrik.library_path()
assert (pathlib.Path(tavrik.__file__).parent / "py.typed").exists()

river = corpus / "p13_gs_groff_river.pdf"
for arg in (str(river), os.fsencode(str(river)), river):
    assert tavrik.suggest(arg) == "Field Notes on River Ecology.pdf"
bad = str(corpus / "p34_not_a_pdf.pdf")
try:
    tavrik.suggest(bad, "first-line")
    raise SystemExit("no error")
except tavrik.Error as e:
    assert str(e) == f"failed to parse PDF: {bad} (not a PDF or unreadable)", str(e)
try:
    tavrik.suggest(river, "bogus")
    raise SystemExit("no error")
except ValueError:
    pass

(work / "in").mkdir()
shutil.copy(river, work / "in" / "scan1.pdf")
shutil.copy(corpus / "p01_lo_annual_report.pdf", work / "in" / "scan2.pdf")
assert tavrik.rename(work / "in" / "scan1.pdf", 1, work / "out") == str(work / "out" / "Field Notes on River Ecology.pdf")
assert tavrik.batch(work / "in", work / "out", "date+title") == (1, "renamed 1 file(s)")

# 8 threads at once, each naming its own file many times over.
files = [river, corpus / "p01_lo_annual_report.pdf", corpus / "p15_rl_greek_cyrillic.pdf"]
alone = {(i, s): tavrik.suggest(files[i % 3], s) for i in range(8) for s in range(3)}
answers = {}
def name(index):
    answers[index] = [tavrik.suggest(files[index % 3], s) for s in (0, 1, 2) * 50]
threads = [threading.Thread(target=name, args=(i,)) for i in range(8)]
for t in threads: t.start()
for t in threads: t.join()
expected = {i: [alone[(i, s)] for s in (0, 1, 2) * 50] for i in range(8)}
assert answers == expected, answers
print("ok")
"""

install = pytest.mark.skipif(os.environ.get("TAVRIK_TEST_INSTALL") != "1",
                             reason="set TAVRIK_TEST_INSTALL=1 for the offline installs")


def clean_copy(target):
    """The repository's files as a fresh clone has them: tracked files only, no builds."""
    if (ROOT / ".git").exists() and shutil.which("git"):
        listed = subprocess.run(["git", "-C", str(ROOT), "ls-files", "-z"], check=True, capture_output=True).stdout
        for name in filter(None, listed.decode("utf-8", "surrogateescape").split("\0")):
            source = ROOT / name
            if source.is_file():
                (target / name).parent.mkdir(parents=True, exist_ok=True)
                shutil.copy2(source, target / name)
    else:
        shutil.copytree(ROOT, target, ignore=shutil.ignore_patterns(".git", "out", "build*", "__pycache__"))
    return target


def offline_env():
    env = {k: v for k, v in os.environ.items()
           if k not in ("TAVRIK_LIBRARY", "PYTHONPATH", "LD_LIBRARY_PATH") and not k.startswith("PIP_")}
    env.update(PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_CONFIG_FILE=os.devnull, PIP_NO_INPUT="1")
    return env


def install_and_use(python, source, tmp_path, *pip_args):
    venv = tmp_path / "venv"
    subprocess.run([python, "-m", "venv", str(venv)], check=True)
    venv_python = venv / ("Scripts/python.exe" if os.name == "nt" else "bin/python")
    env = offline_env()
    subprocess.run([str(venv_python), "-m", "pip", "install", "--no-index", "--no-build-isolation", *pip_args,
                    str(source)], check=True, env=env, timeout=1800)
    work = tmp_path / "work"
    work.mkdir()
    # Away from the source tree, so that only the installed package can be imported.
    run = subprocess.run([str(venv_python), "-c", USER_SCRIPT, str(CORPUS), str(work)],
                         cwd=work, env=env, capture_output=True, text=True)
    assert run.returncode == 0 and run.stdout == "ok\n", run.stderr


def interpreter(command):
    found = shutil.which(command)
    if found is None:
        return None
    run = subprocess.run([found, "-c", "import sys; print(sys.executable)"], capture_output=True, text=True)
    return os.path.realpath(run.stdout.strip()) if run.returncode == 0 else None


@install
@pytest.mark.parametrize("command", ["/usr/bin/python3", "python3"], ids=["debian-python", "path-python"])
def test_pip_installs_offline_from_a_clean_copy_and_builds_the_library(command, tmp_path):
    python = interpreter(command)
    if python is None:
        pytest.skip(f"no {command}")
    if command == "python3" and python == interpreter("/usr/bin/python3"):
        pytest.skip("python3 on PATH is /usr/bin/python3")
    source = clean_copy(tmp_path / "clone")
    install_and_use(python, source / "bindings" / "python", tmp_path)
    assert sorted(p.name for p in (source / "bindings" / "python").iterdir()) == [
        "pyproject.toml", "src", "tavrik_build.py", "tests"], "the build left files in the source tree"


@install
def test_pip_installs_from_the_top_of_the_repository_too(tmp_path):
    source = clean_copy(tmp_path / "clone")
    install_and_use(sys.executable, source, tmp_path, "--config-settings", f"library={library_under_test()}")
