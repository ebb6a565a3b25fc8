"""examples/consumer, a project of its own, makes its one-file executable through
add_subdirectory of this source tree and through find_package from an install prefix:
each from a fresh build directory, with the toolchain file as the only setting (and the
prefix for find_package)."""

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


def run(*command):
    done = subprocess.run([str(part) for part in command], capture_output=True, text=True)
    assert done.returncode == 0, f"{' '.join(map(str, command))}\n{done.stdout}{done.stderr}"


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
    configure = [cmake, "-S", EXAMPLE / route, "-B", build, "-G", "Ninja",
                 "--toolchain", ROOT / "cmake" / "mingw-w64-x86_64.cmake"]
    if route == "with_package":
        prefix = work / "prefix"
        run(cmake, "--install", main_build, "--prefix", prefix)
        configure.append(f"-DCMAKE_PREFIX_PATH={prefix}")
    run(*configure)
    run(cmake, "--build", build, "-j", "2")
    if route == "with_package":
        rules = (build / "build.ninja").read_text().replace(str(work), "")
        for tree in (main_build, str(ROOT / "src")):
            assert tree not in rules, f"the installed package refers to {tree}"

    result = subprocess.run(["wine", build / "consumer.exe", "one", "two words"], stdin=subprocess.DEVNULL,
                            capture_output=True)
    assert result.returncode == 2, result
    assert result.stdout.decode().replace("\r\n", "\n") == (
        "consumer: Packed by a project of its own.\nargument 1: one\nargument 2: two words\n")


def test_readme_shows_both_routes_as_the_example_has_them():
    readme = (ROOT / "README.md").read_text()
    for route in ROUTES:
        assert (EXAMPLE / route / "CMakeLists.txt").read_text() in readme, route
