"""A CACHED executable: the first start extracts into a per-user cache directory (here
below the run's TEMP) and keeps it; later starts run the application from it, a library
in their own process, a program as their child, writing nothing."""

import json
import re
import shutil
import subprocess

import pytest

from conftest import (TARGET_NAME, assert_steps, linux_path, plant_libraries, run_traced, target_directories,
                      wine_environment, windows_path)


def files_below(root):
    """Every file below root with its size and write time."""
    return {str(path.relative_to(root)): (path.stat().st_size, path.stat().st_mtime_ns)
            for path in root.rglob("*") if path.is_file()}


def cache_of(temp):
    """The one directory in the cache: the payload's digest below {PRODUCT}\\{VERSION}."""
    [directory] = (temp / "cache" / "Probe" / "0.1").iterdir()
    assert re.fullmatch(r"[0-9a-f]{16}", directory.name), directory
    return directory


def test_first_start_extracts_and_keeps_the_directory_and_the_next_writes_nothing(cached_probe_exe, first_entry,
                                                                                   paths, run_launcher, tmp_path):
    # Started by the paths as typed, beside libraries planted where a bare name must not
    # find them; a library gets the full path, as in the default mode.
    exe, options = plant_libraries(cached_probe_exe, tmp_path / "planted")
    typed = f"..\\{exe.parent.name}\\{exe.name}"
    first = run_launcher(exe, ["--exit", "4", "--load", "probe_plugin.dll"], argv0=typed, temp=tmp_path, **options)

    assert first.exit_code == 4, first
    directory = cache_of(tmp_path)
    start = first.start
    if first_entry.suffix == ".dll":
        assert start["pid"] == first.pid, "the library runs in the started process itself"
        argument_0 = windows_path(exe)
    else:
        assert start["pid"] != first.pid and start["argv"][0] == start["library"], "the program runs as the child"
        argument_0 = start["library"]
    assert linux_path(start["library"]) == directory / first_entry.name
    assert linux_path(first.one("loaded")["module"]) == directory / "probe_plugin.dll"
    assert start["env"]["TARVIX_ONEFILE_DIRECTORY"] == windows_path(exe.parent)
    assert start["argv"] == [argument_0, "--exit", "4", "--load", "probe_plugin.dll"]
    assert start["env"]["TARVIX_ORIGINAL_ARGV0"] == typed
    assert start["env"]["TARVIX_ONEFILE_PARENT"] is None
    kept = files_below(directory)
    expected = {first_entry.name, ".tarvix-complete", *map(str, files_below(paths.probe_files))}
    assert set(kept) == expected

    second = run_launcher(exe, ["--exit", "5", "--load", "probe_plugin.dll"], argv0=exe.name, temp=tmp_path,
                          **{**options, "cwd": exe.parent})
    assert second.exit_code == 5 and second.start["library"] == start["library"], second
    assert second.one("loaded")["module"] == first.one("loaded")["module"]
    assert second.start["argv"][0] == argument_0
    assert second.start["env"]["TARVIX_ORIGINAL_ARGV0"] == exe.name
    assert files_below(directory) == kept


def sizes_below(root):
    return {path: size for path, (size, _) in files_below(root).items()}


# What interrupted first starts, cleaners, scanners and power losses leave, given the
# directory and the first entry: the library, or the program that cannot start then.
DAMAGES = {
    "record and a file gone": lambda d, first: [(d / ".tarvix-complete").unlink(), (d / "readme.txt").unlink()],
    "one file deleted": lambda d, first: (d / "data" / "notes.txt").unlink(),
    "first entry truncated": lambda d, first: (d / first).write_bytes(b""),
    "first entry zero-filled": lambda d, first: (d / first).write_bytes(bytes((d / first).stat().st_size)),
}


@pytest.mark.parametrize("cached_probe_exe", ["linked", "linked-program"], indirect=True)
@pytest.mark.parametrize("damage", DAMAGES)
def test_damaged_directory_is_extracted_again_in_the_same_start(cached_probe_exe, first_entry, run_launcher, tmp_path,
                                                                damage):
    assert run_launcher(cached_probe_exe, [], temp=tmp_path).exit_code == 0
    directory = cache_of(tmp_path)
    whole = sizes_below(directory)
    DAMAGES[damage](directory, first_entry.name)

    run = run_launcher(cached_probe_exe, ["--exit", "3"], temp=tmp_path)
    assert run.exit_code == 3, run
    assert sizes_below(cache_of(tmp_path)) == whole  # and nothing set aside is left beside it
    assert linux_path(run.start["library"]) == cache_of(tmp_path) / first_entry.name


def test_siblings_of_killed_first_starts_go_while_a_live_ones_stays_and_a_link_named_so_is_not_followed(
        paths, run_launcher, tmp_path):
    assert run_launcher(paths.cached_probe_exe, [], temp=tmp_path).exit_code == 0
    directory = cache_of(tmp_path)
    killed, live, set_aside, linked = (directory.with_name(directory.name + suffix) for suffix in (
        ".new-AAAAAAAAAAA", ".new-BBBBBBBBBBB", ".old-CCCCCCCCCCC", ".old-DDDDDDDDDDD"))
    outside = tmp_path / "outside"
    for sibling in (killed, live, set_aside, outside):
        (sibling / "data").mkdir(parents=True)
        (sibling / "data" / "part.bin").write_bytes(bytes(100))
    linked.symlink_to(outside)
    # A live first start holds its sibling without delete sharing, as the holder does.
    holder = subprocess.Popen(["wine", str(paths.holder_exe), windows_path(live)], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=wine_environment())
    try:
        assert holder.stdout.readline().strip() == b"holding"
        run = run_launcher(paths.cached_probe_exe, ["--exit", "6"], temp=tmp_path)
        assert run.exit_code == 6, run
        assert not killed.exists() and not set_aside.exists()
        assert (live / "data" / "part.bin").is_file()
        # Wine cannot remove the link itself: it stays, and never moves what it points to.
        assert sizes_below(outside) == {"data/part.bin": 100} and linked.is_symlink()
        assert sorted(path.name for path in directory.parent.iterdir()) == sorted(
            path.name for path in (directory, live, linked))
    finally:
        holder.communicate(timeout=60)
    assert holder.returncode == 0


def test_a_damaged_cache_in_use_stays_in_place_and_is_healed_once_free(cached_probe_exe, first_entry, run_launcher,
                                                                       start_runner, tmp_path):
    assert run_launcher(cached_probe_exe, [], temp=tmp_path).exit_code == 0
    directory = cache_of(tmp_path)
    whole = sizes_below(directory)
    release = tmp_path / "release"
    running = start_runner(cached_probe_exe, ["--wait-for", windows_path(release), "--exit", "2"], temp=tmp_path)
    try:
        assert linux_path(json.loads(running.read_line())["library"]) == directory / first_entry.name
        (directory / "data" / "notes.txt").unlink()
        meanwhile = run_launcher(cached_probe_exe, ["--exit", "3"], temp=tmp_path)
        assert meanwhile.exit_code == 3, meanwhile
        assert TARGET_NAME.fullmatch(meanwhile.target_directory.name), "runs the default way"
        assert [path.name for path in directory.parent.iterdir()] == [directory.name] and sizes_below(directory)
    finally:
        release.touch()
    assert running.finish().exit_code == 2
    healed = run_launcher(cached_probe_exe, ["--exit", "4"], temp=tmp_path)
    assert healed.exit_code == 4 and linux_path(healed.start["library"]) == directory / first_entry.name, healed
    assert sizes_below(cache_of(tmp_path)) == whole


def block_cache_location(paths, run_launcher, temp):
    (temp / "cache").write_text("in the way")


def replace_digest_folder(paths, run_launcher, temp):
    assert run_launcher(paths.cached_probe_exe, [], temp=temp).exit_code == 0
    directory = cache_of(temp)
    shutil.rmtree(directory)
    directory.write_text("in the way")


@pytest.mark.parametrize("obstacle", [block_cache_location, replace_digest_folder])
def test_cache_that_cannot_be_used_still_runs_the_application_the_default_way(paths, run_launcher, tmp_path, obstacle):
    obstacle(paths, run_launcher, tmp_path)
    before = sorted(tmp_path.rglob("*"))

    run = run_launcher(paths.cached_probe_exe, ["--exit", "7"], temp=tmp_path)
    assert run.exit_code == 7, run
    assert TARGET_NAME.fullmatch(run.target_directory.name) and run.target_directory.parent == tmp_path
    assert target_directories(tmp_path) == [] and sorted(tmp_path.rglob("*")) == before


# A setting that names no variable but %USERPROFILE% is expanded without USERENV; one
# that names another goes to USERENV, which under Wine expands from the process's own
# environment: the launcher is given the variable.
@pytest.mark.parametrize("folder_variable", [None, "TARVIX_E2E_FOLDER"], ids=["profile-only", "another-variable"])
def test_cache_dir_follows_a_relocated_local_app_data_setting(paths, run_launcher, tmp_path, folder_variable):
    key, value = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders", "Local AppData"

    def set_setting(kind, data):
        subprocess.run(["wine", "reg", "add", key, "/v", value, "/t", kind, "/d", data, "/f"], env=wine_environment(),
                       check=True, capture_output=True)

    query = subprocess.run(["wine", "reg", "query", key, "/v", value], env=wine_environment(), check=True,
                           capture_output=True, text=True).stdout
    original = re.search(r"Local AppData\s+(REG_\w+)\s+(.*?)\s*$", query, re.MULTILINE).groups()
    # Inside the profile's Temp folder, which the fault tests running beside this one leave
    # out of what they watch.
    relocated = paths.wine_temp / f"relocated_{tmp_path.name}"
    folder = paths.wine_temp.name if folder_variable is None else f"%{folder_variable}%"
    set_setting("REG_EXPAND_SZ", rf"%USERPROFILE%\{folder}\{relocated.name}")
    try:
        variables = {} if folder_variable is None else {folder_variable: paths.wine_temp.name}
        run = run_launcher(paths.app_data_probe_exe, ["--exit", "8"], variables=variables)
        assert run.exit_code == 8, run
        library = linux_path(run.start["library"])
        assert library.parents[4] == relocated and library.parent.parent.name == "0.1", library
    finally:
        set_setting(*original)
        shutil.rmtree(relocated, ignore_errors=True)


def test_ten_first_starts_at_once_all_run_and_leave_one_directory(cached_probe_exe, first_entry, start_runner,
                                                                  tmp_path):
    started = [start_runner(cached_probe_exe, ["--exit", str(code)], temp=tmp_path) for code in range(1, 11)]
    runs = [launch.finish(timeout=300) for launch in started]

    assert [run.exit_code for run in runs] == list(range(1, 11)), runs
    directory = cache_of(tmp_path)  # nothing beside it: the losers removed their copies
    libraries = {linux_path(run.start["library"]) for run in runs}
    # A start that waits too long for another's copy runs from a private directory instead,
    # which is gone once it has ended.
    assert directory / first_entry.name in libraries, libraries
    assert all(library == directory / first_entry.name or TARGET_NAME.fullmatch(library.parent.name)
               for library in libraries), libraries
    assert target_directories(tmp_path) == []
    assert (directory / ".tarvix-complete").is_file()



def test_trace_says_fresh_warm_healed_and_the_way_around_a_cache_that_cannot_be_used(cached_probe_exe, first_entry,
                                                                                      run_launcher, tmp_path):
    program = first_entry.suffix == ".exe"
    route = "stub-made" if cached_probe_exe.parent.name == "stub_made" else "linked"
    start = (rf"start {re.escape(windows_path(cached_probe_exe))}: {'program' if program else 'library'} payload of "
             rf"\d+ bytes, {route}, console")
    cache = r"cache .*\\cache\\Probe\\0\.1\\[0-9a-f]{16}, from \{TEMP\}\\cache\\\{PRODUCT\}\\\{VERSION\}: "
    fill = [r"write pool: \d worker threads beside the main thread", r"extracted 5 files, \d+ bytes in \d+ ms"]
    ran = ([r"child \d+ started: (.*)", r"child \d+ ended with exit code 6"] if program else
           [r"library (.*) loaded", "run_code returned 6"])

    def traced():
        run, steps = run_traced(run_launcher, cached_probe_exe, ["--exit", "6"], tmp_path)
        assert run.exit_code == 6, run
        return run, steps.pop(run.pid), steps

    run, steps, others = traced()
    assert_steps(steps, [start, cache + "missing: this start fills it", *fill, "cache filled by this start", *ran,
                         "exit code 6"])
    library = re.fullmatch(ran[0], steps[-3])[1]
    assert linux_path(library) == cache_of(tmp_path / "traced") / first_entry.name and others == {}
    run, steps, others = traced()
    assert_steps(steps, [start, cache + "ready: a warm start", *ran, "exit code 6"])
    assert re.fullmatch(ran[0], steps[-3])[1] == library and others == {}

    for temp in ("plain", "traced"):
        (cache_of(tmp_path / temp) / "readme.txt").unlink()
    run, steps, others = traced()
    assert_steps(steps, [start, cache + "damaged: set aside and filled again", *fill, "cache filled by this start",
                         *ran, "exit code 6"])

    for directory in (cache_of(tmp_path / "plain"), cache_of(tmp_path / "traced")):
        shutil.rmtree(directory)
        directory.write_text("in the way")
    run, steps, others = traced()
    assert_steps(steps, [start, cache + r"unusable \(.*\)", "cache not used: running the default way, from a private "
                         "directory", r"target directory .*\\onefile_.*, a fresh private one in \{TEMP\}", *fill,
                         r"child \d+ started: .*", r"child \d+ ended with exit code 6", r"removed .* after 0 retries",
                         "exit code 6"])
    assert len(others) == (0 if program else 1)
