"""What build accepts, what it refuses, and that a refusal or failure leaves no file."""

import os
import pty
import re
import resource
import signal
import socket
import struct
import subprocess

import pytest

from conftest import REPO_ROOT, build, decompress, parse_content, split_payload, windows_image


def write(path, data=b"x"):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)


def make_socket(path):
    server = socket.socket(socket.AF_UNIX)
    server.bind(str(path))
    server.close()


# (case name, setup(tree, library), name in the message, words of the reason)
REFUSALS = [
    ("device name", lambda t, l: write(t / "sub" / "CON.txt"), "sub/CON.txt", "reserved device name"),
    ("device name any case", lambda t, l: write(t / "nul.txt"), "nul.txt", "reserved device name"),
    ("device name with digit", lambda t, l: write(t / "Lpt9.log"), "Lpt9.log", "reserved device name"),
    ("device name before spaces", lambda t, l: write(t / "aux .txt"), "aux .txt", "reserved device name"),
    ("device directory", lambda t, l: write(t / "com1" / "a.txt"), "com1/a.txt", "directory 'com1'"),
    ("colon", lambda t, l: write(t / "a:b"), "a:b", "not allowed on Windows"),
    ("backslash", lambda t, l: write(t / "a\\b"), "a\\b", "not allowed on Windows"),
    ("control character", lambda t, l: write(t / "bell\x07"), "bell\\x07", "control character"),
    ("newline", lambda t, l: write(t / "two\nlines"), "two\\x0Alines", "control character"),
    ("trailing dot", lambda t, l: write(t / "name."), "name.", "ends with a dot"),
    ("trailing space", lambda t, l: write(t / "name "), "name ", "ends with a space"),
    ("invalid UTF-8", lambda t, l: write(t / os.fsdecode(b"bad\xff")), "bad\\xFF", "not valid UTF-8"),
    ("case clash", lambda t, l: (write(t / "Readme.txt"), write(t / "README.txt")),
     "Readme.txt", "differs only in letter case from 'README.txt'"),
    ("Latin-1 case clash", lambda t, l: (write(t / "café"), write(t / "CAFÉ")),
     "café", "differs only in letter case"),
    ("Cyrillic case clash", lambda t, l: (write(t / "дом"), write(t / "ДОМ")),
     "дом", "differs only in letter case"),
    ("Vietnamese case clash", lambda t, l: (write(t / "Ạ.txt"), write(t / "ạ.txt")),
     "ạ.txt", "differs only in letter case from 'Ạ.txt'"),
    ("directory case clash", lambda t, l: (write(t / "Sub" / "a"), write(t / "sub" / "b")),
     "sub/b", "directory 'sub' differs only in letter case from 'Sub'"),
    ("file and directory", lambda t, l: (write(t / "A"), write(t / "a" / "b")),
     "a/b", "directory 'a' differs only in letter case from 'A'"),
    ("cache record", lambda t, l: write(t / ".Tarvix-Complete"), ".Tarvix-Complete", "launcher's cache record"),
    ("other file named as the library", lambda t, l: write(t / "app.dll"), "app.dll", "same path as the library"),
    ("library name in dir", lambda t, l: write(t / "APP.DLL"),
     "APP.DLL", "differs only in letter case from the library 'app.dll'"),
    ("library name as directory", lambda t, l: write(t / "app.dll" / "x"),
     "app.dll/x", "directory 'app.dll' clashes with the library 'app.dll'"),
    ("link outside", lambda t, l: os.symlink(l, t / "escape"), "escape", "leads outside"),
    ("link to directory", lambda t, l: (write(t / "d" / "f"), os.symlink("d", t / "dlink")),
     "dlink", "link to a directory"),
    ("link loop", lambda t, l: (os.symlink("b", t / "a"), os.symlink("a", t / "b")),
     "a", "cannot be resolved"),
    ("broken link", lambda t, l: os.symlink("missing", t / "gone"), "gone", "cannot be resolved"),
    ("fifo", lambda t, l: os.mkfifo(t / "pipe"), "pipe", "special file"),
    ("socket", lambda t, l: make_socket(t / "sock"), "sock", "special file"),
    ("empty library", lambda t, l: l.write_bytes(b""), "app.dll", "library is empty"),
    ("missing library", lambda t, l: l.unlink(), "app.dll", "library does not exist"),
    ("library is a directory", lambda t, l: (l.unlink(), l.mkdir()), "app.dll", "not a regular file"),
    ("library not an image", lambda t, l: l.write_bytes(b"MZ text"), "app.dll", "not a Windows library"),
    ("32-bit library", lambda t, l: l.write_bytes(windows_image(machine=0x14C)), "app.dll", "not a 64-bit"),
    ("library not a DLL", lambda t, l: l.write_bytes(windows_image(dll=False)), "app.dll", "not a DLL"),
    ("library without run_code", lambda t, l: l.write_bytes(windows_image(export=b"run_codes")),
     "app.dll", "exports no run_code"),
]


# Cases whose files Wine shows to tarvix-pack.exe as they are: its name rules must agree.
# (Windows itself shows a file named CON.txt as the console device.)
WINDOWS_TOO = {"case clash", "Latin-1 case clash", "Cyrillic case clash", "Vietnamese case clash",
               "directory case clash", "file and directory", "cache record", "library name in dir"}


# exe packs as build does, into an executable; tarvix-pack.exe refuses as the Linux packer does.
@pytest.mark.parametrize("packer, command, setup, name, reason",
                         [pytest.param("pack", command, *case[1:], id=f"{case[0]}-{command}")
                          for case in REFUSALS for command in ["build", "exe"]] +
                         [pytest.param("windows_pack", "build", *case[1:], id=f"{case[0]}-windows")
                          for case in REFUSALS if case[0] in WINDOWS_TOO])
def test_refusal_names_the_file_and_leaves_nothing(request, tmp_path, packer, command, setup, name, reason):
    pack = request.getfixturevalue(packer)
    tree, out = tmp_path / "tree", tmp_path / "out"
    tree.mkdir(), out.mkdir()
    library = tmp_path / "app.dll"
    library.write_bytes(windows_image())
    (tmp_path / "stub.exe").write_bytes(windows_image(dll=False))
    write(tree / "fine.txt")
    setup(tree, library)

    # The library is named as given on the command line: relative here.
    stub = ["--stub", "stub.exe"] if command == "exe" else []
    result = pack(command, *stub, "--library", "app.dll", "--dir", tree, "-o", out / "app.exe", cwd=tmp_path)
    assert result.returncode == 1
    message = result.stderr.decode()
    assert message.count("\n") == 1, message
    assert message.startswith(f"tarvix-pack: refused '{name}': "), message
    assert reason in message
    assert list(out.iterdir()) == []


def test_path_length_counts_utf16_units(pack, tmp_path):
    # 4 directories of 250 units and 4 backslashes leave 19 units; each emoji takes two.
    library = tmp_path / "app.dll"
    library.write_bytes(windows_image())
    deep = tmp_path.joinpath("tree", *["d" * 250] * 4)
    write(deep / ("😀" * 9 + "x"))
    build(pack, library, tmp_path / "fits.bin", directory=tmp_path / "tree")

    write(deep / ("😀" * 10))
    result = pack("build", "--library", library, "--dir", tmp_path / "tree", "-o", tmp_path / "long.bin")
    assert result.returncode == 1
    assert "is 1024 UTF-16 units long, over the limit of 1023" in result.stderr.decode()
    assert not (tmp_path / "long.bin").exists()


def test_accepted_tree_shapes(any_pack, tmp_path, request):
    tree = tmp_path / "tree"
    library = tmp_path / "app.dll"
    library.write_bytes(windows_image(extra=b"top"))
    write(tree / "bin" / "app.dll", b"MZ deeper copy")       # same name below the top level
    write(tree / "real.txt", b"target")
    os.symlink("../real.txt", tree / "bin" / "alias.txt")    # inside: packed as a file
    (tree / "empty" / "deeper").mkdir(parents=True)          # not carried
    write(tree / "a0", b"1")                                  # order is by the stored path:
    write(tree / "a" / "b", b"2")                             # '0' (0x30) < '\' (0x5C), not > '/'
    write(tree / "sigma ς.txt", b"3")                        # final sigma clashes with nothing
    write(tree / "ß.txt", b"4")                               # no full case folding:
    write(tree / "ss.txt", b"5")                              # two files on Windows
    write(tree / "𐐀.txt", b"6")                               # beyond the BMP, NTFS compares
    write(tree / "𐐨.txt", b"7")                               # surrogates exactly
    # Only the Linux packer's dependency file names Linux paths to compare with.
    depfile = tmp_path / "p.d" if request.node.callspec.params["any_pack"] == "linux" else None
    payload = build(any_pack, library, tmp_path / "p.bin", directory=tree, depfile=depfile)

    if depfile is not None:
        # The dependency file names every file and folder read, the link by what it leads to.
        target, prerequisites = depfile.read_text().replace("\\\n", "").split(":", 1)
        assert target == str(tmp_path / "p.bin")
        read = [library, tree, *(path for path in tree.rglob("*") if not path.is_symlink())]
        assert set(re.split(r"(?<!\\) +", prerequisites.strip())) == {
            str(path.resolve()).replace(" ", "\\ ") for path in read}
    entries = parse_content(decompress(split_payload(payload)))
    assert entries == [
        ("app.dll", windows_image(extra=b"top")),
        ("a0", b"1"),
        ("a\\b", b"2"),
        ("bin\\alias.txt", b"target"),
        ("bin\\app.dll", b"MZ deeper copy"),
        ("real.txt", b"target"),
        ("sigma ς.txt", b"3"),
        ("ss.txt", b"5"),
        ("ß.txt", b"4"),
        ("𐐀.txt", b"6"),
        ("𐐨.txt", b"7"),
    ]


@pytest.mark.parametrize("folder", ["", "bin"])
def test_library_inside_the_directory_is_packed_once_as_the_first_entry(any_pack, tmp_path, folder):
    tree = tmp_path / "tree"
    write(tree / folder / "app.dll", windows_image())
    write(tree / "a.txt", b"a")
    os.symlink(os.path.join(folder, "app.dll"), tree / "z.dll")  # the same file under another name is one of its own
    payload = build(any_pack, tree / folder / "app.dll", tmp_path / "p.bin", directory=tree)
    assert parse_content(decompress(split_payload(payload))) == [
        ("app.dll", windows_image()), ("a.txt", b"a"), ("z.dll", windows_image())]


def test_progress_line_only_on_a_terminal_and_not_with_quiet(pack, tarvix_pack, tmp_path):
    library = tmp_path / "app.dll"
    library.write_bytes(windows_image())
    write(tmp_path / "tree" / "a.txt")
    args = [tarvix_pack, "build", "--library", library, "--dir", tmp_path / "tree", "-o", tmp_path / "p.bin"]

    def stderr_on_a_terminal(*extra):
        main, side = pty.openpty()
        subprocess.run([*args, *extra], stderr=side, check=True)
        os.close(side)
        shown = b""
        try:
            while chunk := os.read(main, 4096):
                shown += chunk
        except OSError:  # the terminal's other side is closed
            pass
        os.close(main)
        return shown

    made = rb"tarvix-pack: made \S+p\.bin: \d+ bytes from 2 files of \d+ bytes, level 19, [\d.]+ s\r?\n"
    shown = stderr_on_a_terminal()
    assert re.fullmatch(rb"(\rtarvix-pack: \d of 2 files, [\d.]+ of [\d.]+ MB, [\d.]+ MB/s, (--:--|\d+:\d\d) left *)+"
                        rb"\r\n" + made, shown), "one line, rewritten in place, ended at the end, then what was made"
    assert shown.split(b"\r\n")[0].split(b"\r")[-1].startswith(b"tarvix-pack: 2 of 2 files") and b", 0:00 left" in shown
    assert stderr_on_a_terminal("--quiet") == b""
    assert re.fullmatch(made, pack(*args[1:]).stderr), "what was made is said on any standard error"


@pytest.mark.parametrize("command", ["build", "exe"])
def test_failure_while_writing_removes_the_partial_output(pack, tmp_path, command):
    library = tmp_path / "app.dll"
    library.write_bytes(windows_image(extra=os.urandom(400_000)))  # incompressible: the frame outgrows the limit
    (tmp_path / "stub.exe").write_bytes(windows_image(dll=False))
    out = tmp_path / "out"
    out.mkdir()

    def limit_file_size():
        resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, 100_000))
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)

    stub = ["--stub", tmp_path / "stub.exe"] if command == "exe" else []
    result = pack(command, *stub, "--library", library, "-o", out / "p.exe", preexec_fn=limit_file_size)
    assert result.returncode == 1
    assert "cannot write" in result.stderr.decode()
    assert list(out.iterdir()) == []


# (case, command, output, extra options, words of the reason): nothing may be written.
OUTPUT_REFUSALS = [
    ("the library", "build", "app.dll", [], "is the library 'app.dll'"),
    ("the library spelled otherwise", "exe", "tree/../app.dll", [], "is the library"),
    ("the stub", "exe", "stub.exe", [], "is the stub 'stub.exe'"),
    ("the icon", "exe", "app.ico", ["--icon", "app.ico"], "is the icon"),
    ("inside the directory", "build", "tree/p.bin", [], "lies inside the packed directory 'tree'"),
    ("below the directory", "exe", "tree/sub/app.exe", [], "lies inside the packed directory"),
    ("through a link into it", "exe", "into/app.exe", [], "lies inside the packed directory"),
    ("dependency file inside it", "build", "p.bin", ["--depfile", "tree/p.d"], "output 'tree/p.d' lies inside"),
]


OUTPUT_REFUSALS_WINDOWS_TOO = {"the library", "the library spelled otherwise", "the stub", "below the directory"}


@pytest.mark.parametrize("packer, command, output, options, reason",
                         [pytest.param("pack", *case[1:], id=case[0]) for case in OUTPUT_REFUSALS] +
                         [pytest.param("windows_pack", *case[1:], id=f"{case[0]}-windows")
                          for case in OUTPUT_REFUSALS if case[0] in OUTPUT_REFUSALS_WINDOWS_TOO])
def test_output_that_would_harm_an_input_is_refused_before_anything_is_written(
        request, tmp_path, packer, command, output, options, reason):
    pack = request.getfixturevalue(packer)
    write(tmp_path / "tree" / "sub" / "a.txt", b"a")
    os.symlink("tree/sub", tmp_path / "into")
    (tmp_path / "app.dll").write_bytes(windows_image())
    (tmp_path / "stub.exe").write_bytes(windows_image(dll=False))
    (tmp_path / "app.ico").write_bytes(b"icon")
    before = {path: path.read_bytes() for path in tmp_path.rglob("*") if path.is_file()}
    stub = ["--stub", "stub.exe"] if command == "exe" else []
    result = pack(command, *stub, "--library", "app.dll", "--dir", "tree", *options, "-o", output, cwd=tmp_path)
    message = result.stderr.decode()
    assert (result.returncode, message.count("\n")) == (1, 1), message
    assert message.startswith("tarvix-pack: output '") and reason in message, message
    assert {path: path.read_bytes() for path in tmp_path.rglob("*") if path.is_file()} == before


def test_library_of_millions_of_exports_behind_many_sections_is_checked_in_one_pass(pack, tmp_path):
    # Reads and a walk of the section table per name: more than a minute here.
    sections = 16000
    room = (0x148 + 40 * sections + 15) // 16 * 16
    image = bytearray(windows_image(export=b"not_run_code", names=4_000_000, header_room=room))
    exports = bytes(image[0x148:0x170])
    struct.pack_into("<H", image, 0x46, sections)
    image[0x148:0x148 + 40 * sections] = b".empty".ljust(40, b"\0") * (sections - 1) + exports
    (tmp_path / "app.dll").write_bytes(image)
    result = pack("build", "--library", tmp_path / "app.dll", "-o", tmp_path / "p.bin", timeout=20)
    assert result.returncode == 1 and b"exports no run_code" in result.stderr


def import_descriptors(image):
    """The file offset of the import table of a windows_image, which has one section at 0x1000."""
    rva = struct.unpack_from("<I", image, 0x40 + 24 + 120)[0]
    return rva - 0x1000 + 0x1C0


def section_end(image):
    return 0x1000 + len(image) - 0x1C0


# A damaged import table packs as it is: what cannot be read is no name to warn about.
CRAFTED_IMPORTS = [
    ("name outside the image", lambda i: struct.pack_into("<I", i, import_descriptors(i) + 12, 0x7FFFFFF0),
     ["second.dll"]),
    ("name without its end", lambda i: (struct.pack_into("<I", i, import_descriptors(i) + 32, section_end(i) - 4),
                                        i.__setitem__(slice(-4, None), b"abcd")), ["first.dll"]),
    ("no address table ends the table", lambda i: struct.pack_into("<I", i, import_descriptors(i) + 16, 0), []),
    ("table beyond the section", lambda i: struct.pack_into("<I", i, 0x40 + 24 + 120, section_end(i) + 4), []),
    ("table cut by the section's end", lambda i: struct.pack_into("<I", i, 0x40 + 24 + 120, section_end(i) - 19), []),
    ("delay-load address for a base", lambda i: i.__setitem__(slice(0x40 + 24 + 24, 0x40 + 24 + 32),
                                                              struct.pack("<Q", 0x1000)), ["first.dll", "second.dll"]),
]


@pytest.mark.parametrize("change, warned", [case[1:] for case in CRAFTED_IMPORTS], ids=[case[0] for case in CRAFTED_IMPORTS])
def test_damaged_import_table_is_read_within_the_file(pack, tmp_path, change, warned):
    image = bytearray(windows_image(imports=[b"first.dll", b"second.dll"], data=b"\1" * 16))
    change(image)
    (tmp_path / "app.dll").write_bytes(image)
    result = pack("build", "--library", tmp_path / "app.dll", "--quiet", "-o", tmp_path / "p.bin")
    assert result.returncode == 0, result.stderr
    assert re.findall(r"imports (\S+), which", result.stderr.decode()) == warned


def test_import_table_of_a_million_descriptors_behind_many_sections_is_read_in_bounded_time(pack, tmp_path):
    # A walk of the section table for each of a million names: hours.
    sections = 16000
    room = (0x148 + 40 * sections + 15) // 16 * 16
    image = bytearray(windows_image(imports=[b"gone.dll"] * 1_000_000, header_room=room))
    own = bytes(image[0x148:0x170])
    struct.pack_into("<H", image, 0x46, sections)
    image[0x148:0x148 + 40 * sections] = b".empty".ljust(40, b"\0") * (sections - 1) + own
    (tmp_path / "app.dll").write_bytes(image)
    result = pack("build", "--library", tmp_path / "app.dll", "--level", "1", "-o", tmp_path / "p.bin", timeout=60)
    assert result.returncode == 0 and re.findall(rb"imports (\S+), which", result.stderr) == [b"gone.dll"]


def test_output_replaces_an_older_one(pack, tmp_path):
    write(tmp_path / "tree" / "a.txt", b"a")
    library = tmp_path / "app.dll"
    library.write_bytes(windows_image())
    (tmp_path / "p.bin").write_bytes(b"older")
    payload = build(pack, library, tmp_path / "p.bin", directory=tmp_path / "tree")
    assert [path for path, _ in parse_content(decompress(split_payload(payload)))] == ["app.dll", "a.txt"]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["app.dll", "p.bin", "tree"]


@pytest.mark.parametrize("args, message", [
    (["build", "--library", "a.dll", "-o", "p.bin", "--fast"], "unknown option '--fast'"),
    (["build", "--library", "a.dll", "-o", "p.bin", "--level", "0"], "level must be 1..22"),
    (["build", "--library", "a.dll", "-o", "p.bin", "--level", "9x"], "level must be 1..22"),
    (["build", "--library", "a.dll"], "build needs -o"),
    (["build", "-o", "p.bin"], "build needs --library or --program"),
    (["exe", "--library", "a.dll", "--program", "a.exe", "-o", "a.exe"], "--library and --program exclude each other"),
    (["build", "--library", "a.dll", "-o"], "needs a value"),
    (["build", "--library", "a.dll", "--library", "b.dll", "-o", "p.bin"], "given twice"),
    (["verify"], "expected 1 argument"),
    (["extract", "p.bin"], "expected 2 arguments"),
    (["pack"], "unknown command 'pack'"),
])
def test_usage_errors_exit_2_with_one_line(pack, tmp_path, args, message):
    result = pack(*args, cwd=tmp_path)
    assert result.returncode == 2
    assert result.stderr.decode().count("\n") == 1
    assert message in result.stderr.decode()
    assert list(tmp_path.iterdir()) == []


def test_help_and_no_arguments_show_usage(pack):
    helped = pack("--help")
    assert helped.returncode == 0
    assert b"tarvix-pack build (--library APP.dll | --program APP.exe)" in helped.stdout
    assert b"for trees over 100 MB use --level 9 or lower" in b" ".join(helped.stdout.split())
    version = re.search(r"^project\(tarvix VERSION ([\d.]+)", (REPO_ROOT / "CMakeLists.txt").read_text(), re.M)[1]
    assert pack("--version").stdout.decode() == f"tarvix-pack {version}\n"
    assert helped.stdout.decode().startswith(f"tarvix-pack {version}: ")
    bare = pack()
    assert bare.returncode == 2
    assert bare.stderr == helped.stdout
