// The pictures' frames: baseline RGB streams that decode to the picture's
// pixels within the rounding of the DCT, or a refusal for sizes no frame
// can have.
#include "dicom/picture_frame.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cstdlib>

#include "dicom/jpeg_frame.h"

namespace nvx::dicom {
namespace {

// A label-like picture: a pale ground with dark, coloured bars.
std::vector<std::uint8_t> Picture(std::uint32_t width, std::uint32_t height) {
    std::vector<std::uint8_t> rgb(std::size_t{width} * height * 3);
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            std::uint8_t* p = &rgb[(std::size_t{y} * width + x) * 3];
            const bool bar = (x / 5) % 3 == 0 && y > height / 4 && y < height * 3 / 4;
            p[0] = bar ? 20 : std::uint8_t(230 - y % 20);
            p[1] = bar ? 40 : std::uint8_t(220 - x % 30);
            p[2] = bar ? 160 : 200;
        }
    }
    return rgb;
}

TEST(PictureFrame, DecodesToThePixelsAsRgb) {
    struct Case {
        std::uint32_t width, height;
    };
    for (const Case c : {Case{1, 1}, Case{203, 101}, Case{64, 512}}) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        const std::vector<std::uint8_t> rgb = Picture(c.width, c.height);
        std::vector<std::uint8_t> frame;
        ASSERT_TRUE(EncodePictureFrame(rgb, c.width, c.height, 100, &frame));
        FramePhotometric photometric = FramePhotometric::YbrFull422;
        ASSERT_TRUE(PhotometricOf(frame, &photometric)) << "a baseline stream of three components";
        EXPECT_EQ(photometric, FramePhotometric::Rgb);

        tjhandle tj = tjInitDecompress();
        int width = 0, height = 0, sampling = -1, space = -1;
        ASSERT_EQ(
            tjDecompressHeader3(tj, frame.data(), frame.size(), &width, &height, &sampling, &space),
            0);
        EXPECT_EQ(space, TJCS_RGB) << "read as R, G and B, not as YCbCr";
        EXPECT_EQ(sampling, TJSAMP_444);
        EXPECT_EQ(std::uint32_t(width), c.width);
        EXPECT_EQ(std::uint32_t(height), c.height);
        std::vector<std::uint8_t> decoded(rgb.size());
        ASSERT_EQ(tjDecompress2(tj, frame.data(), frame.size(), decoded.data(), width, 0, height,
                                TJPF_RGB, 0),
                  0);
        tjDestroy(tj);
        // At quality 100 every step of quantisation is 1: what is left is
        // the rounding of the DCT.
        int worst = 0;
        for (std::size_t i = 0; i < rgb.size(); ++i)
            worst = std::max(worst, std::abs(int(rgb[i]) - int(decoded[i])));
        EXPECT_LE(worst, 2);
    }
}

TEST(PictureFrame, RefusesSizesNoFrameCanHave) {
    struct Case {
        const char* what;
        std::size_t bytes;
        std::uint32_t width, height;
        int quality;
    };
    const Case cases[] = {
        {"fewer pixels than the size", 10 * 10 * 3 - 1, 10, 10, 90},
        {"more pixels than the size", 10 * 10 * 3 + 3, 10, 10, 90},
        {"no columns", 0, 0, 10, 90},
        {"wider than a frame can be", std::size_t{65536} * 3, 65536, 1, 90},
        {"quality 0", 10 * 10 * 3, 10, 10, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<std::uint8_t> rgb(c.bytes, 128);
        std::vector<std::uint8_t> frame = {1, 2, 3};
        EXPECT_FALSE(EncodePictureFrame(rgb, c.width, c.height, c.quality, &frame));
        EXPECT_EQ(frame, (std::vector<std::uint8_t>{1, 2, 3}));
    }
}

// The streaming encoder takes exactly the rows it was started for; any
// call out of turn is refused and leaves the encoder stopped.
TEST(PictureFrame, EncoderRefusesCallsOutOfTurn) {
    const std::vector<std::uint8_t> row(8 * 3, 100);
    struct Case {
        const char* what;
        int rowsBefore;  // -1: never started
        bool extraRow;   // one row more than the picture has
    };
    const Case cases[] = {
        {"a row before the start", -1, true},
        {"the end before the start", -1, false},
        {"the end before the last row", 1, false},
        {"a row after the last", 2, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PictureFrameEncoder encoder;
        if (c.rowsBefore >= 0) {
            ASSERT_TRUE(encoder.Start(8, 2, 90));
            for (int y = 0; y < c.rowsBefore; ++y) ASSERT_TRUE(encoder.WriteRow(row.data()));
        }
        std::vector<std::uint8_t> frame;
        EXPECT_FALSE(c.extraRow ? encoder.WriteRow(row.data()) : encoder.Finish(&frame));
        EXPECT_EQ(encoder.failure(), PictureFrameEncoder::Failure::Refused);
        EXPECT_FALSE(encoder.Finish(&frame));
        EXPECT_TRUE(frame.empty());
    }
}

}  // namespace
}  // namespace nvx::dicom
