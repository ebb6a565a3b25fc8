#include "payload_writer.h"

// For ZSTD_getFrameProgression: how much content the workers have compressed.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <memory>

#include "failure.h"
#include "output_file.h"
#include "path_text.h"
#include "payload_layout.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t feed_chunk_size = size_t{1} << 20;

void put_u64(unsigned char* at, uint64_t value) {
    for (int i = 0; i < 8; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

// One line on stderr, rewritten in place: files and content bytes compressed so far, the
// rate and the time left at that rate. A file counts as done once the compressor has taken in its last byte.
struct progress_line {
    using clock = std::chrono::steady_clock;
    std::vector<uint64_t> file_ends;  // content offset after each file's data
    uint64_t total_bytes = 0;
    size_t files_done = 0;
    clock::time_point start = clock::now();
    clock::time_point shown{};
    size_t shown_length = 0;  // 0 while no line is on the screen

    void show(uint64_t consumed, bool last) {
        clock::time_point now = clock::now();
        if (!last && now - shown < std::chrono::milliseconds(200)) return;
        shown = now;
        while (files_done < file_ends.size() && file_ends[files_done] <= consumed) ++files_done;
        double seconds = std::chrono::duration<double>(now - start).count();
        double rate = seconds > 0 ? consumed / seconds : 0.0;  // bytes per second
        // The rate so far is the estimate: zstd's speed at one level barely changes
        // over a tree. Unknown until something has been compressed.
        char left[32] = "--:-- left";
        if (last) {
            std::snprintf(left, sizeof left, "0:00 left");
        } else if (rate > 0 && consumed > 0) {
            uint64_t remaining = static_cast<uint64_t>((total_bytes > consumed ? total_bytes - consumed : 0) / rate);
            std::snprintf(left, sizeof left, "%" PRIu64 ":%02u left", remaining / 60,
                          static_cast<unsigned>(remaining % 60));
        }
        char line[192];
        int length = std::snprintf(line, sizeof line, "tarvix-pack: %zu of %zu files, %.1f of %.1f MB, %.1f MB/s, %s",
                                   files_done, file_ends.size(), consumed / 1e6, total_bytes / 1e6, rate / 1e6, left);
        size_t written = length > 0 ? std::min(static_cast<size_t>(length), sizeof line - 1) : 0;
        // Blanks wipe what is left of a longer earlier line.
        std::fprintf(stderr, "\r%s%*s", line, static_cast<int>(shown_length > written ? shown_length - written : 0),
                     "");
        shown_length = std::max(written, size_t{1});
        std::fflush(stderr);
    }
    // Ends the line, so that what follows, an error too, starts on a line of its own.
    ~progress_line() {
        if (shown_length > 0) std::fputc('\n', stderr);
    }
};

struct compressor {
    std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx*)> context{ZSTD_createCCtx(), ZSTD_freeCCtx};
    temp_output& out;
    std::vector<char> input = std::vector<char>(feed_chunk_size);
    std::vector<char> output = std::vector<char>(ZSTD_CStreamOutSize());
    size_t used = 0;
    uint64_t frame_size = 0;
    progress_line* progress = nullptr;

    explicit compressor(temp_output& destination) : out(destination) {}
};

void set_parameter(compressor& c, ZSTD_cParameter parameter, int value, const char* name) {
    size_t code = ZSTD_CCtx_setParameter(c.context.get(), parameter, value);
    if (ZSTD_isError(code))
        throw failure(std::string("zstd refused ") + name + " " + std::to_string(value) + ": " +
                      ZSTD_getErrorName(code));
}

// Hands the buffered input to zstd; ZSTD_e_end also closes the frame.
void drain(compressor& c, ZSTD_EndDirective mode) {
    ZSTD_inBuffer in{c.input.data(), c.used, 0};
    for (;;) {
        ZSTD_outBuffer out{c.output.data(), c.output.size(), 0};
        size_t left = ZSTD_compressStream2(c.context.get(), &out, &in, mode);
        if (ZSTD_isError(left)) throw failure(std::string("compression failed: ") + ZSTD_getErrorName(left));
        write_bytes(c.out, c.output.data(), out.pos);
        c.frame_size += out.pos;
        if (c.progress) c.progress->show(ZSTD_getFrameProgression(c.context.get()).consumed, false);
        if (mode == ZSTD_e_end ? left == 0 : in.pos == in.size) break;
    }
    c.used = 0;
}

void feed(compressor& c, const unsigned char* data, size_t size) {
    while (size > 0) {
        size_t take = std::min(size, c.input.size() - c.used);
        std::copy(data, data + take, c.input.data() + c.used);
        c.used += take, data += take, size -= take;
        if (c.used == c.input.size()) drain(c, ZSTD_e_continue);
    }
}

void feed_entry_head(compressor& c, const pack_file& file) {
    std::vector<unsigned char> head;
    for (char16_t unit : file.path) {
        head.push_back(static_cast<unsigned char>(unit & 0xFF));
        head.push_back(static_cast<unsigned char>(unit >> 8));
    }
    head.resize(head.size() + 2 + entry_size_bytes, 0);  // the terminator stays 0x0000
    put_u64(head.data() + head.size() - entry_size_bytes, file.size);
    feed(c, head.data(), head.size());
}

// Reads straight into the input buffer: file contents can be hundreds of MB.
void feed_file_data(compressor& c, const pack_file& file) {
    std::ifstream in(file.source, std::ios::binary);
    if (!in) throw failure("cannot read '" + printable(file.display) + "'");
    for (uint64_t remaining = file.size; remaining > 0;) {
        size_t take = static_cast<size_t>(std::min<uint64_t>(remaining, c.input.size() - c.used));
        in.read(c.input.data() + c.used, static_cast<std::streamsize>(take));
        if (static_cast<size_t>(in.gcount()) != take)
            throw failure("'" + printable(file.display) + "' shrank while being packed");
        c.used += take, remaining -= take;
        if (c.used == c.input.size()) drain(c, ZSTD_e_continue);
    }
    if (in.peek() != std::ifstream::traits_type::eof())
        throw failure("'" + printable(file.display) + "' grew while being packed");
}

uint64_t content_size_of(const std::vector<pack_file>& files) {
    uint64_t size = end_marker_size;
    for (const auto& file : files) size += entry_overhead(file.path.size()) + file.size;
    return size;
}

void compress_content(compressor& c, const std::vector<pack_file>& files, int level, int workers) {
    uint64_t content_size = content_size_of(files);
    set_parameter(c, ZSTD_c_compressionLevel, level, "level");
    set_parameter(c, ZSTD_c_windowLog, window_log_for(content_size), "window log");
    set_parameter(c, ZSTD_c_contentSizeFlag, 0, "content size flag");
    set_parameter(c, ZSTD_c_checksumFlag, 0, "checksum flag");
    set_parameter(c, ZSTD_c_dictIDFlag, 0, "dictionary ID flag");
    // Output is the same for any worker count from 1 up, but differs with 0 (no threads).
    set_parameter(c, ZSTD_c_nbWorkers, workers, "worker count");
    // Lets zstd tune for the size and fail if a file changes between listing and reading.
    size_t code = ZSTD_CCtx_setPledgedSrcSize(c.context.get(), content_size);
    if (ZSTD_isError(code)) throw failure(std::string("zstd refused the content size: ") + ZSTD_getErrorName(code));

    for (const auto& file : files) {
        feed_entry_head(c, file);
        feed_file_data(c, file);
    }
    const unsigned char end_marker[end_marker_size] = {end_marker_unit & 0xFF, end_marker_unit >> 8};
    feed(c, end_marker, sizeof end_marker);
    drain(c, ZSTD_e_end);
    if (c.progress) c.progress->show(content_size, true);
}

// zstd chooses the frame header itself; the launcher depends on its exact form.
void check_frame_header(const fs::path& path, uint64_t start, unsigned char expected_window) {
    unsigned char head[payload_header_size + 6] = {};
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(start));
    in.read(reinterpret_cast<char*>(head), sizeof head);
    const unsigned char* frame = head + payload_header_size;
    if (!in || !std::equal(zstd_frame_magic, zstd_frame_magic + 4, frame))
        throw failure("zstd wrote no frame magic; payload discarded");
    if (frame[4] != frame_header_descriptor || frame[5] != expected_window) {
        char message[128];
        std::snprintf(message, sizeof message,
                      "zstd wrote frame header %02X %02X instead of %02X %02X; payload discarded", frame[4],
                      frame[5], frame_header_descriptor, expected_window);
        throw failure(message);
    }
}

}  // namespace

void write_payload(const std::vector<pack_file>& files, const fs::path& output, int level, int workers,
                   bool show_progress) {
    check_output_name(output);
    temp_output out(output);
    write_payload_to(out, files, level, workers, show_progress);
    publish_output(out, output);
}

uint64_t write_payload_to(temp_output& out, const std::vector<pack_file>& files, int level, int workers,
                          bool show_progress) {
    uint64_t start = static_cast<uint64_t>(out.stream.tellp());
    write_bytes(out, payload_header, payload_header_size);

    compressor c(out);
    progress_line progress;
    if (show_progress) {
        for (const auto& file : files)
            progress.file_ends.push_back(progress.total_bytes += entry_overhead(file.path.size()) + file.size);
        progress.total_bytes += end_marker_size;
        c.progress = &progress;
    }
    compress_content(c, files, level, workers);

    unsigned char tail[payload_gap_size + payload_trailer_size] = {};
    put_u64(tail + payload_gap_size, payload_header_size + c.frame_size + payload_gap_size);
    write_bytes(out, tail, sizeof tail);
    out.stream.flush();
    if (!out.stream) throw failure("cannot write '" + printable(host_bytes(out.path)) + "'");

    check_frame_header(out.path, start, window_descriptor(window_log_for(content_size_of(files))));
    return payload_overhead + c.frame_size;
}
