#include "path_text.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string_view>

#include "payload_layout.h"
#include "upcase_table.h"

namespace {

bool is_high_surrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool is_low_surrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Length of the well-formed UTF-8 sequence at bytes[at] and its code point, or 0.
size_t decode_utf8(const std::string& bytes, size_t at, char32_t& code) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
    unsigned char lead = byte(at);
    size_t length;
    char32_t minimum;
    if (lead < 0x80) {
        code = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, code = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, code = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, code = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (at + length > bytes.size()) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(at + i) & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

void append_utf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// How NTFS compares names: unit by unit through its upcase table, which holds the simple
// uppercase mapping of each UTF-16 unit. Surrogates map to themselves, so characters
// beyond the BMP only ever match exactly, and nothing expands ("ß" stays apart from "ss").
// The table is made from ICU on the build machine (case_table.cpp) and compiled into
// every packer, so all of them give the same answers.
char16_t upcase_unit(char16_t c) {
    auto found = std::lower_bound(std::begin(upcase_pairs), std::end(upcase_pairs), c,
                                  [](const char16_t(&pair)[2], char16_t unit) { return pair[0] < unit; });
    return found != std::end(upcase_pairs) && (*found)[0] == c ? (*found)[1] : c;
}

}  // namespace

bool utf8_to_utf16(const std::string& bytes, std::u16string& units) {
    units.clear();
    for (size_t at = 0; at < bytes.size();) {
        char32_t code;
        size_t length = decode_utf8(bytes, at, code);
        if (length == 0) return false;
        if (code >= 0x10000) {
            code -= 0x10000;
            units += char16_t(0xD800 + (code >> 10));
            units += char16_t(0xDC00 + (code & 0x3FF));
        } else {
            units += char16_t(code);
        }
        at += length;
    }
    return true;
}

std::string utf16_to_utf8(const std::u16string& units) {
    std::string out;
    for (size_t i = 0; i < units.size(); ++i) {
        char32_t c = units[i];
        if (is_high_surrogate(c) && i + 1 < units.size() && is_low_surrogate(units[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (is_high_surrogate(c) || is_low_surrogate(c)) {
            c = 0xFFFD;
        }
        append_utf8(out, c);
    }
    return out;
}

bool utf16_well_formed(const std::u16string& units) {
    for (size_t i = 0; i < units.size(); ++i) {
        if (is_low_surrogate(units[i])) return false;
        if (is_high_surrogate(units[i])) {
            if (i + 1 >= units.size() || !is_low_surrogate(units[i + 1])) return false;
            ++i;
        }
    }
    return true;
}

std::string display_path(const std::u16string& path, char separator) {
    std::string text = utf16_to_utf8(path);
    for (auto& c : text)
        if (c == '\\') c = separator;
    return text;
}

std::string printable(const std::string& bytes) {
    std::string out;
    for (size_t at = 0; at < bytes.size();) {
        char32_t code;
        size_t length = decode_utf8(bytes, at, code);
        if (length == 0 || code < 0x20 || code == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(bytes[at]));
            out += escaped;
            at += 1;
        } else {
            out.append(bytes, at, length);
            at += length;
        }
    }
    return out;
}

const char* windows_name_problem(const std::u16string& component) {
    if (component.empty()) return "empty name component";
    if (component == u"." || component == u"..") return "'.' or '..' component";
    for (char16_t c : component) {
        if (c < 0x20) return "control character in name";
        if (std::u16string_view(u"<>:\"/\\|?*").find(c) != std::u16string_view::npos)
            return "character not allowed on Windows (one of <>:\"/\\|?*)";
    }
    if (component.back() == u'.') return "name ends with a dot, which Windows drops";
    if (component.back() == u' ') return "name ends with a space, which Windows drops";
    if (is_device_name(component.data(), component.size())) return "reserved device name on Windows";
    return nullptr;
}

std::u16string windows_case_key(const std::u16string& text) {
    std::u16string key = text;
    for (auto& c : key) c = upcase_unit(c);
    return key;
}

std::string register_path(name_registry& names, const std::u16string& path,
                          const std::string& label, char separator) {
    for (size_t end = 0;; ++end) {
        end = path.find(payload_separator, end);
        bool is_file = end == std::u16string::npos;
        std::u16string prefix = is_file ? path : path.substr(0, end);
        std::string prefix_label = is_file ? label : "'" + display_path(prefix, separator) + "'";
        auto [found, added] = names.emplace(windows_case_key(prefix), name_record{prefix, is_file, prefix_label});
        const name_record& earlier = found->second;
        std::string subject = is_file ? "" : "directory " + prefix_label + " ";
        if (!added && earlier.original != prefix)
            return subject + "differs only in letter case from " + earlier.label;
        if (!added && is_file && earlier.is_file) return "same path as " + earlier.label;
        if (!added && (is_file || earlier.is_file))
            return subject + "clashes with " + (earlier.is_file ? "" : "directory ") + earlier.label;
        if (is_file) return {};
    }
}
