#include "import_check.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <map>

#include "failure.h"
#include "path_text.h"
#include "pe_image.h"

namespace {

// The system's own libraries that every Windows from 7 SP1 on carries in System32, once
// updated (ucrtbase came with an update there and is part of Windows 10), in lower case.
// Language runtimes (vcruntime140.dll, msvcp140.dll, libstdc++-6.dll, libgcc_s_seh-1.dll,
// libwinpthread-1.dll) are none of them: they travel with the application, and are what
// a packed build most often lacks. Libraries that only later versions or some editions
// carry (d3d12, the media foundation) are left out.
const char* const every_windows_library[] = {
    "advapi32.dll", "authz.dll",    "avrt.dll",     "bcrypt.dll",     "cabinet.dll",   "cfgmgr32.dll",
    "comctl32.dll", "comdlg32.dll", "credui.dll",   "crypt32.dll",    "d2d1.dll",      "d3d11.dll",
    "d3d9.dll",     "dbghelp.dll",  "dinput8.dll",  "dnsapi.dll",     "dsound.dll",    "dwmapi.dll",
    "dwrite.dll",   "dxgi.dll",     "gdi32.dll",    "gdiplus.dll",    "glu32.dll",     "hid.dll",
    "imm32.dll",    "iphlpapi.dll", "kernel32.dll", "kernelbase.dll", "ksuser.dll",    "mpr.dll",
    "msacm32.dll",  "mscms.dll",    "msi.dll",      "msimg32.dll",    "msvcrt.dll",    "mswsock.dll",
    "ncrypt.dll",   "netapi32.dll", "normaliz.dll", "ntdll.dll",      "odbc32.dll",    "ole32.dll",
    "oleacc.dll",   "oleaut32.dll", "opengl32.dll", "pdh.dll",        "powrprof.dll",  "propsys.dll",
    "psapi.dll",    "rpcrt4.dll",   "secur32.dll",  "setupapi.dll",   "shell32.dll",   "shlwapi.dll",
    "sspicli.dll",  "ucrtbase.dll", "urlmon.dll",   "user32.dll",     "userenv.dll",   "usp10.dll",
    "uxtheme.dll",  "version.dll",  "wevtapi.dll",  "windowscodecs.dll", "winhttp.dll", "wininet.dll",
    "winmm.dll",    "winscard.dll", "winspool.drv", "wintrust.dll",   "wldap32.dll",   "ws2_32.dll",
    "wsock32.dll",  "wtsapi32.dll", "xinput9_1_0.dll",
};

std::string lower_ascii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// The loader adds ".dll" to a name without an extension.
std::string with_extension(const std::string& library) {
    return library.find('.') == std::string::npos ? library + ".dll" : library;
}

// Import names are bytes; those that are no UTF-8 are taken one unit per byte.
std::u16string case_key_of(const std::string& name) {
    std::u16string units;
    if (!utf8_to_utf16(name, units)) units.assign(name.begin(), name.end());
    return windows_case_key(units);
}

std::u16string last_component(const std::u16string& path) {
    size_t slash = path.rfind(u'\\');
    return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool every_windows_has(const std::string& library) {
    std::string name = lower_ascii(with_extension(library));
    // API sets resolve inside the loader to whatever the system holds.
    if (name.compare(0, 11, "api-ms-win-") == 0 || name.compare(0, 7, "ext-ms-") == 0) return true;
    return std::find_if(std::begin(every_windows_library), std::end(every_windows_library),
                        [&](const char* known) { return name == known; }) != std::end(every_windows_library);
}

void warn_about_missing_imports(const std::vector<pack_file>& files) {
    std::vector<std::string> imports;
    try {
        imports = imported_libraries(files[0].source);
    } catch (const failure&) {
        return;  // the first entry passed its checks; a read error shows when it is packed
    }
    std::map<std::u16string, const pack_file*> top, below;
    for (const pack_file& file : files) {
        bool at_top = file.path.find(u'\\') == std::u16string::npos;
        (at_top ? top : below).emplace(windows_case_key(last_component(file.path)), &file);
    }
    std::string first = printable(utf16_to_utf8(files[0].path));
    std::vector<std::u16string> warned;
    for (const std::string& library : imports) {
        std::string name = with_extension(library);
        std::u16string key = case_key_of(name);
        if (every_windows_has(name) || top.count(key) ||
            std::find(warned.begin(), warned.end(), key) != warned.end())
            continue;
        warned.push_back(key);
        auto elsewhere = below.find(key);
        if (elsewhere != below.end())
            std::fprintf(stderr,
                         "tarvix-pack: warning: %s imports %s, which the payload holds only as '%s', in a folder the "
                         "loader does not search; put it at the top of --dir\n",
                         first.c_str(), printable(name).c_str(),
                         printable(utf16_to_utf8(elsewhere->second->path)).c_str());
        else
            std::fprintf(stderr,
                         "tarvix-pack: warning: %s imports %s, which is neither in the payload nor part of Windows; "
                         "it will not start where that library is missing (add it to --dir)\n",
                         first.c_str(), printable(name).c_str());
    }
}
