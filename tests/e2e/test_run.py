"""A launcher's whole run as its user sees it: the two processes, the target directory,
the environment, the arguments and the exit code."""

import filecmp
import json
import re
import shutil
import subprocess

import pytest

from conftest import (KINDS, TARGET_NAME, assert_steps, built_file, child_argv0, finish, linux_path, plant_libraries,
                      probe_of_kind, run_traced, target_directories, wine_environment, windows_path)


def files_below(root):
    return sorted(str(path.relative_to(root)) for path in root.rglob("*") if path.is_file())


def test_full_run_extracts_runs_the_application_in_the_child_and_removes_the_directory(probe_exe, first_entry, paths,
                                                                                       run_launcher, tmp_path):
    copy = tmp_path / "copy"
    args = ["first", "second argument", "--copy-tree", windows_path(copy), "--parent-modules"]
    run = run_launcher(probe_exe, args)

    assert run.exit_code == 0, run
    assert run.lines == [] and run.stderr == ""
    start = run.start
    assert start["pid"] != run.pid, "run_code must run in the child, not in the launcher's process"
    assert start["argv"] == [child_argv0(run, probe_exe, first_entry), *args]
    # A console process with USER32 or GDI32 loaded no longer hears of logoff and shutdown.
    modules = {name.lower() for name in run.one("parent_modules")["modules"]}
    assert "kernel32.dll" in modules and not modules & {"user32.dll", "gdi32.dll"}, modules

    # The child loads the library, or is the program, from the directory the launcher
    # extracted into.
    target = start["library"].rsplit("\\", 1)[0]
    assert start["library"] == target + "\\" + first_entry.name
    assert start["module"] == start["library"]
    temp, name = target.rsplit("\\", 1)
    assert linux_path(temp) == paths.wine_temp
    match = TARGET_NAME.fullmatch(name)
    assert match, name
    assert match.group(1) == str(run.pid)
    env = start["env"]
    assert env["TARVIX_ONEFILE_PARENT"] == str(run.pid)
    assert env["TARVIX_ONEFILE_TIME_US"] == match.group(2)
    assert env["TARVIX_ONEFILE_RANDOM"] == match.group(3)
    assert env["TARVIX_ONEFILE_START"] is None
    assert env["TARVIX_ONEFILE_DIRECTORY"] == windows_path(probe_exe.parent)
    assert env["TARVIX_ORIGINAL_ARGV0"] == windows_path(probe_exe)

    # Everything the probe saw beside it is what probe.exe carries, byte for byte.
    assert run.one("copied")["files"] == 5
    carried = paths.probe_files
    assert files_below(copy) == sorted([first_entry.name, *files_below(carried)])
    assert filecmp.cmp(copy / first_entry.name, first_entry, shallow=False)
    for relative in files_below(carried):
        assert filecmp.cmp(copy / relative, carried / relative, shallow=False), relative

    assert not run.target_directory.exists()


def test_application_runs_from_a_private_directory_where_its_own_loads_find_its_libraries(probe_exe, first_entry,
                                                                                           run_launcher, tmp_path):
    exe, options = plant_libraries(probe_exe, tmp_path / "planted")
    run = run_launcher(exe, ["--acl", "--load", "probe_plugin.dll", "--load", "path_only.dll"], temp=tmp_path,
                       **options)

    assert run.exit_code == 0, run
    # Only the user and SYSTEM, for everything below too. (Wine keeps neither the protected
    # flag nor inheritance, and reads the entries back from the Unix mode: it shows that no
    # one else gets in, not which account the list names; elevated runs name
    # Administrators, which only the unit test can show.)
    acl = run.one("acl")
    assert acl["error"] == 0 and acl["entries"], acl
    full_access, allowed, inherited_below = 0x1F01FF, 0, 3
    assert {entry["sid"] for entry in acl["entries"]} == {acl["user"], "S-1-5-18"}, acl
    assert all((entry["type"], entry["mask"], entry["flags"]) == (allowed, full_access, inherited_below)
               for entry in acl["entries"]), acl
    # The payload's copy, not the one beside the .exe, in the current directory or on PATH.
    # A program searches as any program does: its own folder first, PATH last.
    loaded, path_only = run.all("loaded")
    assert loaded["module"] == run.start["library"].rsplit("\\", 1)[0] + "\\probe_plugin.dll", loaded
    if first_entry.suffix == ".dll":
        assert (path_only["module"], path_only["error"]) == (None, 126), path_only
    else:
        assert linux_path(path_only["module"]) == tmp_path / "planted" / "on_path" / "path_only.dll", path_only
    assert target_directories(tmp_path) == []


def test_directory_cannot_be_renamed_while_the_application_runs(probe_exe, run_launcher, tmp_path):
    # As the user's ordinary processes could try with an elevated run's directory.
    directory = r"%TEMP%\onefile_%TARVIX_ONEFILE_PARENT%_%TARVIX_ONEFILE_TIME_US%_%TARVIX_ONEFILE_RANDOM%"
    cmd = r"C:\windows\system32\cmd.exe"
    run = run_launcher(probe_exe, ["--run", cmd, "/c", "ren", directory, "moved"], temp=tmp_path)
    assert run.exit_code == 0 and run.one("inner")["exit"] != 0, run
    assert not (tmp_path / "moved").exists() and target_directories(tmp_path) == []


@pytest.mark.parametrize("argv0", ["relprobe", ".\\relprobe.exe"])
def test_environment_is_reset_and_published_for_the_child(probe_exe, first_entry, run_launcher, tmp_path, argv0):
    directory = tmp_path / "bin"
    directory.mkdir()
    shutil.copy(probe_exe, directory / "relprobe.exe")
    stale = {
        "TARVIX_ONEFILE_START": "133000000000000000",
        "TARVIX_ONEFILE_TIME_US": "123456",
        "TARVIX_ONEFILE_RANDOM": "AAAAAAAAAAA",
        "TARVIX_ONEFILE_DIRECTORY": "C:\\stale",
        "TARVIX_ORIGINAL_ARGV0": "stale.exe",
    }
    temp = tmp_path / "temp"
    temp.mkdir()
    run = run_launcher(directory / "relprobe.exe", [], argv0=argv0, application=False, cwd=directory,
                       variables=stale, temp=temp)

    assert run.exit_code == 0, run
    start = run.start
    env = start["env"]
    assert env["TARVIX_ONEFILE_START"] is None
    assert env["TARVIX_ONEFILE_PARENT"] == str(run.pid)
    match = TARGET_NAME.fullmatch(run.target_directory.name)
    assert match and match.group(1) == str(run.pid)
    assert (env["TARVIX_ONEFILE_TIME_US"], env["TARVIX_ONEFILE_RANDOM"]) == (match.group(2), match.group(3))
    assert env["TARVIX_ONEFILE_TIME_US"] != "123456"
    assert env["TARVIX_ONEFILE_RANDOM"] != "AAAAAAAAAAA"
    assert run.target_directory.parent == temp
    # argv[0] as typed goes into the variable; the child gets the full module path.
    assert env["TARVIX_ORIGINAL_ARGV0"] == argv0
    assert env["TARVIX_ONEFILE_DIRECTORY"] == windows_path(directory)
    assert start["argv"] == [child_argv0(run, directory / "relprobe.exe", first_entry)]
    assert target_directories(temp) == []


@pytest.mark.parametrize("code", [0, 7, 256, 0x80000000, 0xFFFFFFFF])
def test_exit_code_comes_back_unchanged(probe_exe, run_launcher, tmp_path, code):
    run = run_launcher(probe_exe, ["--exit", hex(code)], temp=tmp_path)
    assert run.exit_code == code
    assert run.one("end")["exit"] == code
    assert target_directories(tmp_path) == []


def test_stub_made_executable_signed_afterwards_verifies_and_runs(run_launcher, tmp_path):
    stub_made = built_file("TARVIX_E2E_STUB_PROBE_EXE")
    key, certificate, signed = tmp_path / "key.pem", tmp_path / "cert.pem", tmp_path / "signed.exe"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", certificate,
                    "-days", "2", "-subj", "/CN=tarvix test"], check=True, capture_output=True)
    subprocess.run(["osslsigncode", "sign", "-certs", certificate, "-key", key, "-in", stub_made, "-out", signed],
                   check=True, capture_output=True)
    verified = subprocess.run(["osslsigncode", "verify", "-CAfile", certificate, "-in", signed], capture_output=True)
    assert verified.returncode == 0, verified.stdout
    run = run_launcher(signed, ["--exit", "6"], temp=tmp_path)
    assert run.exit_code == 6 and run.start["argv"] == [windows_path(signed), "--exit", "6"], run
    assert target_directories(tmp_path) == []


def test_library_whose_import_lies_only_on_path_is_not_loaded(paths, pack, make_launcher, run_launcher, tmp_path):
    # The example's library without the library it imports, which lies in a PATH folder.
    on_path = tmp_path / "on_path"
    on_path.mkdir()
    shutil.copy(paths.greeting_dll, on_path)
    exe = make_launcher(pack(paths.hello_dll, None, tmp_path), "import_on_path")
    temp = tmp_path / "temp"
    temp.mkdir()
    run = run_launcher(exe, temp=temp, variables={"PATH": windows_path(on_path) + ";C:\\windows\\system32"})
    assert run.exit_code == 2, run
    assert run.stdout == "" and run.stderr.startswith("Error, load DLL. ([Error 126] "), run
    assert run.stderr.endswith("\\hello_app.dll' needs 'greeting.dll', which is neither beside it nor in the "
                               "system folder.\n"), run
    assert target_directories(temp) == []


@pytest.mark.parametrize("kind", KINDS)
def test_start_that_lacks_an_import_names_the_file_and_the_import(paths, run_launcher, tmp_path, kind):
    # The example's library, or a program importing the same library, packed without it.
    first = paths.hello_dll if kind == "library" else built_file("TARVIX_E2E_NEEDS_GREETING_EXE")
    exe = tmp_path / "lacks_import.exe"
    subprocess.run([paths.packer, "exe", "--stub", paths.stub_exe, f"--{kind}", first, "--quiet", "-o", exe],
                   check=True)
    run, steps = run_traced(run_launcher, exe, [], tmp_path)
    named = re.fullmatch(r"Error, '(.*)\\([^\\']*)' needs 'greeting\.dll', which is neither beside it nor in the "
                         r"system folder\.\n", run.stderr.split("\n", 1)[1] if kind == "library" else run.stderr)
    assert named and named.group(2) == first.name and TARGET_NAME.search(named.group(1)), run
    if kind == "library":
        assert run.exit_code == 2 and run.stderr.startswith("Error, load DLL. ([Error 126] "), run
        [child] = set(steps) - {run.pid}
        assert steps[child][-2:] == [f"library {named[1]}\\{first.name} does not load",
                                     "failed: " + run.stderr.replace("\n", " ").strip()], steps
    else:
        # The program's own end, as the system gave it, before any of its code ran.
        assert run.exit_code == 0xC0000135, run
    assert_steps(steps[run.pid][-3:], [rf"child \d+ ended with exit code {run.exit_code}",
                                       r"removed .* after 0 retries", f"exit code {run.exit_code}"])
    assert run.stdout == "" and target_directories(tmp_path / "plain") == target_directories(tmp_path / "traced") == []


@pytest.mark.parametrize("kind", KINDS)
def test_command_line_too_long_for_the_child_ends_with_a_message(run_launcher, tmp_path, kind):
    # Valid for the launcher, whose argument 0 is short; the child's is the full path.
    tail = "a" * (32749 - len("probe "))
    run = run_launcher(probe_of_kind(kind), argv0="probe", tail=tail, temp=tmp_path)
    assert run.exit_code == 2, run
    assert run.lines == ["Error, command line too long to pass on to the child."] and run.events == [], run
    assert target_directories(tmp_path) == []


@pytest.mark.parametrize("detached", [False, True], ids=["console", "detached"])
def test_application_has_a_console_exactly_when_the_launcher_has_one(probe_exe, run_launcher, tmp_path, detached):
    run = run_launcher(probe_exe, ["--exit", "4"], temp=tmp_path, detached=detached)
    assert run.exit_code == 4 and run.start["console"] is not detached, run
    assert target_directories(tmp_path) == []


def test_windowed_launcher_runs_the_application_without_a_console_on_the_handles_it_was_given(
        windowed_probe_exe, run_launcher, tmp_path):
    args = ["a b", "", "--exit", "0x80000003"]
    # From a console, output in files: the desktop process that Wine starts for the first
    # window of a run inherits them, and would hold pipes open.
    run = run_launcher(windowed_probe_exe, args, temp=tmp_path, output_files=True)
    assert run.exit_code == 0x80000003 and run.one("end")["exit"] == 0x80000003, run
    assert run.start["argv"] == [windows_path(windowed_probe_exe), *args]
    assert run.start["console"] is False and run.start["pid"] != run.pid
    assert target_directories(tmp_path) == []


def test_crashing_application_passes_the_exception_code_and_is_cleaned_up(probe_exe, run_launcher, tmp_path):
    run = run_launcher(probe_exe, ["--crash", "--mark", "after"], temp=tmp_path)
    assert run.exit_code == 0xC0000005  # access violation
    assert run.all("mark") == [] and run.all("end") == []
    assert run.target_directory.parent == tmp_path
    assert target_directories(tmp_path) == []


# Command-line pieces as typed, and what the application must receive for each: what a
# plain program would, an empty argument included.
ARGUMENTS = [
    ("plain", "plain"),
    ('"two words"', "two words"),
    ('"tab\there"', "tab\there"),
    ('"say \\"hi\\""', 'say "hi"'),
    ('"run\\\\\\"quote"', 'run\\"quote'),
    ('"C:\\Program Files\\\\"', "C:\\Program Files\\"),
    ('""', ""),
    ("back\\\\slashes\\\\", "back\\\\slashes\\\\"),
    ('x"y z"w', "xy zw"),
    ("&|^%PATH%<>", "&|^%PATH%<>"),
    ('"\u00fcber \u4e2d"', "\u00fcber \u4e2d"),
    ("last\\", "last\\"),
]


def test_arguments_survive_the_round_trip(probe_exe, first_entry, run_launcher, tmp_path):
    tail = " ".join(typed for typed, _ in ARGUMENTS)
    run = run_launcher(probe_exe, tail=tail, temp=tmp_path)
    assert run.exit_code == 0, run
    expected = [received for _, received in ARGUMENTS]
    assert run.start["argv"] == [child_argv0(run, probe_exe, first_entry), *expected]


def test_wildcards_empty_arguments_and_quotes_reach_the_application_as_a_plain_program_gets_them(
        probe_exe, paths, run_launcher, tmp_path):
    work = tmp_path / "work"
    (work / "sub").mkdir(parents=True)
    for name in ["a.txt", "b.txt", "my file.txt", "c.dat", "sub/x.txt"]:
        (work / name).write_text(name)
    temp = tmp_path / "temp"
    temp.mkdir()
    tail = '*.txt sub\\*.txt my*.txt *.none "*.dat" "" x "a b"\\ \\\\"q"'
    run = run_launcher(probe_exe, tail=tail, cwd=work, temp=temp)
    plain = run_launcher(paths.plain_args_exe, tail=tail, cwd=work)

    assert run.exit_code == 0, run
    assert run.start["argv"][1:] == json.loads(plain.lines[0])[1:]
    # Expanded once, by the child: a name with a blank stays one argument.
    assert sorted(run.start["argv"][1:4]) == ["a.txt", "b.txt", "my file.txt"]


def test_temp_given_with_dot_dot_gives_the_simplified_directory(paths, run_launcher, tmp_path):
    sub = tmp_path / "sub"
    sub.mkdir()
    (sub / "keep.txt").write_text("stays")
    run = run_launcher(paths.probe_exe, [], variables={
        "TEMP": windows_path(tmp_path) + "\\x\\..\\sub",
        "TMP": windows_path(tmp_path) + "\\x\\..\\sub",
    })

    assert run.exit_code == 0, run
    library = run.start["library"]
    assert library.startswith(windows_path(sub) + "\\onefile_"), library
    assert run.target_directory.parent == sub
    assert sorted(path.name for path in sub.iterdir()) == ["keep.txt"]
    assert not (tmp_path / "x").exists()


def test_twenty_launches_at_once_each_get_their_own_directory(paths):
    launches = [subprocess.Popen(["wine", str(paths.probe_exe), "--exit", str(code)], stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=wine_environment())
                for code in range(1, 21)]
    runs = [finish(process, timeout=180) for process in launches]

    assert [run.exit_code for run in runs] == list(range(1, 21))
    directories = [run.target_directory for run in runs]
    assert len(set(directories)) == 20
    assert len({run.start["env"]["TARVIX_ONEFILE_PARENT"] for run in runs}) == 20
    assert [path for path in directories if path.exists()] == []



def test_trace_says_each_step_of_a_run_in_order_and_changes_nothing(probe_exe, first_entry, paths, run_launcher,
                                                                   tmp_path):
    run, steps = run_traced(run_launcher, probe_exe, ["--exit", "5"], tmp_path)
    program = first_entry.suffix == ".exe"
    payload_files = [first_entry, *(path for path in paths.probe_files.rglob("*") if path.is_file())]
    directory = re.escape(str(run.start["library"]).rsplit("\\", 1)[0])
    route = "stub-made" if probe_exe.parent.name == "stub_made" else "linked"
    start = rf"start {re.escape(windows_path(probe_exe))}: {'program' if program else 'library'} payload of \d+ bytes, "
    child = run.start["pid"]
    assert_steps(steps.pop(run.pid), [
        start + f"{route}, console",
        rf"target directory {directory}, a fresh private one in \{{TEMP\}}",
        r"write pool: \d worker threads beside the main thread",
        rf"extracted {len(payload_files)} files, {sum(path.stat().st_size for path in payload_files)} bytes in \d+ ms",
        rf"child {child} started: {re.escape(run.start['library'] if program else windows_path(probe_exe))}",
        rf"child {child} ended with exit code 5",
        rf"removed {directory} after 0 retries",
        r"exit code 5"])
    # A library's child, the same executable again, writes to the same file; a program does not know of it.
    if not program:
        assert_steps(steps.pop(child), [start + f"{route}, console, the child of a library payload",
                                        f"library {re.escape(run.start['library'])} loaded", "run_code returned 5",
                                        "exit code 5"])
    assert steps == {}
