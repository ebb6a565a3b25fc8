#include "payload_reader.h"

#include <zstd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <vector>

#include "failure.h"
#include "file_tree.h"
#include "path_text.h"
#include "payload_layout.h"
#include "pe_image.h"
#include "sha256.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t read_chunk_size = size_t{1} << 20;

// A fault in the payload itself; read_payload prefixes the file name.
struct layout_fault : failure {
    using failure::failure;
};

std::string num(uint64_t value) { return std::to_string(value); }

std::string hex_byte(unsigned value) {
    const char* digits = "0123456789ABCDEF";
    return std::string("0x") + digits[(value >> 4) & 15] + digits[value & 15];
}

uint64_t get_u64(const unsigned char* at) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | at[i];
    return value;
}

enum class parse_state { path, size, data, end };

// Splits the decompressed content into entries, checking each as it completes.
struct content_parser {
    const entry_visitor& visitor;
    parse_state state = parse_state::path;
    uint64_t offset = 0;  // content bytes consumed so far
    entry_info entry{1, 0, {}, 0};
    int pending_byte = -1;  // low byte of a unit still waiting for its high byte
    unsigned char size_field[entry_size_bytes] = {};
    size_t size_bytes = 0;
    uint64_t remaining = 0;
    name_registry names;
    payload_totals totals;

    explicit content_parser(const entry_visitor& handlers) : visitor(handlers) {}
};

[[noreturn]] void entry_fault(const content_parser& p, const std::string& what) {
    throw layout_fault("entry " + num(p.entry.number) + " at content offset " + num(p.entry.offset) + ": " + what);
}

void check_entry_path(content_parser& p) {
    const std::u16string& path = p.entry.path;
    std::string shown = "path '" + printable(utf16_to_utf8(path)) + "': ";
    if (!utf16_well_formed(path)) entry_fault(p, shown + "not well-formed UTF-16");
    if (path.find(u'/') != std::u16string::npos) entry_fault(p, shown + "contains '/'");
    if (p.entry.number == 1 && path.find(payload_separator) != std::u16string::npos)
        entry_fault(p, shown + "the first entry must be the library at the top level");
    for (size_t start = 0;;) {
        size_t end = std::min(path.find(payload_separator, start), path.size());
        if (const char* problem = windows_name_problem(path.substr(start, end - start)))
            entry_fault(p, shown + problem);
        if (end == path.size()) break;
        start = end + 1;
    }
    std::string clash = register_path(p.names, path, "entry " + num(p.entry.number) + " '" +
                                                         display_path(path, '\\') + "'", '\\');
    if (!clash.empty()) entry_fault(p, shown + clash);
}

void finish_entry(content_parser& p) {
    if (p.visitor.end) p.visitor.end();
    p.totals.files += 1;
    p.totals.bytes += p.entry.size;
    p.entry = entry_info{p.entry.number + 1, p.offset, {}, 0};
    p.state = parse_state::path;
}

void start_entry(content_parser& p) {
    p.entry.size = get_u64(p.size_field);
    check_entry_path(p);
    if (p.visitor.begin) p.visitor.begin(p.entry);
    p.remaining = p.entry.size;
    if (p.remaining == 0)
        finish_entry(p);
    else
        p.state = parse_state::data;
}

void take_unit(content_parser& p, char16_t unit) {
    if (unit != path_terminator_unit) {
        if (p.entry.path.size() == payload_path_max_units)
            entry_fault(p, "path longer than " + num(payload_path_max_units) + " UTF-16 units");
        p.entry.path += unit;
    } else if (!p.entry.path.empty()) {
        p.state = parse_state::size;
        p.size_bytes = 0;
    } else if (p.entry.number == 1) {
        throw layout_fault("content offset 0: end marker before any entry");
    } else {
        p.state = parse_state::end;
    }
}

void take_byte(content_parser& p, unsigned char byte) {
    if (p.state == parse_state::end)
        throw layout_fault("content offset " + num(p.offset) + ": content goes on after the end marker");
    p.offset += 1;
    if (p.state == parse_state::size) {
        p.size_field[p.size_bytes++] = byte;
        if (p.size_bytes == entry_size_bytes) start_entry(p);
    } else if (p.pending_byte < 0) {
        p.pending_byte = byte;
    } else {
        char16_t unit = static_cast<char16_t>(p.pending_byte | (byte << 8));
        p.pending_byte = -1;
        take_unit(p, unit);
    }
}

void parse(content_parser& p, const char* data, size_t size) {
    while (size > 0) {
        if (p.state != parse_state::data) {
            take_byte(p, static_cast<unsigned char>(*data));
            data += 1, size -= 1;
            continue;
        }
        size_t take = static_cast<size_t>(std::min<uint64_t>(p.remaining, size));
        if (p.visitor.data) p.visitor.data(data, take);
        data += take, size -= take;
        p.offset += take, p.remaining -= take;
        if (p.remaining == 0) finish_entry(p);
    }
}

void parse_end(const content_parser& p) {
    switch (p.state) {
        case parse_state::end:
            return;
        case parse_state::data:
            entry_fault(p, "size " + num(p.entry.size) + " beyond the remaining " +
                               num(p.entry.size - p.remaining) + " bytes");
        case parse_state::size:
            entry_fault(p, "content ends inside the size field");
        case parse_state::path:
            if (p.entry.path.empty() && p.pending_byte < 0)
                throw layout_fault("content offset " + num(p.offset) + ": content ends without the end marker");
            entry_fault(p, "content ends inside the path");
    }
}

void read_at(std::ifstream& in, uint64_t offset, unsigned char* data, size_t size) {
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char*>(data), static_cast<std::streamsize>(size));
    if (!in) throw failure("read error at offset " + num(offset));
}

// Checks everything around the frame of the payload at base; returns the frame length.
// Offsets in messages count from the payload's start.
uint64_t check_frame_room(std::ifstream& in, uint64_t base, uint64_t length) {
    if (length < payload_overhead + 6)
        throw layout_fault("file of " + num(length) + " bytes is too short for a payload");
    unsigned char head[payload_header_size + 6];
    read_at(in, base, head, sizeof head);
    if (!std::equal(payload_header, payload_header + payload_header_size, head))
        throw layout_fault("offset 0: header is not \"KAY\"");
    unsigned char tail[payload_gap_size + payload_trailer_size];
    read_at(in, base + length - sizeof tail, tail, sizeof tail);
    uint64_t trailer = get_u64(tail + payload_gap_size);
    if (trailer != length - payload_trailer_size)
        throw layout_fault("offset " + num(length - payload_trailer_size) + ": trailer holds " + num(trailer) +
                           ", expected " + num(length - payload_trailer_size) + " from the file length");
    if (std::any_of(tail, tail + payload_gap_size, [](unsigned char b) { return b != 0; }))
        throw layout_fault("offset " + num(length - sizeof tail) + ": the four bytes before the trailer are not zero");

    const unsigned char* frame = head + payload_header_size;
    if (!std::equal(zstd_frame_magic, zstd_frame_magic + 4, frame))
        throw layout_fault("offset 3: no zstd frame magic");
    if (frame[4] != frame_header_descriptor)
        throw layout_fault("offset 7: frame header descriptor " + hex_byte(frame[4]) + ", expected " +
                           hex_byte(frame_header_descriptor));
    if (window_size_of(frame[5]) > large_content_size)
        throw layout_fault("offset 8: frame window of " + num(window_size_of(frame[5])) + " bytes, over the 2^" +
                           num(payload_max_window_log) + " limit");
    return length - payload_overhead;
}

// Decodes exactly one frame that must fill the whole room before the zero gap.
void decode_frame(std::ifstream& in, uint64_t base, uint64_t frame_length, content_parser& parser) {
    std::unique_ptr<ZSTD_DCtx, size_t (*)(ZSTD_DCtx*)> context(ZSTD_createDCtx(), ZSTD_freeDCtx);
    ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, payload_max_window_log);
    std::vector<char> input(read_chunk_size), output(ZSTD_DStreamOutSize());
    in.seekg(static_cast<std::streamoff>(base + payload_header_size));
    uint64_t consumed = 0;
    bool frame_done = false;
    while (consumed < frame_length && !frame_done) {
        size_t chunk = static_cast<size_t>(std::min<uint64_t>(input.size(), frame_length - consumed));
        in.read(input.data(), static_cast<std::streamsize>(chunk));
        if (!in) throw failure("read error at offset " + num(payload_header_size + consumed));
        ZSTD_inBuffer source{input.data(), chunk, 0};
        bool output_full = false;
        while ((source.pos < source.size || output_full) && !frame_done) {
            ZSTD_outBuffer target{output.data(), output.size(), 0};
            size_t result = ZSTD_decompressStream(context.get(), &target, &source);
            if (ZSTD_isError(result))
                throw layout_fault("frame damaged before offset " + num(payload_header_size + consumed + source.pos) +
                                   ": " + ZSTD_getErrorName(result));
            parse(parser, output.data(), target.pos);
            output_full = target.pos == target.size;
            frame_done = result == 0;
        }
        consumed += source.pos;
    }
    uint64_t gap_offset = payload_header_size + frame_length;
    if (!frame_done)
        throw layout_fault("offset " + num(gap_offset) + ": frame is cut short before the four zero bytes");
    if (consumed < frame_length)
        throw layout_fault("offset " + num(payload_header_size + consumed) + ": frame ends " +
                           num(frame_length - consumed) + " bytes before the four zero bytes");
}

// The settings record names the payload's cache directory by this digest: one that is
// not the payload's would share a cache with another build.
void check_digest(const fs::path& file, const payload_span& span) {
    if (span.digest.empty()) return;
    std::string actual = file_sha256(file, span.offset, span.length).substr(0, payload_digest_units);
    if (actual != span.digest)
        throw layout_fault("settings record: digest " + span.digest + " is not the payload's (" + actual + ")");
}

}  // namespace

payload_totals read_payload(const fs::path& file, const entry_visitor& visitor) {
    std::string name = printable(host_bytes(file));
    std::error_code error;
    uint64_t length = fs::file_size(file, error);
    std::ifstream in(file, std::ios::binary);
    if (error || !in) throw failure(name + ": cannot open" + (error ? " (" + error.message() + ")" : ""));
    // An executable carries its payload somewhere inside; a payload file is one whole.
    char magic[2] = {};
    in.read(magic, 2);
    payload_span span{0, length, {}};
    payload_totals facts;
    if (in && magic[0] == 'M' && magic[1] == 'Z') {
        pe_image image = read_pe_image(file);
        span = find_payload_in_exe(file, image);
        name += " (payload at offset " + num(span.offset) + ")";
        facts.executable = true;
        facts.launcher_version = launcher_version_of(file, image, span);
        for (const std::u16string& text : span.texts) facts.settings.push_back(utf16_to_utf8(text));
        if (span.texts.empty()) facts.version_strings = version_record_strings(file, image);
    }
    in.clear();
    // The first entry's leading bytes, for a payload without a settings record.
    std::vector<unsigned char> image_start;
    bool in_first = false;
    entry_visitor watching = visitor;
    watching.begin = [&](const entry_info& entry) {
        in_first = entry.number == 1;
        if (visitor.begin) visitor.begin(entry);
    };
    watching.data = [&](const char* data, size_t size) {
        size_t take = in_first ? std::min(size, image_start_size - image_start.size()) : 0;
        image_start.insert(image_start.end(), data, data + take);
        if (visitor.data) visitor.data(data, size);
    };
    try {
        content_parser parser(watching);
        decode_frame(in, span.offset, check_frame_room(in, span.offset, span.length), parser);
        parse_end(parser);
        parser.totals.kind = span.kind >= 0 ? static_cast<uint32_t>(span.kind)
                                            : kind_of_image_start(image_start.data(), image_start.size());
        check_digest(file, span);
        facts.files = parser.totals.files;
        facts.bytes = parser.totals.bytes;
        facts.kind = parser.totals.kind;
        return facts;
    } catch (const layout_fault& fault) {
        throw failure(name + ": " + fault.what());
    }
}
