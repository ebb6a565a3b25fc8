"""The release archives: what they hold, that they come out the same every time, that
the Windows one alone, under Wine, makes a working exe from a library that another
toolchain built (clang and lld-link, no C runtime) with data files beside it, and that
their CMake package makes one from any compiler's build with the Linux one alone."""

import io
import os
import re
import shutil
import subprocess
import tarfile
import zipfile
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
RELEASE = HERE.parents[1] / "scripts" / "release"


@pytest.fixture(scope="module")
def archives(tmp_path_factory):
    build_dir = Path(os.environ["TARVIX_BUILD_DIR"])  # set by ctest
    listing = dict(line.split(" ", 1) for line in (build_dir / "release-files.txt").read_text().splitlines())
    if "tarvix-stub.exe" not in listing:
        pytest.skip("this build makes no launcher stub (target tarvix_stub) to release")
    made = []
    for run in ["first", "second"]:
        out = tmp_path_factory.mktemp(run)
        subprocess.run([RELEASE, "--build-dir", build_dir, out], check=True, capture_output=True)
        made.append({path.name: path.read_bytes() for path in out.iterdir()})
    return listing, made


def test_archives_hold_the_built_files_and_come_out_the_same_twice(archives):
    listing, (first, second) = archives
    version = listing["version"]
    windows, linux = f"tarvix-{version}-windows-x64", f"tarvix-{version}-linux-x86_64"
    assert sorted(first) == [f"{linux}.tar.gz", f"{windows}.zip"]
    assert first == second

    built = {name: Path(path).read_bytes() for name, path in listing.items() if name not in ["version", "targets"]}
    package = ["cmake/tarvixConfig.cmake", "cmake/tarvixConfigVersion.cmake"]
    with zipfile.ZipFile(io.BytesIO(first[f"{windows}.zip"])) as archive:
        assert archive.namelist() == [f"{windows}/{name}" for name in
                                      ["README.txt", *package, "tarvix-pack.exe", "tarvix-stub.exe"]]
        for name in ["tarvix-pack.exe", "tarvix-stub.exe", *package]:
            assert archive.read(f"{windows}/{name}") == built[name]
        readme = archive.read(f"{windows}/README.txt").decode()
        assert f"tarvix {version}" in readme
        for name in archive.namelist():
            assert name.split("/")[-1] in readme, "the README names every file beside it"
        assert b"<longPathAware" in built["tarvix-pack.exe"], "the manifest, stored as it is"
    with tarfile.open(fileobj=io.BytesIO(first[f"{linux}.tar.gz"])) as archive:
        members = {member.name: member for member in archive.getmembers()}
        assert sorted(members) == [linux] + [f"{linux}/{name}" for name in
                                             ["README.txt", "cmake", *package, "tarvix-pack", "tarvix-stub.exe"]]
        assert members[f"{linux}/tarvix-pack"].mode == 0o755
        for name in ["tarvix-pack", "tarvix-stub.exe", *package]:
            assert archive.extractfile(members[f"{linux}/{name}"]).read() == built[name]


def clang_library(out):
    """app.dll from tests/release/app.c: clang for the MSVC target, lld-link, and an import
    library for kernel32 made from a .def file."""
    tools = [["clang", "--target=x86_64-pc-windows-msvc", "-O2", "-fno-builtin", "-Wall", "-Werror",
              "-c", HERE / "app.c", "-o", out / "app.obj"],
             ["llvm-dlltool", "-m", "i386:x86-64", "-d", HERE / "kernel32.def", "-l", out / "kernel32.lib"],
             ["lld-link", "/dll", "/noentry", "/nodefaultlib", "/machine:x64", f"/out:{out / 'app.dll'}",
              out / "app.obj", out / "kernel32.lib"]]
    for command in tools:
        subprocess.run(command, check=True, capture_output=True)
    return out / "app.dll"


def wine(*command):
    """Runs a Windows program under Wine, paths given as Wine's Z: drive names them."""
    def argument(value):
        return "Z:" + str(value.resolve()).replace("/", "\\") if isinstance(value, Path) else value
    return subprocess.run(["wine", *map(argument, command)], capture_output=True,
                          env=dict(os.environ, WINEDEBUG="-all"))


@pytest.fixture(scope="module")
def unpacked(archives, tmp_path_factory):
    """The folders of both archives, unpacked outside the source tree."""
    listing, (made, _) = archives
    out = tmp_path_factory.mktemp("unpacked")
    windows, linux = f"tarvix-{listing['version']}-windows-x64", f"tarvix-{listing['version']}-linux-x86_64"
    with zipfile.ZipFile(io.BytesIO(made[f"{windows}.zip"])) as archive:
        archive.extractall(out)
    with tarfile.open(fileobj=io.BytesIO(made[f"{linux}.tar.gz"])) as archive:
        archive.extractall(out)
    return {"windows": out / windows, "linux": out / linux}


def test_zip_alone_makes_a_working_exe_from_a_clang_library(unpacked, tmp_path):
    packer = unpacked["windows"] / "tarvix-pack.exe"
    files = tmp_path / "files"
    (files / "data").mkdir(parents=True)
    (files / "data" / "greeting.txt").write_bytes(b"hello from the data file\n")
    library = clang_library(tmp_path)

    packed = wine(packer, "exe", "--library", library, "--dir", files, "-o", tmp_path / "app.exe")
    assert packed.returncode == 0, packed.stderr.decode(errors="replace")
    ran = wine(tmp_path / "app.exe", "first argument", "second")
    assert ran.stdout == b"hello from the data file\nargument: first argument\n"
    assert ran.returncode == 7


def test_linux_packer_needs_no_newer_c_library_than_2_31(unpacked):
    packer = unpacked["linux"] / "tarvix-pack"
    symbols = subprocess.run(["objdump", "-T", packer], capture_output=True, text=True)
    if symbols.returncode != 0:
        assert "not a dynamic object" in symbols.stderr, symbols.stderr  # linked statically
    versions = {tuple(map(int, v.split("."))) for v in re.findall(r"GLIBC_([0-9.]+)", symbols.stdout)}
    assert all(version <= (2, 31) for version in versions), sorted(versions)
    assert subprocess.run([packer, "--help"], capture_output=True).returncode == 0


def cmake_project(tmp_path):
    """The project of tests/release/prebuilt with its sources, copied outside the source tree."""
    project = shutil.copytree(HERE / "prebuilt", tmp_path / "project")
    for name in ["app.c", "kernel32.def"]:
        shutil.copy(HERE / name, project)
    return project


def configure(project, build, folder, toolchain="mingw", generator="Ninja", kind="LIBRARY"):
    return subprocess.run(["cmake", "-S", project, "-B", build, "-G", generator, "--toolchain",
                           project / f"{toolchain}.cmake", f"-DCMAKE_PREFIX_PATH={folder}", f"-DKIND={kind}"],
                          capture_output=True, text=True)


@pytest.mark.parametrize("kind", ["LIBRARY", "PROGRAM"])
@pytest.mark.parametrize("toolchain, generator", [("mingw", "Ninja"), ("clang-msvc", "Unix Makefiles")])
def test_cmake_package_packs_any_compilers_build_and_packs_again_when_the_folder_changes(
        unpacked, tmp_path, toolchain, generator, kind):
    packer = unpacked["linux"] / "tarvix-pack"
    build = tmp_path / "build"
    configured = configure(cmake_project(tmp_path), build, unpacked["linux"], toolchain, generator, kind)
    assert configured.returncode == 0, configured.stderr

    def build_exe():
        built = subprocess.run(["cmake", "--build", build], capture_output=True, text=True)
        assert built.returncode == 0, built.stdout + built.stderr
        return build / "app.exe"

    exe = build_exe()
    ran = wine(exe, "first argument", "second")
    assert ran.stdout == b"hello from the data file\nargument: first argument\n", ran.stderr
    assert ran.returncode == 7
    # The texts reach the version record whole, the list separator too.
    assert "Example; Company".encode("utf-16-le") in exe.read_bytes()

    packed_at = exe.stat().st_mtime_ns
    assert build_exe().stat().st_mtime_ns == packed_at, "nothing changed, nothing packed"
    (build / "staging" / "data" / "later.txt").write_text("added\n")
    assert build_exe().stat().st_mtime_ns != packed_at
    assert "data\\later.txt" in subprocess.run([packer, "list", exe], capture_output=True, text=True).stdout


def test_zip_package_on_linux_names_the_archive_to_take(unpacked, tmp_path):
    project = cmake_project(tmp_path)
    configured = configure(project, tmp_path / "build", unpacked["windows"])
    assert configured.returncode != 0
    assert re.search(r"there is no \S+/tarvix-pack: on this machine unpack the release's "
                     r"tarvix-[0-9.]+-linux-x86_64\.tar\.gz", configured.stderr.replace("\n  ", " ")), configured.stderr
