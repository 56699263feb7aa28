"""Logging set-up at first import: directory, file, handlers, loggers."""

import logging
import os
import subprocess
import sys
import textwrap
from pathlib import Path



def run_fresh(code: str, home: Path, extra_env=None) -> subprocess.CompletedProcess:
    env = {k: v for k, v in os.environ.items() if k not in ("LOCALAPPDATA",)}
    env["HOME"] = str(home)
    env.update(extra_env or {})
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True,
                          text=True, cwd=home, timeout=120)


def test_attributes_and_loggers():
    from lumoreq import logsetup

    assert isinstance(logsetup.log_dir, Path)
    assert logsetup.log_dir == Path.home() / ".local" / "share" / "lumoreq" / "logs"
    assert logsetup.log_file == logsetup.log_dir / "app.log"
    for name in ("plotting", "fetching", "cleaning"):
        logger = getattr(logsetup, f"{name}_logger")
        assert logger is logging.getLogger(name)
        assert logger.level == logging.INFO
        assert logger.handlers == []
    assert logsetup.logging is logging and logsetup.os is os and logsetup.Path is Path


def test_first_import_creates_directory_and_configures_root(tmp_path):
    result = run_fresh(
        """
        import logging
        from lumoreq import logsetup
        root = logging.getLogger()
        print(type(root.handlers[0]).__name__, type(root.handlers[1]).__name__, len(root.handlers))
        print(root.level == logging.INFO, root.handlers[0].baseFilename == str(logsetup.log_file))
        logsetup.fetching_logger.info("你好")
        logsetup.fetching_logger.debug("hidden")
        import importlib, lumoreq.logsetup
        importlib.import_module("lumoreq.logsetup")
        print(len(logging.getLogger().handlers))
        """,
        tmp_path,
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.split()
    assert lines[:3] == ["FileHandler", "StreamHandler", "2"]
    assert lines[3:5] == ["True", "True"]
    assert lines[5] == "2"  # a second import adds nothing
    log_file = tmp_path / ".local" / "share" / "lumoreq" / "logs" / "app.log"
    text = log_file.read_text()
    assert " - fetching - INFO - 你好" in text and "hidden" not in text
    # the same record reached standard error with identical text
    assert text.strip() in result.stderr
    import re

    assert re.match(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d - fetching - INFO - 你好$", text.strip())


def test_existing_root_handlers_are_kept_but_file_is_opened(tmp_path):
    result = run_fresh(
        """
        import logging, sys
        h = logging.StreamHandler(sys.stdout)
        logging.getLogger().addHandler(h)
        from lumoreq import logsetup
        print(logging.getLogger().handlers == [h], logsetup.cleaning_logger.level == logging.INFO)
        """,
        tmp_path,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "True"]
    assert (tmp_path / ".local/share/lumoreq/logs/app.log").exists()


def test_unwritable_home_fails_the_import(tmp_path):
    if os.geteuid() == 0:
        # root writes anywhere; use a home below a plain file instead
        home = tmp_path / "file"
        home.write_text("")
    else:
        home = tmp_path / "ro"
        home.mkdir(mode=0o500)
    result = run_fresh("import lumoreq.fetching", home if home.is_dir() else tmp_path,
                       extra_env={"HOME": str(home)})
    assert result.returncode != 0
    assert "Error" in result.stderr


def test_an_unusable_home_reaches_the_importer_as_the_hosts_error(tmp_path):
    home = tmp_path / "home-is-a-file"
    home.write_text("")
    result = run_fresh(
        """
        for name in ("lumoreq.logsetup", "lumoreq.fetching", "lumoreq.chartkit"):
            try:
                __import__(name)
            except Exception as e:
                print(name, type(e).__name__, e.__cause__ is None, "initialization failed" in str(e))
            else:
                print(name, "imported")
        """,
        tmp_path,
        extra_env={"HOME": str(home)},
    )
    assert result.returncode == 0, result.stderr
    for line, name in zip(result.stdout.splitlines(), ("lumoreq.logsetup", "lumoreq.fetching", "lumoreq.chartkit")):
        assert line.split() == [name, "NotADirectoryError", "True", "False"]
