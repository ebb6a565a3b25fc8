"""Ctrl+C, a killed launcher and a held file: how a run ends when it does not end by
itself.

Wine turns a SIGINT to a program's Linux process into CTRL_C_EVENT for that program's
handlers only. On Windows the launcher and its child share the console and both receive
the event, so the tests interrupt both: the child first, then the launcher.
"""

import shutil
import subprocess
import time

import pytest

from conftest import (KINDS, finish, interrupt, linux_path, linux_processes_of, probe_of_kind, read_event,
                      wait_until_gone, wine_environment, windows_path)

RETRY_PERIOD = 2.0


@pytest.fixture(params=KINDS)
def own_probe(tmp_path, request):
    """A copy of the probe of each kind under a name of this test's own, so that its
    Linux processes can be told from those of tests running beside it."""
    exe = tmp_path / f"ctrl_{request.node.name.replace('[', '_').replace(']', '')}.exe"
    shutil.copy(probe_of_kind(request.param), exe)
    return exe


def start_and_find_child(exe, start_launcher, setup, rest):
    """A launcher whose application has worked through the setup arguments and reported
    "ready" before the rest, its target directory and its child's Linux process."""
    launcher = start_launcher(exe, [*setup, "--mark", "ready", *rest])
    start = read_event(launcher)
    assert read_event(launcher) == {"event": "mark", "text": "ready"}
    target = linux_path(start["library"]).parent
    assert target.is_dir()
    # The child runs the launcher's file again, or the program from the target directory.
    child_name = exe.name if start["library"].endswith(".dll") else target.name
    children = [pid for pid in linux_processes_of(child_name) if pid != launcher.pid]
    assert len(children) == 1, children
    return launcher, target, children[0]


@pytest.mark.parametrize("goes_on", [False, True], ids=["application-exits", "application-goes-on"])
def test_ctrl_c_while_the_application_runs_is_its_own_and_its_exit_code_is_the_launchers(
        own_probe, start_launcher, goes_on):
    setup = ["--ignore-ctrl-c"] if goes_on else ["--exit-on-ctrl-c", "5"]
    launcher, target, child = start_and_find_child(own_probe, start_launcher, setup,
                                                   ["--sleep", "3000", "--mark", "slept", "--exit", "7"])
    interrupt(child)
    interrupt(launcher.pid)
    # Run beside e2e_faults, the application's three seconds and the launcher's end took
    # up to 41 s under Wine, earlier launchers alike; one that never ends still fails.
    run = finish(launcher, timeout=180)

    if goes_on:
        # Cancelling is the application's business: it goes on to its end.
        assert run.all("mark") == [{"event": "mark", "text": "slept"}] and run.exit_code == 7, run
    else:
        assert run.events == [] and run.exit_code == 5, run
    assert wait_until_gone([child])
    assert not target.exists()


def test_killed_launcher_takes_its_application_along(own_probe, start_launcher):
    launcher, target, child = start_and_find_child(own_probe, start_launcher, [], ["--sleep", "60000"])
    launcher.kill()
    launcher.wait(timeout=30)
    try:
        assert wait_until_gone([child], timeout=3), "the application outlived its launcher"
        launcher.communicate(timeout=30)
    finally:
        shutil.rmtree(target, ignore_errors=True)  # nothing is left to delete it


def test_held_file_makes_the_cleanup_give_up_and_leave_the_directory(paths, own_probe, start_launcher, tmp_path):
    release = tmp_path / "release"
    launcher = start_launcher(own_probe, ["--mark", "ready", "--wait-for", windows_path(release)])
    start = read_event(launcher)
    assert read_event(launcher) == {"event": "mark", "text": "ready"}
    target = linux_path(start["library"]).parent
    holder = subprocess.Popen(["wine", str(paths.holder_exe), start["library"].rsplit("\\", 1)[0] + "\\readme.txt"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env=wine_environment())
    try:
        assert holder.stdout.readline().strip() == b"holding"
        began = time.monotonic()
        release.touch()
        run = finish(launcher, timeout=60)
        elapsed = time.monotonic() - began

        assert run.exit_code == 0, run
        assert run.one("waited")["found"] is True
        # 20 further attempts 100 ms apart, then the launcher gives up, as it must while
        # the file stays held.
        assert RETRY_PERIOD - 0.5 <= elapsed < RETRY_PERIOD + 15
        assert (target / "readme.txt").is_file()
    finally:
        holder.communicate(timeout=60)  # closing its input lets the file go
        shutil.rmtree(target, ignore_errors=True)
    assert holder.returncode == 0
