#include "pe_image.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#include "failure.h"
#include "file_tree.h"
#include "format/payload_format.h"
#include "format/pe_layout.h"
#include "format/settings_record.h"
#include "path_text.h"
#include "payload_layout.h"

namespace fs = std::filesystem;

namespace {

constexpr uint16_t machine_amd64 = 0x8664;
constexpr uint16_t optional_magic_pe32_plus = pe_magic_pe32_plus;
constexpr uint16_t file_is_dll = 0x2000;
constexpr uint16_t file_is_executable = 0x0002;
constexpr uint32_t section_header_size = pe_section_header_size;
constexpr uint32_t section_initialized_data = 0x40;
constexpr uint32_t section_executable = 0x20000000;
constexpr uint32_t section_writable = 0x80000000;
constexpr size_t directory_export = 0, directory_import = pe_directory_import, directory_resource = 2,
                 directory_security = 4, directory_delay_import = pe_directory_delay_import;
// Offsets within the PE32+ optional header.
constexpr uint32_t optional_image_base = 24;
constexpr uint32_t optional_size_of_initialized_data = 8;
constexpr uint32_t optional_section_alignment = 32;
constexpr uint32_t optional_file_alignment = 36;
constexpr uint32_t optional_size_of_image = 56;
constexpr uint32_t optional_size_of_headers = 60;
constexpr uint32_t optional_checksum = 64;
constexpr uint32_t optional_subsystem = 68;
constexpr uint32_t optional_directory_count = pe_directory_count_offset(pe_magic_pe32_plus);
constexpr uint32_t optional_directories = optional_directory_count + 4;
// The linked payload starts at this alignment (cmake/TarvixOnefile.cmake).
constexpr uint64_t linked_payload_alignment = 64;
constexpr size_t scan_chunk_size = size_t{1} << 20;

uint16_t get_u16(const unsigned char* at) { return static_cast<uint16_t>(at[0] | at[1] << 8); }
uint32_t get_u32(const unsigned char* at) { return get_u16(at) | static_cast<uint32_t>(get_u16(at + 2)) << 16; }
uint64_t get_u64(const unsigned char* at) { return get_u32(at) | static_cast<uint64_t>(get_u32(at + 4)) << 32; }
void put_u16(unsigned char* at, uint16_t value) { at[0] = value & 0xFF, at[1] = value >> 8; }
void put_u32(unsigned char* at, uint32_t value) {
    put_u16(at, value & 0xFFFF);
    put_u16(at + 2, static_cast<uint16_t>(value >> 16));
}

uint32_t align_up(uint64_t value, uint32_t alignment) {
    uint64_t aligned = (value + alignment - 1) / alignment * alignment;
    if (aligned > UINT32_MAX) throw failure("image would exceed 4 GiB");
    return static_cast<uint32_t>(aligned);
}

struct image_file {
    std::ifstream in;
    std::string name;
    uint64_t size;

    explicit image_file(const fs::path& file) : in(file, std::ios::binary), name(printable(host_bytes(file))) {
        std::error_code error;
        size = fs::file_size(file, error);
        if (error || !in) throw failure(name + ": cannot open" + (error ? " (" + error.message() + ")" : ""));
    }

    // False when the range lies outside the file.
    bool read(uint64_t offset, void* data, size_t count) {
        if (offset > size || count > size - offset) return false;
        in.seekg(static_cast<std::streamoff>(offset));
        in.read(static_cast<char*>(data), static_cast<std::streamsize>(count));
        if (!in) throw failure(name + ": read error at offset " + std::to_string(offset));
        return true;
    }
};

[[noreturn]] void not_an_image(const image_file& file, const std::string& why) {
    throw failure(file.name + ": not a Windows image (" + why + ")");
}

pe_image parse_headers(image_file& file) {
    pe_image image{};
    image.file_size = file.size;
    unsigned char dos[pe_dos_header_size];
    if (!file.read(0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') not_an_image(file, "no MZ header");
    image.nt_offset = get_u32(dos + pe_lfanew_offset);
    unsigned char nt[24 + optional_directories];
    if (!file.read(image.nt_offset, nt, 24 + 2)) not_an_image(file, "headers outside the file");
    if (std::memcmp(nt, "PE\0\0", 4) != 0) not_an_image(file, "no PE signature");
    image.machine = get_u16(nt + 4);
    uint16_t section_count = get_u16(nt + pe_signature_size + pe_file_section_count);
    uint16_t optional_size = get_u16(nt + pe_signature_size + pe_file_optional_size);
    image.file_characteristics = get_u16(nt + pe_signature_size + pe_file_characteristics);
    image.optional_magic = get_u16(nt + 24);
    image.section_table_offset = image.nt_offset + 24 + optional_size;
    if (!is_64bit(image)) return image;
    if (optional_size < optional_directories || !file.read(image.nt_offset, nt, sizeof nt))
        not_an_image(file, "optional header too short");
    const unsigned char* optional = nt + 24;
    image.image_base = get_u64(optional + optional_image_base);
    image.section_alignment = get_u32(optional + optional_section_alignment);
    image.file_alignment = get_u32(optional + optional_file_alignment);
    image.size_of_headers = get_u32(optional + optional_size_of_headers);
    image.subsystem = get_u16(optional + optional_subsystem);
    if (image.file_alignment == 0 || image.section_alignment < image.file_alignment)
        not_an_image(file, "alignments out of order");
    uint32_t directory_count = std::min<uint32_t>(get_u32(optional + optional_directory_count),
                                                  (optional_size - optional_directories) / 8);
    std::vector<unsigned char> directories(directory_count * 8);
    if (!file.read(image.nt_offset + 24 + optional_directories, directories.data(), directories.size()))
        not_an_image(file, "data directories outside the file");
    for (uint32_t i = 0; i < directory_count; ++i)
        image.directories.push_back({get_u32(&directories[8 * i]), get_u32(&directories[8 * i + 4])});
    std::vector<unsigned char> table(section_count * section_header_size);
    if (!file.read(image.section_table_offset, table.data(), table.size()))
        not_an_image(file, "section table outside the file");
    for (uint16_t i = 0; i < section_count; ++i) {
        const unsigned char* at = &table[i * section_header_size];
        const char* name = reinterpret_cast<const char*>(at);
        pe_section section{std::string(name, strnlen(name, 8)),   get_u32(at + 8),
                           get_u32(at + pe_section_virtual_address), get_u32(at + pe_section_raw_size),
                           get_u32(at + pe_section_raw_offset),      get_u32(at + 36)};
        bool outside = section.raw_offset > file.size || section.raw_size > file.size - section.raw_offset;
        if (section.raw_size > 0 && outside)
            not_an_image(file, "section " + printable(section.name) + " outside the file");
        image.sections.push_back(section);
    }
    return image;
}

pe_data_directory directory(const pe_image& image, size_t index) {
    return index < image.directories.size() ? image.directories[index] : pe_data_directory{0, 0};
}

// The file offset of count bytes at rva, or false when they are not all in one
// section's file data.
bool rva_to_offset(const pe_image& image, uint64_t rva, uint64_t count, uint64_t* offset) {
    for (const pe_section& section : image.sections) {
        uint64_t start = section.virtual_address;
        uint64_t end = start + section.raw_size;
        if (rva >= start && rva + count <= end) {
            *offset = section.raw_offset + (rva - start);
            return true;
        }
    }
    return false;
}

// Every file offset at which bytes[0..count) stand, ascending: one sweep of the file.
std::vector<uint64_t> offsets_of(image_file& file, const char* bytes, size_t count) {
    std::vector<uint64_t> offsets;
    std::vector<unsigned char> chunk(scan_chunk_size + count);
    for (uint64_t at = 0; at + count <= file.size; at += scan_chunk_size) {
        size_t read = static_cast<size_t>(std::min<uint64_t>(chunk.size(), file.size - at));
        file.read(at, chunk.data(), read);
        size_t last = std::min(scan_chunk_size, read - count + 1);
        for (size_t i = 0; i < last; ++i) {
            const void* hit = std::memchr(&chunk[i], bytes[0], last - i);
            if (hit == nullptr) break;
            i = static_cast<size_t>(static_cast<const unsigned char*>(hit) - chunk.data());
            if (std::memcmp(&chunk[i], bytes, count) == 0) offsets.push_back(at + i);
        }
    }
    return offsets;
}

// The name pointer table is read in one piece and the file swept once for the name
// itself, whose places are turned into the addresses an image would hold it at: then
// each pointer costs one lookup, however many names and sections there are.
bool exports_run_code(image_file& file, const pe_image& image) {
    pe_data_directory exports = directory(image, directory_export);
    unsigned char table[40];
    uint64_t at = 0;
    if (exports.size < sizeof table || !rva_to_offset(image, exports.virtual_address, sizeof table, &at) ||
        !file.read(at, table, sizeof table))
        return false;
    uint32_t name_count = get_u32(table + 24);
    uint32_t names_rva = get_u32(table + 32);
    // Bounded by the file before anything is allocated for it.
    if (name_count == 0 || !rva_to_offset(image, names_rva, 4 * uint64_t{name_count}, &at)) return false;
    std::vector<unsigned char> pointers(4 * size_t{name_count});
    if (!file.read(at, pointers.data(), pointers.size())) return false;
    const char wanted[] = "run_code";  // with its NUL
    std::vector<uint64_t> offsets = offsets_of(file, wanted, sizeof wanted);
    std::vector<uint64_t> addresses;
    for (uint64_t offset : offsets) {
        for (const pe_section& section : image.sections) {
            uint64_t end = uint64_t{section.raw_offset} + section.raw_size;
            if (offset >= section.raw_offset && offset + sizeof wanted <= end)
                addresses.push_back(section.virtual_address + (offset - section.raw_offset));
        }
    }
    std::sort(addresses.begin(), addresses.end());
    for (size_t i = 0; i < pointers.size(); i += 4) {
        uint64_t address = get_u32(&pointers[i]);
        if (!std::binary_search(addresses.begin(), addresses.end(), address)) continue;
        // The loader reads the name where the first section holding the address puts it.
        uint64_t name_at = 0;
        if (rva_to_offset(image, address, sizeof wanted, &name_at) &&
            std::binary_search(offsets.begin(), offsets.end(), name_at))
            return true;
    }
    return false;
}

// How many of the file bytes of the first section holding rva lie at or after it (0: none),
// and where they start. Beyond a section's file data the image holds zeros.
uint64_t file_bytes_at(const pe_image& image, uint64_t rva, uint64_t* offset) {
    uint64_t available = 0;
    for (const pe_section& section : image.sections) {
        if (pe_section_holds(section.virtual_address, section.raw_size, section.raw_offset, image.file_size, rva,
                             offset, &available))
            return available;
    }
    return 0;
}

// A library name is a short NUL-terminated string; longer ones are no name the loader finds.
constexpr size_t max_library_name = 256;

void add_library_name(image_file& file, const pe_image& image, uint64_t rva, std::vector<std::string>& names) {
    uint64_t at = 0;
    uint64_t available = file_bytes_at(image, rva, &at);
    char text[max_library_name];
    size_t count = static_cast<size_t>(std::min<uint64_t>(available, sizeof text));
    if (count == 0 || !file.read(at, text, count)) return;
    size_t length = strnlen(text, count);
    if (length == 0 || length == count) return;
    std::string name(text, length);
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
}

// Reads the descriptors of an import table of descriptor_size bytes each, in one read,
// up to the first for which name_rva gives 0 or the end of the section's data (zeros
// follow there), and adds the name each one points at.
template <typename name_rva_of>
void read_import_table(image_file& file, const pe_image& image, size_t index, size_t descriptor_size,
                       name_rva_of name_rva, std::vector<std::string>& names) {
    pe_data_directory table = directory(image, index);
    uint64_t at = 0;
    uint64_t available = table.virtual_address == 0 ? 0 : file_bytes_at(image, table.virtual_address, &at);
    size_t count = static_cast<size_t>(std::min<uint64_t>(available / descriptor_size, max_imported_libraries));
    std::vector<unsigned char> descriptors(count * descriptor_size);
    if (count == 0 || !file.read(at, descriptors.data(), descriptors.size())) return;
    for (size_t i = 0; i < count; ++i) {
        uint64_t rva = name_rva(&descriptors[i * descriptor_size]);
        if (rva == 0) return;
        add_library_name(file, image, rva, names);
    }
}

// At most this much of a version record is read: one holds a few hundred bytes.
constexpr size_t max_version_record = 1 << 16;
constexpr uint32_t resource_type_version = 16;
constexpr uint32_t resource_subdirectory = 0x80000000;

// The offset (from the resource directory's start) that the entry of directory_at (the
// same) with the given id points to, or of its first entry when id is 0; false when
// there is none or the bytes lie outside the file.
bool resource_entry(image_file& file, const pe_image& image, uint64_t resources, uint32_t directory_at, uint32_t id,
                    uint32_t* target) {
    uint64_t at = 0;
    unsigned char head[16];
    if (file_bytes_at(image, resources + directory_at, &at) < sizeof head || !file.read(at, head, sizeof head))
        return false;
    size_t count = size_t{get_u16(head + 12)} + get_u16(head + 14);
    if (count == 0 || file_bytes_at(image, resources + directory_at + 16, &at) < 8 * count) return false;
    std::vector<unsigned char> entries(8 * count);
    if (!file.read(at, entries.data(), entries.size())) return false;
    for (size_t i = 0; i < count; ++i) {
        if (id != 0 && get_u32(&entries[8 * i]) != id) continue;
        *target = get_u32(&entries[8 * i + 4]);
        return true;
    }
    return false;
}

// The UTF-16 text of units at bytes[at..end), up to its first 0x0000.
std::u16string text_at(const std::vector<unsigned char>& bytes, size_t at, size_t end) {
    std::u16string text;
    for (; at + 2 <= end && get_u16(&bytes[at]) != 0; at += 2) text += static_cast<char16_t>(get_u16(&bytes[at]));
    return text;
}

// One block of a version record at bytes[at..): its end, its key, where its value and its
// children begin. False when it does not fit in [at, end).
struct version_block {
    size_t end;
    std::u16string key;
    size_t value;
    size_t value_units;  // of a text value
    size_t children;
};
bool read_version_block(const std::vector<unsigned char>& bytes, size_t at, size_t end, version_block* block) {
    if (at + 6 > end) return false;
    size_t length = get_u16(&bytes[at]);
    if (length < 6 || length > end - at) return false;
    block->end = at + length;
    block->key = text_at(bytes, at + 6, block->end);
    block->value = std::min(block->end, (at + 6 + 2 * block->key.size() + 2 + 3) / 4 * 4);
    block->value_units = get_u16(&bytes[at + 2]);
    size_t value_bytes = get_u16(&bytes[at + 4]) == 1 ? 2 * block->value_units : block->value_units;
    block->children = std::min(block->end, (block->value + value_bytes + 3) / 4 * 4);
    return true;
}

const char* settings_fault_text(settings_fault fault) {
    switch (fault) {
        case settings_fault::none: break;
        case settings_fault::section_too_short: return "section shorter than the record's fixed part";
        case settings_fault::no_magic: return "no settings magic";
        case settings_fault::record_size_unaligned: return "record size not a multiple of 8";
        case settings_fault::record_too_small: return "record size smaller than its fixed part";
        case settings_fault::record_beyond_section: return "record larger than the section";
        case settings_fault::unknown_kind: return "kind at offset 12 is one the launcher does not know";
        case settings_fault::payload_beyond_section: return "payload size beyond the section";
        case settings_fault::text_unterminated: return "a text runs past the record without its terminator";
        case settings_fault::text_too_long: return "a text is longer than 1023 UTF-16 units";
        case settings_fault::bytes_after_texts: return "bytes other than zero after the texts";
        case settings_fault::digest_malformed: return "payload digest is not 16 lowercase hex digits";
    }
    return "";
}

// The settings record at the start of a payload section, judged as the launcher judges it;
// span and its digest are set when it passes.
settings_fault read_settings_record(image_file& file, const pe_section& section, payload_span* span) {
    uint64_t room = std::min(section.raw_size, section.virtual_size);
    unsigned char fixed[payload_settings_fixed_size] = {};
    settings_record record{};
    file.read(section.raw_offset, fixed, static_cast<size_t>(std::min<uint64_t>(room, sizeof fixed)));
    settings_fault fault = settings_fixed_fault(fixed, room, &record);
    if (fault != settings_fault::none) return fault;
    std::vector<unsigned char> bytes(static_cast<size_t>(record.record_size));
    file.read(section.raw_offset, bytes.data(), bytes.size());
    fault = settings_texts_fault(bytes.data(), &record);
    if (fault != settings_fault::none) return fault;
    span->offset = section.raw_offset + record.record_size;
    span->length = record.payload_size;
    span->kind = record.kind;
    const unsigned char* digest = &bytes[record.text_offset[payload_settings_text_count - 1]];
    for (size_t i = 0; i < payload_digest_units; ++i) span->digest += static_cast<char>(digest[2 * i]);
    for (size_t text = 0; text < payload_settings_text_count; ++text) {
        std::u16string units;
        for (size_t i = 0; i < record.text_units[text]; ++i)
            units += static_cast<char16_t>(get_u16(&bytes[record.text_offset[text] + 2 * i]));
        span->texts.push_back(units);
    }
    return settings_fault::none;
}

// The read-only data of the image as disjoint file ranges, overlapping sections merged,
// so that no byte is scanned twice.
std::vector<payload_span> read_only_ranges(const pe_image& image) {
    std::vector<payload_span> ranges;
    for (const pe_section& section : image.sections) {
        bool read_only_data = (section.characteristics & (section_initialized_data | section_writable |
                                                          section_executable)) == section_initialized_data;
        uint64_t size = std::min(section.raw_size, section.virtual_size);
        if (read_only_data && size > 0) ranges.push_back({section.raw_offset, size, {}});
    }
    std::sort(ranges.begin(), ranges.end(),
              [](const payload_span& a, const payload_span& b) { return a.offset < b.offset; });
    std::vector<payload_span> merged;
    for (const payload_span& range : ranges) {
        if (!merged.empty() && range.offset <= merged.back().offset + merged.back().length) {
            uint64_t end = std::max(merged.back().offset + merged.back().length, range.offset + range.length);
            merged.back().length = end - merged.back().offset;
        } else {
            merged.push_back(range);
        }
    }
    return merged;
}

// The linked payload in [range): "KAY" and the frame magic at a 64-byte boundary of the
// file, then, at its end, a trailer holding the length before it and, at the next 8-byte
// boundary, the linked size holding the length itself. One pass: each 8-byte value read
// as a trailer names the one start it would close, so the starts seen so far are kept in
// a bitmap, and of all payloads found the one that starts first wins.
bool find_linked_payload(image_file& file, const payload_span& range, payload_span* span) {
    uint64_t limit = range.offset + range.length;
    uint64_t base = (range.offset + linked_payload_alignment - 1) / linked_payload_alignment * linked_payload_alignment;
    if (base >= limit) return false;
    std::vector<bool> starts((limit - base) / linked_payload_alignment + 1);
    bool found = false;
    // Each chunk overlaps the next by what a start's magic or an end's two values need
    // (the linked size ends at most 23 bytes after the trailer begins).
    constexpr size_t overlap = 32;
    std::vector<unsigned char> chunk(scan_chunk_size + overlap);
    for (uint64_t at = range.offset; at < limit; at += scan_chunk_size) {
        size_t count = static_cast<size_t>(std::min<uint64_t>(chunk.size(), limit - at));
        file.read(at, chunk.data(), count);
        size_t fresh = static_cast<size_t>(std::min<uint64_t>(scan_chunk_size, count));
        for (size_t i = 0; i < fresh; ++i) {
            uint64_t here = at + i;
            if (here % linked_payload_alignment == 0 && i + payload_header_size + 4 <= count &&
                std::memcmp(&chunk[i], payload_header, payload_header_size) == 0 &&
                std::memcmp(&chunk[i + payload_header_size], zstd_frame_magic, 4) == 0)
                starts[(here - base) / linked_payload_alignment] = true;
            if (i + 8 > count) continue;
            uint64_t before = get_u64(&chunk[i]);  // the length before this trailer
            if (before > here || before < payload_overhead - 8) continue;
            uint64_t start = here - before;
            if (start < base || start % linked_payload_alignment != 0) continue;
            if (!starts[(start - base) / linked_payload_alignment] || (found && start >= span->offset)) continue;
            uint64_t length = before + 8;
            uint64_t size_at = start + (length + 7) / 8 * 8;
            if (size_at + 8 > at + count || get_u64(&chunk[static_cast<size_t>(size_at - at)]) != length) continue;
            *span = {start, length, {}};
            found = true;
        }
    }
    return found;
}

}  // namespace

bool is_64bit(const pe_image& image) {
    return image.machine == machine_amd64 && image.optional_magic == optional_magic_pe32_plus;
}

pe_image read_pe_image(const fs::path& file) {
    image_file input(file);
    return parse_headers(input);
}

std::vector<std::string> imported_libraries(const fs::path& file) {
    image_file input(file);
    pe_image image = parse_headers(input);
    std::vector<std::string> names;
    if (!is_64bit(image)) return names;
    // The loader stops at the first descriptor without a name or an address table.
    read_import_table(input, image, directory_import, pe_import_descriptor_size,
                      [](const unsigned char* descriptor) -> uint64_t {
        return get_u32(descriptor + pe_import_address_table_rva) == 0 ? 0 : get_u32(descriptor + pe_import_name_rva);
    }, names);
    // A delay-load descriptor holds addresses (an image base added) unless its first bit
    // says they are relative; one that names an address below the base names nothing.
    uint64_t base = image.image_base;
    read_import_table(input, image, directory_delay_import, pe_delay_descriptor_size,
                      [base](const unsigned char* descriptor) -> uint64_t {
        uint64_t name = get_u32(descriptor + pe_delay_name_field);
        if (name == 0 || (get_u32(descriptor + pe_delay_attributes) & 1) != 0) return name;
        return name > base ? name - base : UINT64_MAX;
    }, names);
    return names;
}

void check_application_library(const fs::path& library) {
    image_file file(library);
    std::string refused = "refused '" + file.name + "': ";
    pe_image image;
    try {
        image = parse_headers(file);
    } catch (const failure&) {
        throw failure(refused + "not a Windows library");
    }
    if (!is_64bit(image)) throw failure(refused + "not a 64-bit (x64) library");
    if (!(image.file_characteristics & file_is_dll)) throw failure(refused + "not a DLL");
    if (!exports_run_code(file, image)) throw failure(refused + "exports no run_code");
}

void check_application_program(const fs::path& program) {
    image_file file(program);
    std::string refused = "refused '" + file.name + "': ";
    pe_image image;
    try {
        image = parse_headers(file);
    } catch (const failure&) {
        throw failure(refused + "not a Windows program");
    }
    if (image.file_characteristics & file_is_dll) throw failure(refused + "a DLL, not a program; give it as --library");
    if (!is_64bit(image)) throw failure(refused + "not a 64-bit (x64) program");
    if (!(image.file_characteristics & file_is_executable)) throw failure(refused + "not an executable image");
}

uint32_t kind_of_image_start(const unsigned char* bytes, size_t size) {
    if (size < 64 || bytes[0] != 'M' || bytes[1] != 'Z') return payload_kind_library;
    uint64_t nt = get_u32(bytes + 0x3C);
    if (nt + 24 > size || std::memcmp(bytes + nt, "PE\0\0", 4) != 0) return payload_kind_library;
    uint16_t characteristics = get_u16(bytes + nt + 22);
    bool program = (characteristics & (file_is_dll | file_is_executable)) == file_is_executable;
    return program ? payload_kind_program : payload_kind_library;
}

void check_stub(const pe_image& stub, const std::string& name) {
    std::string refused = "refused stub '" + name + "': ";
    if (!is_64bit(stub)) throw failure(refused + "not a 64-bit (x64) image");
    if ((stub.file_characteristics & (file_is_dll | file_is_executable)) != file_is_executable)
        throw failure(refused + "not an executable");
    if (directory(stub, directory_security).size != 0)
        throw failure(refused + "it is signed; sign the finished executable instead");
    for (const pe_section& section : stub.sections) {
        if (section.name == payload_section_name) throw failure(refused + "it already carries a payload");
    }
    if (directory(stub, directory_resource).size != 0) throw failure(refused + "it already has resources");
    if (stub.directories.size() <= directory_resource) throw failure(refused + "no resource directory entry");
    uint64_t table_end = stub.section_table_offset + uint64_t{section_header_size} * (stub.sections.size() + 2);
    uint64_t first_data = stub.size_of_headers;
    uint64_t data_end = stub.size_of_headers;
    for (const pe_section& section : stub.sections) {
        if (section.raw_size == 0) continue;
        first_data = std::min<uint64_t>(first_data, section.raw_offset);
        data_end = std::max<uint64_t>(data_end, uint64_t{section.raw_offset} + section.raw_size);
    }
    if (stub.size_of_headers > stub.file_size) throw failure(refused + "headers larger than the file");
    if (table_end > first_data) throw failure(refused + "no room for two more section headers");
    if (data_end != stub.file_size) throw failure(refused + "bytes follow its last section");
}

void place_sections(const pe_image& image, std::vector<added_section>& added) {
    uint64_t next_address = 0;
    uint64_t next_offset = image.file_size;
    for (const pe_section& section : image.sections)
        next_address = std::max<uint64_t>(next_address, uint64_t{section.virtual_address} + section.virtual_size);
    for (added_section& section : added) {
        section.virtual_address = align_up(next_address, image.section_alignment);
        section.raw_offset = align_up(next_offset, image.file_alignment);
        next_address = uint64_t{section.virtual_address} + section.virtual_size;
        next_offset = uint64_t{section.raw_offset} + section.raw_size;
    }
}

void add_sections(const pe_image& image, std::vector<unsigned char>& headers, const std::vector<added_section>& added,
                  size_t resource_section, uint16_t subsystem) {
    unsigned char* file_header = &headers[image.nt_offset + 4];
    unsigned char* optional = &headers[image.nt_offset + 24];
    unsigned char* table_end = &headers[image.section_table_offset + section_header_size * image.sections.size()];
    uint32_t initialized = get_u32(optional + optional_size_of_initialized_data);
    for (const added_section& section : added) {
        std::fill(table_end, table_end + section_header_size, 0);
        std::memcpy(table_end, section.name, 8);
        put_u32(table_end + 8, section.virtual_size);
        put_u32(table_end + 12, section.virtual_address);
        put_u32(table_end + 16, section.raw_size);
        put_u32(table_end + 20, section.raw_offset);
        put_u32(table_end + 36, section.characteristics);
        table_end += section_header_size;
        initialized += section.raw_size;
    }
    const added_section& last = added.back();
    put_u16(file_header + 2, static_cast<uint16_t>(image.sections.size() + added.size()));
    put_u32(optional + optional_size_of_initialized_data, initialized);
    put_u32(optional + optional_size_of_image,
            align_up(uint64_t{last.virtual_address} + last.virtual_size, image.section_alignment));
    put_u32(optional + optional_checksum, 0);
    put_u16(optional + optional_subsystem, subsystem);
    unsigned char* resources = optional + optional_directories + 8 * directory_resource;
    put_u32(resources, added[resource_section].virtual_address);
    put_u32(resources + 4, added[resource_section].virtual_size);
}

uint32_t checksum_offset(const pe_image& image) { return image.nt_offset + 24 + optional_checksum; }

uint32_t pe_checksum(const fs::path& file, uint32_t field_offset) {
    image_file input(file);
    std::vector<unsigned char> chunk(scan_chunk_size);  // even: words never straddle chunks
    uint64_t sum = 0;
    for (uint64_t at = 0; at < input.size; at += chunk.size()) {
        size_t count = static_cast<size_t>(std::min<uint64_t>(chunk.size(), input.size - at));
        input.read(at, chunk.data(), count);
        if (count % 2 != 0) chunk[count++] = 0;
        for (size_t i = 0; i < count; i += 2) {
            uint64_t offset = at + i;
            if (offset >= field_offset && offset < field_offset + 4) continue;
            sum += get_u16(&chunk[i]);
            sum = (sum & 0xFFFF) + (sum >> 16);
        }
    }
    return static_cast<uint32_t>(sum + input.size);
}

payload_span find_payload_in_exe(const fs::path& file, const pe_image& image) {
    image_file input(file);
    payload_span span{};
    for (const pe_section& section : image.sections) {
        if (section.name != payload_section_name) continue;
        settings_fault fault = read_settings_record(input, section, &span);
        if (fault != settings_fault::none)
            throw failure(input.name + ": section " + payload_section_name + ": settings record: " +
                          settings_fault_text(fault));
        return span;
    }
    for (const payload_span& range : read_only_ranges(image)) {
        if (find_linked_payload(input, range, &span)) return span;
    }
    throw failure(input.name + ": no payload in this executable");
}

std::string launcher_version_of(const fs::path& file, const pe_image& image, const payload_span& payload) {
    image_file input(file);
    const char marker[] = TARVIX_LAUNCHER_VERSION_MARKER;  // without its NUL below
    constexpr size_t marker_size = sizeof marker - 1;
    constexpr size_t version_room = 32;  // with the NUL that ends it
    std::vector<payload_span> pieces;
    // The payload is the application's own data: a marker there is no launcher's.
    uint64_t payload_end = payload.offset + payload.length;
    for (const payload_span& range : read_only_ranges(image)) {
        uint64_t end = range.offset + range.length;
        if (payload.offset > range.offset)
            pieces.push_back({range.offset, std::min(end, payload.offset) - range.offset, {}});
        if (payload_end < end) {
            uint64_t start = std::max(range.offset, payload_end);
            pieces.push_back({start, end - start, {}});
        }
    }
    std::vector<unsigned char> chunk(scan_chunk_size + marker_size + version_room);
    for (const payload_span& piece : pieces) {
        uint64_t limit = piece.offset + piece.length;
        for (uint64_t at = piece.offset; at < limit; at += scan_chunk_size) {
            size_t count = static_cast<size_t>(std::min<uint64_t>(chunk.size(), limit - at));
            input.read(at, chunk.data(), count);
            size_t fresh = static_cast<size_t>(std::min<uint64_t>(scan_chunk_size, count));
            for (size_t i = 0; i < fresh; ++i) {
                const void* hit = std::memchr(&chunk[i], marker[0], fresh - i);
                if (hit == nullptr) break;
                i = static_cast<size_t>(static_cast<const unsigned char*>(hit) - chunk.data());
                if (i + marker_size > count || std::memcmp(&chunk[i], marker, marker_size) != 0) continue;
                std::string version;
                size_t v = i + marker_size;
                for (; v < count && version.size() < version_room; ++v) {
                    char c = static_cast<char>(chunk[v]);
                    bool allowed = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                   c == '.' || c == '+' || c == '-';
                    if (!allowed) break;
                    version += c;
                }
                if (!version.empty() && v < count && chunk[v] == 0) return version;
            }
        }
    }
    return "";
}

std::vector<std::pair<std::string, std::string>> version_record_strings(const fs::path& file, const pe_image& image) {
    image_file input(file);
    std::vector<std::pair<std::string, std::string>> strings;
    uint64_t resources = directory(image, directory_resource).virtual_address;
    uint32_t type = 0, name = 0, language = 0;
    // Type, name and language: three directories down to the record's data entry.
    if (resources == 0 || !resource_entry(input, image, resources, 0, resource_type_version, &type) ||
        !(type & resource_subdirectory) ||
        !resource_entry(input, image, resources, type & ~resource_subdirectory, 0, &name) ||
        !(name & resource_subdirectory) ||
        !resource_entry(input, image, resources, name & ~resource_subdirectory, 0, &language) ||
        (language & resource_subdirectory))
        return strings;
    unsigned char entry[8];
    uint64_t at = 0;
    if (file_bytes_at(image, resources + language, &at) < sizeof entry || !input.read(at, entry, sizeof entry))
        return strings;
    uint64_t size = std::min<uint64_t>(get_u32(entry + 4), max_version_record);
    if (file_bytes_at(image, get_u32(entry), &at) < size) return strings;
    std::vector<unsigned char> bytes(static_cast<size_t>(size));
    if (!input.read(at, bytes.data(), bytes.size())) return strings;
    // VS_VERSION_INFO > StringFileInfo > string tables > strings; every block is at least
    // 8 bytes long once aligned, so each loop ends.
    version_block root{}, info{}, table{}, text{};
    if (!read_version_block(bytes, 0, bytes.size(), &root)) return strings;
    for (size_t i = root.children; read_version_block(bytes, i, root.end, &info); i = (info.end + 3) / 4 * 4) {
        if (info.key != u"StringFileInfo") continue;
        for (size_t j = info.children; read_version_block(bytes, j, info.end, &table); j = (table.end + 3) / 4 * 4) {
            for (size_t k = table.children; read_version_block(bytes, k, table.end, &text); k = (text.end + 3) / 4 * 4)
                strings.push_back({utf16_to_utf8(text.key), utf16_to_utf8(text_at(bytes, text.value, text.end))});
            return strings;  // the first table: the record's one language
        }
    }
    return strings;
}
