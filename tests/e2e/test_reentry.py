"""Which run takes in-process mode: only one whose TARVIX_ONEFILE_PARENT names an ancestor
running the very same executable file. Runs that the probe starts below a launcher get
values made from that launcher's, so that a parse that accepts too much would show up as
a run in in-process mode."""

import json
import shutil
import time
from dataclasses import dataclass
from pathlib import Path

import pytest

from conftest import (TARGET_NAME, finish, probe_of_kind, interrupt, linux_path, linux_processes_of, read_event,
                      target_directories, windows_path)


@dataclass
class LiveLauncher:
    exe: Path
    start: dict
    pid: int

    @property
    def variables(self):
        """The directory name parts of the live run, which an in-process run reuses."""
        env = self.start["env"]
        return {"TARVIX_ONEFILE_TIME_US": env["TARVIX_ONEFILE_TIME_US"],
                "TARVIX_ONEFILE_RANDOM": env["TARVIX_ONEFILE_RANDOM"]}

    @property
    def target_directory(self):
        return linux_path(self.start["library"]).parent


@pytest.fixture(scope="module")
def live_launcher(paths, start_launcher, tmp_path_factory):
    """A copy of probe.exe whose application waits until the module is done."""
    directory = tmp_path_factory.mktemp("live")
    exe = directory / "live_probe.exe"
    shutil.copy(paths.probe_exe, exe)
    release = directory / "release"
    process = start_launcher(exe, ["--mark", "ready", "--wait-for", windows_path(release)])
    try:
        start = read_event(process)
        assert read_event(process) == {"event": "mark", "text": "ready"}
        live = LiveLauncher(exe, start, int(start["env"]["TARVIX_ONEFILE_PARENT"]))
        yield live
    finally:
        release.touch()
        run = finish(process)
    assert run.exit_code == 0, run
    assert not live.target_directory.exists()


def tree_state(root):
    return sorted((str(path.relative_to(root)), path.stat().st_size, path.stat().st_mtime_ns)
                  for path in root.rglob("*"))


def assert_normal_run(run, exit_code):
    assert run.exit_code == exit_code, run
    start = run.start
    assert start["pid"] != run.pid, "the application ran in the launcher's own process"
    assert start["env"]["TARVIX_ONEFILE_PARENT"] == str(run.pid)
    match = TARGET_NAME.fullmatch(run.target_directory.name)
    assert match and match.group(1) == str(run.pid)
    assert not run.target_directory.exists()


@pytest.mark.parametrize("parent", ["{live}", "{RUNNER_PID}"], ids=["live-run-no-ancestor", "ancestor-of-another-file"])
def test_parent_that_is_no_ancestor_running_this_file_means_normal_mode(live_launcher, run_launcher, parent):
    # Whoever shapes another's environment can name any live launcher, its values and its
    # TEMP: the folder a library would be loaded from.
    before = tree_state(live_launcher.target_directory)
    variables = {"TARVIX_ONEFILE_PARENT": parent.format(live=live_launcher.pid, RUNNER_PID="{RUNNER_PID}"),
                 **live_launcher.variables}
    run = run_launcher(live_launcher.exe, ["--exit", "6"], variables=variables,
                       temp=live_launcher.target_directory.parent)
    assert_normal_run(run, 6)
    assert run.start["library"] != live_launcher.start["library"]
    assert tree_state(live_launcher.target_directory) == before


def inner_run(run):
    """What the run that the application started printed, as probe events."""
    inner = run.one("inner")
    return inner, [json.loads(line) for line in inner["output"].splitlines()]


@pytest.mark.parametrize("how", ["directly", "through-cmd"])
def test_run_started_by_the_application_takes_in_process_mode(paths, run_launcher, tmp_path, how):
    option = "--run-again" if how == "directly" else "--run-again-through-cmd"
    run = run_launcher(paths.probe_exe, [option, "--mark", "inner", "--exit", "5"], temp=tmp_path)

    assert run.exit_code == 0, run
    outer = run.start
    inner, inner_events = inner_run(run)
    assert inner["exit"] == 5
    inner_start = inner_events[0]
    assert [event["event"] for event in inner_events] == ["start", "mark", "end"]
    # run_code ran in the very process the application started, from the same directory,
    # and that directory did not change.
    if how == "directly":
        assert inner_start["pid"] == inner["pid"]
    assert inner_start["library"] == outer["library"]
    assert inner_start["env"] == outer["env"]
    assert inner_start["argv"] == [outer["argv"][0], "--mark", "inner", "--exit", "5"]
    assert inner["directory_unchanged"] is True
    assert target_directories(tmp_path) == []


def test_launcher_started_again_by_its_program_is_a_run_of_its_own(run_launcher, tmp_path):
    # The inner launcher inherits the outer run's values, named by a live ancestor that
    # runs the same file: for a library the in-process case, for a program a normal run
    # that must neither reuse nor touch the outer directory.
    exe = probe_of_kind("program")
    run = run_launcher(exe, ["--exit", "3", "--run", windows_path(exe), "--mark", "inner", "--exit", "5"],
                       temp=tmp_path)

    assert run.exit_code == 3, run
    inner, inner_events = inner_run(run)
    assert inner["exit"] == 5
    assert [event["event"] for event in inner_events] == ["start", "mark", "end"], "one extraction, one program"
    inner_start = inner_events[0]
    inner_launcher = inner_start["env"]["TARVIX_ONEFILE_PARENT"]
    assert inner_launcher == str(inner["pid"]) != str(inner_start["pid"]), "the program is the inner run's child"
    outer_directory = linux_path(run.start["library"]).parent
    inner_directory = linux_path(inner_start["library"]).parent
    assert inner_directory != outer_directory and inner_directory.parent == tmp_path
    assert TARGET_NAME.fullmatch(inner_directory.name).group(1) == inner_launcher
    assert inner_start["env"]["TARVIX_ONEFILE_RANDOM"] != run.start["env"]["TARVIX_ONEFILE_RANDOM"]
    assert inner["directory_unchanged"] is True
    assert target_directories(tmp_path) == []


@pytest.mark.parametrize("name, value", [
    ("TARVIX_ONEFILE_PARENT", ""), ("TARVIX_ONEFILE_PARENT", "{PARENT}x"), ("TARVIX_ONEFILE_PARENT", "x{PARENT}"),
    ("TARVIX_ONEFILE_PARENT", "+{PARENT}"), ("TARVIX_ONEFILE_PARENT", "0"), ("TARVIX_ONEFILE_TIME_US", ""),
    ("TARVIX_ONEFILE_RANDOM", "x\\..\\..\\..\\..\\..\\..\\evil"), ("TARVIX_ONEFILE_RANDOM", "{RANDOM}\\.."),
    ("TARVIX_ONEFILE_RANDOM", "{RANDOM}A"), ("TARVIX_ONEFILE_RANDOM", "AAAAAAAAA="),
    ("TARVIX_ONEFILE_TIME_US", "12345"), ("TARVIX_ONEFILE_TIME_US", "1234567"), ("TARVIX_ONEFILE_TIME_US", "12345x"),
    ("copy", "same name elsewhere")],
    ids=["parent-empty", "parent-digits-letter", "parent-letter-digits", "parent-sign", "parent-zero",
         "time-absent", "random-climbing-out", "random-with-dots", "random-too-long", "random-not-base64url",
         "time-too-short", "time-too-long", "time-not-digits", "copy-of-the-file-under-the-same-name"])
def test_values_not_as_its_launcher_publishes_them_mean_normal_mode_below_it_too(paths, run_launcher, tmp_path,
                                                                                 name, value):
    if name == "copy":
        copy = tmp_path / "elsewhere" / paths.probe_exe.name
        copy.parent.mkdir()
        shutil.copy(paths.probe_exe, copy)
        args = ["--run", windows_path(copy)]
    else:
        args = ["--set", name, value.replace("{", "%TARVIX_ONEFILE_").replace("}", "%"), "--run-again"]
    run = run_launcher(paths.probe_exe, [*args, "--exit", "3"], temp=tmp_path)

    assert run.exit_code == 0, run
    inner, inner_events = inner_run(run)
    assert inner["exit"] == 3, inner
    assert inner_events[0]["pid"] != inner["pid"], "the application started a run of its own"
    assert inner_events[0]["library"] != run.start["library"]
    assert inner["directory_unchanged"] is True
    assert target_directories(tmp_path) == []


def test_ctrl_c_in_an_in_process_run_deletes_nothing(paths, start_launcher, tmp_path):
    exe = tmp_path / "ctrl_in_process.exe"
    shutil.copy(paths.probe_exe, exe)
    ready = tmp_path / "ready"
    launcher = start_launcher(exe, ["--run-again", "--copy-tree", windows_path(ready), "--sleep", "60000"])
    outer = read_event(launcher)
    deadline = time.monotonic() + 60
    while not (ready / "probe_app.dll").exists() and time.monotonic() < deadline:
        time.sleep(0.1)
    inner = [pid for pid in linux_processes_of(exe.name)
             if b"--run-again" not in Path(f"/proc/{pid}/cmdline").read_bytes()]
    assert len(inner) == 1, inner
    interrupt(inner[0])
    run = finish(launcher)

    assert run.exit_code == 0, run
    assert '"end"' not in run.one("inner")["output"], "the interrupt must end the in-process run"
    assert run.one("inner")["directory_unchanged"] is True, "the in-process run deleted files"
    assert not linux_path(outer["library"]).parent.exists()
