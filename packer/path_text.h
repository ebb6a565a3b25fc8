// Text of payload paths: UTF-8 <-> UTF-16 conversion, the names Windows refuses, and
// letter-case clashes. Shared by the packer and the reader so both apply one rule set.
#pragma once

#include <map>
#include <string>

// False when bytes is not well-formed UTF-8 (overlong forms and surrogates included).
bool utf8_to_utf16(const std::string& bytes, std::u16string& units);

// Lone surrogates become U+FFFD; callers that care check utf16_well_formed first.
std::string utf16_to_utf8(const std::u16string& units);

bool utf16_well_formed(const std::u16string& units);

// A payload path shown with the given separator in place of backslashes.
std::string display_path(const std::u16string& path, char separator);

// Host bytes made safe for a one-line message: control characters and invalid UTF-8
// appear as \xNN.
std::string printable(const std::string& bytes);

// Why Windows cannot hold this single name component, or nullptr when it can.
const char* windows_name_problem(const std::u16string& component);

// The form in which two names are equal exactly when Windows takes them for one file.
std::u16string windows_case_key(const std::u16string& text);

struct name_record {
    std::u16string original;
    bool is_file;
    std::string label;
};
// Every file and directory path seen so far, keyed by windows_case_key.
using name_registry = std::map<std::u16string, name_record>;

// Adds a file path and its directory prefixes. Returns why it clashes with an earlier
// path, or an empty string. label names the file in messages; directories are named by
// their path shown with separator.
std::string register_path(name_registry& names, const std::u16string& path,
                          const std::string& label, char separator);
