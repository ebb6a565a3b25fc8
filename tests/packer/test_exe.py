"""tarvix-pack exe on a stand-in stub: the sections it adds, read independently of it,
and what it refuses. The real stub's executables run in the end-to-end tests."""

import hashlib
import os
import re
import struct

import pefile
import pytest

from conftest import build, windows_image


@pytest.fixture
def inputs(tmp_path):
    (tmp_path / "app.dll").write_bytes(windows_image())
    (tmp_path / "app.exe").write_bytes(windows_image(dll=False))
    (tmp_path / "stub.exe").write_bytes(windows_image(dll=False))
    (tmp_path / "out").mkdir()
    return tmp_path


def make_exe(pack, base, *options, stub="stub.exe", output="out/app.exe"):
    return pack("exe", "--stub", stub, "--library", "app.dll", *options, "-o", output, cwd=base)


# The kind travels in the record's fourth field: a launcher that knows only libraries
# refuses anything but 0 there. A program's own subsystem is the default.
@pytest.mark.parametrize("kind, first, kind_value, flags, subsystem", [
    ("library", "app.dll", 0, [], 3), ("library", "app.dll", 0, ["--windowed"], 2),
    ("library", "app.dll", 0, ["--console"], 3), ("program", "app.exe", 1, [], 3),
    ("program", "windowed.exe", 1, [], 2), ("program", "windowed.exe", 1, ["--console"], 3)])
def test_payload_section_holds_the_settings_then_the_payload_that_build_writes(pack, inputs, kind, first,
                                                                                kind_value, flags, subsystem):
    (inputs / "windowed.exe").write_bytes(windows_image(dll=False, subsystem=2))
    template = r"{TEMP}\c\{COMPANY}"
    made = pack("exe", "--stub", "stub.exe", f"--{kind}", first, "--company", "Ço", "--cached",
                "--cache-directory", template, *flags, "-o", "out/app.exe", cwd=inputs)
    assert made.returncode == 0, made.stderr
    payload = build(pack, inputs / first, inputs / "p.bin", kind=kind)

    pe = pefile.PE(str(inputs / "out" / "app.exe"))
    [section] = [section for section in pe.sections if section.Name == b".tarvix\0"]
    assert section.Characteristics == 0x40000040, "read-only initialized data"
    data = section.get_data()
    magic, record_size, kind_field, payload_size = struct.unpack_from("<8sIIQ", data)
    assert (magic, kind_field, record_size % 8) == (b"TVXSET01", kind_value, 0)
    assert data[record_size:record_size + payload_size] == payload
    texts = data[24:record_size].decode("utf-16-le").rstrip("\0").split("\0")
    assert texts == ["Ço", "app", "1.0.0.0", template, hashlib.sha256(payload).hexdigest()[:16]]
    last = pe.sections[-1]
    assert pe.OPTIONAL_HEADER.SizeOfImage == (last.VirtualAddress + last.Misc_VirtualSize + 0xFFF) & ~0xFFF
    assert pe.OPTIONAL_HEADER.CheckSum == pe.generate_checksum()
    assert pe.OPTIONAL_HEADER.Subsystem == subsystem
    size = (inputs / first).stat().st_size
    listed = pack("list", inputs / "out" / "app.exe").stdout.decode()
    # The stand-in stub states no launcher version.
    settings = ["launcher: unknown", "company: Ço", "product: app", "version: 1.0.0.0", f"cached: {template}"]
    assert listed.splitlines() == [f"{size:12}  {first}", f"1 files, {size} bytes", f"first entry: {kind}", *settings]
    assert pack("verify", inputs / "out" / "app.exe").stdout.decode().splitlines()[1:] == [f"first entry: {kind}",
                                                                                           *settings]
    image = bytearray((inputs / "out" / "app.exe").read_bytes())
    struct.pack_into("<I", image, image.index(b"TVXSET01") + 12, 2)  # a kind of a later packer
    (inputs / "unknown.exe").write_bytes(image)
    unknown = pack("verify", inputs / "unknown.exe")
    assert unknown.returncode == 1 and b"kind at offset 12 is one the launcher does not know" in unknown.stderr
    # A bare payload has no record: the first entry's header tells.
    assert pack("verify", inputs / "p.bin").stdout.decode().splitlines()[-1] == f"first entry: {kind}"


def test_launcher_version_is_the_stubs_and_never_one_in_the_payload(pack, inputs):
    marker = b"tarvix launcher %s\0"
    (inputs / "stub.exe").write_bytes(windows_image(dll=False, data=marker % b"9.8.7-rc1"))
    (inputs / "tree").mkdir()
    # Incompressible around it, so that the payload holds the text as it is.
    (inputs / "tree" / "other.exe").write_bytes(os.urandom(5000) + marker % b"6.6.6" + os.urandom(5000))
    made = make_exe(pack, inputs, "--dir", "tree", "--level", "1")
    assert made.returncode == 0, made.stderr
    assert marker % b"6.6.6" in (inputs / "out" / "app.exe").read_bytes()
    for command in ("list", "verify"):
        lines = pack(command, inputs / "out" / "app.exe").stdout.decode().splitlines()
        assert lines[lines.index("first entry: library") + 1:][:2] == ["launcher: 9.8.7-rc1", "company: tarvix user"]
    (inputs / "stub.exe").write_bytes(windows_image(dll=False, data=b"tarvix launcher \0" + marker % b"1 2"))
    assert make_exe(pack, inputs, "--level", "1").returncode == 0
    assert "launcher: unknown" in pack("verify", inputs / "out" / "app.exe").stdout.decode().splitlines()
    # What the payload file alone says, unchanged: it has no launcher.
    payload = inputs / "p.bin"
    build(pack, inputs / "app.dll", payload)
    assert pack("verify", payload).stdout.decode().splitlines()[-1] == "first entry: library"


# Imported by the first entry, in the import table and delay-loaded: what every Windows
# has in any case, what the payload holds at its top (Here.DLL as here.dll), below it
# (deep.dll), and what is nowhere (once each, however often named or spelled).
IMPORTS = [b"KERNEL32.dll", b"api-ms-win-crt-runtime-l1-1-0.dll", b"VCRUNTIME140.dll", b"libstdc++-6.dll",
           b"Here.DLL", b"deep.dll", b"noext", b"msvcrt.dll", b"ext-ms-win-ntuser-window-l1-1-0.dll"]
DELAYED = [b"WINSPOOL.DRV", b"delayed.dll", b"vcruntime140.dll", b"bcrypt.dll"]
MISSING = ["VCRUNTIME140.dll", "libstdc++-6.dll", "deep.dll", "noext.dll", "delayed.dll"]


@pytest.mark.parametrize("command", ["exe", "build"])
@pytest.mark.parametrize("kind", ["library", "program"])
def test_imports_neither_packed_nor_in_windows_are_warned_about_and_packing_goes_on(any_pack, inputs, command,
                                                                                    kind):
    first = inputs / f"app.{'dll' if kind == 'library' else 'exe'}"
    first.write_bytes(windows_image(dll=kind == "library", imports=IMPORTS, delay_imports=DELAYED))
    (inputs / "tree" / "sub").mkdir(parents=True)
    (inputs / "tree" / "here.dll").write_bytes(b"here")
    (inputs / "tree" / "sub" / "deep.dll").write_bytes(b"deep")
    stub = ["--stub", inputs / "stub.exe"] if command == "exe" else []
    output = inputs / "out" / "app.exe"
    bytes_in = first.stat().st_size + 8
    for quiet in ([], ["--quiet"]):
        result = any_pack(command, *stub, f"--{kind}", first, "--dir", inputs / "tree", "--level", "1", *quiet,
                          "-o", output)
        # Wine may say something of its own when it first sets up its prefix.
        lines = [line for line in result.stderr.decode().splitlines() if line.startswith("tarvix-pack: ")]
        assert result.returncode == 0, lines
        warnings = [line for line in lines if line.startswith(f"tarvix-pack: warning: {first.name} imports ")]
        assert [re.search(r" imports (\S+), which", line)[1] for line in warnings] == MISSING
        assert "the payload holds only as 'sub\\deep.dll', in a folder the loader does not search" in warnings[2]
        made = [line for line in lines if line not in warnings]
        if quiet:
            assert made == [], "--quiet keeps the warnings only"
        else:
            size = output.stat().st_size
            [line] = made
            assert re.fullmatch(rf"tarvix-pack: made \S*app\.exe: {size} bytes from 3 files of {bytes_in} bytes, "
                                r"level 1, \d+\.\d s", line), line


REFUSALS = [
    ("signed stub", {"stub": windows_image(dll=False, security=0x200)}, 1, "signed"),
    ("32-bit stub", {"stub": windows_image(dll=False, machine=0x14C)}, 1, "not a 64-bit"),
    ("library as stub", {"stub": windows_image()}, 1, "not an executable"),
    ("full headers", {"stub": windows_image(dll=False, header_room=0x170)}, 1, "no room for two more section"),
    ("bytes after the image", {"stub": windows_image(dll=False, extra=b"x")}, 1, "bytes follow its last section"),
    ("stub with a payload", {"stub": "made"}, 1, "already carries a payload"),
    ("windowed and console", {"options": ["--windowed", "--console"]}, 2, "exclude each other"),
    ("version of five numbers", {"options": ["--version", "1.2.3.4.5"]}, 1, "not of the form a.b.c.d"),
    ("version number over 65535", {"options": ["--version", "1.65536"]}, 1, "not of the form a.b.c.d"),
    ("company of two lines", {"options": ["--company", "a\nb"]}, 2, "one line"),
    ("cache directory alone", {"options": ["--cache-directory", "x"]}, 2, "needs --cached"),
    ("per-run placeholder", {"options": ["--cached", "--cache-directory", r"{TEMP}\{pid}"]}, 1, "differs from start"),
    ("product naming no folder", {"options": ["--cached", "--product", "a/b"]}, 1, "cannot name a folder"),
    *[(f"cache directory {template}", {"options": ["--cached", "--cache-directory", template]}, 1,
       "is not an absolute path once expanded")
      for template in ["relcache", r"..\x", r"\rooted", "C:drive_relative", r"{COMPANY}\x", r"\\server"]],
    ("icon that is none", {"options": ["--icon", "app.dll"]}, 1, "not an .ico file"),
]


# What --program refuses, for exe and build alike: anything but a 64-bit program.
PROGRAM_REFUSALS = [
    ("library as program", windows_image(), "a DLL, not a program; give it as --library"),
    ("32-bit program", windows_image(dll=False, machine=0x14C), "not a 64-bit (x64) program"),
    ("program not an image", b"MZ text", "not a Windows program"),
    ("empty program", b"", "program is empty"),
]


@pytest.mark.parametrize("command", ["exe", "build"])
@pytest.mark.parametrize("image, reason", [case[1:] for case in PROGRAM_REFUSALS],
                         ids=[case[0] for case in PROGRAM_REFUSALS])
def test_program_that_is_none_is_refused_in_one_line_and_leaves_nothing(pack, inputs, command, image, reason):
    (inputs / "app.exe").write_bytes(image)
    stub = ["--stub", "stub.exe"] if command == "exe" else []
    result = pack(command, *stub, "--program", "app.exe", "-o", "out/app.exe", cwd=inputs)
    message = result.stderr.decode()
    assert (result.returncode, message.count("\n")) == (1, 1), message
    assert message == f"tarvix-pack: refused 'app.exe': {reason}\n"
    assert list((inputs / "out").iterdir()) == []


@pytest.mark.parametrize("case, code, reason", [case[1:] for case in REFUSALS], ids=[case[0] for case in REFUSALS])
def test_refusal_is_one_line_and_leaves_nothing(pack, inputs, case, code, reason):
    stub = case.get("stub", windows_image(dll=False))
    if stub == "made":
        assert make_exe(pack, inputs, output="made.exe").returncode == 0
        stub = (inputs / "made.exe").read_bytes()
    (inputs / "stub.exe").write_bytes(stub)
    result = make_exe(pack, inputs, *case.get("options", []))
    message = result.stderr.decode()
    assert (result.returncode, message.count("\n")) == (code, 1), message
    assert message.startswith("tarvix-pack: ") and reason in message, message
    assert list((inputs / "out").iterdir()) == []


@pytest.mark.parametrize("template", [r"C:\x", "c:/x/{PRODUCT}", r"\\server\share", r"{PROGRAM_DIR}cache", r"{Home}\x"])
def test_absolute_cache_directory_is_taken(pack, inputs, template):
    made = make_exe(pack, inputs, "--cached", "--cache-directory", template)
    assert made.returncode == 0, made.stderr
