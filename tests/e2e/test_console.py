"""Ctrl+C and a held file: the launcher's cleanup when the run does not end by itself.

Wine turns a SIGINT to a program's Linux process into CTRL_C_EVENT for that program's
handlers only. On Windows the launcher and its child share the console and both receive
the event, so the tests interrupt both: the child first, then the launcher.
"""

import shutil
import subprocess
import time

import pytest

from conftest import (finish, interrupt, linux_path, linux_processes_of, read_event, wait_until_gone,
                      wine_environment, windows_path)

GRACE_PERIOD = 5.0
RETRY_PERIOD = 2.0


@pytest.fixture
def own_probe(paths, tmp_path, request):
    """A copy of probe.exe under a name of this test's own, so that its Linux processes
    can be told from those of tests running beside it."""
    exe = tmp_path / f"ctrl_{request.node.name.replace('[', '_').replace(']', '')}.exe"
    shutil.copy(paths.probe_exe, exe)
    return exe


@pytest.mark.parametrize("ignores", [False, True], ids=["child-ends", "child-ignores"])
def test_ctrl_c_while_the_child_runs_removes_the_directory(own_probe, start_launcher, ignores):
    args = (["--ignore-ctrl-c"] if ignores else []) + ["--mark", "ready", "--sleep", "60000", "--mark", "slept"]
    launcher = start_launcher(own_probe, args)
    start = read_event(launcher)
    assert read_event(launcher) == {"event": "mark", "text": "ready"}
    target = linux_path(start["library"]).parent
    assert target.is_dir()
    children = [pid for pid in linux_processes_of(own_probe.name) if pid != launcher.pid]
    assert len(children) == 1, children

    began = time.monotonic()
    interrupt(children[0])
    interrupt(launcher.pid)
    run = finish(launcher, timeout=60)
    elapsed = time.monotonic() - began

    assert run.all("mark") == [], "the child must not get past its sleep"
    assert wait_until_gone(children)
    assert not target.exists()
    if ignores:
        # The launcher gives the child its grace period, then ends it.
        assert GRACE_PERIOD - 0.5 <= elapsed < GRACE_PERIOD + 20


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
