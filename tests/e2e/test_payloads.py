"""Launchers with other payloads than the build's: made from the carrier with the real
packer or by hand, for large trees, damaged payloads and applications that cannot run."""

import re

import pytest

from conftest import (END_MARKER, TARGET_NAME, attached_payload, deterministic_bytes, entry, target_directories,
                      windows_path, zstd_frame)

HEADER_MISSING = "Error, couldn't find attached data header."
DECODE_FAILED = "Error, couldn't decode attached data."
NO_FILES = "Error, attached data holds no files."
UNSAFE = "Error, attached data names a file outside the target directory."

SPECIAL_SIZES = {"sizes\\empty.bin": 0, "sizes\\one_chunk.bin": 32768, "sizes\\one_chunk_and_a_byte.bin": 32769,
                 "sizes\\four_chunks.bin": 100000}


def make_tree(root, count=3000):
    """count files in nested directories, the same at every call; returns {relative path
    with backslashes: content}."""
    files = {}
    for index, (name, size) in enumerate(SPECIAL_SIZES.items()):
        files[name] = deterministic_bytes(index, size)
    files["na\u00efve name with blanks.txt"] = b"text\r\n"
    for index in range(count - len(files)):
        levels = ["d%d" % (index % 10), "e%d" % (index % 7), "f%d" % (index % 3)][:index % 4]
        files["\\".join([*levels, "file_%04d.bin" % index])] = deterministic_bytes(1000 + index, index * 7919 % 1500)
    for relative, data in files.items():
        path = root.joinpath(*relative.split("\\"))
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    return files


def read_tree(root):
    return {"\\".join(path.relative_to(root).parts): path.read_bytes()
            for path in root.rglob("*") if path.is_file()}


@pytest.fixture(scope="module")
def probe_dll(paths):
    return paths.probe_dll.read_bytes()


def test_three_thousand_files_are_extracted_byte_for_byte_and_removed(paths, pack, make_launcher, run_launcher,
                                                                      tmp_path):
    tree = make_tree(tmp_path / "tree")
    assert len(tree) == 3000
    launcher = make_launcher(pack(paths.probe_dll, tmp_path / "tree", tmp_path), "three_thousand")
    temp = tmp_path / "temp"
    temp.mkdir()
    copy = tmp_path / "copy"

    run = run_launcher(launcher, ["--copy-tree", windows_path(copy)], temp=temp)

    assert run.exit_code == 0, run
    assert run.one("copied")["files"] == 3001
    copied = read_tree(copy)
    assert copied.pop("probe_app.dll") == paths.probe_dll.read_bytes()
    assert sorted(copied) == sorted(tree)
    assert [name for name in tree if copied[name] != tree[name]] == []
    assert run.target_directory.parent == temp
    assert target_directories(temp) == []


@pytest.mark.parametrize("window_descriptor", [0x38, 0x88], ids=["128KiB", "128MiB"])
def test_hand_made_payload_runs(probe_dll, make_launcher, run_launcher, tmp_path, window_descriptor):
    # Shows that payloads made here are sound, so that the damaged ones below fail for
    # their damage alone; 0x88 is the largest window the decoder takes. A path of 400
    # units goes beyond MAX_PATH wherever the directory lies (Wine itself has no such limit).
    deep = "\\".join(["deep"] + [c * 98 for c in "abc"] + ["d" * 94 + ".txt"])
    assert len(deep) == 400
    files = {"probe_app.dll": probe_dll, "data\\x.txt": b"0123456789", deep: b"deep"}
    content = b"".join(entry(path, data) for path, data in files.items()) + END_MARKER
    launcher = make_launcher(attached_payload(zstd_frame(content, window_descriptor)), "hand_made")
    copy = tmp_path / "copy"
    run = run_launcher(launcher, ["--copy-tree", windows_path(copy), "--exit", "9"], temp=tmp_path)
    assert run.exit_code == 9, run
    assert read_tree(copy) == files
    assert target_directories(tmp_path) == []


def damaged_payloads(probe_dll):
    content = entry("probe_app.dll", probe_dll) + entry("data\\x.txt", b"0123456789") + END_MARKER
    truncated_entry = entry("probe_app.dll", probe_dll) + "data\\x.txt".encode("utf-16-le") + b"\0\0" + (
        (1000).to_bytes(8, "little") + b"0123456789")
    return {
        # name: (payload, message); the last three fail after files have been written
        "header-KAZ": (attached_payload(zstd_frame(content), b"KAZ"), HEADER_MISSING),
        "header-KA0": (attached_payload(zstd_frame(content), b"KA\0"), HEADER_MISSING),
        "frame-magic": (attached_payload(zstd_frame(content, magic=b"\x28\xb5\x2f\xfe")), DECODE_FAILED),
        "reserved-block": (attached_payload(zstd_frame(content, block_type=3)), DECODE_FAILED),
        "window-over-limit": (attached_payload(zstd_frame(content, 0x89)), DECODE_FAILED),
        "size-beyond-content": (attached_payload(zstd_frame(truncated_entry)), DECODE_FAILED),
        "no-end-marker": (attached_payload(zstd_frame(content[:-2])), DECODE_FAILED),
        "no-entries": (attached_payload(zstd_frame(END_MARKER)), NO_FILES),
    }


@pytest.mark.parametrize("name", list(damaged_payloads(b"")))
def test_damaged_payload_ends_with_its_message_and_exit_code_2(probe_dll, make_launcher, run_launcher, tmp_path,
                                                               name):
    payload, message = damaged_payloads(probe_dll)[name]
    run = run_launcher(make_launcher(payload, name), ["--exit", "9"], temp=tmp_path)

    assert run.exit_code == 2
    assert (run.lines, run.stderr) == ([message], "")
    assert run.events == [], "no child may start"
    # Whatever was written before the failure goes with the directory.
    assert list(tmp_path.iterdir()) == []


# The prebuilt stub without a payload section ends as a damaged payload does.
@pytest.mark.parametrize("stub", [False, True], ids=["damaged header", "stub without payload"])
def test_header_message_reaches_standard_output_redirected_to_a_file(paths, probe_dll, make_launcher, run_launcher,
                                                                     tmp_path, stub):
    content = entry("probe_app.dll", probe_dll) + END_MARKER
    launcher = paths.stub_exe if stub else make_launcher(attached_payload(zstd_frame(content), b"KAX"), "header")
    output = tmp_path / "stdout.txt"
    temp = tmp_path / "temp"
    temp.mkdir()
    run = run_launcher(launcher, [], temp=temp, stdout_file=output)
    assert run.exit_code == 2
    assert output.read_bytes().replace(b"\r\n", b"\n") == (HEADER_MISSING + "\n").encode()
    assert run.stderr == ""
    assert target_directories(temp) == []


def library_alone(name, data):
    """A payload of one library, which the packer would refuse to make."""
    return attached_payload(zstd_frame(entry(name, data) + END_MARKER))


def test_library_without_run_code_ends_the_child_and_the_directory_goes(paths, make_launcher, run_launcher,
                                                                       tmp_path):
    temp = tmp_path / "temp"
    temp.mkdir()
    payload = library_alone("no_run_code.dll", paths.no_run_code_dll.read_bytes())
    launcher = make_launcher(payload, "no_run_code")
    run = run_launcher(launcher, [], temp=temp)
    assert run.exit_code == 2
    assert (run.lines, run.stderr) == (["Error, DLL entry point not found."], "")
    assert target_directories(temp) == []


def test_library_that_cannot_be_loaded_ends_the_child_and_the_directory_goes(make_launcher, run_launcher, tmp_path):
    temp = tmp_path / "temp"
    temp.mkdir()
    payload = library_alone("app.dll", b"This is text, not a library module.\n")
    run = run_launcher(make_launcher(payload, "text_library"), [], temp=temp)
    assert run.exit_code == 2
    assert run.lines == []
    assert re.fullmatch(r"Error, load DLL\. \(\[Error [1-9]\d*\] [^\r\n]*\)\n"
                        r"Error, the file that failed is '.*\\app\.dll'\.\n", run.stderr), run.stderr
    assert target_directories(temp) == []


def test_directory_part_naming_a_file_fails_to_open(probe_dll, make_launcher, run_launcher, tmp_path):
    content = entry("probe_app.dll", probe_dll) + entry("a", b"file") + entry("a\\b.txt", b"b") + END_MARKER
    run = run_launcher(make_launcher(attached_payload(zstd_frame(content)), "file_as_directory"), [],
                       temp=tmp_path)
    assert run.exit_code == 2
    failed = re.fullmatch(r"Error, failed to open '(.*)\\a\\b\.txt' for writing\.\n", run.stderr)
    assert failed and run.lines == [], run
    assert TARGET_NAME.fullmatch(failed.group(1).rsplit("\\", 1)[1]), failed.group(1)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("name", ["sub\\con.txt", "NUL", "Com1.log", "lpt\u00b9", "CONOUT$", "aux .txt", None])
def test_device_name_is_refused_before_anything_of_it_is_written(probe_dll, make_launcher, run_launcher, tmp_path,
                                                                 name):
    # Names that only begin like a device are files like any other.
    near_misses = {"console.txt": b"1", "com10\\nul_x.txt": b"2"}
    content = entry("probe_app.dll", probe_dll) + b"".join(entry(path, data) for path, data in near_misses.items())
    content += (entry(name, b"bytes for a device") if name else b"") + END_MARKER
    temp, copy = tmp_path / "temp", tmp_path / "copy"
    temp.mkdir()
    run = run_launcher(make_launcher(attached_payload(zstd_frame(content)), "device"), ["--copy-tree",
                       windows_path(copy)], temp=temp)
    if name is None:
        assert run.exit_code == 0 and read_tree(copy) == {"probe_app.dll": probe_dll, **near_misses}, run
    else:
        assert (run.exit_code, run.lines, run.stderr, run.events) == (2, [UNSAFE], "", []), run
    assert list(temp.iterdir()) == []
