#include <gtest/gtest.h>
#include <zstd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "payload/attached_payload.h"
#include "payload/payload_reader.h"
#include "payload_test_frames.h"

namespace {

// The reader's decoder calls go through a script: each call takes the next step, and
// calls beyond the script go to zstd unchanged, as they do for the extraction tests.
enum class step_kind {
    real,     // zstd itself
    limited,  // zstd, but allowed to produce at most amount bytes
    nothing,  // returns at once: no output, no input consumed
    scripted  // amount bytes of scripted_output, and all input taken as consumed
};

struct decoder_step {
    step_kind kind;
    size_t amount;
};

std::vector<decoder_step> script;
byte_vector scripted_output;
size_t scripted_offset = 0;
size_t decoder_calls = 0;
std::vector<size_t> produced;  // output bytes of each call

void reset_script(std::vector<decoder_step> steps, byte_vector output = {}) {
    script = std::move(steps);
    scripted_output = std::move(output);
    scripted_offset = 0;
    decoder_calls = 0;
    produced.clear();
}

}  // namespace

extern "C" size_t __real_ZSTD_decompressStream(ZSTD_DCtx* context, ZSTD_outBuffer* output, ZSTD_inBuffer* input);
extern "C" size_t __wrap_ZSTD_decompressStream(ZSTD_DCtx* context, ZSTD_outBuffer* output, ZSTD_inBuffer* input) {
    decoder_step step = decoder_calls < script.size() ? script[decoder_calls] : decoder_step{step_kind::real, 0};
    ++decoder_calls;
    size_t before = output->pos;
    size_t result = 1;
    switch (step.kind) {
        case step_kind::real:
            result = __real_ZSTD_decompressStream(context, output, input);
            break;
        case step_kind::limited: {
            size_t full_size = output->size;
            output->size = std::min(full_size, output->pos + step.amount);
            result = __real_ZSTD_decompressStream(context, output, input);
            output->size = full_size;
            break;
        }
        case step_kind::nothing:
            break;
        case step_kind::scripted:
            memcpy(static_cast<unsigned char*>(output->dst) + output->pos, scripted_output.data() + scripted_offset,
                   step.amount);
            output->pos += step.amount;
            scripted_offset += step.amount;
            input->pos = input->size;
            result = 0;
            break;
    }
    produced.push_back(output->pos - before);
    return result;
}

namespace {

const char decode_failed_pattern[] = "^Error, couldn't decode attached data\\.";

byte_vector read_bytes(size_t count) {
    byte_vector bytes(count);
    payload_read(bytes.data(), count);
    return bytes;
}

byte_vector slice(const byte_vector& bytes, size_t from, size_t to) {
    return byte_vector(bytes.begin() + from, bytes.begin() + to);
}

// The statement of a death test that must end with "couldn't decode attached data":
// returning from the reads is a failure too.
void read_until_failure(const unsigned char* payload, size_t size, size_t first_request, size_t second_request) {
    start_hang_watchdog();
    stdout_to_stderr();
    payload_reader_create(payload, size);
    read_bytes(first_request);
    if (second_request > 0) read_bytes(second_request);
    exit(0);
}

class payload_reader : public testing::Test {
protected:
    void SetUp() override { reset_script({}); }
    void TearDown() override { reset_script({}); }
};

TEST(payload_check_header, accepts_kay_and_ends_with_2_on_anything_else) {
    const unsigned char good[] = {'K', 'A', 'Y', 0x28};
    payload_check_header(good, sizeof good);
    payload_check_header(good, 3);

    struct {
        const char* bytes;
        size_t size;
    } bad[] = {{"KAX", 3}, {"KA\0", 3}, {"XAY", 3}, {"KAY", 2}};
    for (const auto& payload : bad) {
        EXPECT_EXIT(
            {
                stdout_to_stderr();
                payload_check_header(reinterpret_cast<const unsigned char*>(payload.bytes), payload.size);
            },
            testing::ExitedWithCode(2), "^Error, couldn't find attached data header\\.")
            << "payload '" << payload.bytes << "' of " << payload.size << " bytes";
    }
}

// A payload section as tarvix-pack writes it: the settings record, then "KAY" and the
// rest of a payload, then the zeros of the file alignment.
struct section_bytes {
    alignas(8) unsigned char bytes[256] = {};
    size_t size = sizeof bytes;

    section_bytes(const std::wstring& texts, uint32_t record_size, uint64_t payload_size) {
        memcpy(bytes, payload_settings_magic, sizeof payload_settings_magic);
        memcpy(bytes + 8, &record_size, 4);
        memcpy(bytes + 16, &payload_size, 8);
        for (size_t i = 0; i < texts.size(); ++i) memcpy(bytes + 24 + 2 * i, &texts[i], 2);
        memcpy(bytes + record_size, "KAY", 3);
    }
};

const std::wstring good_texts{L"Co\0Product\0" L"1.2\0\0" L"0123456789abcdef\0", 33};

TEST(payload_section, finds_settings_and_payload_and_refuses_any_malformed_record) {
    section_bytes good(good_texts, 96, 20);
    payload_section_contents contents;
    ASSERT_TRUE(parse_payload_section(good.bytes, good.size, &contents));
    EXPECT_EQ(contents.payload, good.bytes + 96);
    EXPECT_EQ(contents.payload_size, 20u);
    const wchar_t* expected[] = {L"Co", L"Product", L"1.2", L"", L"0123456789abcdef"};
    for (size_t i = 0; i < payload_settings_text_count; ++i) EXPECT_STREQ(contents.texts[i], expected[i]);
    EXPECT_EQ(contents.kind, payload_kind_library);
    EXPECT_TRUE(parse_payload_section(good.bytes, 96 + 20, &contents)) << "the payload may end the section";
    section_bytes program(good_texts, 96, 20);
    program.bytes[12] = payload_kind_program;
    ASSERT_TRUE(parse_payload_section(program.bytes, program.size, &contents));
    EXPECT_EQ(contents.kind, payload_kind_program);

    std::wstring no_digest = good_texts.substr(0, 17);
    std::wstring upper_digest = good_texts;
    upper_digest[20] = L'A';
    std::wstring unterminated(60, L'x');
    struct {
        const char* name;
        section_bytes section;
        size_t size;
    } broken[] = {
        {"payload beyond the section", section_bytes(good_texts, 96, 161), 256},
        {"record beyond the section", section_bytes(good_texts, 96, 0), 95},
        {"record size not a multiple of 8", section_bytes(good_texts, 92, 20), 256},
        {"record smaller than its fixed part", section_bytes(L"", 16, 20), 256},
        {"no digest", section_bytes(no_digest, 96, 20), 256},
        {"digest in capitals", section_bytes(upper_digest, 96, 20), 256},
        {"text without its terminator", section_bytes(unterminated, 96, 20), 256},
        {"bytes after the texts", section_bytes(good_texts + L"x", 96, 20), 256},
        {"section shorter than the fixed part", section_bytes(good_texts, 96, 20), 23},
    };
    for (auto& test : broken) {
        EXPECT_FALSE(parse_payload_section(test.section.bytes, test.size, &contents)) << test.name;
    }
    section_bytes bad_magic(good_texts, 96, 20);
    bad_magic.bytes[7] ^= 1;
    EXPECT_FALSE(parse_payload_section(bad_magic.bytes, bad_magic.size, &contents));
    for (unsigned char at : {12, 15}) {  // a kind of a later launcher, in its low or high byte
        section_bytes unknown_kind(good_texts, 96, 20);
        unknown_kind.bytes[at] = 2;
        EXPECT_FALSE(parse_payload_section(unknown_kind.bytes, unknown_kind.size, &contents)) << int{at};
    }
}

TEST_F(payload_reader, hands_out_exact_counts_across_raw_and_rle_blocks) {
    byte_vector content;
    byte_vector frame;
    append_frame_header(frame, small_window);
    byte_vector first = pattern_bytes(1000, 1);
    byte_vector middle = pattern_bytes(largest_block, 2);
    byte_vector last = pattern_bytes(70000, 3);
    append_raw_block(frame, first.data(), first.size(), false);
    append_rle_block(frame, 0xA5, largest_block, false);
    append_raw_block(frame, middle.data(), middle.size(), false);
    append_rle_block(frame, 0x5A, 3, false);
    append_raw_block(frame, last.data(), last.size(), true);
    content.insert(content.end(), first.begin(), first.end());
    content.insert(content.end(), largest_block, 0xA5);
    content.insert(content.end(), middle.begin(), middle.end());
    content.insert(content.end(), 3, 0x5A);
    content.insert(content.end(), last.begin(), last.end());
    byte_vector payload = attached_payload(frame);

    payload_reader_create(payload.data(), payload.size());
    const size_t request_sizes[] = {1, 2, 8, 3, 32768, 100000, 7, largest_block, 999};
    size_t offset = 0;
    for (size_t i = 0; offset < content.size(); ++i) {
        size_t count = std::min(request_sizes[i % std::size(request_sizes)], content.size() - offset);
        ASSERT_EQ(read_bytes(count), slice(content, offset, offset + count)) << "request " << i << " at " << offset;
        if (i == 0) {
            EXPECT_EQ(decoder_calls, 1u) << "the first request must decode although nothing is held";
        }
        offset += count;
    }
    payload_reader_release();
}

TEST_F(payload_reader, serves_a_request_from_the_rest_of_the_output_then_the_next_decoder_call) {
    byte_vector content = pattern_bytes(16, 4);
    byte_vector payload = attached_payload(raw_frame(content));
    reset_script({{step_kind::limited, 5}, {step_kind::limited, 5}});
    payload_reader_create(payload.data(), payload.size());

    EXPECT_EQ(read_bytes(2), slice(content, 0, 2));
    EXPECT_EQ(decoder_calls, 1u);
    // 3 bytes left over, 5 from the next call.
    EXPECT_EQ(read_bytes(8), slice(content, 2, 10));
    EXPECT_EQ(decoder_calls, 2u);
    EXPECT_EQ(read_bytes(6), slice(content, 10, 16));
    EXPECT_EQ(produced, (std::vector<size_t>{5, 5, 6}));
    payload_reader_release();
}

TEST_F(payload_reader, calls_the_decoder_again_when_a_call_yields_nothing_while_input_remains) {
    byte_vector content = pattern_bytes(40, 5);
    byte_vector payload = attached_payload(raw_frame(content));
    reset_script({{step_kind::limited, 3}, {step_kind::nothing, 0}, {step_kind::nothing, 0}});
    payload_reader_create(payload.data(), payload.size());

    EXPECT_EQ(read_bytes(1), slice(content, 0, 1));
    EXPECT_EQ(read_bytes(8), slice(content, 1, 9));
    EXPECT_EQ(decoder_calls, 4u);
    EXPECT_EQ(produced, (std::vector<size_t>{3, 0, 0, 37}));
    payload_reader_release();
}

TEST_F(payload_reader, a_call_that_fills_the_output_is_followed_by_another_even_with_all_input_consumed) {
    byte_vector payload = attached_payload(raw_frame(pattern_bytes(10, 6)));
    byte_vector expected = pattern_bytes(largest_block + 10, 7);
    reset_script({{step_kind::scripted, largest_block}, {step_kind::scripted, 10}}, expected);
    payload_reader_create(payload.data(), payload.size());

    EXPECT_EQ(read_bytes(expected.size()), expected);
    EXPECT_EQ(decoder_calls, 2u);
    payload_reader_release();
}

TEST_F(payload_reader, input_used_up_inside_the_frame_ends_with_2_instead_of_waiting) {
    byte_vector content = pattern_bytes(100, 8);
    byte_vector frame = raw_frame(content);
    byte_vector stored = {'K', 'A', 'Y'};
    stored.insert(stored.end(), frame.begin(), frame.end());  // no zero bytes and trailer
    struct {
        const char* name;
        size_t size;
        size_t first_request;
        size_t second_request;
    } cuts[] = {
        {"inside the frame header", 3 + 5, 100, 0},
        {"inside the block", 3 + 6 + 3 + 50, 100, 0},
        {"right at the frame's end", stored.size(), 100, 1},
    };
    for (const auto& cut : cuts) {
        EXPECT_EXIT(read_until_failure(stored.data(), cut.size, cut.first_request, cut.second_request),
                    testing::ExitedWithCode(2), decode_failed_pattern)
            << cut.name;
    }

    // One byte short of a full output buffer, all input consumed: nothing more can come,
    // so the decoder must not be called again (it would hand out 11 more bytes).
    byte_vector payload = attached_payload(frame);
    EXPECT_EXIT(
        {
            reset_script({{step_kind::scripted, largest_block - 1}, {step_kind::scripted, 11}},
                         pattern_bytes(largest_block + 10, 9));
            read_until_failure(payload.data(), payload.size(), largest_block + 10, 0);
        },
        testing::ExitedWithCode(2), decode_failed_pattern);
}

TEST_F(payload_reader, a_request_beyond_the_frame_content_ends_with_2) {
    byte_vector content = {'a', 'b', 'c', 'd', 'e', 'f'};
    byte_vector payload = attached_payload(raw_frame(content));
    payload_reader_create(payload.data(), payload.size());
    EXPECT_EQ(read_bytes(6), content);
    payload_reader_release();

    // The zero bytes and the trailer follow the frame; none of them may be handed out.
    struct {
        size_t first_request;
        size_t second_request;
    } requests[] = {{7, 0}, {6, 1}, {5, 13}};
    for (const auto& request : requests) {
        EXPECT_EXIT(
            read_until_failure(payload.data(), payload.size(), request.first_request, request.second_request),
            testing::ExitedWithCode(2), decode_failed_pattern)
            << request.first_request << " then " << request.second_request << " bytes";
    }
}

TEST_F(payload_reader, a_window_above_the_decoder_limit_fails_on_the_first_request) {
    // 0x88 is the packer's 2^27 window, the largest accepted.
    byte_vector content = pattern_bytes(300, 10);
    byte_vector accepted = attached_payload(raw_frame(content, 0x88));
    payload_reader_create(accepted.data(), accepted.size());
    EXPECT_EQ(read_bytes(content.size()), content);
    payload_reader_release();

    const unsigned char too_large[] = {0x89, 0x90};
    for (unsigned char window : too_large) {
        byte_vector payload = attached_payload(raw_frame(content, window));
        EXPECT_EXIT(read_until_failure(payload.data(), payload.size(), 1, 0), testing::ExitedWithCode(2),
                    decode_failed_pattern)
            << "window descriptor " << static_cast<int>(window);
    }
}

TEST_F(payload_reader, a_corrupt_frame_ends_with_2) {
    byte_vector content = pattern_bytes(64, 11);
    struct corrupt_frame {
        const char* name;
        byte_vector frame;
    };
    std::vector<corrupt_frame> frames;

    byte_vector wrong_magic = raw_frame(content);
    wrong_magic[3] = 0xFE;
    frames.push_back({"wrong magic number", wrong_magic});

    byte_vector reserved_bit = raw_frame(content);
    reserved_bit[4] = 0x08;
    frames.push_back({"reserved header bit", reserved_bit});

    byte_vector dictionary = {0x28, 0xB5, 0x2F, 0xFD, 0x01, small_window, 0x2A};
    append_raw_block(dictionary, content.data(), content.size(), true);
    frames.push_back({"dictionary the decoder lacks", dictionary});

    byte_vector reserved_block;
    append_frame_header(reserved_block, small_window);
    reserved_block.insert(reserved_block.end(), {0x07, 0x00, 0x00});  // last, type 3, size 0
    frames.push_back({"reserved block type", reserved_block});

    byte_vector oversized;
    append_frame_header(oversized, small_window);
    byte_vector big = pattern_bytes(largest_block + 1, 12);
    append_raw_block(oversized, big.data(), big.size(), true);
    frames.push_back({"block above the largest size", oversized});

    byte_vector treeless;
    append_frame_header(treeless, small_window);
    treeless.insert(treeless.end(), {0x25, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF});  // compressed, 4 bytes
    frames.push_back({"compressed block reusing a table it never had", treeless});

    for (const corrupt_frame& corrupt : frames) {
        byte_vector payload = attached_payload(corrupt.frame);
        EXPECT_EXIT(read_until_failure(payload.data(), payload.size(), 1, 0), testing::ExitedWithCode(2),
                    decode_failed_pattern)
            << corrupt.name;
    }
}

}  // namespace
