"""The command line: help, wrong options, failures as one line, fetch and plot on the sample network."""

import argparse
import importlib.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pandas as pd
import pytest
from lumoreq.__main__ import build_parser

HAS_SAMPLE = importlib.util.find_spec("lumoreq.sample") is not None


def run(*args, cwd, home=None, timeout=300):
    env = dict(os.environ, HOME=str(home or cwd), MPLBACKEND="Agg")
    env.pop("LOCALAPPDATA", None)
    return subprocess.run(
        [sys.executable, "-m", "lumoreq", *args], cwd=cwd, env=env, capture_output=True, text=True, timeout=timeout
    )


def one_error_line(result, status):
    assert result.returncode == status, result.stderr
    lines = result.stderr.strip().splitlines()
    assert len(lines) == 1, result.stderr
    assert "Traceback" not in result.stderr
    return lines[0]


def subparsers():
    parser = build_parser()
    (action,) = [a for a in parser._actions if isinstance(a, argparse._SubParsersAction)]
    return action.choices


@pytest.mark.parametrize("command", ["demo", "fetch", "plot", "list", "cache"])
def test_every_option_is_explained(command):
    parser = subparsers()[command]
    for action in parser._actions:
        assert action.help and len(action.help) > 10, action.dest
    text = parser.format_help()
    for action in parser._actions:
        for flag in action.option_strings:
            assert flag in text


def test_help_runs_as_a_program(tmp_path):
    top = run("--help", cwd=tmp_path)
    assert top.returncode == 0 and all(c in top.stdout for c in ("demo", "fetch", "plot"))
    fetch = run("fetch", "--help", cwd=tmp_path)
    assert fetch.returncode == 0
    for option in ("--db", "--sample", "--method", "--station", "--item", "--rate", "--kind", "--start", "--end",
                   "--point", "--gzip", "--output"):
        assert option in fetch.stdout


@pytest.mark.parametrize(
    "args, expected",
    [
        (["fetch", "--sample", "--start", "2024-01-01", "--end", "2024-01-02", "-o", "x", "--bogus"],
         "unrecognized arguments: --bogus"),
        (["draw"], "invalid choice: 'draw'"),
        ([], "required: COMMAND"),
        (["plot", "a.ruzi", "--by", "month"], "invalid choice: 'month'"),
        (["fetch", "--db", "x", "--sample", "--start", "2024-01-01", "--end", "2024-01-02", "-o", "x"],
         "not allowed with"),
        (["plot", "a.ruzi", "--panels", "many"], "invalid int value"),
    ],
)
def test_wrong_options_give_one_line_and_status_2(tmp_path, args, expected):
    line = one_error_line(run(*args, cwd=tmp_path), 2)
    assert expected in line and "--help" in line


def test_failing_database_gives_one_line(tmp_path):
    line = one_error_line(
        run("fetch", "--db", "oracle_main", "--start", "2024-01-01", "--end", "2024-01-02", "-o", "x.ruzi",
            cwd=tmp_path),
        1,
    )
    assert line.startswith("lumoreq fetch: error: cannot connect to database section 'oracle_main'")
    assert "default.conf" in line
    assert not (tmp_path / "x.ruzi").exists()


@pytest.mark.parametrize("content", [None, b"not parquet at all"], ids=["missing", "not-ruzi"])
def test_plot_of_a_file_that_is_not_ruzi(tmp_path, content):
    target = tmp_path / "a.ruzi"
    if content is not None:
        target.write_bytes(content)
    line = one_error_line(run("plot", str(target), cwd=tmp_path), 1)
    assert ("no such file" if content is None else "not a RUZI file") in line


def test_plot_of_packed_rows_is_refused(tmp_path):
    import pyarrow.parquet as pq
    from lumoreq import export

    packed = pd.DataFrame({"STARTDATE": pd.to_datetime(["2024-01-01"]), "OBSVALUE": ["1 2"], "STATIONID": ["A"],
                           "POINTID": ["1"], "ITEMID": ["2311"]})
    pq.write_table(export.to_ruzi(packed, {}), tmp_path / "p.ruzi")
    line = one_error_line(run("plot", "p.ruzi", cwd=tmp_path), 1)
    assert "packed rows" in line


def test_console_script_is_installed():
    script = Path(sys.executable).with_name("lumoreq")
    assert script.exists()
    result = subprocess.run([str(script), "--version"], capture_output=True, text=True)
    assert result.returncode == 0 and result.stdout.startswith("lumoreq ")


@pytest.mark.skipif(os.name != "posix", reason="HOME governs the log folder on POSIX")
@pytest.mark.parametrize("argv", [["list", "stations", "--sample-path", "net.duckdb"], ["plot", "x.ruzi"]])
@pytest.mark.parametrize("broken", ["read-only home", "app.log is a folder"])
def test_an_unusable_log_file_gives_one_line_naming_it(tmp_path, broken, argv):
    home = tmp_path / "home"
    home.mkdir()
    if broken == "app.log is a folder":  # (root opens files whatever their mode)
        (home / ".local/share/lumoreq/logs/app.log").mkdir(parents=True)
        result, named = run(*argv, cwd=tmp_path, home=home), home / ".local/share/lumoreq/logs/app.log"
    else:  # a read-only tmpfs over the home, in a mount namespace of the command's own
        if shutil.which("unshare") is None:
            pytest.skip("no unshare here")
        env = dict(os.environ, HOME=str(home), MPLBACKEND="Agg")
        result = subprocess.run(
            ["unshare", "-m", "--propagation", "private", "sh", "-c",
             'mount -t tmpfs -o ro tmpfs "$0" || exit 77; exec "$@"', str(home), sys.executable, "-m", "lumoreq",
             *argv], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
        if result.returncode == 77 or "unshare failed" in result.stderr:
            pytest.skip("no read-only mount here (needs root and a private mount namespace)")
        named = home / ".local"
    line = one_error_line(result, 1)
    assert line.startswith(f"lumoreq {argv[0]}: error: the log file cannot be set up: {named}: "), line
    assert "set HOME to a writable folder" in line
    assert not (tmp_path / "net.duckdb").exists()  # nothing was done


# --- on the sample network -------------------------------------------------------------------

needs_sample = pytest.mark.skipif(not HAS_SAMPLE, reason="lumoreq.sample not built yet")


@pytest.fixture(scope="module")
def sample_db(tmp_path_factory):
    from lumoreq import sample

    path = tmp_path_factory.mktemp("sample") / "sample.duckdb"
    # What the demo reads: a month of minute data, two years of day data; few second series.
    sample.build(path, minute_days=31, second_days=1, second_series=1)
    return path


def pieces(*names):
    """Skip unless the named public functions exist (they land from parallel work)."""
    import importlib

    missing = []
    for dotted in names:
        module_name, attr = dotted.rsplit(".", 1)
        try:
            module = importlib.import_module(f"lumoreq.{module_name}")
        except ImportError:
            missing.append(dotted)
            continue
        if not hasattr(module, attr):
            missing.append(dotted)
    if missing:
        pytest.skip(f"not built yet: {', '.join(missing)}")


@needs_sample
def test_fetch_and_plot_on_the_sample_network(sample_db, tmp_path):
    pieces("fetching.fetching_data", "fetching.MetadataFetcher", "plotting.plot_by_items")
    from lumoreq.export import read_ruzi

    target = tmp_path / "new" / "strain.ruzi"
    fetched = run("fetch", "--sample-path", str(sample_db), "--method", "形变", "--station", "昌平", "--rate",
                  "分钟值", "--start", "2024-01-01", "--end", "2024-01-02", "--gzip", "-o", str(target), cwd=tmp_path)
    assert fetched.returncode == 0, fetched.stderr
    assert str(target) in fetched.stdout
    df, context = read_ruzi(target)
    # 昌平 carries four strain and two tilt series: two days of minutes each.
    assert len(df) == 6 * 2 * 1440 and set(df["STATIONID"]) == {"11012"}
    assert [s["STATIONNAME"] for s in context["station_info"]] == ["昌平台"]
    assert context["sampling_rate"] == "分钟值"

    drawn = run("plot", str(target), "--sample-path", str(sample_db), "--out", "report", "--stats", cwd=tmp_path)
    assert drawn.returncode == 0, drawn.stderr
    figures = [Path(line) for line in drawn.stdout.split()]
    assert figures and all(p.exists() and p.parent == tmp_path / "report" / "figures" for p in figures)


@needs_sample
@pytest.mark.parametrize(
    "extra, status, expected",
    [
        (["--start", "1990-01-01", "--end", "1990-01-02", "--gzip"], 1, "nothing written"),
        (["--station", "不存在的台", "--start", "2024-01-01", "--end", "2024-01-01", "--gzip"], 1, "不存在的台"),
        # A rate that does not exist is a usage mistake now, refused before any connection.
        (["--rate", "年值", "--start", "2024-01-01", "--end", "2024-01-01"], 2, "invalid choice: '年值'"),
        # Compressed values no longer need --gzip; a window without data still fails loudly.
        (["--start", "2023-12-01", "--end", "2023-12-31"], 1, "no observations between 2023-12-01 and 2023-12-31"),
    ],
    ids=["no-rows", "no-station", "bad-rate", "compressed-without-flag-outside-data"],
)
def test_fetch_failures_name_their_cause(sample_db, tmp_path, extra, status, expected):
    pieces("fetching.fetching_data", "fetching.MetadataFetcher")
    result = run("fetch", "--sample-path", str(sample_db), "--method", "形变", "-o", "x.ruzi", *extra, cwd=tmp_path)
    assert expected in one_error_line(result, status)
    assert not (tmp_path / "x.ruzi").exists()


@needs_sample
def test_demo_runs_every_step(sample_db, tmp_path):
    pieces("fetching.fetching_data", "fetching.MetadataFetcher", "refinery.filter_with_fast_mad",
           "refinery.resample_timeseries_data", "plotting.plot_by_items", "plotting.plot_by_stations",
           "plotting.plot_annual_comparison", "QCAT.read_QCAT", "QCAT.filtered_qcats")
    result = run("demo", "--dir", "out", "--database", str(sample_db), cwd=tmp_path, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    steps = [line for line in result.stdout.splitlines() if line.startswith("[")]
    assert len(steps) == 11
    assert not [line for line in steps if "skipped" in line or "FAILED" in line]
    assert "same table" in result.stdout
    outputs = [Path(line.split()[-1]) for line in result.stdout.split("outputs:")[1].splitlines()[1:]
               if line.startswith("  ")]
    assert outputs and all(p.exists() for p in outputs)
    names = result.stdout.split("outputs:")[1]
    for what in ("RUZI file", "figure by item", "figure by station", "annual comparison"):
        assert what in names


# --- mistakes and what a new user sees ---------------------------------------------------------
#
# MISTAKES is one table: every row runs the command in this process and checks the exit status and
# the one line on standard error; docs/bad-inputs.md carries the table as its command-line section
# (`python tests/test_cli.py` rewrites that section, a test checks it is current).
#
# In a row's command, {db} is a sample network, {ruzi} a RUZI file of day values fetched from it
# (泰安台, 静水位, 2024-01-01 .. 2024-02-29), {dry} one of a station without a rain gauge (南京台,
# 地电阻率, January 2024). In the expected line, "…" stands for any text (a
# path, the rest of a list); the pieces between must appear in that order.

MISTAKES = [
    # (what, command, files to write first, exit status, the line)
    ("a sample rate that does not exist",
     "fetch --sample-path {db} --rate 年值 --start 2024-01-01 --end 2024-01-31 -o x.ruzi", {}, 2,
     "lumoreq fetch: error: argument --rate: invalid choice: '年值' (choose from …秒钟值…分钟值…小时值…日均值…秒值…"
     "分值…整点值…日值…) (see lumoreq fetch --help)"),
    ("a database kind that does not exist",
     "fetch --sample-path {db} --kind 产品 --start 2024-01-01 --end 2024-01-31 -o x.ruzi", {}, 2,
     "lumoreq fetch: error: argument --kind: invalid choice: '产品' (choose from …原始库…预处理库…产品库…)"),
    ("a method that matches nothing",
     "fetch --sample-path {db} --method 重力 --start 2024-01-01 --end 2024-01-31 -o x.ruzi", {}, 1,
     "lumoreq fetch: error: no method matches '重力' (categories: 形变, 电磁, 流体, 全部; method names: 水管倾斜, "
     "钻孔分量应变, 地电阻率, 水位, 水温, 气象三要素)"),
    ("a station name that nearly matches",
     "fetch --sample-path {db} --station 昌平台站 --start 2024-01-01 --end 2024-01-31 -o x.ruzi", {}, 1,
     "lumoreq fetch: error: no station matches '昌平台站'; did you mean 昌平台? (stations: 昌平台, 易县台, 南京台, "
     "泰安台, 成都台, 兰州台, 乌鲁木齐台)"),
    ("a part of a station name that nearly matches",
     "fetch --sample-path {db} --station 常平 --start 2024-01-01 --end 2024-01-31 -o x.ruzi", {}, 1,
     "lumoreq fetch: error: no station matches '常平'; did you mean 昌平台? (stations: …)"),
    ("an item name that nearly matches",
     "fetch --sample-path {db} --method 流体 --item 静水温 --start 2024-01-01 --end 2024-01-31 -o x.ruzi", {}, 1,
     "lumoreq fetch: error: no item matches '静水温'; did you mean 水温? (items: 水管倾斜-北南, …, 降雨量)"),
    ("one of several exact item names is wrong",
     "fetch --sample-path {db} --item 静水位 --item 水温度 --start 2024-01-01 --end 2024-01-31 -o x.ruzi", {}, 1,
     "lumoreq fetch: error: no item matches '水温度'; did you mean 水温? (items: …)"),
    ("a date with slashes",
     "fetch --sample-path {db} --start 2024/01/05 --end 2024-01-31 -o x.ruzi", {}, 2,
     "lumoreq fetch: error: argument --start: not a date: '2024/01/05' (use YYYY-MM-DD, YYYYMMDD or YYYY-MM)"),
    ("a day-first date",
     "fetch --sample-path {db} --start 05-01-2024 --end 2024-01-31 -o x.ruzi", {}, 2,
     "lumoreq fetch: error: argument --start: not a date: '05-01-2024' (use YYYY-MM-DD, YYYYMMDD or YYYY-MM)"),
    ("a day that does not exist",
     "fetch --sample-path {db} --start 2024-02-30 --end 2024-03-31 -o x.ruzi", {}, 2,
     "lumoreq fetch: error: argument --start: no such day: '2024-02-30'"),
    ("the end before the start",
     "fetch --sample-path {db} --start 2024-02 --end 2024-01-31 -o x.ruzi", {}, 2,
     "lumoreq fetch: error: the end 2024-01-31 is before the start 2024-02 (see lumoreq fetch --help)"),
    ("no source named",
     "fetch --start 2024-01-01 --end 2024-01-31 -o x.ruzi", {}, 2,
     "lumoreq fetch: error: one of the arguments --db --sample --sample-path is required"),
    ("a database and a sample file at once",
     "fetch --db oracle_main --sample-path {db} --start 2024-01-01 --end 2024-01-31 -o x.ruzi", {}, 2,
     "lumoreq fetch: error: argument --sample-path: not allowed with argument --db"),
    ("a time window without observations",
     "fetch --sample-path {db} --start 1990-01 --end 1990-02 -o x.ruzi", {}, 1,
     "lumoreq fetch: error: no observations between 1990-01 and 1990-02 match the request…; nothing written"),
    ("-o naming a folder",
     "fetch --sample-path {db} --start 2024-01-01 --end 2024-01-31 -o .", {}, 1,
     "lumoreq fetch: error: -o names a file to write, and . is a folder"),
    ("a settings section when there are no settings files",
     "fetch --db oracle_main --start 2024-01-01 --end 2024-01-31 -o x.ruzi", {}, 1,
     "lumoreq fetch: error: cannot connect to database section 'oracle_main': … (settings looked at: …/default.conf: "
     "no such file; …/.lumor/default.conf: no such file)"),
    ("a settings section that no file holds",
     "fetch --db oracle_main --start 2024-01-01 --end 2024-01-31 -o x.ruzi",
     {"default.conf": "[oracle_test]\nHOST = 127.0.0.1\n"}, 1,
     "lumoreq fetch: error: cannot connect to database section 'oracle_main': … (settings looked at: …/default.conf: "
     "sections oracle_test, no [oracle_main]; …/.lumor/default.conf: no such file)"),
    ("a catalogue file that does not exist",
     "plot {ruzi} --catalogue quakes.txt", {}, 1,
     "lumoreq plot: error: no such catalogue file: …/quakes.txt"),
    ("a catalogue file that cannot be read",
     "plot {ruzi} --catalogue quakes.txt", {"quakes.txt": b"\xff\xfe\xff\xfe"}, 1,
     "lumoreq plot: error: cannot read the catalogue …/quakes.txt: UnicodeDecodeError: …"),
    ("a plot window without data",
     "plot {ruzi} --start 2030-01 --end 2030-12", {}, 1,
     "lumoreq plot: error: no data to draw between 2030-01 and 2030-12 in data.ruzi (it holds 2024-01-01 to "
     "2024-02-29)"),
    ("--rainfall without --by station",
     "plot {ruzi} --rainfall --sample-path {db}", {}, 2,
     "lumoreq plot: error: --rainfall draws a panel of the figures by station: add --by station"),
    ("--rainfall without a database",
     "plot {ruzi} --by station --rainfall", {}, 2,
     "lumoreq plot: error: --rainfall reads the rainfall from a database: add --db SECTION, --sample or --sample-path"),
    ("a metadata cache folder that holds no cache",
     "plot {ruzi} --metadata-dir nowhere", {}, 1,
     "lumoreq plot: error: no metadata cache in …/nowhere: run `lumoreq cache refresh --db SECTION` first, or name "
     "a source with --db, --sample or --sample-path"),
    ("--rainfall for stations without rainfall",
     "plot {dry} --by station --rainfall --sample-path {db}", {}, 1,
     "lumoreq plot: error: no 降雨量 day values at the stations of dry.ruzi in the source; nothing drawn"),
    ("a RUZI file that does not exist",
     "plot missing.ruzi", {}, 1, "lumoreq plot: error: no such file: …/missing.ruzi"),
    ("listing without a source or a metadata cache",
     "list stations", {}, 1,
     "lumoreq list: error: no metadata cache in …: run `lumoreq cache refresh --db SECTION` first, or name a source "
     "with --db, --sample or --sample-path"),
    ("something to list that does not exist",
     "list station --sample-path {db}", {}, 2,
     "lumoreq list: error: argument what: invalid choice: 'station' (choose from …stations…points…items…methods…)"),
    ("refreshing the cache from the sample network without --metadata-dir",
     "cache refresh --sample-path {db}", {}, 2,
     "lumoreq cache refresh: error: the sample network never refreshes your real metadata cache: give "
     "--metadata-dir DIR with it"),
    ("a job's station name that nearly matches",
     "plan --sample-path {db} --station 昌平台站 --start 2024-01-01 --end 2024-01-31", {}, 1,
     "lumoreq plan: error: the selection holds no series: no station matches '昌平台站'; did you mean 昌平台? "
     "(stations: …)"),
    ("a job's item name that nearly matches",
     "run --sample-path {db} --item 分量应变北南 --start 2024-01-01 --end 2024-01-31 --out out", {}, 1,
     "lumoreq run: error: the selection holds no series: no item matches '分量应变北南'; did you mean 分量应变-北南? "
     "(items: …)"),
    ("a job whose names match but hold no series together",
     "run --sample-path {db} --station 南京台 --method 水位 --start 2024-01-01 --end 2024-01-31 --out out", {}, 1,
     "lumoreq run: error: the selection holds no series: method '水位' and station '南京台': no series in the "
     "预处理库 分钟值 tables"),
    ("a negative retry count",
     "run --sample-path {db} --start 2024-01-01 --end 2024-01-31 --out out --retries -1", {}, 2,
     "lumoreq run: error: argument --retries: expected a whole number of at least 0, not '-1' (see lumoreq run "
     "--help)"),
    ("no worker",
     "run --sample-path {db} --start 2024-01-01 --end 2024-01-31 --out out --workers 0", {}, 2,
     "lumoreq run: error: argument --workers: expected a whole number of at least 1, not '0'"),
    ("a Hampel threshold below 0",
     "run --sample-path {db} --start 2024-01-01 --end 2024-01-31 --out out --hampel 15,-5", {}, 2,
     "lumoreq run: error: argument --hampel: the Hampel threshold must be a finite number above 0, not -5.0"),
    ("a Hampel threshold that is not a number",
     "run --sample-path {db} --start 2024-01-01 --end 2024-01-31 --out out --hampel 15,nan", {}, 2,
     "lumoreq run: error: argument --hampel: the Hampel threshold must be a finite number above 0, not nan"),
    ("a Hampel window of no samples",
     "run --sample-path {db} --start 2024-01-01 --end 2024-01-31 --out out --hampel 0,5", {}, 2,
     "lumoreq run: error: argument --hampel: the Hampel window must hold at least one sample"),
    ("--by without --figures",
     "run --sample-path {db} --start 2024-01-01 --end 2024-01-31 --out out --by item", {}, 2,
     "lumoreq run: error: without --figures, --by would do nothing: add --figures"),
    ("figures with a catalogue file that does not exist",
     "run --sample-path {db} --start 2024-01-01 --end 2024-01-31 --out out --figures --catalogue quakes.txt", {}, 1,
     "lumoreq run: error: no such catalogue file: …/quakes.txt"),
    ("figures with a catalogue file that cannot be read",
     "run --sample-path {db} --start 2024-01-01 --end 2024-01-31 --out out --figures --catalogue quakes.txt",
     {"quakes.txt": b"\xff\xfe\xff\xfe"}, 1,
     "lumoreq run: error: cannot read the catalogue …/quakes.txt: UnicodeDecodeError: …"),
    ("a local scheduler's name misspelt",
     "run --sample-path {db} --start 2024-01-01 --end 2024-01-31 --out out --scheduler thread", {}, 2,
     "lumoreq run: error: argument --scheduler: unknown scheduler 'thread'; did you mean threads? (threads, "
     "processes, sync, or a Dask scheduler address such as tcp://host:8786)"),
    ("a Dask scheduler that does not answer",
     "run --sample-path {db} --start 2024-01-01 --end 2024-01-31 --out out --scheduler tcp://127.0.0.1:9", {}, 1,
     "lumoreq run: error: the Dask scheduler at tcp://127.0.0.1:9 does not answer: …"),
]


def line_matches(line, expected):
    position = 0
    for piece in expected.split("…"):
        found = line.find(piece, position)
        if found < 0:
            return False
        position = found + len(piece)
    return True


def render_mistakes():
    lines = [
        "## The command line",
        "",
        "Every row is a test (`tests/test_cli.py`, which renders this section: `python tests/test_cli.py`",
        "rewrites it). A mistake ends with one line on standard error and exit status 2 (a wrong option",
        "or value) or 1 (a failure), never a traceback (that goes to the log file) and never success with",
        "nothing written. `…` stands for a path or the rest of a list.",
        "",
        "| Mistake | Command | Exit | What it says |",
        "|---|---|---|---|",
    ]
    for what, command, _files, status, expected in MISTAKES:
        shown = command.replace("{db}", "network.duckdb").replace("{ruzi}", "data.ruzi").replace("{dry}", "dry.ruzi")
        lines.append(f"| {what} | `lumoreq {shown}` | {status} | {expected.replace('|', chr(92) + '|')} |")
    return "\n".join(lines) + "\n"


DOC = Path(__file__).resolve().parent.parent / "docs" / "bad-inputs.md"
DOC_MARK = "\n## The command line\n"


def call_main(argv, monkeypatch, capsys, home):
    """``lumoreq ARGV`` in this process, with HOME at ``home``: (status, stdout, stderr)."""
    from lumoreq.cli import main

    monkeypatch.setenv("HOME", str(home))
    try:
        status = main(list(argv))
    except SystemExit as stop:
        status = stop.code
    out, err = capsys.readouterr()
    return status, out, err


@pytest.fixture(scope="module")
def day_ruzi(sample_db, tmp_path_factory):
    """A RUZI file of day values fetched from the sample network (two months, one series)."""
    from lumoreq.cli import main

    target = tmp_path_factory.mktemp("ruzi") / "data.ruzi"
    status = main(["fetch", "--sample-path", str(sample_db), "--method", "流体", "--station", "泰安", "--item", "静水位",
                   "--rate", "日均值", "--start", "2024-01", "--end", "2024-02", "-o", str(target)])
    assert status == 0
    return target


@pytest.fixture(scope="module")
def dry_ruzi(sample_db, tmp_path_factory):
    """A RUZI file of 南京台, which has no rain gauge."""
    from lumoreq.cli import main

    target = tmp_path_factory.mktemp("ruzi") / "dry.ruzi"
    status = main(["fetch", "--sample-path", str(sample_db), "--method", "地电阻率", "--station", "南京", "--rate", "日值",
                   "--start", "2024-01", "--end", "2024-01", "-o", str(target)])
    assert status == 0
    return target


@needs_sample
@pytest.mark.parametrize("what, command, files, status, expected", MISTAKES, ids=[m[0] for m in MISTAKES])
def test_mistake_gives_one_line(what, command, files, status, expected, sample_db, day_ruzi, dry_ruzi, tmp_path,
                                monkeypatch, capsys):
    pieces("fetching.fetching_data", "fetching.MetadataFetcher")
    home, work = tmp_path / "home", tmp_path / "work"
    home.mkdir()
    work.mkdir()
    monkeypatch.chdir(work)
    for name, content in files.items():
        (work / name).write_bytes(content if isinstance(content, bytes) else content.encode())
    argv = command.replace("{db}", str(sample_db)).replace("{ruzi}", str(day_ruzi)).replace("{dry}", str(dry_ruzi))
    argv = argv.split()
    before = set(work.iterdir())
    got, out, err = call_main(argv, monkeypatch, capsys, home=home)
    assert got == status, err
    lines = err.strip().splitlines()
    assert len(lines) == 1 and "Traceback" not in err, err
    assert line_matches(lines[0], expected), lines[0]
    assert out == ""
    # Nothing written: no RUZI file, no figures, no metadata cache.
    assert set(work.iterdir()) == before
    assert not (home / ".local" / "share" / "lumoreq" / "metadata").exists()


def test_bad_inputs_page_has_the_command_line_section():
    text = DOC.read_text(encoding="utf-8")
    assert DOC_MARK in text, "run: python tests/test_cli.py"
    assert text[text.index(DOC_MARK) + 1 :] == render_mistakes(), "run: python tests/test_cli.py"


# --- dates, options shared by every command, the job-command hook -----------------------------


@pytest.mark.parametrize(
    "text, first, last",
    [
        ("2024-03-05", "2024-03-05", "2024-03-05"),
        ("20240305", "2024-03-05", "2024-03-05"),
        ("2024-02", "2024-02-01", "2024-02-29"),  # a leap February, whole
        ("2023-02", "2023-02-01", "2023-02-28"),
        ("2024-12", "2024-12-01", "2024-12-31"),
        (" 2024-01-31 ", "2024-01-31", "2024-01-31"),
    ],
)
def test_dates_name_a_day_or_a_whole_month(text, first, last):
    from lumoreq.cli import parse_day

    day = parse_day(text)
    assert (str(day.first), str(day.last)) == (first, last)


@pytest.mark.parametrize(
    "text", ["2024/03/05", "05-03-2024", "5.3.2024", "2024-3-5", "202403", "2024", "2024-13", "2024-00-10",
             "20240230", "2024-01-01T00:00", "today", "", "1600-01-01", "２０２４-01-01", "2024-01-01x"]
)
def test_other_date_forms_are_refused(text):
    from lumoreq.cli import parse_day

    with pytest.raises(argparse.ArgumentTypeError):
        parse_day(text)


@pytest.mark.parametrize(
    "argv",
    [
        ["fetch", "--start", "2024-01-01", "--end", "2024-01-02", "-o", "x.ruzi"],
        ["plot", "x.ruzi"],
        ["list", "stations"],
        ["cache", "refresh", "--metadata-dir", "m"],
    ],
    ids=["fetch", "plot", "list", "cache"],
)
def test_every_command_takes_the_same_source_options(argv):
    parser = build_parser()
    flag = parser.parse_args(argv + ["--sample"])
    assert flag.sample is True and flag.sample_path is None
    path = parser.parse_args(argv + ["--sample-path", "net.duckdb"])
    assert path.sample_path == "net.duckdb" and path.sample is False
    db = parser.parse_args(argv + ["--db", "oracle_main"])
    assert db.db == "oracle_main"


def test_demo_names_match_the_other_commands():
    parser = build_parser()
    new = parser.parse_args(["demo", "--out", "d", "--sample-path", "n.duckdb", "--sample"])
    old = parser.parse_args(["demo", "--dir", "d", "--database", "n.duckdb"])
    assert (new.out, new.sample_path) == (old.out, old.sample_path) == ("d", "n.duckdb")
    assert parser.parse_args(["demo"]).out == "lumoreq-demo"
    assert parser.parse_args(["plot", "f.ruzi", "--out", "r"]).out == "r"


def test_job_commands_plug_in_when_their_module_is_there(monkeypatch, capsys, tmp_path):
    import types

    from lumoreq import cli

    seen = {}

    def register(subparsers, add_source_options):
        job = subparsers.add_parser("run", help="a job command registered from outside")
        add_source_options(job, required=True)
        cli.add_selection_options(job)
        cli.add_out_option(job, "out", "where the job writes")
        cli.add_common_options(job)
        job.set_defaults(func=lambda args, watch: seen.setdefault("args", args) and 0)

    monkeypatch.setitem(sys.modules, "lumoreq.jobs_cli", types.SimpleNamespace(register=register))
    status, _, err = call_main(["run", "--sample-path", "n.duckdb", "--rate", "日值", "--start", "2024-01",
                                "--end", "2024-02", "--out", "o"], monkeypatch, capsys, tmp_path)
    assert status == 0, err
    args = seen["args"]
    assert (args.sample_path, args.rate, str(args.start.first), str(args.end.last), args.out) == (
        "n.duckdb", "日值", "2024-01-01", "2024-02-29", "o")
    # The shared checks hold for registered commands too.
    status, _, err = call_main(["run", "--start", "2024-02", "--end", "2024-01"], monkeypatch, capsys, tmp_path)
    assert status == 2 and len(err.strip().splitlines()) == 1


def test_without_the_job_module_the_other_commands_stand(monkeypatch):
    from lumoreq import cli

    monkeypatch.setitem(sys.modules, "lumoreq.jobs_cli", None)  # import of it fails
    choices = subparsers()
    assert {"demo", "fetch", "plot", "list", "cache"} <= set(choices) and "run" not in choices
    assert cli.build_parser().parse_args(["list", "items", "--sample"]).what == "items"


# --- on the sample network: list, cache, month windows, no --gzip, offline plot, rainfall ----


@needs_sample
def test_list_prints_what_the_source_knows(sample_db, tmp_path, monkeypatch, capsys):
    pieces("fetching.fetching_data")
    expected = {
        "stations": ["11012", "昌平台", "乌鲁木齐台"],
        "points": ["昌平台1号测点", "65008"],
        "items": ["4173", "降雨量", "mm", "水管倾斜-北南"],
        "methods": ["417", "气象三要素", "钻孔分量应变"],
    }
    for what, words in expected.items():
        status, out, err = call_main(["list", what, "--sample-path", str(sample_db)], monkeypatch, capsys, tmp_path)
        assert status == 0, err
        assert all(w in out for w in words), out
    status, out, _ = call_main(["list", "stations", "--sample-path", str(sample_db)], monkeypatch, capsys, tmp_path)
    assert len(out.strip().splitlines()) == 1 + 7  # header and the seven stations


@needs_sample
def test_cache_refresh_fills_the_named_folder_only(sample_db, tmp_path, monkeypatch, capsys):
    pieces("fetching.fetching_data")
    home = tmp_path / "home"
    home.mkdir()
    cache = tmp_path / "cache"
    status, out, err = call_main(["cache", "refresh", "--sample-path", str(sample_db), "--metadata-dir", str(cache)],
                                 monkeypatch, capsys, home)
    assert status == 0, err
    assert str(cache) in out
    status, from_cache, err = call_main(["list", "items", "--metadata-dir", str(cache)], monkeypatch, capsys, home)
    assert status == 0, err
    status, from_db, _ = call_main(["list", "items", "--sample-path", str(sample_db)], monkeypatch, capsys, home)
    assert from_cache == from_db
    # The user's own cache folder was never created.
    assert not (home / ".local" / "share" / "lumoreq" / "metadata").exists()


@needs_sample
def test_fetch_of_a_whole_month_and_of_compressed_values_without_gzip(sample_db, day_ruzi, tmp_path, monkeypatch,
                                                                      capsys):
    pieces("fetching.fetching_data", "fetching.MetadataFetcher")
    from lumoreq.export import read_ruzi

    df, context = read_ruzi(day_ruzi)
    # --start 2024-01 --end 2024-02: every day of both months, the leap day included.
    assert len(df) == 31 + 29
    assert str(df.index.min().date()) == "2024-01-01" and str(df.index.max().date()) == "2024-02-29"
    assert context["station_info"][0]["STATIONNAME"] == "泰安台"

    # Minute values are stored gzip-compressed in the preprocessed tables: no --gzip needed.
    target = tmp_path / "strain.ruzi"
    status, _, err = call_main(["fetch", "--sample-path", str(sample_db), "--method", "形变", "--station", "昌平",
                                "--start", "20240102", "--end", "20240102", "-o", str(target)],
                               monkeypatch, capsys, tmp_path)
    assert status == 0, err
    assert err == ""  # no "(1 warning(s) ...)" for values that are compressed as they should be
    strain, _ = read_ruzi(target)
    assert len(strain) == 6 * 1440 and strain["OBSVALUE"].notna().mean() > 0.9
    packed = tmp_path / "packed.ruzi"
    status, _, err = call_main(["fetch", "--sample-path", str(sample_db), "--method", "形变", "--station", "昌平",
                                "--start", "20240102", "--end", "20240102", "--packed", "-o", str(packed)],
                               monkeypatch, capsys, tmp_path)
    assert status == 0, err
    rows, _ = read_ruzi(packed)
    assert len(rows) == 6 and all(isinstance(v, str) and v.count(" ") >= 1000 for v in rows["OBSVALUE"])


@needs_sample
def test_plot_works_offline_from_the_records_in_the_file(day_ruzi, tmp_path, monkeypatch, capsys):
    pieces("plotting.plot_by_stations")
    home = tmp_path / "home"
    home.mkdir()
    monkeypatch.chdir(tmp_path)
    status, out, err = call_main(["plot", str(day_ruzi), "--by", "station", "--out", "o", "--start", "2024-02",
                                  "--end", "2024-02"], monkeypatch, capsys, home)
    assert status == 0, err
    figures = [Path(p) for p in out.split()]
    # The station name in the file name comes from the station record stored in the RUZI file.
    assert figures and all(p.exists() and "泰安台" in p.name for p in figures), figures
    assert not (home / ".local" / "share" / "lumoreq" / "metadata").exists()


@needs_sample
def test_plot_rainfall_adds_the_rain_panel(sample_db, day_ruzi, tmp_path, monkeypatch, capsys):
    pieces("plotting.plot_by_stations")
    import matplotlib.image

    monkeypatch.chdir(tmp_path)
    heights = {}
    for name, extra in (("plain", []), ("rain", ["--rainfall"])):
        status, out, err = call_main(["plot", str(day_ruzi), "--by", "station", "--sample-path", str(sample_db),
                                      "--out", name, *extra], monkeypatch, capsys, tmp_path)
        assert status == 0, err
        (figure,) = [Path(p) for p in out.split()]
        heights[name] = matplotlib.image.imread(figure).shape[0]
    # One series drawn: one panel, and the rainfall panel below it makes the figure taller.
    assert heights["rain"] > heights["plain"] * 1.3, heights


if __name__ == "__main__":
    text = DOC.read_text(encoding="utf-8")
    head = text[: text.index(DOC_MARK)] if DOC_MARK in text else text
    DOC.write_text(head + "\n" + render_mistakes(), encoding="utf-8")
    sys.exit(0)


def test_a_command_run_in_process_leaves_logging_as_it_found_it(tmp_path, monkeypatch, capsys):
    import io
    import logging

    root = logging.getLogger()
    terminal = logging.StreamHandler(sys.stderr)
    other = logging.StreamHandler(io.StringIO())  # a notebook's or a test runner's handler
    root.addHandler(terminal)
    root.addHandler(other)
    try:
        before = [(h, h.level) for h in root.handlers]
        status, _, _ = call_main(["list", "stations", "--metadata-dir", str(tmp_path / "none")], monkeypatch, capsys,
                                 tmp_path)
        assert status == 1
        assert [(h, h.level) for h in root.handlers] == before
    finally:
        root.removeHandler(terminal)
        root.removeHandler(other)
