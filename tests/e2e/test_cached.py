"""A CACHED executable: the first start extracts into a per-user cache directory (here
below the run's TEMP) and keeps it; later starts run the application from it in their
own process, writing nothing."""

import re

from conftest import linux_path, windows_path


def files_below(root):
    """Every file below root with its size and write time."""
    return {str(path.relative_to(root)): (path.stat().st_size, path.stat().st_mtime_ns)
            for path in root.rglob("*") if path.is_file()}


def cache_of(temp):
    """The one directory in the cache: the payload's digest below {PRODUCT}\\{VERSION}."""
    [directory] = (temp / "cache" / "Probe" / "0.1").iterdir()
    assert re.fullmatch(r"[0-9a-f]{16}", directory.name), directory
    return directory


def test_first_start_extracts_and_keeps_the_directory_and_the_next_writes_nothing(cached_probe_exe, paths,
                                                                                   run_launcher, tmp_path):
    first = run_launcher(cached_probe_exe, ["--exit", "4", "--load", "probe_plugin.dll"], temp=tmp_path)

    assert first.exit_code == 4, first
    directory = cache_of(tmp_path)
    start = first.start
    assert start["pid"] == first.pid, "the application runs in the started process itself"
    assert linux_path(start["library"]) == directory / "probe_app.dll"
    assert linux_path(first.one("loaded")["module"]) == directory / "probe_plugin.dll"
    assert start["env"]["TARVIX_ONEFILE_DIRECTORY"] == windows_path(cached_probe_exe.parent)
    assert start["env"]["TARVIX_ORIGINAL_ARGV0"] == windows_path(cached_probe_exe)
    assert start["env"]["TARVIX_ONEFILE_PARENT"] is None
    kept = files_below(directory)
    expected = {"probe_app.dll", ".tarvix-complete", *map(str, files_below(paths.probe_files))}
    assert set(kept) == expected

    second = run_launcher(cached_probe_exe, ["--exit", "5"], temp=tmp_path)
    assert second.exit_code == 5 and second.start["library"] == start["library"], second
    assert files_below(directory) == kept


def test_directory_without_its_completion_record_is_extracted_again(cached_probe_exe, run_launcher, tmp_path):
    assert run_launcher(cached_probe_exe, [], temp=tmp_path).exit_code == 0
    directory = cache_of(tmp_path)
    complete = files_below(directory)
    (directory / ".tarvix-complete").unlink()
    (directory / "readme.txt").unlink()  # as an interrupted start or a cleaner leaves it

    run = run_launcher(cached_probe_exe, ["--exit", "3"], temp=tmp_path)
    assert run.exit_code == 3, run
    assert set(files_below(cache_of(tmp_path))) == set(complete)


def test_ten_first_starts_at_once_all_run_and_leave_one_directory(cached_probe_exe, start_runner, tmp_path):
    started = [start_runner(cached_probe_exe, ["--exit", str(code)], temp=tmp_path) for code in range(1, 11)]
    runs = [launch.finish(timeout=300) for launch in started]

    assert [run.exit_code for run in runs] == list(range(1, 11)), runs
    directory = cache_of(tmp_path)  # nothing beside it: the losers removed their copies
    assert {linux_path(run.start["library"]) for run in runs} == {directory / "probe_app.dll"}
    assert (directory / ".tarvix-complete").is_file()
