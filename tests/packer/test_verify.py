"""verify (and list and extract, which share its checks) on damaged and hand-made payloads."""

import struct

import pytest

from conftest import ZSTD_MAGIC, build, entry_bytes, raw_frame, windows_image, wrap_frame

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


@pytest.fixture(scope="module")
def made_exe(tmp_path_factory, pack):
    """An executable made by exe whose record has room for a company one unit over the limit."""
    base = tmp_path_factory.mktemp("exe")
    (base / "app.dll").write_bytes(windows_image())
    (base / "stub.exe").write_bytes(windows_image(dll=False))
    made = pack("exe", "--stub", base / "stub.exe", "--library", base / "app.dll", "--company", "c" * 1023,
                "-o", base / "app.exe")
    assert made.returncode == 0, made.stderr
    return (base / "app.exe").read_bytes()


def with_record(exe, texts=None, reserved=0, units=None):
    """exe with its settings record rewritten from texts (or filled with units), same size."""
    at = exe.index(b"TVXSET01")
    record_size = struct.unpack_from("<I", exe, at + 8)[0]
    old = exe[at + 24:at + record_size].decode("utf-16-le").rstrip("\0").split("\0")
    body = "".join(text + "\0" for text in (old if texts is None else texts(old)))
    if units is not None:
        body = units * ((record_size - 24) // 2)
    encoded = body.encode("utf-16-le")
    assert len(encoded) <= record_size - 24
    record = exe[at:at + 12] + struct.pack("<I", reserved) + exe[at + 16:at + 24] + encoded.ljust(record_size - 24, b"\0")
    return exe[:at] + record + exe[at + record_size:]


RECORD_FAULTS = [
    ("short digest", {"texts": lambda t: t[:4] + [t[4][:15]]}, "payload digest is not 16 lowercase hex digits"),
    ("digest in capitals", {"texts": lambda t: t[:4] + ["ABCDEF0123456789"]}, "not 16 lowercase hex"),
    ("four texts", {"texts": lambda t: t[:4]}, "not 16 lowercase hex"),
    ("unterminated text", {"units": "x"}, "runs past the record without its terminator"),
    ("text over its bound", {"texts": lambda t: ["c" * 1024] + t[1:]}, "longer than 1023 UTF-16 units"),
    ("unknown kind", {"reserved": 2}, "kind at offset 12 is one the launcher does not know"),
    ("bytes after the texts", {"texts": lambda t: t + ["z"]}, "bytes other than zero after the texts"),
    ("digest of another payload", {"texts": lambda t: t[:4] + ["0123456789abcdef"]},
     "settings record: digest 0123456789abcdef is not the payload's"),
]


@pytest.mark.parametrize("change, message", [case[1:] for case in RECORD_FAULTS], ids=[case[0] for case in RECORD_FAULTS])
def test_settings_record_the_launcher_refuses_is_refused(pack, tmp_path, made_exe, change, message):
    exe = tmp_path / "app.exe"
    exe.write_bytes(with_record(made_exe))
    assert pack("verify", exe).stdout.startswith(b"ok: 1 files"), "the record rewritten as it was"
    exe.write_bytes(with_record(made_exe, **change))
    for command in (["verify", exe], ["extract", exe, tmp_path / "out"]):
        result = pack(*command)
        error = result.stderr.decode()
        assert (result.returncode, error.count("\n")) == (1, 1), error
        assert error.startswith(f"tarvix-pack: {exe}") and message in error, error
    assert not (tmp_path / "out").exists()


def image_of_sections(data, count):
    """An executable whose read-only data ends in data, at a 64-byte boundary of the file,
    described by count sections that all cover it."""
    room = (0x180 + 40 * count + 63) // 64 * 64
    lead = bytes(-len(windows_image(dll=False, header_room=room)) % 64)
    image = bytearray(windows_image(dll=False, header_room=room, extra=lead + data))
    size = len(image) - room
    struct.pack_into("<H", image, 0x46, count)
    header = b".rdata\0\0" + struct.pack("<IIII12xI", size, 0x1000, size, room, 0x40000040)
    image[0x148:0x148 + 40 * count] = header * count
    return bytes(image)


# Payload starts without an end at every 64 bytes: each was followed to the end of the
# data, which took minutes at these sizes.
@pytest.mark.parametrize("data, count", [
    ((b"KAY" + ZSTD_MAGIC).ljust(64, b"\0") * (1 << 16), 1),
    ((b"KAY" + ZSTD_MAGIC).ljust(64, b"\0") * 1024, 4096),
], ids=["4 MB of starts", "4096 overlapping sections"])
def test_scan_for_a_linked_payload_ends_on_crafted_data(pack, tmp_path, data, count):
    exe = tmp_path / "crafted.exe"
    exe.write_bytes(image_of_sections(data, count))
    result = pack("verify", exe, timeout=60)
    assert result.returncode == 1 and b"no payload in this executable" in result.stderr
