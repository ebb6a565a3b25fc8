// Where a Windows image keeps the fields that both the launcher (naming a missing import
// after a failed load) and the packer (warning at pack time about imports it cannot
// place) read: headers, section table, import descriptors, and how an address in the
// image maps to bytes of the file. Raw bytes only, so each side compiles the same
// definition whatever its platform; each side keeps its own limits on what it reads.
#pragma once

#include <stddef.h>
#include <stdint.h>

inline constexpr size_t pe_dos_header_size = 0x40;
inline constexpr size_t pe_lfanew_offset = 0x3C;  // in the DOS header: where "PE\0\0" is
inline constexpr size_t pe_signature_size = 4;

// Offsets after the signature: the file header, then the optional header.
inline constexpr size_t pe_file_header_size = 20;
inline constexpr size_t pe_file_section_count = 2;
inline constexpr size_t pe_file_optional_size = 16;
inline constexpr size_t pe_file_characteristics = 18;

inline constexpr uint16_t pe_magic_pe32 = 0x10B;
inline constexpr uint16_t pe_magic_pe32_plus = 0x20B;

// The count of data directories in the optional header, the directories after it, 8
// bytes each; 0 for a magic that is neither kind.
inline constexpr size_t pe_directory_count_offset(uint32_t magic) {
    return magic == pe_magic_pe32_plus ? 108 : magic == pe_magic_pe32 ? 92 : 0;
}
inline constexpr size_t pe_data_directory_size = 8;
inline constexpr size_t pe_directory_import = 1, pe_directory_delay_import = 13;

inline constexpr size_t pe_section_header_size = 40;
inline constexpr size_t pe_section_virtual_address = 12;
inline constexpr size_t pe_section_raw_size = 16;
inline constexpr size_t pe_section_raw_offset = 20;

// An import descriptor: its library's name, and its address table, which the loader
// requires of every descriptor before the end of the table.
inline constexpr size_t pe_import_descriptor_size = 20;
inline constexpr size_t pe_import_name_rva = 12;
inline constexpr size_t pe_import_address_table_rva = 16;
// A delay-load descriptor: attributes whose first bit says its fields are relative
// addresses rather than addresses with the image base added, then its library's name.
inline constexpr size_t pe_delay_descriptor_size = 32;
inline constexpr size_t pe_delay_attributes = 0;
inline constexpr size_t pe_delay_name_field = 4;

inline uint32_t pe_u16(const unsigned char* at) { return static_cast<uint32_t>(at[0] | at[1] << 8); }

inline uint32_t pe_u32(const unsigned char* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
           static_cast<uint32_t>(at[3]) << 24;
}

// Whether rva lies in the stored bytes of the section at address (raw_size of them at
// raw_offset); if so, its file offset and how many of the section's bytes follow it
// within a file of file_size bytes (0 when the section is cut short before it). Bytes
// past raw_size are zeros in memory and none in the file, so they map to nothing.
inline bool pe_section_holds(uint32_t address, uint32_t raw_size, uint32_t raw_offset, uint64_t file_size,
                             uint64_t rva, uint64_t* offset, uint64_t* available) {
    if (rva < address || rva - address >= raw_size) return false;
    uint64_t start = uint64_t{raw_offset} + (rva - address);
    uint64_t end = uint64_t{raw_offset} + raw_size;
    if (end > file_size) end = file_size;
    *offset = start;
    *available = start < end ? end - start : 0;
    return true;
}
