"""Faults from outside the launcher: damaged payloads, a full disk, many runs at once,
Ctrl+C at any instant and payload paths that would leave the target directory. Whatever
happens, a run must end, explain itself with one of the launcher's own lines (or abort),
and write nothing outside its own target directory.

TARVIX_FAULT_CASES (default 200) sets the number of damaged payloads and
TARVIX_FAULT_SEED the seed they are made from: a larger number makes a longer run.
"""

import concurrent.futures
import ctypes
import json
import os
import random
import re
import shutil
import signal
import subprocess
import time
from dataclasses import dataclass, field
from pathlib import Path

import pytest

from conftest import (END_MARKER, TARGET_NAME, attached_payload, built_file, deterministic_bytes, interrupt,
                      linux_path, linux_processes_of, windows_path, wine_prefix, zstd_frame)

CASES = int(os.environ.get("TARVIX_FAULT_CASES", "200"))
SEED = int(os.environ.get("TARVIX_FAULT_SEED", "1207"))

# The lines of src/diag/messages.h: fatal_error's on standard output, the rest on
# standard error. (The template message comes with an abort, which no run here may meet
# but through an overlong path, and that one aborts without a line.)
STDOUT_MESSAGES = {
    "header": "Error, couldn't find attached data header.",
    "memory": "Error, couldn't allocate memory.",
    "decode": "Error, couldn't decode attached data.",
    "empty": "Error, attached data holds no files.",
    "unsafe": "Error, attached data names a file outside the target directory.",
    "register": "Error, failed to register signal handler.",
    "entry": "Error, DLL entry point not found.",
}
STDERR_MESSAGES = {
    "open": re.compile(r"Error, failed to open '(.*)' for writing\.\n", re.DOTALL),
    "unpack": re.compile(r"Error, couldn't unpack file to target path\. \(\[Error -?\d+\] [^\n]*\)\n"),
    # A load or start that fails names the file, or the import it lacks, on a second line.
    "launch": re.compile(r"Error, couldn't launch child \(\[Error -?\d+\] [^\n]*\)\nError, [^\n]*\n"),
    "create": re.compile(r"Error, couldn't create target directory\. \(\[Error -?\d+\] [^\n]*\)\n"),
    "load": re.compile(r"Error, load DLL\. \(\[Error -?\d+\] [^\n]*\)\nError, [^\n]*\n"),
}
ABORT_EXIT = 3  # the runtime's abort under Wine
CTRL_C_EXIT = 0xC000013A  # STATUS_CONTROL_C_EXIT
PROBE_EXIT = 9

WRITE_CHUNK = 32768  # the launcher reads and writes file data in pieces of this size
DECODER_OUTPUT = 131072  # and asks the decoder for this much at a time
MAX_PATH_UNITS = 1023

FILES = {
    "readme.txt": b"Files that travel with the application.\r\n",
    "data\\notes.txt": b"".join(b"note %05d: the quick brown fox\r\n" % i for i in range(1300)),
    "data\\nested\\deep\\values.bin": deterministic_bytes(7, 3000),
    "data\\nested\\empty.bin": b"",
    "docs\\guide.txt": b"Start the program; it cleans up after itself.\r\n",
}

# Paths that leave the target directory or would not stay a plain relative path there.
ESCAPES = ["..\\{}", "a\\..\\..\\{}", "C:\\{}", "\\{}", "a/../{}", "...\\{}", ". .\\{}", "a\\.\\{}", "a\\\\{}",
           "{}:stream", "\\\\?\\C:\\{}", "a\\.."]


def read_tree(root):
    return {"\\".join(path.relative_to(root).parts): path.read_bytes() for path in root.rglob("*") if path.is_file()}


def write_tree(root, files):
    for relative, data in files.items():
        path = root.joinpath(*relative.split("\\"))
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    return root


def stream_of(entries, end=END_MARKER):
    """Decompressed payload content: (path, data, size) entries, size None for the
    data's own length; paths may hold lone surrogates."""
    return b"".join(path.encode("utf-16-le", "surrogatepass") + b"\0\0" +
                    (len(data) if size is None else size).to_bytes(8, "little") + data
                    for path, data, size in entries) + end


def kill_all(exe_name):
    """Kills what is left of the processes running exe_name; returns their ids."""
    left = linux_processes_of(exe_name)
    for pid in left:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    return left


# The launcher's reading of a payload, modelled through the same zstd library, so that
# each damaged payload comes with the end the launcher must come to.

class ZstdBuffer(ctypes.Structure):
    _fields_ = [("data", ctypes.c_void_p), ("size", ctypes.c_size_t), ("pos", ctypes.c_size_t)]


@pytest.fixture(scope="module")
def zstd():
    """The launcher's zstd decoder, built for this machine."""
    library = ctypes.CDLL(str(built_file("TARVIX_E2E_MODEL_DECODER")))
    library.ZSTD_createDCtx.restype = ctypes.c_void_p
    library.ZSTD_freeDCtx.argtypes = [ctypes.c_void_p]
    library.ZSTD_decompressStream.argtypes = [ctypes.c_void_p, ctypes.POINTER(ZstdBuffer), ctypes.POINTER(ZstdBuffer)]
    library.ZSTD_decompressStream.restype = ctypes.c_size_t
    library.ZSTD_isError.argtypes = [ctypes.c_size_t]
    return library


class Reader:
    """The launcher's payload reader over the same zstd library: exact byte counts of the
    stream, the decoder asked for 128 KiB at a time, the end of the input noticed at the
    first request that needs more while the decoder's last call in that request (if any)
    left its output short of full."""

    def __init__(self, zstd, compressed):
        self.zstd, self.source = zstd, ctypes.create_string_buffer(compressed, max(1, len(compressed)))
        self.given = ZstdBuffer(ctypes.addressof(self.source), len(compressed), 0)
        self.output = ctypes.create_string_buffer(DECODER_OUTPUT)
        self.held, self.at, self.context = b"", 0, zstd.ZSTD_createDCtx()

    def close(self):
        self.zstd.ZSTD_freeDCtx(self.context)

    def read(self, count):
        wanted, full = b"", False
        while True:
            piece = self.held[self.at:self.at + count - len(wanted)]
            wanted, self.at = wanted + piece, self.at + len(piece)
            if len(wanted) == count:
                return wanted
            if self.given.pos >= self.given.size and not full:
                raise Ended("decode")
            taken = ZstdBuffer(ctypes.addressof(self.output), DECODER_OUTPUT, 0)
            before = self.given.pos
            if self.zstd.ZSTD_isError(self.zstd.ZSTD_decompressStream(self.context, ctypes.byref(taken),
                                                                      ctypes.byref(self.given))):
                raise Ended("decode")
            if taken.pos == 0 and self.given.pos == before:
                raise Ended("stalls")  # a launcher that asked again here would never end
            self.held, self.at, full = ctypes.string_at(self.output, taken.pos), 0, taken.pos == DECODER_OUTPUT


# A name any file system keeps as it is: no device name, no odd character, no trailing dot.
PLAIN_COMPONENT = re.compile(r"(?!(?i:con|prn|aux|nul|com\d|lpt\d)(\.|$))[A-Za-z0-9_-]{1,60}(\.[A-Za-z0-9_-]{1,20})*")


def is_device(part):
    """Windows takes the name up to its first dot, without trailing blanks, for a device."""
    base = part.split(".")[0].rstrip(" ").upper()
    return base in {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"} or (
        len(base) == 4 and base[:3] in {"COM", "LPT"} and base[3] in "0123456789\u00b9\u00b2\u00b3")


def leaves_target(path):
    # Windows drops trailing dots and blanks, so a component of nothing else may step up;
    # a device name would take the bytes elsewhere.
    return any(":" in part or "/" in part or part.strip(". ") == "" or is_device(part) for part in path.split("\\"))


class Ended(Exception):
    def __init__(self, *ending):
        self.ending = ending


@dataclass
class Expectation:
    ending: tuple  # ("run",), ("abort",), (a message's key,) or ("open", relative path)
    also: set = field(default_factory=set)  # further endings a name the system may refuse allows
    files: dict = None  # {relative path: data} written by then; None when unknown
    library: tuple = None  # (relative path, data) of the first entry as it ends up on disk

    @property
    def endings(self):
        return {self.ending} | self.also


def expect(zstd, payload):
    """The end the launcher must come to with payload: it reads the entries one by one,
    refusing a path that leaves the target directory, failing where the stream fails,
    and writing each file in whole chunks. Names other than plain ones may be refused by
    the system or alias others, which makes the written files unknown from there on."""
    if payload[:3] != b"KAY":
        return Expectation(("header",))
    reader = Reader(zstd, payload[3:])
    first, strange = None, False
    files, directories, also = {}, {}, set()  # lower-case path -> spelling on disk (and data)
    try:
        while True:
            units = []
            while (unit := int.from_bytes(reader.read(2), "little")) != 0:
                if len(units) == MAX_PATH_UNITS:
                    raise Ended("abort")
                units.append(unit)
            if not units:
                raise Ended("run" if first else "empty")
            path = "".join(map(chr, units))
            if leaves_target(path):
                raise Ended("unsafe")
            first = first or path
            size = int.from_bytes(reader.read(8), "little")
            parts = path.split("\\")
            parents = ["\\".join(parts[:level]).lower() for level in range(1, len(parts))]
            if all(PLAIN_COMPONENT.fullmatch(part) for part in parts) and not strange:
                if path.lower() in directories or any(parent in files for parent in parents):
                    raise Ended("open", path)
            else:
                also.add(("open", path))
                strange = True
            spelling = []  # an existing directory keeps its own spelling
            for parent, part in zip(parents, parts):
                spelling.append(directories.setdefault(parent, part))
            name = files[path.lower()][0] if path.lower() in files else "\\".join(spelling + [parts[-1]])
            files[path.lower()] = (name, b"")
            while size > 0:
                chunk = reader.read(min(size, WRITE_CHUNK))
                files[path.lower()] = (name, files[path.lower()][1] + chunk)
                size -= len(chunk)
    except Ended as ended:
        ending = ended.ending
    finally:
        reader.close()
    expectation = Expectation(ending, also, None if strange else dict(files.values()))
    if first is not None:
        expectation.library = (first, files.get(first.lower(), (None, None))[1])
    if ending == ("run",) and (strange or "." not in first.rsplit("\\", 1)[-1]):
        expectation.also.add(("load",))  # no extension: the loader looks for another name
    return expectation


def ending_of(run, target):
    """The end a run came to, in Expectation's terms; None when it is none of them.
    target is the Windows path of the directory the run left, if any."""
    if run.events:
        ran = run.exit_code == PROBE_EXIT and not run.lines and run.stderr == "" and (
            [event["event"] for event in run.events] == ["start", "copied", "end"])
        return ("run",) if ran else None
    if run.exit_code == ABORT_EXIT and not run.lines and run.stderr == "":
        return ("abort",)
    if run.exit_code != 2:
        return None
    if run.stderr == "":
        found = [key for key, text in STDOUT_MESSAGES.items() if run.lines == [text]]
        return (found[0],) if found else None
    if run.lines:
        return None
    opened = STDERR_MESSAGES["open"].fullmatch(run.stderr)
    if opened and target and opened.group(1).startswith(target + "\\"):
        return ("open", opened.group(1)[len(target) + 1:])
    found = [key for key, pattern in STDERR_MESSAGES.items() if key != "open" and pattern.fullmatch(run.stderr)]
    return (found[0],) if found else None


def as_printed(ending):
    """An expected ending as the launcher's line shows it: paths narrowed to the first
    unit above U+00FF, line ends as read back."""
    if ending[0] != "open":
        return ending
    shown = re.match(r"[\x01-\xff]*", ending[1]).group(0)
    return ("open", shown.replace("\r\n", "\n"))


# Damaged payloads.

def damage_position(rng, size):
    """Anywhere, or where the frame's header or its last entries and end marker lie,
    which a uniform choice would seldom hit."""
    region = rng.random()
    if region < 0.4:
        return rng.randrange(size)
    if region < 0.7:
        return rng.randrange(max(0, size - 2048), size)
    return rng.randrange(min(size, 24))


def odd_path(rng, entries):
    """A path the packer would never write, or one that clashes with another entry's."""
    existing = rng.choice(entries)[0] or "readme.txt"
    return rng.choice([
        lambda: rng.choice(ESCAPES).format("escape.txt"),
        lambda: "\\".join(rng.choice(["data", "Data", "x", "deep"]) for _ in range(rng.randint(0, 3))) + "\\new.txt",
        lambda: existing.upper(),
        lambda: existing + "\\inner.txt",  # below a file
        lambda: "data",  # a directory
        lambda: "".join(chr(rng.randint(1, 0xFFFF)) for _ in range(rng.randint(1, 12))),
        lambda: "".join(rng.choice('ab.\\ <>|?*"\t\x7f\u00e9') for _ in range(rng.randint(1, 16))),
        lambda: "\\".join(["d" * 99] * 10) + "\\" + "f" * rng.choice([23, 24]),  # 1023 or 1024 units
        lambda: "",  # an early end marker
    ])()


def damaged_content(rng, entries):
    entries = [[path, data, None] for path, data in entries]
    end, what = END_MARKER, []
    for _ in range(rng.randint(1, 2)):
        what.append(rng.choice(["size", "size", "path", "path", "path", "insert", "end", "cut"]))
        chosen = entries[rng.randrange(len(entries))]
        length = len(chosen[1])
        if what[-1] == "size":
            chosen[2] = rng.choice([0, max(0, length - 1), length + 1, length + rng.randint(2, 70000), length // 2,
                                    length * 2, 1 << 63, (1 << 64) - 1, rng.getrandbits(64)])
        elif what[-1] == "path":
            chosen[0] = odd_path(rng, entries)
        elif what[-1] == "insert":
            entries.insert(rng.randint(0, len(entries)), [odd_path(rng, entries),
                                                          rng.randbytes(rng.choice([0, 1, 100, 40000])), None])
        elif what[-1] == "end":
            end = rng.choice([b"", b"\0", END_MARKER + rng.randbytes(rng.randint(1, 64))])
    content = stream_of(entries, end)
    if "cut" in what:
        content = content[:rng.randrange(len(content))]
    return "content-" + "-".join(what), attached_payload(zstd_frame(content))


def damaged_payload(rng, packed, raw, entries):
    """(name of the damage, payload) from the packer's payload or a hand-made one."""
    kind = rng.choices(["flip", "truncate", "header", "content"], weights=[35, 20, 8, 37])[0]
    base = packed if rng.random() < 0.7 else raw
    if kind == "flip":
        payload = bytearray(base)
        for _ in range(rng.randint(1, 3)):
            payload[damage_position(rng, len(payload))] ^= 1 << rng.randrange(8)
        return kind, bytes(payload)
    if kind == "truncate":
        return kind, base[:damage_position(rng, len(base))]
    if kind == "header":
        payload = bytearray(packed)
        at = rng.randrange(3)
        payload[at] = rng.choice([value for value in range(256) if value != payload[at]])
        return kind, bytes(payload)
    return damaged_content(rng, entries)


@dataclass
class Case:
    index: int
    damage: str
    payload: bytes
    expectation: Expectation


def fault_cases(zstd, packed, raw, entries, library, count, seed):
    rng = random.Random(seed)
    cases = []
    while len(cases) < count:
        damage, payload = damaged_payload(rng, packed, raw, entries)
        expectation = expect(zstd, payload)
        if expectation.ending == ("run",) and expectation.library[1] != library:
            continue  # an application damaged into another one tells nothing about the launcher
        cases.append(Case(len(cases), damage, payload, expectation))
    return cases


# What a run may leave behind: files in its own target directory, nothing else.

def listing(root, skip=None):
    """Everything below root except skip, without following links: files with size and
    write time."""
    found = {}
    for directory, subdirectories, files in os.walk(root):
        subdirectories[:] = [name for name in subdirectories if Path(directory, name) != skip]
        for name in subdirectories + files:
            path = Path(directory, name)
            found[str(path.relative_to(root))] = None if name in subdirectories else (
                path.lstat().st_size, path.lstat().st_mtime_ns)
    return found


@dataclass
class Surroundings:
    """The places around a run's temporary directory that it must leave alone: the
    sandbox its TEMP and working directory lie in, the two directories above it, the
    Wine user profiles (except the Temp folder that other tests use) and the tops of
    the C: and Z: drives."""
    sandbox: Path
    work: Path
    users: Path
    skip: Path

    def __post_init__(self):
        self.before = self.state()

    def state(self):
        above = [self.sandbox.parent, self.sandbox.parent.parent, self.users.parent, Path("/")]
        return listing(self.work), listing(self.users, self.skip), [sorted(os.listdir(path)) for path in above]

    def check(self, temps):
        problems = []
        extra = {path.name for path in self.sandbox.iterdir()} - {self.work.name} - {temp.name for temp in temps}
        if extra:
            problems.append(f"new in the sandbox: {sorted(extra)}")
        if self.state() != self.before:
            problems.append("files changed outside the sandbox or in the working directory")
        return problems


@pytest.fixture
def surroundings(paths, tmp_path):
    """Surroundings of a sandbox in tmp_path, beside a directory "copies" for the probe."""
    sandbox = tmp_path / "sandbox"
    (sandbox / "work").mkdir(parents=True)
    (tmp_path / "copies").mkdir()
    return Surroundings(sandbox, sandbox / "work", wine_prefix() / "drive_c" / "users", paths.wine_temp)


def reported_target(run, temp):
    """The Windows path of the target directory that a run's open failure names, if any."""
    found = re.match(re.escape(f"Error, failed to open '{windows_path(temp)}\\") + f"(onefile_{run.pid}_[^\\\\]*)\\\\",
                     run.stderr)
    return f"{windows_path(temp)}\\{found.group(1)}" if found else None


def left_directories(temp, pid):
    """The run's own directories in temp, and whatever else is there."""
    own = [path for path in temp.iterdir() if TARGET_NAME.fullmatch(path.name) and
           path.name.startswith(f"onefile_{pid}_")]
    return own, sorted(path.name for path in temp.iterdir() if path not in own)


@pytest.fixture(scope="module")
def library(paths):
    return paths.probe_dll.read_bytes()


@pytest.fixture(scope="module")
def base_payloads(paths, pack, library, tmp_path_factory):
    """The packer's payload of the probe and FILES, a hand-made one, and their entries."""
    directory = tmp_path_factory.mktemp("base")
    packed = pack(paths.probe_dll, write_tree(directory / "files", FILES), directory)
    entries = [("probe_app.dll", library), *FILES.items()]
    return packed, attached_payload(zstd_frame(stream_of([(path, data, None) for path, data in entries]))), entries


def test_undamaged_payloads_run_and_the_model_agrees(zstd, base_payloads, library, make_launcher, run_launcher,
                                                   surroundings, tmp_path):
    # The ground for the damaged ones: both payloads run, and the model expects that.
    packed, raw, entries = base_payloads
    for name, payload in [("packed", packed), ("raw", raw)]:
        expectation = expect(zstd, payload)
        assert (expectation.ending, expectation.also) == (("run",), set())
        assert expectation.library == ("probe_app.dll", library)
        assert expectation.files == dict(entries)
        temp, copy = surroundings.sandbox / f"temp_{name}", tmp_path / "copies" / name
        temp.mkdir()
        run = run_launcher(make_launcher(payload, f"undamaged_{name}"), ["--exit", str(PROBE_EXIT), "--copy-tree",
                           windows_path(copy)], temp=temp, cwd=surroundings.work)
        assert ending_of(run, None) == ("run",), run
        assert read_tree(copy) == dict(entries)
        assert list(temp.iterdir()) == []
    assert surroundings.check([surroundings.sandbox / "temp_packed", surroundings.sandbox / "temp_raw"]) == []


def test_damaged_payloads_end_as_the_model_says_and_write_only_their_own_directory(
        zstd, base_payloads, library, make_launcher, run_launcher, surroundings, tmp_path):
    cases = fault_cases(zstd, *base_payloads, library, CASES, SEED)

    def attempt(case):
        exe = make_launcher(case.payload, f"fault_{case.index:04d}")
        temp = surroundings.sandbox / f"temp_{case.index:04d}"
        temp.mkdir()
        copy = tmp_path / "copies" / f"copy_{case.index:04d}"
        try:
            return run_launcher(exe, ["--exit", str(PROBE_EXIT), "--copy-tree", windows_path(copy)], temp=temp,
                                cwd=surroundings.work, timeout=30)
        except subprocess.TimeoutExpired:
            return None
        finally:
            kill_all(exe.name)
            exe.unlink()

    def problems_of(case, run):
        expectation = case.expectation
        if run is None:
            return ["did not end within 30 s"], None
        temp = surroundings.sandbox / f"temp_{case.index:04d}"
        own, others = left_directories(temp, run.pid)
        problems = [f"beside its directory: {others}"] if others else []
        # However it ends, a run takes its directory along.
        problems += [f"left its directory {own[0].name}"] if own else []
        ending = ending_of(run, reported_target(run, temp))
        if ending not in {as_printed(allowed) for allowed in expectation.endings}:
            problems.append(f"ended with {ending}")
        if expectation.files is not None and ending == as_printed(expectation.ending) == ("run",):
            copy = tmp_path / "copies" / f"copy_{case.index:04d}"
            if "\\" not in expectation.library[0] and read_tree(copy) != expectation.files:
                problems.append(f"extracted {sorted(read_tree(copy))}, not {sorted(expectation.files)}")
        return problems, ending

    failures, endings = [], {}
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        for batch in (cases[at:at + 2] for at in range(0, len(cases), 2)):
            temps = [surroundings.sandbox / f"temp_{case.index:04d}" for case in batch]
            for case, run in zip(batch, pool.map(attempt, batch)):
                problems, ending = problems_of(case, run)
                endings[ending and ending[0]] = endings.get(ending and ending[0], 0) + 1
                if problems:
                    failures.append(f"case {case.index} ({case.damage}), expected {sorted(case.expectation.endings)}: "
                                    f"{'; '.join(problems)}; {run}")
            failures += [f"cases {[case.index for case in batch]}: {problem}" for problem in surroundings.check(temps)]
            for path in temps + [tmp_path / "copies" / f"copy_{case.index:04d}" for case in batch]:
                shutil.rmtree(path, ignore_errors=True)
    print(f"{len(cases)} damaged payloads (seed {SEED}) ended: {endings}")
    assert failures == [], "\n".join(failures)
    # The damage must reach every way the payload can end.
    assert {"header", "decode", "unsafe", "abort", "run", "open"} <= set(endings), endings


@pytest.fixture
def small_disk(request, tmp_path):
    """A tmpfs mounted for the test, with the mount options in request.param."""
    directory = tmp_path / "disk"
    directory.mkdir()
    try:
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", request.param, "tmpfs", str(directory)],
                                 capture_output=True, text=True)
    except FileNotFoundError:
        pytest.skip("no mount command to make a small file system with")
    if mounted.returncode != 0:
        pytest.skip(f"mounting a small tmpfs is not permitted here: {mounted.stderr.strip()}")
    try:
        yield directory
    finally:
        subprocess.run(["umount", "--lazy", str(directory)], check=True)


@pytest.mark.parametrize("small_disk", ["size=1m"], indirect=True)
def test_full_disk_ends_with_the_write_failure(small_disk, library, make_launcher, run_launcher):
    big = deterministic_bytes(11, 3 << 20)
    payload = attached_payload(zstd_frame(stream_of([("probe_app.dll", library, None), ("big.bin", big, None)])))
    run = run_launcher(make_launcher(payload, "full_disk"), ["--exit", str(PROBE_EXIT)], temp=small_disk, timeout=60)

    assert (run.exit_code, run.events, run.lines) == (2, [], []), run
    # The disk full (112), or a write that could write only part of its piece (29).
    assert re.fullmatch(r"Error, couldn't unpack file to target path\. \(\[Error (112|29)\] [^\n]*\)\n", run.stderr)
    assert list(small_disk.iterdir()) == [], "the part written goes, and the disk has its room back"


@pytest.mark.parametrize("small_disk", ["size=8m,nr_inodes=12"], indirect=True)
def test_file_system_without_room_for_another_file_ends_with_the_open_failure(small_disk, library, make_launcher,
                                                                           run_launcher):
    files = {f"f{index:02d}.txt": b"file %d\r\n" % index for index in range(30)}
    payload = attached_payload(zstd_frame(stream_of([("probe_app.dll", library, None)] +
                                                    [(name, data, None) for name, data in files.items()])))
    run = run_launcher(make_launcher(payload, "no_inodes"), ["--exit", str(PROBE_EXIT)], temp=small_disk, timeout=60)

    assert (run.exit_code, run.events, run.lines) == (2, [], []), run
    prefix = re.escape(f"Error, failed to open '{windows_path(small_disk)}\\")
    failed = re.fullmatch(prefix + f"onefile_{run.pid}_" + r"\d{6}_[A-Za-z0-9_-]{11}\\(f\d\d\.txt)' for writing\.\n",
                          run.stderr)
    assert failed, run.stderr
    assert list(files).index(failed.group(1)) > 0, "the file system should hold a few files"
    assert list(small_disk.iterdir()) == []


def test_fifty_launches_at_once_get_their_own_directories_and_exit_codes(paths, start_runner, tmp_path):
    codes = [index * 0x05050505 for index in range(1, 51)]  # up to 0xFAFAFAFA
    started = [start_runner(paths.probe_exe, ["--exit", hex(code)], temp=tmp_path) for code in codes]
    runs = [launch.finish(timeout=300) for launch in started]

    assert [run.exit_code for run in runs] == codes
    assert [run.one("end")["exit"] for run in runs] == codes
    directories = [run.target_directory for run in runs]
    assert len(set(directories)) == 50
    assert [(path.parent, path.name.split("_")[1]) for path in directories] == [
        (tmp_path, str(run.pid)) for run in runs]
    assert list(tmp_path.iterdir()) == []


@pytest.fixture(scope="module")
def slow_payload(paths, pack, tmp_path_factory):
    """The probe and 1000 small files: an extraction that takes a while."""
    directory = tmp_path_factory.mktemp("slow")
    files = {f"d{index % 30:02d}\\file_{index:04d}.txt": b"%d\r\n" % index * (index % 40) for index in range(1000)}
    return pack(paths.probe_dll, write_tree(directory / "files", files), directory)


def test_ctrl_c_at_random_instants_ends_the_run_and_leaves_nothing(slow_payload, make_launcher, start_runner,
                                                                  tmp_path):
    rng = random.Random(SEED)

    def interrupted(index, when):
        """Runs a launcher and presses Ctrl+C once when(launch) returns; returns the Run,
        the processes left after it, the extraction's duration, if it was seen whole, and
        whether an application's process was interrupted too."""
        exe = make_launcher(slow_payload, f"ctrl_c_{index:02d}")
        temp = tmp_path / f"temp_{index:02d}"
        temp.mkdir()
        launch = start_runner(exe, ["--mark", "ready", "--sleep", "10000", "--exit", "5"], temp=temp)
        try:
            deadline = time.monotonic() + 30
            while not list(temp.iterdir()) and time.monotonic() < deadline:
                time.sleep(0.002)
            extracting = time.monotonic()
            [launcher] = linux_processes_of(exe.name)  # alone until its extraction is done
            extraction = when(launch, extracting)
            # On Windows every process of the console has the event; here the launcher gets
            # it first, then the application if it has started by the time it is looked for.
            interrupt(launcher)
            time.sleep(0.2)
            children = [pid for pid in linux_processes_of(exe.name) if pid != launcher]
            for pid in children:
                try:
                    interrupt(pid)
                except ProcessLookupError:
                    pass
            run = launch.finish(timeout=60)
        finally:
            stragglers = kill_all(exe.name)
        return run, stragglers, temp, extraction, bool(children)

    def after_start(delay):
        def when(launch, extracting):
            while (line := launch.read_line()) and b'"ready"' not in line:
                pass
            extraction = time.monotonic() - extracting
            time.sleep(delay)
            return extraction
        return when

    def during_extraction(share, extraction):
        return lambda launch, extracting: time.sleep(share * extraction)

    # Three instants while the application sleeps, which also tell how long the extraction
    # takes here; then seven spread over the extraction from its first file on.
    plans = [(index, f"{delay:.2f} s after the start", after_start(delay))
             for index, delay in enumerate(rng.uniform(0, 0.5) for _ in range(3))]
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        results = list(pool.map(lambda plan: interrupted(plan[0], plan[2]), plans))
        extraction = min(result[3] for result in results)
        shares = [rng.random() for _ in range(7)]
        plans += [(index, f"{share:.0%} into the extraction", during_extraction(share, extraction))
                  for index, share in enumerate(shares, start=3)]
        results += list(pool.map(lambda plan: interrupted(plan[0], plan[2]), plans[3:]))

    failures, started = [], 0
    for (index, instant, _), (run, stragglers, temp, _, child_interrupted) in zip(plans, results):
        problems = [f"processes outlived the run: {stragglers}"] if stragglers else []
        problems += [f"left {sorted(path.name for path in temp.iterdir())}"] if list(temp.iterdir()) else []
        if run.lines or run.stderr:
            problems.append("wrote a line of its own")
        if not run.all("start") and not child_interrupted:
            # Stopped before the application's start, every time in the same way.
            expected = {CTRL_C_EXIT}
        elif not run.all("end"):
            started += 1
            # The application's own end, also before it printed its start mark (its process
            # had started when the launcher had the event): Windows' default handling gives
            # it STATUS_CONTROL_C_EXIT, Wine's gives 0.
            expected = {CTRL_C_EXIT, 0}
        else:
            # Started after the event: the application never had it, and ran on.
            started += 1
            expected = {5}
            if child_interrupted:
                problems.append("the application ran to its end although interrupted")
        if run.exit_code not in expected:
            problems.append(f"ended with {run.exit_code:#x}")
        failures += [f"Ctrl+C {instant}{' (application interrupted too)' if child_interrupted else ''}: "
                     f"{'; '.join(problems)}; {run}"] if problems else []
    print(f"Ctrl+C: extraction took {extraction:.2f} s; {len(plans) - started} runs interrupted before the "
          f"application started, {started} after")
    assert failures == [], "\n".join(failures)
    assert started < len(plans), "no instant fell before the application's start"


@pytest.mark.parametrize("first", [True, False], ids=["first", "third"])
@pytest.mark.parametrize("escape", ESCAPES)
def test_path_leaving_the_target_directory_is_refused(library, make_launcher, run_launcher, surroundings, tmp_path,
                                                       escape, first):
    path = escape.format("escaped.txt")
    entries = [("probe_app.dll", library, None), ("data\\ok.txt", b"ok", None)]
    entries.insert(0 if first else 2, (path, b"outside", None))
    temp = surroundings.sandbox / "temp"
    temp.mkdir()
    run = run_launcher(make_launcher(attached_payload(zstd_frame(stream_of(entries))), "escape"),
                       ["--exit", str(PROBE_EXIT)], temp=temp, cwd=surroundings.work)

    assert (run.exit_code, run.lines, run.stderr, run.events) == (2, [STDOUT_MESSAGES["unsafe"]], "", []), run
    # The check comes before anything of the entry is written; what came before goes too.
    assert list(temp.iterdir()) == []
    assert surroundings.check([temp]) == []
    assert list(tmp_path.rglob("escaped.txt")) == []
    assert not (wine_prefix() / "drive_c" / "escaped.txt").exists() and not Path("/escaped.txt").exists()


def tree_of(root):
    """Every entry below root, links as links (never followed), with a file's bytes."""
    return {str(path.relative_to(root)): ("link", os.readlink(path)) if path.is_symlink() else
            path.read_bytes() if path.is_file() else "folder"
            for folder, subfolders, names in os.walk(root) for path in map(Path(folder).joinpath, subfolders + names)}


@pytest.mark.parametrize("kind", ["folder", "file"])
def test_a_link_put_into_the_directory_goes_and_what_it_points_to_stays(probe_exe, start_runner, tmp_path, kind):
    outside = tmp_path / "outside"
    (outside / "inner").mkdir(parents=True)
    (outside / "inner" / "keep.txt").write_bytes(b"keep")
    (outside / "keep.bin").write_bytes(bytes(range(256)))
    os.chmod(outside / "keep.bin", 0o444)  # a read-only target stays read-only too
    before = tree_of(outside)
    temp, release = tmp_path / "temp", tmp_path / "release"
    temp.mkdir()
    launch = start_runner(probe_exe, ["--wait-for", windows_path(release), "--exit", str(PROBE_EXIT)], temp=temp)
    try:
        directory = linux_path(json.loads(launch.read_line())["library"]).parent
        os.symlink(outside if kind == "folder" else outside / "keep.bin", directory / "data" / "planted")
    finally:
        release.touch()
    run = launch.finish()

    assert run.exit_code == PROBE_EXIT, run
    assert tree_of(outside) == before and os.stat(outside / "keep.bin").st_mode & 0o222 == 0
    if kind == "file":
        assert list(temp.iterdir()) == []
    else:
        # Wine can neither remove a Unix link to a folder nor tell it from the folder by
        # any call but the name its handle holds: the link stays, and what holds it.
        assert tree_of(directory) == {"data": "folder", str(Path("data") / "planted"): ("link", str(outside))}
