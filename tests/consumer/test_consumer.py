"""examples/consumer, a project of its own, makes its one-file executable through
add_subdirectory of this source tree and through find_package from an install prefix:
each from a fresh build directory, with the toolchain file as the only setting (and the
prefix for find_package, whose toolchain file is the installed one)."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
EXAMPLE = ROOT / "examples" / "consumer"
ROUTES = ["with_source", "with_package"]


def setting(name):
    value = os.environ.get(name)
    if not value:
        pytest.fail(f"{name} is not set; run this test through ctest")
    return value


def run(*command, fails=False):
    done = subprocess.run([str(part) for part in command], capture_output=True, text=True)
    assert (done.returncode != 0) == fails, f"{' '.join(map(str, command))}\n{done.stdout}{done.stderr}"
    return done.stdout + done.stderr


@pytest.fixture(scope="module")
def work():
    directory = Path(setting("TARVIX_CONSUMER_WORK"))
    shutil.rmtree(directory, ignore_errors=True)
    directory.mkdir(parents=True)
    return directory


@pytest.mark.parametrize("route", ROUTES)
def test_route_builds_an_executable_that_runs(work, route):
    cmake, main_build = setting("TARVIX_CONSUMER_CMAKE"), setting("TARVIX_CONSUMER_MAIN_BUILD")
    build = work / route
    prefix = work / "prefix"
    configure = [cmake, "-S", EXAMPLE / route, "-B", build, "-G", "Ninja", "--toolchain",
                 (ROOT / "cmake" if route == "with_source" else prefix / "lib" / "cmake" / "tarvix")
                 / "mingw-w64-x86_64.cmake"]
    if route == "with_package":
        run(cmake, "--install", main_build, "--prefix", prefix)
        configure.append(f"-DCMAKE_PREFIX_PATH={prefix}")
    assert "Warning" not in run(*configure)
    run(cmake, "--build", build, "-j", "2")
    if route == "with_package":
        rules = (build / "build.ninja").read_text().replace(str(work), "")
        for tree in (main_build, str(ROOT / "src")):
            assert tree not in rules, f"the installed package refers to {tree}"
        # Built again from nothing, the same bytes; a file added later is packed too.
        first = (build / "consumer.exe").read_bytes()
        run(cmake, "--build", build, "--target", "clean")
        run(cmake, "--build", build)
        assert (build / "consumer.exe").read_bytes() == first
        (build / "staging" / "added.txt").write_text("added")
        run(cmake, "--build", build)
        assert "added.txt" in run(prefix / "bin" / "tarvix-pack", "list", build / "consumer.onefile" / "payload.bin")

    result = subprocess.run(["wine", build / "consumer.exe", "one", "two words"], stdin=subprocess.DEVNULL,
                            capture_output=True)
    assert result.returncode == 2, result
    assert result.stdout.decode().replace("\r\n", "\n") == (
        "consumer: Packed by a project of its own.\nargument 1: one\nargument 2: two words\n")


def test_readme_shows_both_routes_as_the_example_has_them():
    readme = (ROOT / "README.md").read_text()
    for route in ROUTES:
        assert (EXAMPLE / route / "CMakeLists.txt").read_text() in readme, route


def test_a_fetched_tree_says_how_to_name_zstd_and_a_writer_left_out_of_depends_is_warned_of(work):
    cmake = setting("TARVIX_CONSUMER_CMAKE")
    project = work / "fetching"
    shutil.copytree(ROOT, project / "tarvix", ignore=shutil.ignore_patterns(".deps", "build", ".git"))

    def write_project(call):
        (project / "CMakeLists.txt").write_text(f"""cmake_minimum_required(VERSION 3.25)
project(fetching LANGUAGES CXX)
include(FetchContent)
FetchContent_Declare(tarvix SOURCE_DIR "${{CMAKE_CURRENT_SOURCE_DIR}}/tarvix")
FetchContent_MakeAvailable(tarvix)
add_library(app SHARED "{EXAMPLE / 'app.cpp'}")
add_library(plugin SHARED "{EXAMPLE / 'app.cpp'}")
set_target_properties(app plugin PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${{CMAKE_BINARY_DIR}}/staging")
{call}
""")

    write_project('tarvix_add_onefile(fetching LIBRARY app DIRECTORY "${CMAKE_BINARY_DIR}/staging")')
    configure = [cmake, "-S", project, "-B", project / "build", "-G", "Ninja",
                 "--toolchain", ROOT / "cmake" / "mingw-w64-x86_64.cmake"]
    assert "pass -DTARVIX_ZSTD_SOURCE=<zstd source tree>" in " ".join(run(*configure, fails=True).split())
    configure.append(f"-DTARVIX_ZSTD_SOURCE={ROOT / '.deps' / 'zstd'}")
    output = " ".join(run(*configure).split())
    assert "target 'plugin' writes into DIRECTORY" in output and "'app'" not in output, output

    # What would be packed into the next build, or a cache below every working directory.
    for call, message in [
        ('tarvix_add_onefile(fetching LIBRARY app DIRECTORY "${CMAKE_BINARY_DIR}")', "is packed in"),
        ('tarvix_add_onefile(fetching LIBRARY app DIRECTORY "${CMAKE_BINARY_DIR}/staging")\n'
         'set_target_properties(fetching PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/staging/bin")',
         "fetching.exe would be written into DIRECTORY"),
        ('tarvix_add_onefile(fetching LIBRARY app CACHED CACHE_DIRECTORY "{COMPANY}\\\\cache")',
         "is not an absolute path once expanded"),
    ]:
        write_project(call)
        assert message in " ".join(run(*configure, fails=True).split()), call
