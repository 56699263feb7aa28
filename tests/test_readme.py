"""The README runs as written: its Python blocks in order, as one notebook, and every `lumoreq`
line of its shell blocks, against the sample network.

The sample network a reader gets is the default one (`sample.default_path()`); here a small build
of it sits at that very place under a temporary home, so the blocks run unchanged and quickly. A
line that names a database (`--db SECTION`) gets the sample network in its place.
"""

import re
import shlex
import shutil
import warnings
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
FENCE = re.compile(r"^```(\w*)[^\n]*\n(.*?)^```", re.S | re.M)


def blocks(language):
    return [body for lang, body in FENCE.findall(README.read_text(encoding="utf-8")) if lang == language]


def command_lines():
    """Every `lumoreq ...` command of the shell blocks, continuation lines joined, comments cut."""
    found = []
    for body in blocks("sh"):
        for line in body.replace("\\\n", " ").splitlines():
            words = shlex.split(line, comments=True)
            if words and words[0] == "lumoreq":
                found.append(words[1:])
    return found


def test_the_readme_has_what_these_tests_run():
    assert len(blocks("python")) >= 5
    commands = [words[0] for words in command_lines()]
    assert {"demo", "fetch", "plot", "list", "cache"} <= set(commands)


@pytest.fixture
def readers_home(sample_db, tmp_path, monkeypatch):
    """A reader's machine: an empty home whose default sample network is a small build, and an
    empty working directory."""
    from lumoreq import sample

    home = tmp_path / "home"
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.delenv("LOCALAPPDATA", raising=False)
    default = sample.default_path(build_if_missing=False)
    assert str(default).startswith(str(home))
    default.parent.mkdir(parents=True)
    shutil.copyfile(sample_db, default)
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    return home, work


def test_python_blocks_run_in_order_as_a_notebook(readers_home):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    home, work = readers_home
    namespace = {"__name__": "__readme__"}
    for number, code in enumerate(blocks("python"), 1):
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                exec(compile(code, f"README.md python block {number}", "exec"), namespace)
        except Exception as error:
            pytest.fail(f"README python block {number} fails: {type(error).__name__}: {error}\n{code}")
        finally:
            plt.close("all")
    # What the blocks say they write is there, and the reader's default cache was left alone.
    assert (work / "strain.ruzi").exists() and (work / "strain_2024-01.ruzi").exists()
    assert list((work / "figures").glob("*.png"))
    assert (work / "sample-metadata").is_dir()
    assert not (home / ".local" / "share" / "lumoreq" / "metadata").exists()


def test_command_lines_run_in_order(readers_home, monkeypatch, capsys):
    from lumoreq.cli import main

    home, work = readers_home
    for words in command_lines():
        argv = [str(Path(w).expanduser()) if w.startswith("~/") else w for w in words]
        if "--db" in argv:
            at = argv.index("--db")
            argv[at : at + 2] = ["--sample"]
            if argv[:2] == ["cache", "refresh"]:
                argv += ["--metadata-dir", str(work / "cache-from-sample")]
        try:
            status = main(argv)
        except SystemExit as stop:
            status = stop.code
        out, err = capsys.readouterr()
        assert status == 0, f"lumoreq {' '.join(argv)}\n{out}\n{err}"
    assert (work / "strain.ruzi").exists() and (work / "water.ruzi").exists()
    assert list((work / "report" / "figures").glob("*.png"))
    assert (work / "cache-from-sample").is_dir()
