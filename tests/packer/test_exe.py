"""tarvix-pack exe on a stand-in stub: the sections it adds, read independently of it,
and what it refuses. The real stub's executables run in the end-to-end tests."""

import hashlib
import struct

import pefile
import pytest

from conftest import build, windows_image


@pytest.fixture
def inputs(tmp_path):
    (tmp_path / "app.dll").write_bytes(windows_image())
    (tmp_path / "stub.exe").write_bytes(windows_image(dll=False))
    (tmp_path / "out").mkdir()
    return tmp_path


def make_exe(pack, base, *options, stub="stub.exe", output="out/app.exe"):
    return pack("exe", "--stub", stub, "--library", "app.dll", *options, "-o", output, cwd=base)


@pytest.mark.parametrize("kind, subsystem", [([], 3), (["--windowed"], 2), (["--console"], 3)])
def test_payload_section_holds_the_settings_then_the_payload_that_build_writes(pack, inputs, kind, subsystem):
    template = r"{TEMP}\c\{COMPANY}"
    made = make_exe(pack, inputs, "--company", "Ço", "--cached", "--cache-directory", template, *kind)
    assert made.returncode == 0, made.stderr
    payload = build(pack, inputs / "app.dll", inputs / "p.bin")

    pe = pefile.PE(str(inputs / "out" / "app.exe"))
    [section] = [section for section in pe.sections if section.Name == b".tarvix\0"]
    assert section.Characteristics == 0x40000040, "read-only initialized data"
    data = section.get_data()
    magic, record_size, reserved, payload_size = struct.unpack_from("<8sIIQ", data)
    assert (magic, reserved, record_size % 8) == (b"TVXSET01", 0, 0)
    assert data[record_size:record_size + payload_size] == payload
    texts = data[24:record_size].decode("utf-16-le").rstrip("\0").split("\0")
    assert texts == ["Ço", "app", "1.0.0.0", template, hashlib.sha256(payload).hexdigest()[:16]]
    last = pe.sections[-1]
    assert pe.OPTIONAL_HEADER.SizeOfImage == (last.VirtualAddress + last.Misc_VirtualSize + 0xFFF) & ~0xFFF
    assert pe.OPTIONAL_HEADER.CheckSum == pe.generate_checksum()
    assert pe.OPTIONAL_HEADER.Subsystem == subsystem
    size = len(windows_image())
    listed = pack("list", inputs / "out" / "app.exe").stdout.decode()
    assert listed.splitlines() == [f"{size:12}  app.dll", f"1 files, {size} bytes"]


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
    ("icon that is none", {"options": ["--icon", "app.dll"]}, 1, "not an .ico file"),
]


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
