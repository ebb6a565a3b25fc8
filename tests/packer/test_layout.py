"""The bytes around the frame and the frame header the launcher depends on."""

import struct

import pytest

from conftest import build, decompress, parse_content, split_payload, windows_image

# A library named a.dll alone: content = 5 units * 2 + 2 + 8 + size + end marker 2.
NAME_AND_MARKER = 22
MIB = 1 << 20


def build_library_only(pack, tmp_path, content_size, sparse=False):
    library = tmp_path / "a.dll"
    size = content_size - NAME_AND_MARKER
    if sparse:
        with open(library, "wb") as handle:
            handle.write(windows_image())
            handle.truncate(size)
    else:
        filler = size - len(windows_image())
        library.write_bytes(windows_image(extra=bytes(range(256)) * (filler // 256) + b"M" * (filler % 256)))
    return library, build(pack, library, tmp_path / "payload.bin", level=1)


@pytest.mark.parametrize("content_size, window_byte", [
    (1024, 0x00),           # 2^10, the smallest window zstd can describe
    (1025, 0x08),
    (MIB, 0x50),
    (MIB + 1, 0x58),
])
def test_small_content_gets_the_smallest_window_holding_it(pack, tmp_path, content_size, window_byte):
    library, payload = build_library_only(pack, tmp_path, content_size)
    frame = split_payload(payload)
    assert len(payload) == 15 + len(frame)
    assert frame[:4] == b"\x28\xb5\x2f\xfd"
    assert frame[4] == 0x00, "frame header descriptor"
    assert frame[5] == window_byte
    content = decompress(frame)
    assert len(content) == content_size
    assert parse_content(content) == [("a.dll", library.read_bytes())]


@pytest.mark.parametrize("content_size, window_byte", [
    (64 * MIB, 0x80),
    (64 * MIB + 1, 0x88),   # needs 2^27 though under 128 MiB
    (300 * MIB, 0x88),      # large content never asks for more than 2^27
])
def test_large_content_window_stops_at_2_to_the_27(pack, tmp_path, content_size, window_byte):
    _, payload = build_library_only(pack, tmp_path, content_size, sparse=True)
    frame = split_payload(payload)
    assert frame[4:6] == bytes([0x00, window_byte])
    assert payload[-8:] == struct.pack("<Q", len(payload) - 8)
    verified = pack("verify", tmp_path / "payload.bin")
    assert verified.stdout.decode() == f"ok: 1 files, {content_size - NAME_AND_MARKER} bytes\nfirst entry: library\n"
