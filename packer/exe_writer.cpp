#include "exe_writer.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#include "failure.h"
#include "format/payload_format.h"
#include "output_file.h"
#include "path_text.h"
#include "payload_writer.h"
#include "pe_image.h"
#include "sha256.h"

namespace fs = std::filesystem;

namespace {

using bytes = std::vector<unsigned char>;

void put_u32(unsigned char* at, uint64_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}
void put_u64(unsigned char* at, uint64_t value) {
    for (int i = 0; i < 8; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::string upper_ascii(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text;
}

bool can_name_folder(const std::string& text) {
    return !text.empty() && text.find_first_of("<>:\"/\\|?*") == std::string::npos && text.back() != '.' &&
           text.back() != ' ';
}

// The template expanded as the launcher would, with a stand-in absolute folder for each
// placeholder that names one, judged by the launcher's own rule.
bool expands_to_absolute_path(const std::string& cache_template, const version_texts& texts) {
    std::string expanded;
    for (size_t at = 0; at < cache_template.size();) {
        size_t close = cache_template.find('}', at);
        if (cache_template[at] != '{' || close == std::string::npos) {
            expanded += cache_template[at++];
            continue;
        }
        std::string name = upper_ascii(cache_template.substr(at + 1, close - at - 1));
        if (name == "TEMP" || name == "HOME" || name == "CACHE_DIR" || name == "PROGRAM" || name == "PROGRAM_BASE" ||
            name == "PROGRAM_DIR")
            expanded += "C:\\folder";
        else if (name == "COMPANY")
            expanded += texts.company;
        else if (name == "PRODUCT")
            expanded += texts.product;
        else if (name == "VERSION" || name == "FILE_VERSION" || name == "PRODUCT_VERSION")
            expanded += texts.version;
        else
            expanded += cache_template.substr(at, close + 1 - at);
        at = close + 1;
    }
    return is_absolute_path(expanded.data(), expanded.size());
}

void add_text(bytes& record, const std::string& utf8, const char* what) {
    std::u16string units;
    if (!utf8_to_utf16(utf8, units)) throw failure(std::string(what) + " is not valid UTF-8");
    if (units.size() > payload_settings_text_max_units)
        throw failure(std::string(what) + " is longer than " + std::to_string(payload_settings_text_max_units) +
                      " UTF-16 units");
    for (char16_t unit : units) {
        record.push_back(static_cast<unsigned char>(unit & 0xFF));
        record.push_back(static_cast<unsigned char>(unit >> 8));
    }
    record.insert(record.end(), {0, 0});
}

// The record with the payload's size and digest still zero: they are known only once
// the payload is written.
// digest_at receives the offset of the digest's first unit.
bytes settings_record(const exe_settings& settings, size_t* digest_at) {
    bytes record(payload_settings_magic, payload_settings_magic + sizeof payload_settings_magic);
    record.resize(payload_settings_fixed_size, 0);
    put_u32(&record[12], settings.kind);
    add_text(record, settings.texts.company, "company");
    add_text(record, settings.texts.product, "product");
    add_text(record, settings.texts.version, "version");
    add_text(record, settings.cache_template, "cache directory");
    *digest_at = record.size();
    add_text(record, std::string(payload_digest_units, '0'), "digest");
    record.resize((record.size() + 7) / 8 * 8, 0);
    put_u32(&record[8], record.size());
    return record;
}

void pad_to_file_alignment(temp_output& out, uint32_t alignment) {
    uint64_t position = static_cast<uint64_t>(out.stream.tellp());
    bytes zeros((alignment - position % alignment) % alignment, 0);
    write_bytes(out, zeros.data(), zeros.size());
}

void overwrite(temp_output& out, uint64_t offset, const void* data, size_t size) {
    out.stream.seekp(static_cast<std::streamoff>(offset));
    write_bytes(out, data, size);
}

}  // namespace

void check_cache_template(const std::string& cache_template, const version_texts& texts) {
    if (cache_template.empty()) throw failure("the cache directory template is empty");
    std::string upper = upper_ascii(cache_template);
    for (const char* placeholder : {"{PID}", "{TIME}", "{TIME_US}", "{RANDOM}"}) {
        if (upper.find(placeholder) != std::string::npos)
            throw failure("cache directory '" + printable(cache_template) + "' holds " + placeholder +
                          ", which differs from start to start");
    }
    if (!expands_to_absolute_path(cache_template, texts))
        throw failure("cache directory '" + printable(cache_template) +
                      "' is not an absolute path once expanded; begin it with a folder placeholder such as "
                      "{CACHE_DIR}, a drive (C:\\) or a share (\\\\server\\share\\)");
    if (upper.find("{COMPANY}") != std::string::npos && !can_name_folder(texts.company))
        throw failure("company '" + printable(texts.company) +
                      "' cannot name a folder of the cache directory; give --cache-directory without {COMPANY}");
    if (upper.find("{PRODUCT}") != std::string::npos && !can_name_folder(texts.product))
        throw failure("product '" + printable(texts.product) +
                      "' cannot name a folder of the cache directory; give --cache-directory without {PRODUCT}");
}

uint16_t chosen_subsystem(bool windowed, bool console, const pe_image* program) {
    if (windowed) return subsystem_windowed;
    if (console) return subsystem_console;
    if (program != nullptr && program->subsystem == subsystem_windowed) return subsystem_windowed;
    return subsystem_console;
}

void write_exe(const std::vector<pack_file>& files, const exe_settings& settings, const fs::path& output) {
    check_output_name(output);
    std::string stub_name = printable(host_bytes(settings.stub));
    pe_image stub = read_pe_image(settings.stub);
    check_stub(stub, stub_name);
    std::string stub_bytes = read_input_file(settings.stub, "stub");
    if (stub_bytes.size() != stub.file_size) throw failure("stub '" + stub_name + "' changed while being read");
    size_t digest_at = 0;
    bytes record = settings_record(settings, &digest_at);

    temp_output out(output);
    write_bytes(out, stub_bytes.data(), stub_bytes.size());
    pad_to_file_alignment(out, stub.file_alignment);
    uint64_t record_offset = static_cast<uint64_t>(out.stream.tellp());
    write_bytes(out, record.data(), record.size());
    uint64_t payload_size = write_payload_to(out, files, settings.level, settings.workers, settings.show_progress);
    pad_to_file_alignment(out, stub.file_alignment);
    uint64_t section_size = record.size() + payload_size;
    if (section_size > UINT32_MAX - stub.file_alignment) throw failure("payload too large for one image (4 GiB)");

    std::vector<added_section> added(2);
    std::memcpy(added[0].name, payload_section_name, 8);
    added[0].virtual_size = static_cast<uint32_t>(section_size);
    added[0].raw_size = static_cast<uint32_t>(static_cast<uint64_t>(out.stream.tellp()) - record_offset);
    added[0].characteristics = section_read_only_data;
    std::memcpy(added[1].name, ".rsrc\0\0", 8);
    added[1].characteristics = section_read_only_data;
    // The resource tree holds addresses: its place must be known before its bytes.
    place_sections(stub, added);
    bytes resources = build_resource_section(settings.icon, settings.icon_name, settings.manifest, settings.texts,
                                             added[1].virtual_address);
    added[1].virtual_size = static_cast<uint32_t>(resources.size());
    added[1].raw_size = (added[1].virtual_size + stub.file_alignment - 1) / stub.file_alignment * stub.file_alignment;
    place_sections(stub, added);
    write_bytes(out, resources.data(), resources.size());
    pad_to_file_alignment(out, stub.file_alignment);

    bytes headers(stub_bytes.begin(), stub_bytes.begin() + stub.size_of_headers);
    add_sections(stub, headers, added, 1, settings.subsystem);
    overwrite(out, 0, headers.data(), headers.size());
    put_u64(&record[16], payload_size);
    out.stream.flush();
    std::string digest =
        file_sha256(out.path, record_offset + record.size(), payload_size).substr(0, payload_digest_units);
    for (size_t i = 0; i < digest.size(); ++i) record[digest_at + 2 * i] = static_cast<unsigned char>(digest[i]);
    overwrite(out, record_offset, record.data(), record.size());
    out.stream.flush();
    unsigned char checksum[4];
    put_u32(checksum, pe_checksum(out.path, checksum_offset(stub)));
    overwrite(out, checksum_offset(stub), checksum, sizeof checksum);
    publish_output(out, output);
    // Executable for whoever may read it, as a linker leaves its output.
    std::error_code ignored;
    fs::perms readable = fs::status(output, ignored).permissions();
    fs::permissions(output, fs::perms((static_cast<unsigned>(readable) & 0444) >> 2), fs::perm_options::add, ignored);
}
