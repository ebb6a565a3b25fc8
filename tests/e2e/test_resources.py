"""What the one-file executables carry besides their payload: the version record, the
icon and the manifest, and the shape of the image."""

import re
import struct
import subprocess
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pefile
import pytest

from conftest import ROUTES, WINDOWED_ROUTES, built_file

RT_ICON, RT_GROUP_ICON, RT_MANIFEST = 3, 14, 24
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
WINDOWS_SETTINGS_2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"
WINDOWS_10 = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"
KNOWN_OS_IDS = {WINDOWS_10, "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{e2011457-1546-43c5-a5fe-008deee3d3f0}"}
# SHELL32, ADVAPI32 and USERENV are left out on purpose: each costs every start its
# loading, so the launcher looks them up at run time, only where a start needs them.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ntdll.dll", "user32.dll"}


@pytest.fixture(scope="module")
def hello():
    return pefile.PE(str(built_file("TARVIX_E2E_HELLO_EXE")))


def resources_of_type(pe, type_id):
    for resource_type in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if resource_type.id == type_id:
            return [language for name in resource_type.directory.entries for language in name.directory.entries]
    return []


def resource_bytes(pe, resource):
    return pe.get_data(resource.data.struct.OffsetToData, resource.data.struct.Size)


def version_strings(pe):
    strings = {}
    for file_info in pe.FileInfo[0]:
        if file_info.Key == b"StringFileInfo":
            for table in file_info.StringTable:
                strings.update({key.decode(): value.decode() for key, value in table.entries.items()})
    return strings


def test_version_record_holds_the_build_constants(hello):
    strings = version_strings(hello)
    assert strings["CompanyName"] == "Example Company"
    assert strings["ProductName"] == "Hello Example"
    assert strings["FileVersion"] == "1.2.3.4"
    assert strings["ProductVersion"] == "1.2.3.4"
    fixed = hello.VS_FIXEDFILEINFO[0]
    assert (fixed.FileVersionMS, fixed.FileVersionLS) == (1 << 16 | 2, 3 << 16 | 4)
    assert (fixed.ProductVersionMS, fixed.ProductVersionLS) == (1 << 16 | 2, 3 << 16 | 4)


def test_any_company_and_product_text_reaches_the_version_record_and_the_constants(probe_exe):
    # tests/e2e/CMakeLists.txt gives the probe these, on both ways of making it.
    company, product = 'Müller & Søn "Q" C:\\x', "Prøbe Ạ"
    probe = pefile.PE(str(probe_exe))
    strings = version_strings(probe)
    assert (strings["CompanyName"], strings["ProductName"]) == (company, product)
    # What {COMPANY} and {PRODUCT} expand to: wide constants outside the resources.
    data = b"".join(section.get_data() for section in probe.sections if section.Name.rstrip(b"\0") != b".rsrc")
    for text in (company, product):
        assert text.encode("utf-16-le") + b"\0\0" in data, text


def test_icon_group_names_icons_that_exist(hello):
    [group] = resources_of_type(hello, RT_GROUP_ICON)
    data = resource_bytes(hello, group)
    reserved, kind, count = (int.from_bytes(data[at:at + 2], "little") for at in (0, 2, 4))
    assert (reserved, kind) == (0, 1) and count >= 1
    # Each 14-byte entry ends with the id of its RT_ICON resource.
    icon_ids = {int.from_bytes(data[6 + 14 * index + 12:6 + 14 * index + 14], "little") for index in range(count)}
    present = {resource_type.id for resource_type in hello.DIRECTORY_ENTRY_RESOURCE.entries}
    assert RT_ICON in present
    icon_names = next(entry for entry in hello.DIRECTORY_ENTRY_RESOURCE.entries if entry.id == RT_ICON)
    assert icon_ids <= {name.id for name in icon_names.directory.entries}


def test_manifest_asks_for_the_invokers_level_long_paths_and_common_controls_6(hello):
    [manifest] = resources_of_type(hello, RT_MANIFEST)
    root = ElementTree.fromstring(resource_bytes(hello, manifest))
    assert root.tag == ASM_V1 + "assembly"

    [level] = root.iter(ASM_V3 + "requestedExecutionLevel")
    assert (level.get("level"), level.get("uiAccess")) == ("asInvoker", "false")
    [long_paths] = root.iter(WINDOWS_SETTINGS_2016 + "longPathAware")
    assert long_paths.text.strip() == "true"
    os_ids = {element.get("Id") for element in root.iter(COMPATIBILITY + "supportedOS")}
    assert WINDOWS_10 in os_ids and os_ids <= KNOWN_OS_IDS

    identities = [element for dependency in root.iter(ASM_V1 + "dependentAssembly")
                  for element in dependency.iter(ASM_V1 + "assemblyIdentity")]
    controls = [identity for identity in identities if identity.get("name", "").endswith(".Common-Controls")]
    assert len(controls) == 1
    assert (controls[0].get("type"), controls[0].get("version")) == ("win32", "6.0.0.0")
    assert controls[0].get("publicKeyToken") == "6595b64144ccf1df"


@pytest.mark.parametrize("variable", ["TARVIX_E2E_HELLO_EXE", ROUTES["linked"][1], ROUTES["stub"][1]],
                         ids=["hello", "cached-linked", "cached-stub"])
def test_image_is_file_aligned_to_4096_and_needs_only_system_libraries(variable):
    image = pefile.PE(str(built_file(variable)))
    assert image.OPTIONAL_HEADER.FileAlignment == 4096
    imported = {entry.dll.decode().lower() for entry in image.DIRECTORY_ENTRY_IMPORT}
    imported |= {entry.dll.decode().lower() for entry in getattr(image, "DIRECTORY_ENTRY_DELAY_IMPORT", [])}
    assert {"kernel32.dll", "msvcrt.dll"} <= imported
    assert imported <= SYSTEM_DLLS, "libraries beyond the system's, or ones a start need not load"


def all_resources(pe):
    return {(kind.id, name.id, language.id): resource_bytes(pe, language)
            for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries for name in kind.directory.entries
            for language in name.directory.entries}


def test_stub_made_executable_carries_the_resources_of_the_linked_one():
    linked, made = (pefile.PE(str(built_file(variable))) for variable in ROUTES["linked"][0:1] + ROUTES["stub"][0:1])
    assert all_resources(made) == all_resources(linked)
    assert made.OPTIONAL_HEADER.CheckSum == made.generate_checksum()


@pytest.mark.parametrize("kind", [[], ["--console"], ["--windowed"]], ids=["default", "console", "windowed"])
def test_two_packs_of_the_same_input_are_byte_identical_and_the_windowed_kind_differs_in_its_subsystem(
        tmp_path, kind):
    # The build made the console one from these inputs already.
    output = tmp_path / "probe.exe"
    subprocess.run([built_file("TARVIX_E2E_PACKER"), "exe", "--stub", built_file("TARVIX_E2E_STUB_EXE"),
                    "--library", built_file("TARVIX_E2E_PROBE_DLL"), "--dir", built_file("TARVIX_E2E_PROBE_FILES"),
                    "--version", "0.1", "--company", 'Müller & Søn "Q" C:\\x', "--product", "Prøbe Ạ", *kind,
                    "-o", output], check=True)
    made, console = output.read_bytes(), built_file("TARVIX_E2E_STUB_PROBE_EXE").read_bytes()
    pe = pefile.PE(data=made, fast_load=True)
    header = pe.OPTIONAL_HEADER
    checksum = set(range(header.get_field_absolute_offset("CheckSum"), header.get_field_absolute_offset("CheckSum") + 4))
    differing = {at for at, (one, other) in enumerate(zip(made, console)) if one != other} - checksum
    windowed = kind == ["--windowed"]
    assert len(made) == len(console)
    assert differing == ({header.get_field_absolute_offset("Subsystem")} if windowed else set())
    assert header.Subsystem == (2 if windowed else 3) and header.CheckSum == pe.generate_checksum()


@pytest.mark.parametrize("route", list(WINDOWED_ROUTES))
def test_windowed_kind_is_the_console_one_with_the_gui_subsystem(route):
    console, windowed = (pefile.PE(str(built_file(name))) for name in (ROUTES[route][0], WINDOWED_ROUTES[route]))
    assert (console.OPTIONAL_HEADER.Subsystem, windowed.OPTIONAL_HEADER.Subsystem) == (3, 2)
    # The same start-up, whose runtime shows no boxes of its own; no import more (no user32).
    shapes = [(pe.OPTIONAL_HEADER.AddressOfEntryPoint, [(e.dll, [i.name for i in e.imports])
                                                        for e in pe.DIRECTORY_ENTRY_IMPORT]) for pe in (windowed, console)]
    assert shapes[0] == shapes[1]


def files_below(root):
    return {str(path.relative_to(root)): path.read_bytes() for path in root.rglob("*") if path.is_file()}


def test_list_verify_and_extract_read_the_executable(request, probe_exe, first_entry, tmp_path):
    def pack(*args):
        packer = built_file("TARVIX_E2E_PACKER")
        return subprocess.run([packer, *args], capture_output=True, text=True, check=True).stdout

    name, kind = first_entry.name, "library" if first_entry.suffix == ".dll" else "program"
    expected = {name: first_entry.read_bytes(), **files_below(built_file("TARVIX_E2E_PROBE_FILES"))}
    version = re.search(r"^project\(tarvix VERSION ([\d.]+)", (Path(__file__).parents[2] / "CMakeLists.txt").read_text(), re.M)[1]
    # Both launchers say their version; the stub's settings travel in its record, the
    # linked one's texts in its version record.
    stub_made = request.node.callspec.params["probe_exe"].startswith("stub")
    settings = ["company: Müller & Søn \"Q\" C:\\x", "product: Prøbe Ạ", "version: 0.1",
                "cached: no" if stub_made else "cached: compiled in"]
    listed = pack("list", probe_exe).splitlines()
    assert listed[0] == f"{len(expected[name]):12}  {name}"
    assert listed[-len(settings) - 2:] == [f"first entry: {kind}", f"launcher: {version}", *settings]
    assert pack("verify", probe_exe).splitlines() == [f"ok: 5 files, {sum(map(len, expected.values()))} bytes",
                                                      f"first entry: {kind}", f"launcher: {version}", *settings]
    pack("extract", probe_exe, tmp_path / "out")
    assert files_below(tmp_path / "out") == expected


# A damaged version record gives what can be read of it, and the payload still verifies.
@pytest.mark.parametrize("key, length, settings", [
    ("VS_VERSION_INFO", 0xFFFF, ["settings: compiled in"]),
    ("ProductName", 0xFFFF, ["company: Müller & Søn \"Q\" C:\\x", "cached: compiled in"]),
    ("CompanyName", 3, ["settings: compiled in"]),
])
def test_damaged_version_record_of_a_linked_executable_is_read_within_it(tmp_path, key, length, settings):
    image = bytearray(built_file(ROUTES["linked"][0]).read_bytes())
    block = image.index(key.encode("utf-16-le") + b"\0\0") - 6
    struct.pack_into("<H", image, block, length)
    (tmp_path / "damaged.exe").write_bytes(image)
    verified = subprocess.run([built_file("TARVIX_E2E_PACKER"), "verify", tmp_path / "damaged.exe"],
                              capture_output=True, text=True)
    assert verified.returncode == 0, verified.stderr
    assert verified.stdout.splitlines()[3:] == settings
