"""The crash-safe writer: a temporary sibling, flushed and renamed over the target."""

import functools
import json
import os
import shutil
import stat
import subprocess
import sys
import threading

import pytest

from lumoreq import _files
from lumoreq._files import atomic_path


def leftovers(folder):
    return sorted(n for n in os.listdir(folder) if _files.leftover_owner(n) is not None)


def test_block_replaces_the_target_and_leaves_no_temporary_file(tmp_path):
    target = tmp_path / "out.bin"
    target.write_bytes(b"old")
    with atomic_path(target) as temp:
        assert isinstance(temp, str)
        name = os.path.basename(temp)
        # hidden, in the target's folder, carrying this process and a random part
        assert os.path.dirname(temp) == str(tmp_path)
        assert name.startswith(".out.bin.") and name.endswith(".tmp")
        assert _files.leftover_owner(name) == os.getpid()
        assert target.read_bytes() == b"old"  # nothing visible before the block ends
        with open(temp, "wb") as f:
            f.write(b"new")
    assert target.read_bytes() == b"new"
    assert os.listdir(tmp_path) == ["out.bin"]


def test_block_that_raises_keeps_the_old_file_and_removes_its_temporary(tmp_path):
    target = tmp_path / "out.bin"
    target.write_bytes(b"old")
    with pytest.raises(RuntimeError, match="boom"):
        with atomic_path(str(target)) as temp:
            with open(temp, "wb") as f:
                f.write(b"half")
            raise RuntimeError("boom")
    assert target.read_bytes() == b"old"
    assert os.listdir(tmp_path) == ["out.bin"]


def test_new_file_and_kept_mode(tmp_path):
    target = tmp_path / "fresh.txt"
    with atomic_path(target) as temp:
        open(temp, "w").write("x")
    assert target.read_text() == "x"
    if os.name == "posix":
        target.chmod(0o640)
        with atomic_path(target) as temp:
            open(temp, "w").write("y")
        assert stat.S_IMODE(target.stat().st_mode) == 0o640


def test_errors_name_the_file(tmp_path):
    with pytest.raises(FileNotFoundError) as info:
        with atomic_path(tmp_path / "missing-folder" / "x.bin"):
            pass
    assert info.value.filename == str(tmp_path / "missing-folder" / "x.bin")
    # the block removed (or never made) its file: committing it fails and names it
    target = tmp_path / "y.bin"
    with pytest.raises(FileNotFoundError) as info:
        with atomic_path(target) as temp:
            os.remove(temp)
    assert ".y.bin." in info.value.filename
    assert not target.exists()


def test_write_bytes_and_long_names(tmp_path):
    _files.write_bytes(tmp_path / "a.txt", b"abc")
    assert (tmp_path / "a.txt").read_bytes() == b"abc"
    long_name = "测" * 80 + ".png"  # 244 bytes: the temporary name must still fit
    _files.write_bytes(tmp_path / long_name, b"x")
    assert (tmp_path / long_name).read_bytes() == b"x"
    assert leftovers(tmp_path) == []


def test_two_threads_on_one_target_each_write_a_whole_file(tmp_path):
    target = tmp_path / "shared.bin"
    payloads = [bytes([i]) * 200_000 for i in range(8)]
    errors = []

    def write(data):
        try:
            for _ in range(5):
                with atomic_path(target) as temp:
                    with open(temp, "wb") as f:
                        f.write(data)
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=write, args=(p,)) for p in payloads]
    for t in threads:
        t.start()
    seen = set()
    while any(t.is_alive() for t in threads):
        if target.exists():
            data = target.read_bytes()
            assert data in payloads
            seen.add(data[:1])
    for t in threads:
        t.join()
    assert not errors
    assert target.read_bytes() in payloads
    assert leftovers(tmp_path) == []


def test_temp_names_differ():
    names = {_files.temp_name("/x/y.bin") for _ in range(200)}
    assert len(names) == 200


@pytest.mark.parametrize(
    "name, owner",
    [
        (".a.png.123.0123456789ab.tmp", 123),
        (".net.duckdb.77.abcdefabcdef.tmp.wal", 77),
        (".a.png.123.0123456789ab.tmp.x.y", None),
        ("a.png.123.0123456789ab.tmp", None),
        (".a.png.12x.0123456789ab.tmp", None),
        (".a.png.123.0123456789.tmp", None),
        (".hidden", None),
        (".123.0123456789ab.tmp", None),
    ],
)
def test_leftover_names(name, owner):
    assert _files.leftover_owner(name) == owner


@pytest.mark.skipif(os.name != "posix", reason="uses a finished child process id")
def test_sweep_removes_only_what_dead_processes_left(tmp_path):
    dead = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True, text=True)
    dead_pid = int(dead.stdout)
    assert not _files.process_alive(dead_pid)
    assert _files.process_alive(os.getpid())
    assert _files.process_alive(1)  # another user's process exists too
    made = {
        f".a.bin.{dead_pid}.0123456789ab.tmp": "dead",
        f".net.duckdb.{dead_pid}.0123456789ab.tmp.wal": "dead",
        f".a.bin.{os.getpid()}.0123456789ab.tmp": "live",
        ".a.bin.1.0123456789ab.tmp": "live",
        "a.bin": "target",
        ".a.bin.tmp": "other",
    }
    for name in made:
        (tmp_path / name).write_text("x")
    folder = tmp_path / f".cache.{dead_pid}.00000000000a.tmp"
    folder.mkdir()
    (folder / "inner").write_text("x")
    assert _files.sweep(tmp_path) == 3
    assert sorted(os.listdir(tmp_path)) == sorted(n for n, kind in made.items() if kind != "dead")
    assert _files.sweep(tmp_path / "no-such-folder") == 0


# A failed write in a file system of its own: a small tmpfs mounted in a private mount namespace
# (root and util-linux's `unshare`; the mount goes away with the process), or a file-size limit
# (RLIMIT_FSIZE with SIGXFSZ ignored), which needs neither. Exit 77: this machine cannot.
_FAILING_WRITE = r"""
import errno, json, os, resource, signal, subprocess, sys
from lumoreq import _files

folder, case, writer = sys.argv[1:]
if case != "size-limit" and subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", folder]).returncode:
    sys.exit(77)
target = os.path.join(folder, "out.bin")
with open(target, "wb") as f:
    f.write(b"old")
if case == "read-only":
    subprocess.run(["mount", "-o", "remount,ro", folder], check=True)
elif case == "immutable" and subprocess.run(["chattr", "+i", target], capture_output=True).returncode:
    sys.exit(77)
elif case == "size-limit":
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (65536, resource.RLIM_INFINITY))
data = b"x" * (2**20 if case in ("full", "size-limit") else 16)
seen = {}
try:
    if writer == "write_bytes":
        _files.write_bytes(target, data)
    else:
        with _files.atomic_path(target) as temp:
            with open(temp, "wb") as f:
                f.write(data)
except OSError as e:
    seen = {"type": type(e).__name__, "errno": errno.errorcode.get(e.errno), "text": str(e), "filename": e.filename}
if case == "immutable":
    subprocess.run(["chattr", "-i", target], check=True)
seen["files"] = sorted(os.listdir(folder))
seen["old"] = open(target, "rb").read().decode()
print(json.dumps(seen))
"""


@functools.lru_cache(maxsize=None)
def _unshare_works() -> bool:
    if os.name != "posix" or shutil.which("unshare") is None:
        return False
    return subprocess.run(["unshare", "-m", "--propagation", "private", "true"], capture_output=True).returncode == 0


# case, errno, the error's class, the step the native writer names (None: Python's own write
# failed inside the block and says so itself)
_FAILURES = [
    ("full", "ENOSPC", "OSError", {"write_bytes": "cannot write", "atomic_path": None}),
    ("read-only", "EROFS", "OSError", {"write_bytes": "cannot write", "atomic_path": "cannot write"}),
    ("immutable", "EPERM", "PermissionError", {"write_bytes": "cannot rename", "atomic_path": "cannot rename"}),
    ("size-limit", "EFBIG", "OSError", {"write_bytes": "cannot write", "atomic_path": None}),
]


@pytest.mark.skipif(os.name != "posix", reason="tmpfs, mount namespaces and RLIMIT_FSIZE are POSIX")
@pytest.mark.parametrize("writer", ["write_bytes", "atomic_path"])
@pytest.mark.parametrize("case, code, kind, steps", _FAILURES, ids=[f[0] for f in _FAILURES])
def test_a_failed_write_raises_its_real_cause_and_keeps_the_old_file(tmp_path, case, code, kind, steps, writer):
    command = [sys.executable, "-c", _FAILING_WRITE, str(tmp_path), case, writer]
    if case != "size-limit":
        if not _unshare_works():
            pytest.skip("no private mount namespace here (needs root and unshare)")
        command = ["unshare", "-m", "--propagation", "private", *command]
    result = subprocess.run(command, capture_output=True, text=True, timeout=120)
    if result.returncode == 77:
        pytest.skip(f"{case}: this machine cannot mount a tmpfs or set the immutable flag")
    assert result.returncode == 0, result.stderr
    seen = json.loads(result.stdout)
    assert (seen["errno"], seen["type"]) == (code, kind)
    assert "out.bin" in seen["text"] and "Input/output error" not in seen["text"]
    if steps[writer] is not None:
        assert f"({steps[writer]})" in seen["text"], seen["text"]
    if case != "immutable":  # (a rename names both files)
        assert seen["filename"] == str(tmp_path / "out.bin")  # the target, not a temporary name
    assert seen["old"] == "old" and seen["files"] == ["out.bin"]
