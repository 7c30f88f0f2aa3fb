/*
 * jpeg_stream_check_test.cpp - which streams carry every table they use:
 * TurboJPEG's own streams of every kind pass, and the same streams with a
 * table segment turned into a comment, cut short, or bent out of shape
 * are refused for what they lack. One row per stream.
 */
#include "common/jpeg_stream_check.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cstdlib>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace nvx {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kDqt = 0xDB, kDht = 0xC4, kSof0 = 0xC0, kSof2 = 0xC2, kSos = 0xDA;
constexpr std::uint8_t kComment = 0xFE;

// 64 x 48 pixels of noise over a gradient: entropy-coded data full of
// stuffed 0xFF bytes.
Bytes Encode(int subsampling, int flags, int pixelFormat = TJPF_RGB) {
    const int width = 64, height = 48, channels = tjPixelSize[pixelFormat];
    Bytes pixels(static_cast<std::size_t>(width * height * channels));
    unsigned state = 12345;
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        state = state * 1103515245u + 12345u;
        pixels[i] = static_cast<std::uint8_t>((i % 200) + (state >> 24) % 56);
    }
    tjhandle compressor = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    Bytes stream;
    if (tjCompress2(compressor, pixels.data(), width, 0, height, pixelFormat, &jpeg, &size,
                    subsampling, 85, flags) == 0) {
        stream.assign(jpeg, jpeg + size);
    }
    tjFree(jpeg);
    tjDestroy(compressor);
    return stream;
}

Bytes Baseline() { return Encode(TJSAMP_444, 0); }

// A baseline stream made with one of TurboJPEG's settings from the environment.
Bytes BaselineWith(const char* setting, const char* value) {
    setenv(setting, value, 1);
    Bytes stream = Baseline();
    unsetenv(setting);
    return stream;
}

// Restart markers in the entropy-coded data, one every MCU row.
Bytes WithRestarts() { return BaselineWith("TJ_RESTART", "1"); }
Bytes ArithmeticCoded() { return BaselineWith("TJ_ARITHMETIC", "1"); }

// Offsets of the marker segments before the first scan (the 0xFF of each).
std::vector<std::size_t> HeaderSegments(const Bytes& stream) {
    std::vector<std::size_t> at;
    for (std::size_t i = 2; i + 4 <= stream.size() && stream[i] == 0xFF;) {
        at.push_back(i);
        if (stream[i + 1] == kSos) break;
        i += 2 + ((std::size_t{stream[i + 2]} << 8) | stream[i + 3]);
    }
    return at;
}

// The stream with the `nth` header segment of marker `code` (every one when
// nth is -1) turned into a comment: the same bytes, without that table.
Bytes Renamed(Bytes stream, std::uint8_t code, int nth = -1, std::uint8_t to = kComment) {
    int seen = 0;
    for (const std::size_t at : HeaderSegments(stream)) {
        if (stream[at + 1] != code) continue;
        if (nth < 0 || seen == nth) stream[at + 1] = to;
        ++seen;
    }
    return stream;
}

// The header segments before the first scan, then EOI: tables and a frame
// without any scan.
Bytes HeaderOnly(const Bytes& stream, bool keepFrame) {
    Bytes out(stream.begin(), stream.begin() + 2);
    for (const std::size_t at : HeaderSegments(stream)) {
        const std::uint8_t code = stream[at + 1];
        if (code == kSos) break;
        if (!keepFrame && code == kSof0) continue;
        const std::size_t length = (std::size_t{stream[at + 2]} << 8) | stream[at + 3];
        out.insert(out.end(), stream.begin() + static_cast<std::ptrdiff_t>(at),
                   stream.begin() + static_cast<std::ptrdiff_t>(at + 2 + length));
    }
    out.push_back(0xFF);
    out.push_back(0xD9);
    return out;
}

// The first DQT segment's table id set to `slot`.
Bytes QuantSlot(Bytes stream, std::uint8_t slot) {
    for (const std::size_t at : HeaderSegments(stream)) {
        if (stream[at + 1] == kDqt) {
            stream[at + 4] = slot;
            break;
        }
    }
    return stream;
}

// The first header segment of marker `code` twice over.
Bytes Duplicated(Bytes stream, std::uint8_t code) {
    for (const std::size_t at : HeaderSegments(stream)) {
        if (stream[at + 1] != code) continue;
        const std::size_t end = at + 2 + ((std::size_t{stream[at + 2]} << 8) | stream[at + 3]);
        const Bytes segment(stream.begin() + static_cast<std::ptrdiff_t>(at),
                            stream.begin() + static_cast<std::ptrdiff_t>(end));
        stream.insert(stream.begin() + static_cast<std::ptrdiff_t>(end), segment.begin(),
                      segment.end());
        break;
    }
    return stream;
}

Bytes Cut(Bytes stream, std::size_t keep) {
    stream.resize(keep);
    return stream;
}

Bytes Inserted(Bytes stream, std::size_t at, const Bytes& bytes) {
    stream.insert(stream.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin(), bytes.end());
    return stream;
}

struct StreamCase {
    const char* name;
    std::function<Bytes()> make;
    StreamCompleteness expected;
};

void PrintTo(const StreamCase& row, std::ostream* out) { *out << row.name; }

class StreamCompletenessTest : public ::testing::TestWithParam<StreamCase> {};

TEST_P(StreamCompletenessTest, RefusesStreamsThatLeanOnTablesTheyDoNotCarry) {
    const Bytes stream = GetParam().make();
    ASSERT_GE(stream.size(), 2u);
    EXPECT_EQ(CheckStreamCompleteness(stream.data(), stream.size()), GetParam().expected);
}

using C = StreamCompleteness;

INSTANTIATE_TEST_SUITE_P(
    EachStream, StreamCompletenessTest,
    ::testing::Values(
        StreamCase{"Baseline444", Baseline, C::kComplete},
        StreamCase{"Baseline420", [] { return Encode(TJSAMP_420, 0); }, C::kComplete},
        StreamCase{"Greyscale", [] { return Encode(TJSAMP_GRAY, 0, TJPF_GRAY); }, C::kComplete},
        StreamCase{"Progressive", [] { return Encode(TJSAMP_444, TJFLAG_PROGRESSIVE); },
                   C::kComplete},
        StreamCase{"ArithmeticCoded", ArithmeticCoded, C::kComplete},
        StreamCase{"WithRestartMarkers", WithRestarts, C::kComplete},
        StreamCase{"WithoutQuantTables", [] { return Renamed(Baseline(), kDqt); },
                   C::kQuantTableMissing},
        StreamCase{"WithoutTheChromaQuantTable", [] { return Renamed(Baseline(), kDqt, 1); },
                   C::kQuantTableMissing},
        StreamCase{"WithoutHuffmanTables", [] { return Renamed(Baseline(), kDht); },
                   C::kHuffmanTableMissing},
        StreamCase{"WithoutTheChromaAcHuffmanTable", [] { return Renamed(Baseline(), kDht, 3); },
                   C::kHuffmanTableMissing},
        StreamCase{"ProgressiveWithoutItsFirstHuffmanTables",
                   [] { return Renamed(Encode(TJSAMP_444, TJFLAG_PROGRESSIVE), kDht); },
                   C::kHuffmanTableMissing},
        StreamCase{"ArithmeticCodedWithoutQuantTables",
                   [] { return Renamed(ArithmeticCoded(), kDqt); }, C::kQuantTableMissing},
        StreamCase{"TablesOnly", [] { return HeaderOnly(Baseline(), false); }, C::kNoFrame},
        StreamCase{"FrameWithoutScan", [] { return HeaderOnly(Baseline(), true); }, C::kNoScan},
        StreamCase{"ScanWithoutFrame", [] { return Renamed(Baseline(), kSof0); }, C::kNoFrame},
        StreamCase{"TwoFrames", [] { return Duplicated(Baseline(), kSof0); }, C::kMalformed},
        StreamCase{"FrameOfTheWrongLength", [] { return Renamed(Baseline(), kDqt, 0, kSof2); },
                   C::kMalformed},
        StreamCase{"QuantTableIdOutOfRange", [] { return QuantSlot(Baseline(), 5); },
                   C::kMalformed},
        StreamCase{"BytesBetweenSegments", [] { return Inserted(Baseline(), 2, {0x00}); },
                   C::kMalformed},
        StreamCase{"NoStartOfImage", [] { return Inserted(Baseline(), 0, {0x00}); }, C::kNoStart},
        StreamCase{"CutInsideTheScan",
                   [] {
                       const Bytes whole = Baseline();
                       return Cut(whole, whole.size() - 2);
                   },
                   C::kNoEnd},
        StreamCase{"CutInsideAHeaderSegment", [] { return Cut(Baseline(), 30); }, C::kNoEnd}),
    [](const ::testing::TestParamInfo<StreamCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace nvx
