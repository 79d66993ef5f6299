"""The package as a Python program uses it: names, errors, moves, threads."""

import os
import random
import shutil
import subprocess
import sys
import threading
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

import tavrik
from conftest import CORPUS, EXPECTED, PYTHON_DIR

STRATEGY_NAMES = ("title", "first-line", "date+title")


def expected_outcome(name, strategy, path_text):
    """(suggested name, None) or (None, the exact error message for path_text)."""
    suggestion, message = EXPECTED[name][str(strategy)]
    if suggestion:
        return suggestion, None
    return None, message.replace(name, path_text)


def outcome(call):
    try:
        return call(), None
    except tavrik.Error as e:
        assert str(e) == e.message
        return None, e.message


@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_suggest_names_each_corpus_file_or_gives_the_exact_message(name):
    path = str(CORPUS / name)
    for number, strategy in enumerate(STRATEGY_NAMES):
        want = expected_outcome(name, number, path)
        assert outcome(lambda: tavrik.suggest(path, strategy)) == want, strategy
        assert outcome(lambda: tavrik.suggest(path, number)) == want, number


@pytest.mark.parametrize("kind", [str, os.fsencode, Path], ids=["str", "bytes", "PathLike"])
def test_paths_may_be_str_bytes_or_pathlike(kind, corpus_copy, tmp_path):
    source = corpus_copy("p13_gs_groff_river.pdf", tmp_path / "in")
    assert tavrik.suggest(kind(str(source))) == "Field Notes on River Ecology.pdf"

    dest = tavrik.rename(kind(str(source)), "title", kind(str(tmp_path / "out")))
    assert dest == str(tmp_path / "out" / "Field Notes on River Ecology.pdf")

    corpus_copy("p01_lo_annual_report.pdf", tmp_path / "in")
    result = tavrik.batch(kind(str(tmp_path / "in")), kind(str(tmp_path / "out")))
    assert result == (1, "renamed 1 file(s)")
    assert sorted(os.listdir(tmp_path / "out")) == [
        "Annual Report 2023 – Harbour Trust.pdf", "Field Notes on River Ecology.pdf"]


def test_a_path_that_is_not_valid_text_comes_back_byte_for_byte(tmp_path):
    raw = os.fsencode(str(tmp_path)) + b"/scan\xff\xfe.pdf"
    with pytest.raises(tavrik.Error) as e:
        tavrik.suggest(raw)
    want = b"failed to parse PDF: " + raw + b" (not a PDF or unreadable)"
    assert os.fsencode(str(e.value)) == want


def test_failures_raise_the_library_message(corpus_copy, tmp_path):
    missing = str(tmp_path / "missing.pdf")
    encrypted = str(corpus_copy("p26_qpdf_rc4_128.pdf"))
    empty_dir = tmp_path / "empty"
    empty_dir.mkdir()
    broken_dir = tmp_path / "broken"
    corpus_copy("p34_not_a_pdf.pdf", broken_dir)
    corpus_copy("p27_qpdf_aes256.pdf", broken_dir)
    cases = [
        (lambda: tavrik.suggest(""), "input_path is NULL or empty"),
        (lambda: tavrik.rename(""), "input_path is NULL or empty"),
        (lambda: tavrik.batch(""), "input_dir is NULL or empty"),
        (lambda: tavrik.suggest(missing), f"failed to parse PDF: {missing} (not a PDF or unreadable)"),
        (lambda: tavrik.rename(missing, output_dir=str(tmp_path / "out")),
         f"failed to parse PDF: {missing} (not a PDF or unreadable)"),
        (lambda: tavrik.rename(encrypted), f"PDF is encrypted; cannot read content: {encrypted}"),
        (lambda: tavrik.batch(str(empty_dir)), f"cannot open directory: {empty_dir}"),
        (lambda: tavrik.batch(str(broken_dir)), f"no PDFs could be renamed in {broken_dir}"),
    ]
    for call, message in cases:
        with pytest.raises(tavrik.Error) as e:
            call()
        assert str(e.value) == message
        assert e.value.message == message
    assert sorted(os.listdir(broken_dir)) == ["p27_qpdf_aes256.pdf", "p34_not_a_pdf.pdf"]
    assert os.path.exists(encrypted)


@pytest.mark.parametrize("strategy, error", [
    ("bogus", ValueError), ("Title", ValueError), ("", ValueError), ("0", ValueError),
    (3, ValueError), (-1, ValueError), (2**40, ValueError),
    (None, TypeError), (1.0, TypeError), (True, TypeError),
])
def test_unknown_strategies_are_refused_before_any_file_is_touched(strategy, error, corpus_copy, tmp_path):
    source = corpus_copy("p13_gs_groff_river.pdf")
    for call in (lambda: tavrik.suggest(source, strategy),
                 lambda: tavrik.rename(source, strategy, tmp_path / "out"),
                 lambda: tavrik.batch(tmp_path, tmp_path / "out", strategy)):
        with pytest.raises(error):
            call()
    assert source.exists()
    assert not (tmp_path / "out").exists()


def test_a_path_with_a_null_byte_is_refused_not_cut(corpus_copy, tmp_path):
    # The library would see only the text before the null byte: another file.
    source = corpus_copy("p13_gs_groff_river.pdf")
    for call in (lambda: tavrik.suggest(str(source) + "\0.txt"),
                 lambda: tavrik.rename(os.fsencode(source) + b"\0"),
                 lambda: tavrik.rename(source, output_dir=str(tmp_path / "out") + "\0x"),
                 lambda: tavrik.batch(str(tmp_path) + "\0")):
        with pytest.raises(ValueError, match="null byte"):
            call()
    assert source.exists()
    assert not (tmp_path / "out").exists()


def test_rename_moves_without_overwriting_or_changing_the_file(corpus_copy, tmp_path):
    first = corpus_copy("p13_gs_groff_river.pdf", tmp_path / "a")
    second = corpus_copy("p13_gs_groff_river.pdf", tmp_path / "b")
    content = first.read_bytes()
    out = tmp_path / "out" / "nested"

    dest = tavrik.rename(first, output_dir=out)
    assert dest == str(out / "Field Notes on River Ecology.pdf")
    assert not first.exists()
    assert Path(dest).read_bytes() == content

    # Named already: stays, and its path comes back.
    assert tavrik.rename(dest, output_dir=out) == dest
    assert tavrik.rename(dest) == dest
    # The name is taken by another file: a counter, nothing replaced.
    assert tavrik.rename(second, output_dir=out) == str(out / "Field Notes on River Ecology-2.pdf")
    assert sorted(os.listdir(out)) == ["Field Notes on River Ecology-2.pdf", "Field Notes on River Ecology.pdf"]

    # Without an output directory the file stays in its own.
    third = corpus_copy("p01_lo_annual_report.pdf", tmp_path / "c")
    assert tavrik.rename(third, "date+title") == str(
        tmp_path / "c" / "2024-02-21 Annual Report 2023 – Harbour Trust.pdf")


def test_batch_counts_renamed_and_failed_files(corpus_copy, tmp_path):
    inbox = tmp_path / "in"
    for name in ("p01_lo_annual_report.pdf", "p13_gs_groff_river.pdf",
                 "p26_qpdf_rc4_128.pdf", "p34_not_a_pdf.pdf"):
        corpus_copy(name, inbox)

    result = tavrik.batch(inbox, tmp_path / "out", "first-line")
    assert result == tavrik.BatchResult(2, "renamed 2 file(s), 2 failed")
    assert (result.renamed, result.failed) == (2, 2)
    assert sorted(os.listdir(tmp_path / "out")) == [
        "Field Notes on River Ecology.pdf", "Harbour Trust — Annual Report 2023.pdf"]
    assert sorted(os.listdir(inbox)) == ["p26_qpdf_rc4_128.pdf", "p34_not_a_pdf.pdf"]

    # In place, a second run finds every file named already.
    corpus_copy("p01_lo_annual_report.pdf", inbox)
    os.remove(inbox / "p26_qpdf_rc4_128.pdf")
    os.remove(inbox / "p34_not_a_pdf.pdf")
    assert tavrik.batch(inbox) == (1, "renamed 1 file(s)")
    again = tavrik.batch(inbox)
    assert again == (1, "renamed 1 file(s)") and again.failed == 0
    assert os.listdir(inbox) == ["Annual Report 2023 – Harbour Trust.pdf"]


def test_threads_at_once_each_get_their_own_files_answer(tmp_path):
    # Each job names one file, or moves its own copy of it: the answers and the
    # messages must be that file's, whatever the other threads do meanwhile.
    jobs = [(name, number) for name in sorted(EXPECTED) for number in range(3)] * 4
    random.Random(19).shuffle(jobs)
    counter = iter(range(len(jobs)))
    counter_lock = threading.Lock()

    def run(job):
        name, number = job
        with counter_lock:
            index = next(counter)
        if index % 3 == 0 and EXPECTED[name][str(number)][0]:
            work = tmp_path / str(index)
            work.mkdir()
            source = shutil.copy(CORPUS / name, work / "in.pdf")
            got = outcome(lambda: tavrik.rename(source, number, work / "out"))
            return job, got, (str(work / "out" / EXPECTED[name][str(number)][0]), None)
        path = str(CORPUS / name)
        return job, outcome(lambda: tavrik.suggest(path, number)), expected_outcome(name, number, path)

    with ThreadPoolExecutor(max_workers=8) as pool:
        wrong = [(job, got, want) for job, got, want in pool.map(run, jobs) if got != want]
    assert wrong == []


def _run_isolated(code, env):
    """Runs code in a fresh interpreter, so that it loads the library anew."""
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="sets LD_LIBRARY_PATH")
def test_the_library_is_looked_for_bundled_then_in_tavrik_library_then_on_the_system_path(tmp_path):
    tested = os.environ.get("TAVRIK_LIBRARY")
    if not tested:
        pytest.skip("TAVRIK_LIBRARY does not name a library to copy")
    name = tavrik._LIBRARY_NAME
    bundled = tmp_path / "bundled"
    shutil.copytree(PYTHON_DIR / "src" / "tavrik", bundled / "tavrik")
    shutil.copy(tested, bundled / "tavrik" / name)
    plain = tmp_path / "plain"
    shutil.copytree(PYTHON_DIR / "src" / "tavrik", plain / "tavrik")
    system_dir = tmp_path / "system"
    system_dir.mkdir()
    shutil.copy(tested, system_dir / name)
    probe = ("import tavrik; print(tavrik.library_path()); "
             f"print(tavrik.suggest({str(CORPUS / 'p13_gs_groff_river.pdf')!r}))")
    cases = [
        # package dir, TAVRIK_LIBRARY, library path, what loads (None: an OSError naming it)
        (bundled, str(tmp_path / "nowhere.so"), None, str(bundled / "tavrik" / name)),
        (plain, tested, str(system_dir), tested),
        (plain, str(tmp_path / "nowhere.so"), str(system_dir), None),
        (plain, None, str(system_dir), name),
        (plain, None, None, None),
    ]
    for package, from_env, library_path, loads in cases:
        env = {k: v for k, v in os.environ.items() if k not in ("TAVRIK_LIBRARY", "LD_LIBRARY_PATH")}
        env["PYTHONPATH"] = str(package)
        if from_env is not None:
            env["TAVRIK_LIBRARY"] = from_env
        if library_path is not None:
            env["LD_LIBRARY_PATH"] = library_path
        run = _run_isolated(probe, env)
        case = (package.name, from_env, library_path)
        if loads is None and from_env is None and library_path is None and run.returncode == 0:
            continue  # this system has a tavrik library installed
        if loads is None:
            assert run.returncode != 0, case
            assert "OSError: cannot load the tavrik library" in run.stderr, case
            assert ("TAVRIK_LIBRARY names" in run.stderr) == (from_env is not None), case
        else:
            assert run.returncode == 0, (case, run.stderr)
            assert run.stdout.splitlines() == [loads, "Field Notes on River Ecology.pdf"], case
