"""Which run takes in-process mode: only one whose TARVIX_ONEFILE_PARENT names a live
process of the very same executable file. The values below are made from the process id
of such a live launcher, so that a parse that accepts too much would show up as a run in
in-process mode."""

import json
import shutil
from dataclasses import dataclass
from pathlib import Path

import pytest

from conftest import TARGET_NAME, finish, interrupt, linux_path, read_event, target_directories, windows_path


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


@pytest.mark.parametrize("value", ["", "{pid}x", "x{pid}", "+{pid}", "{pid_plus_2_32}", "0", "{runner}"],
                         ids=["empty", "digits-letter", "letter-digits", "sign", "beyond-32-bits", "zero",
                              "other-executable"])
def test_parent_that_names_no_live_run_of_this_file_means_normal_mode(live_launcher, run_launcher, value):
    value = value.format(pid=live_launcher.pid, pid_plus_2_32=live_launcher.pid + 2**32, runner="{RUNNER_PID}")
    run = run_launcher(live_launcher.exe, ["--exit", "3"],
                       variables={"TARVIX_ONEFILE_PARENT": value, **live_launcher.variables})
    assert_normal_run(run, 3)
    assert run.start["library"] != live_launcher.start["library"]


def test_parent_running_a_copy_at_another_path_means_normal_mode(paths, live_launcher, run_launcher):
    run = run_launcher(paths.probe_exe, ["--exit", "4"],
                       variables={"TARVIX_ONEFILE_PARENT": str(live_launcher.pid), **live_launcher.variables})
    assert_normal_run(run, 4)


def test_parent_running_this_file_means_in_process_mode(live_launcher, run_launcher):
    before = tree_state(live_launcher.target_directory)
    run = run_launcher(live_launcher.exe, ["--exit", "6"],
                       variables={"TARVIX_ONEFILE_PARENT": str(live_launcher.pid), **live_launcher.variables})

    assert run.exit_code == 6, run
    start = run.start
    assert start["pid"] == run.pid, "in-process mode runs the application in the started process"
    assert start["library"] == live_launcher.start["library"]
    assert start["env"] == {**live_launcher.start["env"],
                            "TARVIX_ONEFILE_DIRECTORY": None, "TARVIX_ORIGINAL_ARGV0": None}
    assert tree_state(live_launcher.target_directory) == before
    temp = live_launcher.target_directory.parent
    assert list(temp.glob(f"onefile_{run.pid}_*")) == []


def test_ctrl_c_in_an_in_process_run_deletes_nothing(live_launcher, start_launcher):
    process = start_launcher(live_launcher.exe, ["--mark", "ready", "--sleep", "60000", "--mark", "slept"],
                             {"TARVIX_ONEFILE_PARENT": str(live_launcher.pid), **live_launcher.variables})
    assert read_event(process)["library"] == live_launcher.start["library"]
    assert read_event(process) == {"event": "mark", "text": "ready"}
    before = tree_state(live_launcher.target_directory)
    interrupt(process.pid)
    run = finish(process)
    assert run.events == [], "the run must end at the interrupt"
    assert tree_state(live_launcher.target_directory) == before


@pytest.mark.parametrize("time_us, random_text", [
    (None, None), ("000000", "x\\..\\..\\..\\..\\..\\..\\evil"), ("{time}", "{random}\\.."), ("{time}", "{random}A"),
    ("{time}", "AAAAAAAAA="), ("12345", "{random}"), ("1234567", "{random}"), ("12345x", "{random}")],
    ids=["left-over-parent", "random-climbing-out", "random-with-dots", "random-too-long", "random-not-base64url",
         "time-too-short", "time-too-long", "time-not-digits"])
def test_time_and_random_not_as_a_launcher_publishes_them_mean_normal_mode(live_launcher, run_launcher, time_us,
                                                                          random_text):
    live = live_launcher.variables
    variables = {"TARVIX_ONEFILE_PARENT": str(live_launcher.pid)}
    if time_us is not None:
        variables["TARVIX_ONEFILE_TIME_US"] = time_us.format(time=live["TARVIX_ONEFILE_TIME_US"])
        variables["TARVIX_ONEFILE_RANDOM"] = random_text.format(random=live["TARVIX_ONEFILE_RANDOM"])
    run = run_launcher(live_launcher.exe, ["--exit", "3"], variables=variables)
    assert_normal_run(run, 3)
    assert run.start["library"] != live_launcher.start["library"]


def test_run_started_by_the_application_takes_in_process_mode(paths, run_launcher, tmp_path):
    run = run_launcher(paths.probe_exe, ["--run-again", "--mark", "inner", "--exit", "5"], temp=tmp_path)

    assert run.exit_code == 0, run
    outer = run.start
    inner = run.one("inner")
    assert inner["exit"] == 5
    inner_events = [json.loads(line) for line in inner["output"].splitlines()]
    inner_start = inner_events[0]
    assert [event["event"] for event in inner_events] == ["start", "mark", "end"]
    # run_code ran in the very process the application started, from the same directory,
    # and that directory did not change.
    assert inner_start["pid"] == inner["pid"]
    assert inner_start["library"] == outer["library"]
    assert inner_start["env"] == outer["env"]
    assert inner_start["argv"] == [outer["argv"][0], "--mark", "inner", "--exit", "5"]
    assert inner["directory_unchanged"] is True
    assert target_directories(tmp_path) == []
