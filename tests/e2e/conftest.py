"""Fixtures and helpers for the end-to-end tests: real launcher executables run under
Wine, new launchers made from the carrier at test time, and payloads made by hand.

The paths of the built files come from the environment that ctest sets (TARVIX_E2E_*).
Launchers normally run through e2e_runner.exe, which starts an exact Windows command
line, as the user's ordinary processes run, and reports the launcher's process id and its
whole 32-bit exit code; `wine` gives a program Wine's own token, which is elevated.
"""

import json
import os
import pwd
import random
import re
import shutil
import signal
import struct
import subprocess
import time
from dataclasses import dataclass, field
from pathlib import Path

import pytest

TARGET_NAME = re.compile(r"onefile_(\d+)_(\d{6})_([A-Za-z0-9_-]{11})")


def built_file(variable):
    value = os.environ.get(variable)
    if not value:
        pytest.fail(f"{variable} is not set; run these tests through ctest")
    path = Path(value)
    if not path.exists():
        pytest.fail(f"{variable} names {path}, which does not exist; build first")
    return path


def wine_prefix():
    value = os.environ.get("WINEPREFIX")
    if not value:
        pytest.fail("WINEPREFIX is not set; run these tests through ctest")
    return Path(value)


def windows_path(path):
    """The Windows form of a Linux path, through Wine's Z: drive."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def linux_path(path):
    """The Linux form of a Windows path on Wine's C: or Z: drive."""
    drive, rest = path[0].upper(), path[2:].replace("\\", "/")
    if drive == "Z":
        return Path(rest)
    assert drive == "C", path
    return wine_prefix() / "drive_c" / rest.lstrip("/")


def quote_argument(argument):
    """An argument as the platform's command-line splitting reads it back unchanged."""
    if argument and not re.search(r'[ \t\n\v"]', argument):
        return argument
    quoted, backslashes = '"', 0
    for char in argument:
        if char == "\\":
            backslashes += 1
            continue
        quoted += "\\" * (2 * backslashes + 1 if char == '"' else backslashes) + char
        backslashes = 0
    return quoted + "\\" * (2 * backslashes) + '"'


def wine_environment(extra=None):
    """The Linux environment for a Wine program: ours, without any TARVIX_ variable that
    the caller's shell may hold, plus extra."""
    env = {name: value for name, value in os.environ.items() if not name.startswith("TARVIX_")}
    env.update(extra or {})
    return env


@dataclass
class Run:
    exit_code: int
    stdout: str
    stderr: str
    pid: int = None  # the launcher's Windows process id, known through the runner
    events: list = field(default_factory=list)
    lines: list = field(default_factory=list)  # standard output lines that are not the probe's

    def all(self, name):
        return [event for event in self.events if event["event"] == name]

    def one(self, name):
        found = self.all(name)
        assert len(found) == 1, f"expected one '{name}' event: {self}"
        return found[0]

    @property
    def start(self):
        return self.one("start")

    @property
    def target_directory(self):
        """The Linux path of the directory that the probe's library was loaded from."""
        return linux_path(self.start["library"]).parent


def decode_output(data):
    # The launcher narrows paths to bytes up to 0xFF; latin-1 keeps every byte.
    return data.decode("latin-1").replace("\r\n", "\n")


def make_run(exit_code, stdout, stderr, pid=None):
    run = Run(exit_code, decode_output(stdout), decode_output(stderr), pid)
    for line in run.stdout.splitlines():
        if line.startswith("{"):
            run.events.append(json.loads(line))
        else:
            run.lines.append(line)
    return run


@pytest.fixture(scope="session")
def paths():
    class Paths:
        packer = built_file("TARVIX_E2E_PACKER")
        probe_exe = built_file("TARVIX_E2E_PROBE_EXE")
        cached_probe_exe = built_file("TARVIX_E2E_CACHED_PROBE_EXE")  # the probe, built CACHED
        stub_exe = built_file("TARVIX_E2E_STUB_EXE")  # the prebuilt launcher, without a payload
        app_data_probe_exe = built_file("TARVIX_E2E_APP_DATA_PROBE_EXE")  # CACHED in {CACHE_DIR}
        probe_files = built_file("TARVIX_E2E_PROBE_FILES")  # the directory probe.exe carries
        probe_dll = built_file("TARVIX_E2E_PROBE_DLL")
        no_run_code_dll = built_file("TARVIX_E2E_NO_RUN_CODE_DLL")
        carrier_exe = built_file("TARVIX_E2E_CARRIER_EXE")
        carrier_payload = built_file("TARVIX_E2E_CARRIER_PAYLOAD")
        runner_exe = built_file("TARVIX_E2E_RUNNER_EXE")
        holder_exe = built_file("TARVIX_E2E_HOLDER_EXE")
        plain_args_exe = built_file("TARVIX_E2E_PLAIN_ARGS_EXE")  # prints the argv a plain program gets
        hello_dll = built_file("TARVIX_E2E_HELLO_DLL")  # the example's library, which imports greeting.dll
        greeting_dll = built_file("TARVIX_E2E_GREETING_DLL")
        wine_temp = wine_prefix() / "drive_c" / "users" / pwd.getpwuid(os.getuid()).pw_name / "Temp"

    return Paths


# The two ways of making an executable, linked by tarvix_add_onefile or the stub filled
# by tarvix-pack exe, times the two kinds of payload, the probe library or the probe
# program first; each gives the probe and the cached probe.
ROUTES = {"linked": ("TARVIX_E2E_PROBE_EXE", "TARVIX_E2E_CACHED_PROBE_EXE"),
          "stub": ("TARVIX_E2E_STUB_PROBE_EXE", "TARVIX_E2E_STUB_CACHED_PROBE_EXE"),
          "linked-program": ("TARVIX_E2E_PROGRAM_PROBE_EXE", "TARVIX_E2E_CACHED_PROGRAM_PROBE_EXE"),
          "stub-program": ("TARVIX_E2E_STUB_PROGRAM_PROBE_EXE", "TARVIX_E2E_STUB_CACHED_PROGRAM_PROBE_EXE")}
KINDS = ["library", "program"]
# The probe library's launcher of the windowed kind, made both ways.
WINDOWED_ROUTES = {"linked": "TARVIX_E2E_WINDOWED_PROBE_EXE", "stub": "TARVIX_E2E_STUB_WINDOWED_PROBE_EXE"}


@pytest.fixture(params=list(ROUTES))
def probe_exe(request):
    return built_file(ROUTES[request.param][0])


@pytest.fixture(params=list(ROUTES))
def cached_probe_exe(request):
    return built_file(ROUTES[request.param][1])


@pytest.fixture
def first_entry(request):
    """The built first entry of this test's probe_exe or cached_probe_exe."""
    params = request.node.callspec.params
    key = params.get("probe_exe") or params.get("cached_probe_exe")
    return built_file("TARVIX_E2E_PROBE_PROGRAM" if key.endswith("program") else "TARVIX_E2E_PROBE_DLL")


def probe_of_kind(kind):
    return built_file(ROUTES["linked" if kind == "library" else "linked-program"][0])


def child_argv0(run, exe, first_entry):
    """Argument 0 as the application gets it: a library the launcher's full path, a
    program its own, in the directory it was extracted to."""
    return run.start["library"] if first_entry.suffix == ".exe" else windows_path(exe)


@pytest.fixture(params=list(WINDOWED_ROUTES))
def windowed_probe_exe(request):
    return built_file(WINDOWED_ROUTES[request.param])


@pytest.fixture(scope="session")
def start_runner(paths, tmp_path_factory):
    """start_runner(exe, args=(), tail=None, argv0=None, application=True, cwd=None,
    variables=None, temp=None, stdout_file=None) -> Started: the runner running exe.

    The command line is argv0 (default: the quoted Windows path of exe) followed by the
    quoted args, or by tail verbatim. application=False leaves the program to the
    system's search, from cwd. variables are set in the launcher's Windows environment;
    temp (a Linux directory) becomes its TEMP and TMP. stdout_file sends standard output
    to that file instead of a pipe; output_files sends both streams to files of their own,
    read when the runner has ended, for what may leave a process holding them.
    """
    results = tmp_path_factory.mktemp("runner")
    counter = iter(range(1_000_000))

    def start(exe, args=(), tail=None, argv0=None, application=True, cwd=None, variables=None, temp=None,
              stdout_file=None, detached=False, output_files=False):
        command_line = argv0 if argv0 is not None else quote_argument(windows_path(exe))
        command_line += " " + tail if tail is not None else "".join(" " + quote_argument(a) for a in args)
        result_file = results / f"result_{next(counter)}.txt"
        settings = {
            "E2E_COMMAND_LINE": command_line,
            "E2E_RESULT": windows_path(result_file),
        }
        if application:
            settings["E2E_APPLICATION"] = windows_path(exe)
        if cwd is not None:
            settings["E2E_DIRECTORY"] = windows_path(cwd)
        if detached:
            settings["E2E_DETACHED"] = "1"
        variables = dict(variables or {})
        if temp is not None:
            variables["TEMP"] = variables["TMP"] = windows_path(temp)
        for name, value in variables.items():
            settings["E2E_SET_" + name] = value
        environment = wine_environment(settings)

        streams = (result_file.with_suffix(".out"), result_file.with_suffix(".err")) if output_files else None

        def launch():
            if streams:
                with open(streams[0], "wb") as out, open(streams[1], "wb") as err:
                    return subprocess.Popen(["wine", str(paths.runner_exe)], stdin=subprocess.DEVNULL, stdout=out,
                                            stderr=err, env=environment)
            with open(stdout_file or os.devnull, "wb") as file:
                return subprocess.Popen(["wine", str(paths.runner_exe)], stdin=subprocess.DEVNULL,
                                        stdout=file if stdout_file else subprocess.PIPE, stderr=subprocess.PIPE,
                                        env=environment)

        return Started(launch(), result_file, launch, streams)

    return start


@dataclass
class Started:
    """A launcher started through the runner."""
    process: subprocess.Popen
    result_file: Path
    launch: object  # starts the runner again
    streams: tuple = None  # the files of standard output and error, where not pipes
    consumed: bytes = b""  # standard output already read with read_line

    def read_line(self):
        """The next line of standard output, kept for the Run as well; b"" at its end."""
        line = self.process.stdout.readline()
        self.consumed += line
        return line

    def finish(self, timeout=120):
        """Waits for the runner and returns the launcher's Run. On a time-out the runner is
        killed and subprocess.TimeoutExpired raised; the launcher may still run then, and
        hold the output pipes open."""
        for attempt in range(3):
            try:
                stdout, stderr = self.process.communicate(timeout=timeout)
                if self.streams:
                    stdout, stderr = (stream.read_bytes() for stream in self.streams)
            except subprocess.TimeoutExpired:
                self.process.kill()
                try:
                    self.process.communicate(timeout=5)
                except subprocess.TimeoutExpired:
                    pass
                raise
            # Under load Wine now and then loses a process in its Unix start-up (exit code 1,
            # nothing printed). The runner's first step makes the result file, so without the
            # file nothing of the test has run yet and the runner can simply start again.
            never_ran = self.process.returncode != 0 and not self.result_file.exists()
            if not never_ran or self.consumed or stdout or stderr or attempt == 2:
                break
            self.process = self.launch()
        assert self.process.returncode == 0 and self.result_file.is_file(), (
            f"the runner failed ({self.process.returncode}): {decode_output(stderr)}")
        pid, exit_code = map(int, self.result_file.read_text().split())
        return make_run(exit_code, self.consumed + (stdout or b""), stderr, pid)


@pytest.fixture(scope="session")
def run_launcher(start_runner):
    """run_launcher(exe, ..., timeout=120) -> Run: start_runner's arguments, then waits
    for the end."""

    def run(*args, timeout=120, **options):
        return start_runner(*args, **options).finish(timeout)

    return run


@pytest.fixture(scope="session")
def start_launcher():
    """start_launcher(exe, args, variables=None) -> Popen running `wine exe args` with
    piped output and variables in its environment. Its pid is the Linux process of the
    launcher itself, the one to send SIGINT to."""

    def start(exe, args=(), variables=None):
        return subprocess.Popen(["wine", str(exe), *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=wine_environment(variables))

    return start


def finish(process, timeout=60):
    """Waits for a started launcher and returns its Run (exit code truncated to 8 bits)."""
    stdout, stderr = process.communicate(timeout=timeout)
    return make_run(process.returncode, stdout, stderr)


def read_event(process):
    """Reads the next probe line from a started launcher."""
    line = process.stdout.readline()
    assert line, "the launcher ended early: " + decode_output(process.stderr.read())
    return json.loads(line)


def linux_processes_of(exe_name):
    """Linux process ids whose command line names exe_name (Wine shows a program's command
    line there) in this run's prefix: another test run on the machine keeps its own."""
    prefix = b"WINEPREFIX=" + os.fsencode(wine_prefix())
    found = []
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                command_line = (entry / "cmdline").read_bytes()
                environment = (entry / "environ").read_bytes().split(b"\0")
            except OSError:
                continue
            if exe_name.encode() in command_line and prefix in environment:
                found.append(int(entry.name))
    return found


def interrupt(pid):
    """Ctrl+C for a Wine program: Wine turns SIGINT into CTRL_C_EVENT for its handlers."""
    os.kill(pid, signal.SIGINT)


def wait_until_gone(pids, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if not any(Path(f"/proc/{pid}").exists() for pid in pids):
            return True
        time.sleep(0.05)
    return False


@pytest.fixture(scope="session")
def make_launcher(paths, tmp_path_factory):
    """make_launcher(payload, name) -> Path of a new launcher .exe: a copy of the carrier
    with payload in place of its own and the payload size after it patched to match."""
    carrier = paths.carrier_exe.read_bytes()
    original = paths.carrier_payload.read_bytes()
    offset = carrier.find(original)
    assert offset >= 0, "the carrier does not hold its payload.bin"
    assert carrier.find(original, offset + 1) < 0
    size_offset = (offset + len(original) + 7) // 8 * 8
    assert struct.unpack_from("<Q", carrier, size_offset)[0] == len(original), "no payload size after the payload"
    directory = tmp_path_factory.mktemp("launchers")

    def make(payload, name):
        assert len(payload) <= len(original), "payload larger than the carrier's room"
        image = bytearray(carrier)
        image[offset:offset + len(payload)] = payload
        struct.pack_into("<Q", image, size_offset, len(payload))
        path = directory / f"{name}.exe"
        path.write_bytes(image)
        return path

    return make


@pytest.fixture(scope="session")
def pack(paths):
    """pack(library, directory, output_dir, level=1) -> payload bytes from the real
    packer: library first, then the files below directory (None for none)."""
    counter = iter(range(1_000_000))

    def run(library, directory, output_dir, level=1):
        output = Path(output_dir) / f"payload_{next(counter)}.bin"
        args = [str(paths.packer), "build", "--library", str(library), "--level", str(level), "-o", str(output)]
        if directory is not None:
            args += ["--dir", str(directory)]
        completed = subprocess.run(args, capture_output=True, text=True)
        assert completed.returncode == 0, completed.stderr
        return output.read_bytes()

    return run


# Payloads made by hand, for what the packer never writes.

def entry(path, data):
    return path.encode("utf-16-le") + b"\0\0" + struct.pack("<Q", len(data)) + data


END_MARKER = b"\0\0"


def zstd_frame(content, window_descriptor=0x38, block_type=0, magic=b"\x28\xb5\x2f\xfd", block_size=100_000):
    """A zstd frame of raw blocks (block_type 0): frame header descriptor 0x00 (no content
    size, no checksum, no dictionary), then the window descriptor (0x38: 128 KiB)."""
    frame = magic + b"\x00" + bytes([window_descriptor])
    chunks = [content[at:at + block_size] for at in range(0, len(content), block_size)] or [b""]
    for index, chunk in enumerate(chunks):
        last = index == len(chunks) - 1
        frame += struct.pack("<I", int(last) | block_type << 1 | len(chunk) << 3)[:3] + chunk
    return frame


def attached_payload(frame, header=b"KAY"):
    """The stored layout: header, frame, four zero bytes, the trailer's own offset."""
    return header + frame + b"\0\0\0\0" + struct.pack("<Q", len(header) + len(frame) + 4)


def deterministic_bytes(seed, size):
    return random.Random(seed).randbytes(size)


def plant_libraries(exe, root):
    """exe copied to root/bin beside a probe_plugin.dll, as are the current directory and a PATH
    folder, which also holds path_only.dll. -> (the copy, the options to start it)"""
    for folder, name in [("bin", "probe_plugin.dll"), ("cwd", "probe_plugin.dll"), ("on_path", "path_only.dll")]:
        (root / folder).mkdir(parents=True)
        shutil.copy(built_file("TARVIX_E2E_PROBE_FILES") / "probe_plugin.dll", root / folder / name)
    shutil.copy(root / "bin" / "probe_plugin.dll", root / "on_path")
    path = windows_path(root / "on_path") + ";C:\\windows\\system32"
    return Path(shutil.copy(exe, root / "bin")), {"cwd": root / "cwd", "variables": {"PATH": path}}


def target_directories(temp):
    """The launcher's directories in a Linux temp directory."""
    return sorted(path for path in Path(temp).iterdir() if TARGET_NAME.fullmatch(path.name))


TRACE_LINE = re.compile(r"\[tarvix (\d+) \+(\d+) ms\] (.*)")


def run_traced(run_launcher, exe, args, tmp_path, **options):
    """exe run with TEMP tmp_path/plain, then with tmp_path/traced and TARVIX_TRACE naming a file: asserts that
    both show the user the same and returns the traced Run and its trace, {process id: [step, ...]}."""
    trace_file = tmp_path / "trace.txt"
    variables = options.pop("variables", {})
    runs = []
    for name, trace in (("plain", {}), ("traced", {"TARVIX_TRACE": windows_path(trace_file)})):
        (tmp_path / name).mkdir(exist_ok=True)
        runs.append(run_launcher(exe, args, temp=tmp_path / name, variables={**variables, **trace}, **options))
    plain, traced = runs

    def seen(run, temp):
        events = [(event["event"], event.get("argv", [])[1:]) for event in run.events]
        return run.exit_code, run.lines, TARGET_NAME.sub("", run.stderr.replace(windows_path(temp), "")), events

    assert seen(plain, tmp_path / "plain") == seen(traced, tmp_path / "traced"), (plain, traced)
    steps, stamps = {}, {}
    lines = trace_file.read_bytes().decode("latin-1").split("\r\n") if trace_file.exists() else [""]
    trace_file.unlink(missing_ok=True)
    assert lines[-1] == "", lines
    for line in lines[:-1]:
        matched = TRACE_LINE.fullmatch(line)
        assert matched, line
        pid, stamp = int(matched[1]), int(matched[2])
        assert stamp >= stamps.get(pid, 0), lines  # each process's lines in the order of its steps
        stamps[pid] = stamp
        steps.setdefault(pid, []).append(matched[3])
    return traced, steps


def assert_steps(steps, patterns):
    """Each step matches its pattern in full, one for one and in order."""
    assert len(steps) == len(patterns) and all(re.fullmatch(p, s) for p, s in zip(patterns, steps)), \
        "\n".join(steps)
