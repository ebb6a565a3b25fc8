"""A tree of about 3,000 files goes through build, list, verify and extract unchanged, and
tarvix-pack.exe under Wine writes the very same payload as the Linux packer."""

import os
import random
import re
from pathlib import Path

import pytest

from conftest import build, decompress, parse_content, split_payload, windows_image

NAME_POOL = ["data", "données", "日本語", "emoji 😀", "Ünïcode", "with space", "dots.in.name",
             "Ωmega", "x"]
EXACT_SIZES = [0, 1, 32768, 32769, 100000, 1 << 20, 3_000_000]


def file_data(rng, size):
    if rng.random() < 0.5:
        return rng.randbytes(size)
    pattern = rng.randbytes(rng.randint(1, 300))
    return (pattern * (size // len(pattern) + 1))[:size]


def random_size(rng):
    roll = rng.random()
    if roll < 0.05:
        return 0
    if roll < 0.45:
        return rng.randint(1, 200)
    if roll < 0.90:
        return rng.randint(200, 5000)
    return rng.randint(5000, 40000)


def make_tree(root, seed=7):
    rng = random.Random(seed)
    directories = [root]
    for number in range(150):
        parent = rng.choice(directories)
        if len(parent.relative_to(root).parts) >= 6:
            parent = root
        directory = parent / f"{rng.choice(NAME_POOL)} d{number}"
        directory.mkdir()
        directories.append(directory)
    for number in range(3000):
        size = EXACT_SIZES[number] if number < len(EXACT_SIZES) else random_size(rng)
        name = f"{rng.choice(NAME_POOL)} f{number}{rng.choice(['', '.txt', '.bin', '.dll'])}"
        (rng.choice(directories) / name).write_bytes(file_data(rng, size))
    (root / "empty d0" / "empty d1").mkdir(parents=True)
    (root / "data link target").write_bytes(b"reached through a link")
    (root / "links").mkdir()
    os.symlink("../data link target", root / "links" / "to target.txt")


def expected_entries(root):
    """(payload path, data) of every file under root in payload order."""
    entries = []
    for directory, _, files in os.walk(root):
        for name in files:
            path = Path(directory, name)
            relative = path.relative_to(root).as_posix().replace("/", "\\")
            entries.append((relative, path.read_bytes()))
    return sorted(entries, key=lambda entry: entry[0].encode("utf-8"))


@pytest.fixture(scope="module")
def packed(tmp_path_factory, pack):
    base = tmp_path_factory.mktemp("round_trip")
    tree = base / "tree données"  # an argument beyond the ANSI code page
    tree.mkdir()
    make_tree(tree)
    library = base / "app.dll"
    library.write_bytes(windows_image(extra=random.Random(3).randbytes(50000)))
    payload = base / "payload.bin"
    build(pack, library, payload, directory=tree, level=3)
    entries = [("app.dll", library.read_bytes())] + expected_entries(tree)
    return base, payload, entries


def test_list_verify_and_extract_agree_with_the_tree(any_pack, packed, tmp_path):
    pack = any_pack
    _, payload, entries = packed
    total = sum(len(data) for _, data in entries)

    listing = pack("list", payload)
    assert listing.returncode == 0, listing.stderr
    lines = listing.stdout.decode().splitlines()
    assert lines[-2:] == [f"{len(entries)} files, {total} bytes", "first entry: library"]
    shown = [re.fullmatch(r" *(\d+)  (.+)", line).groups() for line in lines[:-2]]
    assert shown == [(str(len(data)), path) for path, data in entries]

    verified = pack("verify", payload)
    assert verified.returncode == 0, verified.stderr
    assert verified.stdout.decode() == f"ok: {len(entries)} files, {total} bytes\nfirst entry: library\n"

    out = tmp_path / "extracted"
    extracted = pack("extract", payload, out)
    assert extracted.returncode == 0, extracted.stderr
    found = {p.relative_to(out).as_posix(): p.read_bytes() for p in out.rglob("*") if p.is_file()}
    assert found == {path.replace("\\", "/"): data for path, data in entries}
    assert not (out / "empty d0").exists()


def test_content_decoded_independently_holds_the_library_then_the_tree(packed):
    _, payload, entries = packed
    content = decompress(split_payload(payload.read_bytes()))
    decoded = parse_content(content)
    assert decoded[0][0] == "app.dll"
    assert decoded == entries


def test_output_is_the_same_for_every_build_worker_count_and_platform(any_pack, packed, tmp_path):
    base, payload, _ = packed
    for workers in ["1", "2"]:
        again = build(any_pack, base / "app.dll", tmp_path / f"again{workers}.bin", directory=base / "tree données",
                      level=3, env={"TARVIX_PACK_WORKERS": workers})
        assert again == payload.read_bytes(), f"differs with {workers} worker(s)"
