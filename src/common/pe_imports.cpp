#include "common/pe_imports.h"

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <cwchar>

#include "format/pe_layout.h"

namespace {

// How far the search follows imports that lie beside the file, and how many files it
// reads in all: enough for any real tree of libraries, bounded for a crafted one.
constexpr int search_depth = 4;
constexpr int search_file_budget = 64;
constexpr size_t search_path_capacity = 4096;
constexpr size_t import_name_capacity = 256;
// No library near this size exists; a larger file is not read for a message.
constexpr uint64_t readable_file_limit = uint64_t{1} << 31;

struct pe_view {
    const unsigned char* file;
    uint64_t size;
    uint64_t sections;  // offset of the section table
    uint32_t section_count;
};

// The file offset of rva, and how many bytes of its section follow it in the file; false
// when no section holds it in its stored bytes.
bool rva_to_offset(const pe_view& view, uint32_t rva, uint64_t* offset, uint64_t* available) {
    for (uint32_t i = 0; i < view.section_count; ++i) {
        const unsigned char* section = view.file + view.sections + uint64_t{i} * pe_section_header_size;
        if (pe_section_holds(pe_u32(section + pe_section_virtual_address), pe_u32(section + pe_section_raw_size),
                             pe_u32(section + pe_section_raw_offset), view.size, rva, offset, available)) {
            return *available != 0;
        }
    }
    return false;
}

}  // namespace

pe_import_result pe_import_name(const unsigned char* file, size_t size, size_t index, const char** name,
                                size_t* length) {
    if (size < pe_dos_header_size || file[0] != 'M' || file[1] != 'Z') return pe_import_malformed;
    uint64_t nt = pe_u32(file + pe_lfanew_offset);
    if (nt + pe_signature_size + pe_file_header_size > size || memcmp(file + nt, "PE\0\0", 4) != 0)
        return pe_import_malformed;
    const unsigned char* file_header = file + nt + pe_signature_size;
    uint64_t optional = nt + pe_signature_size + pe_file_header_size;
    uint32_t optional_size = pe_u16(file_header + pe_file_optional_size);
    pe_view view = {file, size, optional + optional_size, pe_u16(file_header + pe_file_section_count)};
    if (optional + optional_size > size || optional_size < 2 ||
        view.sections + uint64_t{view.section_count} * pe_section_header_size > size) {
        return pe_import_malformed;
    }
    uint64_t count_field = pe_directory_count_offset(pe_u16(file + optional));
    if (count_field == 0 || count_field + 4 > optional_size) return pe_import_malformed;
    uint64_t directory = count_field + 4 + pe_directory_import * pe_data_directory_size;
    if (pe_u32(file + optional + count_field) <= pe_directory_import) return pe_import_end;
    if (directory + 8 > optional_size) return pe_import_malformed;
    uint32_t table_rva = pe_u32(file + optional + directory);
    if (table_rva == 0 && pe_u32(file + optional + directory + 4) == 0) return pe_import_end;

    uint64_t table = 0, available = 0;
    if (!rva_to_offset(view, table_rva, &table, &available)) return pe_import_malformed;
    // The table ends with a descriptor of zeros; the loader reads no further, nor does this.
    for (uint64_t i = 0;; ++i) {
        if ((i + 1) * pe_import_descriptor_size > available) return pe_import_malformed;
        const unsigned char* descriptor = file + table + i * pe_import_descriptor_size;
        uint32_t name_rva = pe_u32(descriptor + pe_import_name_rva);
        if (name_rva == 0) return pe_import_end;
        if (i < index) continue;
        uint64_t name_offset = 0, name_room = 0;
        if (!rva_to_offset(view, name_rva, &name_offset, &name_room)) return pe_import_malformed;
        const void* end = memchr(file + name_offset, 0, static_cast<size_t>(name_room));
        if (end == nullptr) return pe_import_malformed;
        *name = reinterpret_cast<const char*>(file + name_offset);
        *length = static_cast<size_t>(static_cast<const unsigned char*>(end) - (file + name_offset));
        return pe_import_found;
    }
}

bool is_api_set_name(const char* name, size_t length) {
    return length >= 7 && (_strnicmp(name, "api-ms-", 7) == 0 || _strnicmp(name, "ext-ms-", 7) == 0);
}

namespace {

bool file_exists(const wchar_t* path) {
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// folder (with its final backslash) followed by the import's name; false when it does not
// fit or the name is empty or names a path of its own.
bool join(wchar_t* output, size_t capacity, const wchar_t* folder, size_t folder_length, const char* name,
          size_t length) {
    if (length == 0 || folder_length + length + 1 > capacity) return false;
    wmemcpy(output, folder, folder_length);
    for (size_t i = 0; i < length; ++i) {
        unsigned char unit = static_cast<unsigned char>(name[i]);
        if (unit == '\\' || unit == '/' || unit == ':') return false;
        output[folder_length + i] = unit;
    }
    output[folder_length + length] = 0;
    return true;
}

struct search_state {
    wchar_t system_folder[MAX_PATH + 1];
    size_t system_length;
    int files_left;
    wchar_t* importer;
    size_t importer_capacity;
    char* missing;
    size_t missing_capacity;
};

bool search_file(const wchar_t* path, int depth, search_state* state);

// The imports of one file already mapped: the first missing one, else those beside it.
bool search_imports(const wchar_t* path, const unsigned char* file, size_t size, int depth, search_state* state) {
    const wchar_t* last = wcsrchr(path, L'\\');
    if (last == nullptr) return false;
    size_t folder_length = static_cast<size_t>(last - path) + 1;
    wchar_t candidate[search_path_capacity];
    for (int pass = 0; pass < 2; ++pass) {
        for (size_t index = 0;; ++index) {
            const char* name = nullptr;
            size_t length = 0;
            if (pe_import_name(file, size, index, &name, &length) != pe_import_found) break;
            if (is_api_set_name(name, length)) continue;
            if (!join(candidate, search_path_capacity, path, folder_length, name, length)) continue;
            bool beside = file_exists(candidate);
            if (pass == 1) {
                // Only now, once none of this file's own imports is missing, the ones beside it.
                if (beside && depth > 1 && search_file(candidate, depth - 1, state)) return true;
                continue;
            }
            if (beside) continue;
            wchar_t in_system[MAX_PATH + import_name_capacity + 2];
            if (join(in_system, sizeof in_system / sizeof in_system[0], state->system_folder, state->system_length,
                     name, length) &&
                file_exists(in_system)) {
                continue;
            }
            if (wcslen(path) + 1 > state->importer_capacity || length + 1 > state->missing_capacity) return false;
            wcscpy(state->importer, path);
            memcpy(state->missing, name, length);
            state->missing[length] = 0;
            return true;
        }
    }
    return false;
}

bool search_file(const wchar_t* path, int depth, search_state* state) {
    if (state->files_left-- <= 0) return false;
    HANDLE handle = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size = {};
    bool found = false;
    if (GetFileSizeEx(handle, &size) && size.QuadPart > 0 &&
        static_cast<uint64_t>(size.QuadPart) < readable_file_limit) {
        HANDLE mapping = CreateFileMappingW(handle, nullptr, PAGE_READONLY, 0, 0, nullptr);
        if (mapping != nullptr) {
            const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
            if (view != nullptr) {
                found = search_imports(path, static_cast<const unsigned char*>(view),
                                       static_cast<size_t>(size.QuadPart), depth, state);
                UnmapViewOfFile(view);
            }
            CloseHandle(mapping);
        }
    }
    CloseHandle(handle);
    return found;
}

}  // namespace

bool find_missing_import(const wchar_t* path, wchar_t* importer, size_t importer_capacity, char* missing,
                         size_t missing_capacity) {
    search_state state = {};
    UINT length = GetSystemDirectoryW(state.system_folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    state.system_folder[length] = L'\\';
    state.system_length = length + 1;
    state.files_left = search_file_budget;
    state.importer = importer;
    state.importer_capacity = importer_capacity;
    state.missing = missing;
    state.missing_capacity = missing_capacity;
    return search_file(path, search_depth, &state);
}
