"""Shared helpers for the tarvix-pack tests: running the binary (the Linux one, and
tarvix-pack.exe under Wine) and reading payloads independently of it."""

import os
import shutil
import struct
import subprocess
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parents[2]
ZSTD_MAGIC = b"\x28\xb5\x2f\xfd"


@pytest.fixture(scope="session")
def tarvix_pack():
    binary = Path(os.environ.get("TARVIX_PACK", REPO_ROOT / "build" / "packer" / "tarvix-pack"))
    if not binary.is_file():
        pytest.fail(f"no tarvix-pack at {binary}; build it or set TARVIX_PACK")
    return binary


@pytest.fixture(scope="session")
def pack(tarvix_pack):
    """pack(*args, env=None) runs tarvix-pack and returns the CompletedProcess."""

    def run(*args, env=None, **kwargs):
        full_env = dict(os.environ, **(env or {}))
        return subprocess.run([str(tarvix_pack), *map(str, args)], capture_output=True,
                              env=full_env, **kwargs)

    return run


def wine_argument(argument):
    """A path as Wine's Z: drive names it; any other argument as it is."""
    if isinstance(argument, Path):
        return "Z:" + str(argument.resolve()).replace("/", "\\")
    return str(argument)


@pytest.fixture(scope="session")
def windows_pack():
    """Like pack, for tarvix-pack.exe under Wine: Path arguments become Windows paths and
    the console's CRLF line ends become LF."""
    binary = os.environ.get("TARVIX_PACK_WINDOWS")
    if not binary:
        pytest.skip("TARVIX_PACK_WINDOWS names no tarvix-pack.exe (ctest sets it)")

    def run(*args, env=None, **kwargs):
        # Wine reads the Linux arguments and file names in the locale's encoding.
        full_env = dict(os.environ, LC_ALL="C.UTF-8", WINEDEBUG="-all", **(env or {}))
        result = subprocess.run(["wine", binary, *map(wine_argument, args)], capture_output=True,
                                env=full_env, **kwargs)
        result.stdout = result.stdout.replace(b"\r\n", b"\n")
        result.stderr = result.stderr.replace(b"\r\n", b"\n")
        return result

    return run


@pytest.fixture(params=["linux", "windows"])
def any_pack(request):
    """A test that takes it runs with the Linux packer and with tarvix-pack.exe."""
    return request.getfixturevalue("pack" if request.param == "linux" else "windows_pack")


def import_table(rva, libraries, descriptor_size):
    """Import (20-byte) or delay-load (32-byte, relative addresses) descriptors at rva for
    libraries, their zero descriptor, an empty address table and the names."""
    table = bytearray(descriptor_size * (len(libraries) + 1))
    name = rva + len(table) + 8
    for i, library in enumerate(libraries):
        if descriptor_size == 20:
            struct.pack_into("<II", table, 20 * i + 12, name, rva + len(table))
        else:
            struct.pack_into("<II", table, 32 * i, 1, name)
        name += len(library) + 1
    return bytes(table) + bytes(8) + b"".join(library + b"\0" for library in libraries)


def windows_image(dll=True, export=b"run_code", machine=0x8664, header_room=0x1C0, security=0, extra=b"",
                  names=1, subsystem=0, imports=(), delay_imports=(), data=b""):
    """A 64-bit image as small as the packer accepts: headers with room for header_room
    bytes, then one section holding an export table naming export (names times), the
    import tables naming imports and delay_imports, and data; extra follows."""
    rva = 0x1000
    exports = bytearray(40)
    if export:
        function = 40 + 6 * names + 2 * (names % 2)
        struct.pack_into("<IIIII", exports, 20, 1, names, rva + function, rva + 40, rva + 40 + 4 * names)
        exports += struct.pack("<I", rva + function + 4) * names + bytes(function - 40 - 4 * names)
        exports += struct.pack("<I", rva) + export + b"\0"
    directories = {0: (rva, len(exports))}
    for index, libraries, descriptor_size in ((1, imports, 20), (13, delay_imports, 32)):
        if libraries:
            directories[index] = (rva + len(exports), descriptor_size * (len(libraries) + 1))
            exports += import_table(rva + len(exports), libraries, descriptor_size)
    exports += data
    exports += bytes(-len(exports) % 16)
    optional = bytearray(240)
    struct.pack_into("<H", optional, 0, 0x20B)
    struct.pack_into("<II", optional, 32, 0x1000, 16)  # section and file alignment
    struct.pack_into("<II", optional, 56, 0x2000, header_room)
    struct.pack_into("<H", optional, 68, subsystem)
    struct.pack_into("<I", optional, 108, 16)  # 16 directories
    for index, (address, size) in directories.items():
        struct.pack_into("<II", optional, 112 + 8 * index, address, size)
    struct.pack_into("<II", optional, 144, security, security)  # the certificate table
    headers = b"MZ".ljust(0x3C, b"\0") + struct.pack("<I", 0x40) + b"PE\0\0"
    headers += struct.pack("<HHIIIHH", machine, 1, 0, 0, 0, len(optional), 0x2022 if dll else 0x22) + optional
    headers += b".edata\0\0" + struct.pack("<IIII12xI", len(exports), rva, len(exports), header_room, 0x40000040)
    return headers.ljust(header_room, b"\0") + exports + extra


def build(pack, library, output, directory=None, level=None, env=None, depfile=None, kind="library"):
    args = ["build", f"--{kind}", library, "-o", output]
    if directory is not None:
        args += ["--dir", directory]
    if level is not None:
        args += ["--level", level]
    if depfile is not None:
        args += ["--depfile", depfile]
    result = pack(*args, env=env)
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    return Path(output).read_bytes()


def split_payload(payload):
    """Returns the zstd frame after checking header, zero gap and trailer."""
    assert payload[:3] == b"KAY"
    frame = payload[3:-12]
    assert payload[-12:-8] == b"\0\0\0\0"
    assert struct.unpack("<Q", payload[-8:])[0] == 7 + len(frame)
    return frame


def decompress(frame):
    """Decodes with the zstd command, which also rejects anything after the frame."""
    zstd = shutil.which("zstd")
    if zstd is None:
        pytest.skip("the zstd command is needed to decode payloads independently")
    return subprocess.run([zstd, "-d", "-q", "-c"], input=frame, capture_output=True, check=True).stdout


def parse_content(content):
    """[(path, data)] from decompressed content; asserts the end marker closes it."""
    entries, at = [], 0
    while True:
        end = at
        while content[end:end + 2] != b"\0\0":
            assert end < len(content), "content ends inside a path"
            end += 2
        if end == at:
            assert at + 2 == len(content), "bytes after the end marker"
            return entries
        path = content[at:end].decode("utf-16-le")
        size = struct.unpack("<Q", content[end + 2:end + 10])[0]
        data = content[end + 10:end + 10 + size]
        assert len(data) == size, f"{path}: content ends inside its data"
        entries.append((path, data))
        at = end + 10 + size


def entry_bytes(path, data):
    return path.encode("utf-16-le") + b"\0\0" + struct.pack("<Q", len(data)) + data


def raw_frame(content, window_byte=0x50):
    """A zstd frame of uncompressed blocks, for payloads tarvix-pack would never write."""
    frame = bytearray(ZSTD_MAGIC + bytes([0x00, window_byte]))
    blocks = [content[i:i + 65536] for i in range(0, len(content), 65536)] or [b""]
    for number, block in enumerate(blocks):
        last = number == len(blocks) - 1
        frame += (len(block) << 3 | last).to_bytes(3, "little") + block
    return bytes(frame)


def wrap_frame(frame):
    return b"KAY" + frame + b"\0\0\0\0" + struct.pack("<Q", 7 + len(frame))
