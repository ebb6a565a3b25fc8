#include "resources.h"

#include <map>

#include "failure.h"
#include "path_text.h"

namespace {

constexpr uint16_t rt_icon = 3, rt_group_icon = 14, rt_version = 16, rt_manifest = 24;
constexpr uint16_t language_en_us = 0x409;
constexpr uint16_t code_page_utf16 = 1200;
constexpr size_t icon_header_size = 6, icon_entry_size = 16, group_entry_size = 14;
// VS_FIXEDFILEINFO: signature, structure version, flag mask VS_FFI_FILEFLAGSMASK, file
// OS VOS_NT_WINDOWS32, file type VFT_APP.
constexpr uint32_t fixed_signature = 0xFEEF04BD, fixed_structure_version = 0x00010000, fixed_flags_mask = 0x3F,
                   fixed_os = 0x00040004, fixed_type_application = 1;

using bytes = std::vector<unsigned char>;

void put_u16(bytes& out, uint32_t value) {
    out.push_back(static_cast<unsigned char>(value & 0xFF));
    out.push_back(static_cast<unsigned char>((value >> 8) & 0xFF));
}
void put_u32(bytes& out, uint32_t value) {
    put_u16(out, value & 0xFFFF);
    put_u16(out, value >> 16);
}
void set_u16(bytes& out, size_t at, uint32_t value) {
    out[at] = static_cast<unsigned char>(value & 0xFF);
    out[at + 1] = static_cast<unsigned char>((value >> 8) & 0xFF);
}
void pad_to(bytes& out, size_t alignment) { out.resize((out.size() + alignment - 1) / alignment * alignment, 0); }
uint32_t get_u32(const std::string& data, size_t at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(data[at + i]);
    return value;
}
uint16_t get_u16(const std::string& data, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(data[at]) | static_cast<unsigned char>(data[at + 1]) << 8);
}

void put_text(bytes& out, const std::string& utf8) {
    std::u16string units;
    if (!utf8_to_utf16(utf8, units)) throw failure("text '" + printable(utf8) + "' is not valid UTF-8");
    for (char16_t unit : units) put_u16(out, unit);
    put_u16(out, 0);
}

size_t utf16_length(const std::string& utf8) {
    std::u16string units;
    utf8_to_utf16(utf8, units);
    return units.size();
}

// One node of the version record: length, value length, type, key, value, children,
// each part starting at a 4-byte boundary. value_length counts bytes, or for text
// values UTF-16 units with the terminator.
void put_node(bytes& out, const std::string& key, uint16_t type, const bytes& value, uint32_t value_length,
              const std::vector<bytes>& children) {
    size_t start = out.size();
    put_u16(out, 0);
    put_u16(out, value_length);
    put_u16(out, type);
    put_text(out, key);
    pad_to(out, 4);
    out.insert(out.end(), value.begin(), value.end());
    for (const bytes& child : children) {
        pad_to(out, 4);
        out.insert(out.end(), child.begin(), child.end());
    }
    set_u16(out, start, static_cast<uint32_t>(out.size() - start));
}

bytes node(const std::string& key, uint16_t type, const bytes& value, uint32_t value_length,
           const std::vector<bytes>& children = {}) {
    bytes out;
    put_node(out, key, type, value, value_length, children);
    return out;
}

bytes string_node(const std::string& key, const std::string& text) {
    bytes value;
    put_text(value, text);
    return node(key, 1, value, static_cast<uint32_t>(utf16_length(text) + 1));
}

std::vector<uint16_t> version_numbers(const std::string& text) {
    std::vector<uint16_t> numbers;
    size_t start = 0;
    for (;;) {
        size_t end = text.find('.', start);
        numbers.push_back(static_cast<uint16_t>(std::stoul(text.substr(start, end - start))));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    numbers.resize(4, 0);
    return numbers;
}

bytes version_record(const version_texts& texts) {
    std::vector<uint16_t> v = version_numbers(texts.version);
    bytes fixed;
    for (uint32_t field : {fixed_signature, fixed_structure_version, uint32_t{v[0]} << 16 | v[1],
                           uint32_t{v[2]} << 16 | v[3], uint32_t{v[0]} << 16 | v[1], uint32_t{v[2]} << 16 | v[3],
                           fixed_flags_mask, 0u, fixed_os, fixed_type_application, 0u, 0u, 0u})
        put_u32(fixed, field);
    bytes table = node("040904B0", 1, {}, 0,
                       {string_node("CompanyName", texts.company), string_node("ProductName", texts.product),
                        string_node("FileDescription", texts.product), string_node("FileVersion", texts.version),
                        string_node("ProductVersion", texts.version), string_node("InternalName", texts.internal_name),
                        string_node("OriginalFilename", texts.internal_name + ".exe")});
    bytes translation;
    put_u16(translation, language_en_us);
    put_u16(translation, code_page_utf16);
    bytes variables = node("VarFileInfo", 1, {}, 0, {node("Translation", 0, translation, 4)});
    return node("VS_VERSION_INFO", 0, fixed, static_cast<uint32_t>(fixed.size()),
                {node("StringFileInfo", 1, {}, 0, {table}), variables});
}

// Splits an .ico file into the icon group and its images, numbered from 1.
void add_icon(std::map<std::pair<uint16_t, uint16_t>, bytes>& resources, const std::string& icon,
              const std::string& name) {
    std::string refused = "icon '" + printable(name) + "': ";
    if (icon.size() < icon_header_size || get_u16(icon, 0) != 0 || get_u16(icon, 2) != 1)
        throw failure(refused + "not an .ico file");
    uint16_t count = get_u16(icon, 4);
    if (count == 0 || icon.size() < icon_header_size + icon_entry_size * count)
        throw failure(refused + "no images, or the image table is cut short");
    bytes group(icon.begin(), icon.begin() + icon_header_size);
    for (uint16_t i = 0; i < count; ++i) {
        size_t entry = icon_header_size + icon_entry_size * i;
        uint32_t size = get_u32(icon, entry + 8);
        uint32_t offset = get_u32(icon, entry + 12);
        if (size == 0 || offset > icon.size() || size > icon.size() - offset)
            throw failure(refused + "image " + std::to_string(i + 1) + " lies outside the file");
        group.insert(group.end(), icon.begin() + entry, icon.begin() + entry + 12);
        put_u16(group, i + 1);
        resources[{rt_icon, static_cast<uint16_t>(i + 1)}] = bytes(icon.begin() + offset, icon.begin() + offset + size);
    }
    resources[{rt_group_icon, 1}] = group;
}

}  // namespace

void check_version_text(const std::string& text) {
    size_t numbers = 0, start = 0;
    for (;;) {
        size_t end = std::min(text.find('.', start), text.size());
        std::string number = text.substr(start, end - start);
        bool valid = !number.empty() && number.size() <= 5 &&
                     number.find_first_not_of("0123456789") == std::string::npos && std::stoul(number) <= 65535;
        if (!valid || ++numbers > 4) break;
        if (end == text.size()) return;
        start = end + 1;
    }
    throw failure("version '" + printable(text) + "' is not of the form a.b.c.d (1 to 4 numbers of 0..65535)");
}

std::vector<unsigned char> build_resource_section(const std::string& icon, const std::string& icon_name,
                                                  const std::string& manifest, const version_texts& texts,
                                                  uint32_t section_rva) {
    std::map<std::pair<uint16_t, uint16_t>, bytes> resources;  // by type and id, the order of the tree
    add_icon(resources, icon, icon_name);
    resources[{rt_version, 1}] = version_record(texts);
    resources[{rt_manifest, 1}] = bytes(manifest.begin(), manifest.end());

    std::map<uint16_t, std::vector<uint16_t>> ids;
    for (const auto& [key, data] : resources) ids[key.first].push_back(key.second);
    // Directories first (root, one per type, one language directory per resource), then
    // the data entries, then the data, each piece at an 8-byte boundary.
    size_t directories = 16 + 8 * ids.size();
    for (const auto& [type, names] : ids) directories += 16 + 8 * names.size() + names.size() * (16 + 8);
    size_t data_entries = directories;
    size_t data_start = data_entries + 16 * resources.size();

    bytes out;
    auto directory_header = [&](size_t entries) {
        for (int i = 0; i < 3; ++i) put_u32(out, 0);  // characteristics, time stamp, version
        put_u16(out, 0);
        put_u16(out, static_cast<uint32_t>(entries));
    };
    constexpr uint32_t subdirectory = 0x80000000;
    size_t next_directory = 16 + 8 * ids.size();
    directory_header(ids.size());
    for (const auto& [type, names] : ids) {
        put_u32(out, type);
        put_u32(out, subdirectory | static_cast<uint32_t>(next_directory));
        next_directory += 16 + 8 * names.size();
    }
    size_t next_entry = data_entries;
    for (const auto& [type, names] : ids) {
        directory_header(names.size());
        for (uint16_t id : names) {
            put_u32(out, id);
            put_u32(out, subdirectory | static_cast<uint32_t>(next_directory));
            next_directory += 16 + 8;
        }
    }
    for (const auto& [type, names] : ids) {
        for (size_t i = 0; i < names.size(); ++i) {
            directory_header(1);
            put_u32(out, language_en_us);
            put_u32(out, static_cast<uint32_t>(next_entry));
            next_entry += 16;
        }
    }
    size_t next_data = data_start;
    for (const auto& [key, data] : resources) {
        put_u32(out, section_rva + static_cast<uint32_t>(next_data));
        put_u32(out, static_cast<uint32_t>(data.size()));
        put_u32(out, 0);  // code page
        put_u32(out, 0);
        next_data = (next_data + data.size() + 7) / 8 * 8;
    }
    for (const auto& [key, data] : resources) {
        out.insert(out.end(), data.begin(), data.end());
        pad_to(out, 8);
    }
    return out;
}
