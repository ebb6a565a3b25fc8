// The parts of a 64-bit Windows image (PE32+) that the packer reads and writes: headers,
// section table, export table, checksum; where an executable carries its payload.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

// Characteristics of a section of read-only initialized data.
constexpr uint32_t section_read_only_data = 0x40000040;

// The subsystems of the optional header: the system gives a console program a console
// (and a window with it) when started without one, a windowed program never.
constexpr uint16_t subsystem_windowed = 2;
constexpr uint16_t subsystem_console = 3;

struct pe_section {
    std::string name;  // up to 8 bytes, without the padding zeros
    uint32_t virtual_size;
    uint32_t virtual_address;
    uint32_t raw_size;
    uint32_t raw_offset;
    uint32_t characteristics;
};

struct pe_data_directory {
    uint32_t virtual_address;
    uint32_t size;
};

struct pe_image {
    uint64_t file_size;
    uint32_t nt_offset;  // of "PE\0\0"
    uint16_t machine;
    uint16_t file_characteristics;
    uint16_t optional_magic;
    uint64_t image_base;
    uint32_t section_alignment;
    uint32_t file_alignment;
    uint32_t size_of_headers;
    uint16_t subsystem;  // of the optional header
    uint32_t section_table_offset;
    std::vector<pe_data_directory> directories;
    std::vector<pe_section> sections;
};

// Reads headers and section table, checking that they lie inside the file. Throws
// failure("NAME: what") for a file that is not a Windows image.
pe_image read_pe_image(const std::filesystem::path& file);

bool is_64bit(const pe_image& image);

// The libraries a 64-bit image imports, by name as the import table and the delay-load
// table spell them, in table order, each at most once. Names the loader could not read
// either (outside the file, unterminated) are left out; so are the tables past the first
// max_imported_libraries descriptors each, which bounds the time on a crafted image.
constexpr size_t max_imported_libraries = 256;
std::vector<std::string> imported_libraries(const std::filesystem::path& file);

// Throws failure("refused ...") unless library is a 64-bit DLL whose export table names
// run_code.
void check_application_library(const std::filesystem::path& library);

// Throws failure("refused ...") unless program is a 64-bit (x64) executable that is no
// DLL: the launcher starts it as its child.
void check_application_program(const std::filesystem::path& program);

// The leading bytes of a first entry that kind_of_image_start needs at most.
constexpr size_t image_start_size = 4096;

// The kind of payload whose first entry begins with bytes[0..size): payload_kind_program
// for an executable image that is no DLL, payload_kind_library for anything else (the
// packer has refused anything else at build time).
uint32_t kind_of_image_start(const unsigned char* bytes, size_t size);

// Throws failure("refused stub 'NAME': why") unless the stub can take a payload section
// and a resource section: a 64-bit executable without either, without a signature,
// without bytes after its last section and with room for two more section headers.
void check_stub(const pe_image& stub, const std::string& name);

// A section to be added after the existing ones.
struct added_section {
    char name[8];
    uint32_t virtual_size;
    uint32_t raw_size;  // a multiple of the file alignment
    uint32_t characteristics;
    uint32_t virtual_address = 0;  // set by place_sections
    uint32_t raw_offset = 0;
};

// Gives each added section its address and file offset, in order, after the image's own.
void place_sections(const pe_image& image, std::vector<added_section>& added);

// Rewrites headers (the first size_of_headers bytes of the image) for the added sections:
// their section headers, the section count, the image size, the size of initialized data,
// the resource directory (resource_section indexes added), the subsystem and a zero
// checksum.
void add_sections(const pe_image& image, std::vector<unsigned char>& headers, const std::vector<added_section>& added,
                  size_t resource_section, uint16_t subsystem);

// Offset of the checksum field in the file.
uint32_t checksum_offset(const pe_image& image);

// The image checksum of file as Windows computes it (the field itself counted as zero).
uint32_t pe_checksum(const std::filesystem::path& file, uint32_t field_offset);

// Where a payload lies in a file, and the digest that a payload section's settings
// record gives it (empty for a linked payload, whose digest is compiled code).
struct payload_span {
    uint64_t offset;
    uint64_t length;
    std::string digest;
    int64_t kind = -1;  // as the settings record states it; -1 where there is none
    // The settings record's texts in its order (company, product, version, cache
    // directory template, digest); empty where there is no record.
    std::vector<std::u16string> texts{};
};

// The payload of an executable: the one after the settings record of its payload section,
// which must be one the launcher accepts, or, in an executable that tarvix_add_onefile
// linked, the first at a 64-byte boundary of the file in its read-only data followed by
// its trailer and its linked size. Time linear in the file's size. Throws failure when
// there is none.
payload_span find_payload_in_exe(const std::filesystem::path& file, const pe_image& image);

// The version that the launcher in an executable states after
// TARVIX_LAUNCHER_VERSION_MARKER in its read-only data, outside the payload; empty when
// there is none (a launcher older than the marker). Time linear in the file's size.
std::string launcher_version_of(const std::filesystem::path& file, const pe_image& image, const payload_span& payload);

// The (key, text) pairs of the first string table of the image's version record, UTF-8,
// in the record's order; empty where it has none or it cannot be read. A damaged record
// gives what can be read of it within the file.
std::vector<std::pair<std::string, std::string>> version_record_strings(const std::filesystem::path& file,
                                                                         const pe_image& image);
