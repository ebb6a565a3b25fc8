// The attached payload's layout and the rule for the names it carries: the one
// definition that the launcher (wchar_t, Windows) and the packer (char16_t, the build
// machine) both compile. Plain constants and inline functions only, no library types.
//
//   "KAY" | one zstd frame | 00 00 00 00 | u64: length of everything before it
//
// The frame decodes to entries followed by the end marker:
//   entry:      path (UTF-16LE units, "\" separated, relative) | 0x0000 | u64 size | data
//   end marker: a lone 0x0000 unit where the next path would begin
// The first entry is the application, at the top level: a library exporting run_code or,
// for a program payload, a program that the launcher starts as its child. Integers are
// little-endian. The launcher knows the payload's size from the linker and reads it
// forwards only; the four zeros and the trailing length let the packer's verify prove
// that one frame fills the room between header and end exactly.
#pragma once

#include <stddef.h>
#include <stdint.h>

inline constexpr unsigned char payload_header[3] = {'K', 'A', 'Y'};
inline constexpr size_t payload_header_size = sizeof payload_header;
inline constexpr size_t payload_gap_size = 4;
inline constexpr size_t payload_trailer_size = 8;

// Longest path in UTF-16 units, its 0x0000 terminator not counted.
inline constexpr size_t payload_path_max_units = 1023;
inline constexpr uint16_t payload_separator = 0x5C;
inline constexpr uint16_t path_terminator_unit = 0;
inline constexpr size_t entry_size_bytes = 8;  // unsigned
inline constexpr uint16_t end_marker_unit = 0;
inline constexpr size_t end_marker_size = 2;

// An executable made from the prebuilt stub carries its payload in a section of this
// name: read-only initialized data of the image, as the linked payload is. The section
// begins with the settings that an executable made by CMake has compiled in, then holds
// the payload itself, byte for byte as above:
//   offset 0    u8[8]  payload_settings_magic
//   offset 8    u32    record size in bytes, a multiple of 8: the payload begins there
//   offset 12   u32    the payload's kind: payload_kind_library or payload_kind_program;
//                      any other value is refused, so that a launcher that knows only
//                      libraries never loads a program as one
//   offset 16   u64    payload size in bytes
//   offset 24   the texts, UTF-16LE, each ending in a 0x0000 unit, in this order:
//               company, product, version (a.b.c.d), cache directory template (empty:
//               extract afresh at every start), payload digest (the first 16 lowercase
//               hex digits of the payload's SHA-256)
//               then zero bytes up to the record size
// The section may be longer than record and payload (file alignment): the rest is zeros.
inline constexpr char payload_section_name[8] = {'.', 't', 'a', 'r', 'v', 'i', 'x', 0};
inline constexpr unsigned char payload_settings_magic[8] = {'T', 'V', 'X', 'S', 'E', 'T', '0', '1'};
inline constexpr size_t payload_settings_fixed_size = 24;
inline constexpr size_t payload_settings_text_count = 5;
// Longest text in UTF-16 units, its 0x0000 terminator not counted.
inline constexpr size_t payload_settings_text_max_units = 1023;
inline constexpr size_t payload_digest_units = 16;
inline constexpr uint32_t payload_kind_library = 0;  // the first entry exports run_code
inline constexpr uint32_t payload_kind_program = 1;  // the first entry is a 64-bit program

// Every launcher carries this text followed by its version (letters, digits, '.', '+',
// '-') and a zero byte in its read-only data, so that the packer's list and verify can
// say which launcher an executable holds; the stub has no version record of its own.
#define TARVIX_LAUNCHER_VERSION_MARKER "tarvix launcher "

// The completion record at the top of a cached executable's cache directory, which the
// launcher writes after the payload: no entry at the top level may take its name.
inline constexpr char cache_record_name[] = ".tarvix-complete";

// The largest window the launcher's decoder takes (zstd's default limit for decoding).
inline constexpr int payload_max_window_log = 27;

// Whether name[0..length) spells word in ASCII letters of either case.
template <typename unit>
constexpr bool letters_match(const unit* name, size_t length, const char* word) {
    size_t i = 0;
    for (; word[i] != 0; ++i) {
        if (i == length) return false;
        unit c = name[i];
        char w = word[i];
        if (c >= 'a' && c <= 'z') c = static_cast<unit>(c - 'a' + 'A');
        if (w >= 'a' && w <= 'z') w = static_cast<char>(w - 'a' + 'A');
        if (c != static_cast<unit>(w)) return false;
    }
    return i == length;
}

// Whether Windows takes the path component name[0..length) for a device: CON, PRN, AUX,
// NUL, CONIN$, CONOUT$, COM or LPT with a digit (or superscript 1, 2, 3), in any letter
// case, whatever follows the first dot and with blanks before it ignored. Opening
// "sub\con.txt" reaches the console, never a file, so no entry may be named so.
template <typename unit>
constexpr bool is_device_name(const unit* name, size_t length) {
    size_t base = 0;
    while (base < length && name[base] != '.') ++base;
    while (base > 0 && name[base - 1] == ' ') --base;
    const char* words[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* word : words) {
        if (letters_match(name, base, word)) return true;
    }
    if (base != 4 || !(letters_match(name, 3, "COM") || letters_match(name, 3, "LPT"))) return false;
    unit digit = name[3];
    return (digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

// Whether path[0..length) is an absolute Windows path: a drive letter, ':' and a
// separator, or two separators, a server, a separator and a share (then its end or a
// separator). Anything else (a bare name, "..\x", "\rooted", "C:relative") is taken from
// the current directory or drive, which differ from start to start, so a cache directory
// named by it is refused when packing and not used at run time.
template <typename unit>
constexpr bool is_absolute_path(const unit* path, size_t length) {
    auto separator = [](unit c) { return c == '\\' || c == '/'; };
    if (length >= 3 && ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
        path[1] == ':' && separator(path[2]))
        return true;
    if (length < 2 || !separator(path[0]) || !separator(path[1])) return false;
    size_t at = 2;
    for (int part = 0; part < 2; ++part) {
        size_t start = at;
        while (at < length && !separator(path[at])) ++at;
        if (at == start) return false;
        if (part == 0) {
            if (at == length) return false;
            ++at;
        }
    }
    return true;
}
