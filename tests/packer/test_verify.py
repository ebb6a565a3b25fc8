"""verify (and list and extract, which share its checks) on damaged and hand-made payloads."""

import struct

import pytest

from conftest import build, entry_bytes, raw_frame, windows_image, wrap_frame

LIBRARY = entry_bytes("app.dll", b"MZ")
END = b"\0\0"


@pytest.fixture(scope="module")
def good_payload(tmp_path_factory, pack):
    base = tmp_path_factory.mktemp("good")
    (base / "tree").mkdir()
    (base / "tree" / "words.txt").write_bytes(b"a payload for damaging, " * 2000)
    (base / "app.dll").write_bytes(windows_image(extra=bytes(range(256)) * 40))
    return build(pack, base / "app.dll", base / "p.bin", directory=base / "tree")


def with_byte(payload, offset, value):
    return payload[:offset] + bytes([value]) + payload[offset + 1:]


def with_inserted(payload, extra):
    """Inserts extra after the frame and fixes the trailer, so only the frame is wrong."""
    frame_end = len(payload) - 12
    body = payload[:frame_end] + extra + b"\0\0\0\0"
    return body + struct.pack("<Q", len(body))


DAMAGE = [
    ("bad header", lambda p: b"KAX" + p[3:], 'offset 0: header is not "KAY"'),
    ("one byte cut off", lambda p: p[:-1], "trailer holds"),
    ("trailer off by one", lambda p: p[:-8] + struct.pack("<Q", len(p) - 7), "trailer holds"),
    ("zero gap not zero", lambda p: with_byte(p, len(p) - 12, 1), "are not zero"),
    ("no frame magic", lambda p: with_byte(p, 3, 0x29), "offset 3: no zstd frame magic"),
    ("checksum flag", lambda p: with_byte(p, 7, 0x04), "frame header descriptor 0x04, expected 0x00"),
    ("window over 2^27", lambda p: with_byte(p, 8, 0x90), "over the 2^27 limit"),
    ("reserved block type", lambda p: with_byte(p, 9, p[9] | 0x06), "frame damaged"),
    ("last block flag cleared", lambda p: with_byte(p, 9, p[9] & ~1), "frame"),
    ("bytes after the frame", lambda p: with_inserted(p, b"\x01\x02\x03"), "frame ends 3 bytes before"),
    ("second frame", lambda p: with_inserted(p, raw_frame(END)), f"frame ends {len(raw_frame(END))} bytes before"),
    ("too short", lambda p: p[:14], "too short for a payload"),
]


@pytest.mark.parametrize("damage, message", [case[1:] for case in DAMAGE], ids=[case[0] for case in DAMAGE])
def test_damaged_payload_is_rejected_in_one_line(pack, tmp_path, good_payload, damage, message):
    damaged = tmp_path / "damaged.bin"
    damaged.write_bytes(damage(good_payload))
    for command in (["verify", damaged], ["list", damaged], ["extract", damaged, tmp_path / "out"]):
        result = pack(*command)
        assert result.returncode == 1, command
        error = result.stderr.decode()
        assert error.startswith(f"tarvix-pack: {damaged}: ") and error.count("\n") == 1, error
        assert message in error
    assert not (tmp_path / "out").exists()


def crafted(*parts):
    return wrap_frame(raw_frame(b"".join(parts)))


def raw_entry(path_bytes, data=b""):
    return path_bytes + b"\0\0" + struct.pack("<Q", len(data)) + data


CONTENT_FAULTS = [
    ("size beyond the content",
     [LIBRARY, "x".encode("utf-16-le") + b"\0\0" + struct.pack("<Q", 99999) + b"d" * 120],
     f"entry 2 at content offset {len(LIBRARY)}: size 99999 beyond the remaining 120 bytes"),
    ("no end marker", [LIBRARY], f"content offset {len(LIBRARY)}: content ends without the end marker"),
    ("bytes after the end marker", [LIBRARY, END, b"zz"], "content goes on after the end marker"),
    ("no entry", [END], "end marker before any entry"),
    ("ends inside a path", [LIBRARY, b"a\0b"], f"entry 2 at content offset {len(LIBRARY)}: content ends inside the path"),
    ("ends inside a size", [LIBRARY, b"a\0\0\0\1\0"], "content ends inside the size field"),
    ("path over 1023 units", [LIBRARY, ("a" * 1024).encode("utf-16-le") + b"\0\0"], "path longer than 1023"),
    ("forward slash", [LIBRARY, entry_bytes("a/b", b""), END], "contains '/'"),
    ("dot-dot", [LIBRARY, entry_bytes("a\\..\\b", b""), END], "'.' or '..' component"),
    ("drive", [LIBRARY, entry_bytes("C:\\x", b""), END], "not allowed on Windows"),
    ("leading backslash", [LIBRARY, entry_bytes("\\x", b""), END], "empty name component"),
    ("empty component", [LIBRARY, entry_bytes("a\\\\x", b""), END], "empty name component"),
    ("device name", [LIBRARY, entry_bytes("sub\\Con.log", b""), END], "reserved device name"),
    ("lone surrogate", [LIBRARY, raw_entry(b"\x00\xd8"), END], "not well-formed UTF-16"),
    ("library not at the top", [entry_bytes("bin\\app.dll", b"MZ"), END], "first entry must be the library"),
    ("case clash", [LIBRARY, entry_bytes("Sub\\x", b""), entry_bytes("sub\\y", b""), END],
     f"entry 3 at content offset {len(LIBRARY) + 20}: path 'sub\\y': "
     "directory 'sub' differs only in letter case from 'Sub'"),
    ("duplicate", [LIBRARY, entry_bytes("x", b"1"), entry_bytes("x", b"2"), END],
     "same path as entry 2 'x'"),
]


@pytest.mark.parametrize("parts, message", [case[1:] for case in CONTENT_FAULTS],
                         ids=[case[0] for case in CONTENT_FAULTS])
def test_faulty_content_is_rejected_where_it_is(pack, tmp_path, parts, message):
    payload = tmp_path / "crafted.bin"
    payload.write_bytes(crafted(*parts))
    result = pack("verify", payload)
    assert result.returncode == 1
    assert message in result.stderr.decode()


def test_hand_made_payload_is_accepted_and_extracted(pack, tmp_path):
    payload = tmp_path / "crafted.bin"
    big = bytes(range(256)) * 1000  # spans several raw blocks
    payload.write_bytes(crafted(LIBRARY, entry_bytes("d\\big", big), entry_bytes("empty", b""), END))
    verified = pack("verify", payload)
    # Without a settings record the first entry's header tells the kind: LIBRARY is none.
    assert verified.stdout.decode() == f"ok: 3 files, {2 + len(big)} bytes\nfirst entry: library\n"
    assert pack("extract", payload, tmp_path / "out").returncode == 0
    assert (tmp_path / "out" / "d" / "big").read_bytes() == big
    assert (tmp_path / "out" / "empty").read_bytes() == b""


def test_extract_writes_nothing_outside_or_into_a_used_directory(pack, tmp_path):
    escaping = tmp_path / "escaping.bin"
    escaping.write_bytes(crafted(LIBRARY, entry_bytes("..\\evil", b"x"), END))
    result = pack("extract", escaping, tmp_path / "out" / "inner")
    assert result.returncode == 1
    assert not (tmp_path / "out").exists() and not (tmp_path / "out" / "evil").exists()

    fine = tmp_path / "fine.bin"
    fine.write_bytes(crafted(LIBRARY, END))
    used = tmp_path / "used"
    used.mkdir()
    (used / "keep").write_bytes(b"mine")
    result = pack("extract", fine, used)
    assert result.returncode == 1
    assert "must be a new or empty directory" in result.stderr.decode()
    assert [p.name for p in used.iterdir()] == ["keep"]
