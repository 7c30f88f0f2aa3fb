/*
 * jpeg_stream_walk_test.cpp - what the walk of a stream's segments decides
 * of its colour and its process, one row per stream: TurboJPEG's stream
 * with its JFIF marker, component ids, an Adobe marker, fill bytes, an
 * extended frame or 16-bit tables changed. The colour is held to what
 * libjpeg itself takes from the same header.
 */
#include "common/jpeg_stream_walk.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <csetjmp>
#include <cstdio>
#include <string>
#include <vector>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

#include "common/jpeg_stream_check.h"
#include "tests/common/jpeg_stream_edits.h"

namespace nvx {
namespace {

using namespace test;

// 32 x 16 pixels of 4:4:4 YCbCr, baseline: SOI, JFIF, DQT, SOF0, DHT, SOS.
Bytes Encoded() {
    const int width = 32, height = 16;
    Bytes pixels(static_cast<std::size_t>(width * height * 3));
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint8_t>(i * 7);
    tjhandle compressor = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    Bytes stream;
    if (tjCompress2(compressor, pixels.data(), width, 0, height, TJPF_RGB, &jpeg, &size, TJSAMP_444,
                    85, 0) == 0) {
        stream.assign(jpeg, jpeg + size);
    }
    tjFree(jpeg);
    tjDestroy(compressor);
    return stream;
}

// libjpeg's colour for the stream's header; JCS_UNKNOWN when it does not read.
struct Failed {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};
J_COLOR_SPACE LibjpegColour(const Bytes& s) {
    jpeg_decompress_struct info{};
    Failed failed{};
    info.err = jpeg_std_error(&failed.manager);
    failed.manager.error_exit = [](j_common_ptr common) {
        std::longjmp(reinterpret_cast<Failed*>(common->err)->jump, 1);
    };
    failed.manager.emit_message = [](j_common_ptr, int) {};
    J_COLOR_SPACE colour = JCS_UNKNOWN;
    if (setjmp(failed.jump) == 0) {
        jpeg_create_decompress(&info);
        jpeg_mem_src(&info, s.data(), static_cast<unsigned long>(s.size()));
        jpeg_read_header(&info, TRUE);
        colour = info.jpeg_color_space;
    }
    jpeg_destroy_decompress(&info);
    return colour;
}

struct Row {
    std::string name;
    Bytes stream;
    JpegColour colour;
    bool baseline;
};

TEST(JpegStreamWalkTest, DecidesColourAndProcessAsLibjpegDoes) {
    const Bytes jfif = Encoded();
    const Bytes plain = WithoutJfif(jfif);
    const std::vector<Row> rows = {
        {"JFIF, ids 1 2 3", jfif, JpegColour::kYCbCr, true},
        {"plain ids 1 2 3", plain, JpegColour::kYCbCr, true},
        {"plain ids R G B", WithIds(plain, 'R', 'G', 'B'), JpegColour::kRgb, true},
        {"JFIF with ids R G B", WithIds(jfif, 'R', 'G', 'B'), JpegColour::kYCbCr, true},
        {"Adobe transform 0", WithAdobe(plain, 0), JpegColour::kRgb, true},
        {"Adobe transform 1, ids R G B", WithAdobe(WithIds(plain, 'R', 'G', 'B'), 1),
         JpegColour::kYCbCr, true},
        {"Adobe transform 2 (unknown for three components)", WithAdobe(plain, 2),
         JpegColour::kYCbCr, true},
        {"JFIF and Adobe transform 0", WithAdobe(jfif, 0), JpegColour::kYCbCr, true},
        {"other ids", WithIds(plain, 7, 8, 9), JpegColour::kYCbCr, true},
        {"fill bytes, JFIF with ids R G B", WithFill(WithIds(jfif, 'R', 'G', 'B')),
         JpegColour::kYCbCr, true},
        {"fill bytes, Adobe transform 0", WithFill(WithAdobe(plain, 0)), JpegColour::kRgb, true},
        {"extended frame (SOF1)", WithFrameCode(jfif, 0xC1), JpegColour::kYCbCr, false},
        {"16-bit quantisation tables", WithWideTables(jfif), JpegColour::kYCbCr, false},
        {"progressive frame (SOF2)", WithFrameCode(jfif, 0xC2), JpegColour::kYCbCr, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const JpegStreamHeader header = ReadStreamHeader(row.stream);
        EXPECT_EQ(header.end, WalkEnd::kStopped) << "the walk reaches the scan";
        EXPECT_EQ(header.componentCount, 3);
        EXPECT_EQ(header.Colour(), row.colour);
        EXPECT_EQ(header.Baseline(), row.baseline);
        EXPECT_EQ(LibjpegColour(row.stream), row.colour == JpegColour::kRgb ? JCS_RGB : JCS_YCbCr);
        // Legal streams all: whole, with every table they use.
        EXPECT_EQ(CheckStreamCompleteness(row.stream.data(), row.stream.size()),
                  StreamCompleteness::kComplete);
    }
}

}  // namespace
}  // namespace nvx
