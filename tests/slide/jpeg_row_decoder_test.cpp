// The row-at-a-time decode of the associated pictures: the same pixels as
// the whole-picture decode for every kind of stream a slide library may hand
// over, and the same streams refused.
#include "slide/jpeg_row_decoder.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cstdint>
#include <string>
#include <vector>

#include "slide/jpeg_decode.h"

namespace nvx::slide {
namespace {

struct StreamKind {
    const char* name;
    int subsampling;
    int flags;
    int width;
    int height;
};

// A picture with edges and gradients in every channel, so that every
// upsampling and colour step shows in the pixels.
std::vector<std::uint8_t> Pattern(int width, int height) {
    std::vector<std::uint8_t> rgb(std::size_t(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = &rgb[(std::size_t(y) * width + x) * 3];
            p[0] = std::uint8_t(x * 255 / (width > 1 ? width - 1 : 1));
            p[1] = std::uint8_t(((x / 5 + y / 3) % 2) * 200 + 20);
            p[2] = std::uint8_t((x * y) % 251);
        }
    }
    return rgb;
}

std::vector<std::uint8_t> Encode(const StreamKind& kind) {
    const std::vector<std::uint8_t> rgb = Pattern(kind.width, kind.height);
    tjhandle handle = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    std::vector<std::uint8_t> stream;
    if (tjCompress2(handle, rgb.data(), kind.width, 0, kind.height, TJPF_RGB, &out, &size,
                    kind.subsampling, 85, kind.flags) == 0)
        stream.assign(out, out + size);
    tjFree(out);
    tjDestroy(handle);
    return stream;
}

// Every row of the stream, one after the other; empty when a step failed.
std::vector<std::uint8_t> DecodeByRows(const std::vector<std::uint8_t>& stream,
                                       JpegRowDecoder::Failure* failure) {
    JpegRowDecoder decoder(stream.data(), stream.size());
    std::vector<std::uint8_t> pixels;
    if (decoder.Start()) {
        const JpegSize size = decoder.size();
        std::vector<std::uint8_t> row(std::size_t(size.width) * 3);
        bool whole = true;
        for (int y = 0; y < size.height && whole; ++y) {
            whole = decoder.ReadRow(row.data());
            pixels.insert(pixels.end(), row.begin(), row.end());
        }
        if (!whole || !decoder.Finish()) pixels.clear();
    }
    *failure = decoder.failure();
    return pixels;
}

// The whole-picture decode of the tiles, of a picture of up to 300 x 300
// pixels; empty when it refuses the stream.
std::vector<std::uint8_t> DecodeWhole(const std::vector<std::uint8_t>& stream) {
    std::vector<std::uint8_t> pixels(300 * 300 * 3);
    JpegSize size;
    if (!DecodeJpegToRgb(stream.data(), stream.size(), pixels.data(), pixels.size(), &size))
        return {};
    pixels.resize(std::size_t(size.width) * size.height * 3);
    return pixels;
}

TEST(JpegRowDecoder, GivesThePixelsOfTheWholePictureDecode) {
    const StreamKind kinds[] = {
        {"4:4:4", TJSAMP_444, 0, 37, 23},
        {"4:2:2", TJSAMP_422, 0, 51, 17},
        {"4:2:0", TJSAMP_420, 0, 99, 65},
        {"4:4:0", TJSAMP_440, 0, 30, 41},
        {"4:1:1", TJSAMP_411, 0, 45, 9},
        {"grey", TJSAMP_GRAY, 0, 40, 40},
        {"progressive 4:2:0", TJSAMP_420, TJFLAG_PROGRESSIVE, 77, 33},
        {"one pixel", TJSAMP_420, 0, 1, 1},
        {"one column", TJSAMP_444, 0, 1, 300},
    };
    for (const StreamKind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        const std::vector<std::uint8_t> stream = Encode(kind);
        ASSERT_FALSE(stream.empty());
        const std::vector<std::uint8_t> whole = DecodeWhole(stream);
        ASSERT_FALSE(whole.empty());
        JpegRowDecoder::Failure failure = JpegRowDecoder::Failure::Unreadable;
        const std::vector<std::uint8_t> rows = DecodeByRows(stream, &failure);
        EXPECT_EQ(failure, JpegRowDecoder::Failure::None);
        EXPECT_EQ(rows.size(), std::size_t(kind.width) * kind.height * 3);
        EXPECT_TRUE(rows == whole);
    }
}

TEST(JpegRowDecoder, RefusesWhatTheWholePictureDecodeRefuses) {
    const std::vector<std::uint8_t> good = Encode({"4:2:0", TJSAMP_420, 0, 64, 64});
    std::vector<std::uint8_t> flipped = good;
    flipped[flipped.size() / 2] ^= 0xFF;  // damaged entropy-coded data
    struct Case {
        const char* what;
        std::vector<std::uint8_t> stream;
    };
    const Case cases[] = {
        {"empty", {}},
        {"not JPEG", std::vector<std::uint8_t>(64, 0x5a)},
        {"header only", std::vector<std::uint8_t>(good.begin(), good.begin() + 200)},
        {"cut short", std::vector<std::uint8_t>(good.begin(), good.end() - good.size() / 3)},
        {"without its end marker", std::vector<std::uint8_t>(good.begin(), good.end() - 2)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_TRUE(DecodeWhole(c.stream).empty());
        JpegRowDecoder::Failure failure = JpegRowDecoder::Failure::None;
        EXPECT_TRUE(DecodeByRows(c.stream, &failure).empty());
        EXPECT_EQ(failure, JpegRowDecoder::Failure::Unreadable);
    }
    // Damage inside the data: both decodes agree on whether it shows.
    const std::vector<std::uint8_t> whole = DecodeWhole(flipped);
    const bool wholeDecodes = !whole.empty();
    JpegRowDecoder::Failure failure = JpegRowDecoder::Failure::None;
    const std::vector<std::uint8_t> rows = DecodeByRows(flipped, &failure);
    EXPECT_EQ(!rows.empty(), wholeDecodes);
    if (wholeDecodes) {
        EXPECT_TRUE(rows == whole);
    }
}

TEST(JpegRowDecoder, CallsOutOfTurnAreRefused) {
    const std::vector<std::uint8_t> stream = Encode({"4:4:4", TJSAMP_444, 0, 8, 2});
    std::vector<std::uint8_t> row(8 * 3);
    {
        JpegRowDecoder decoder(stream.data(), stream.size());
        EXPECT_FALSE(decoder.ReadRow(row.data()));  // not started
        EXPECT_FALSE(decoder.Finish());
    }
    JpegRowDecoder decoder(stream.data(), stream.size());
    ASSERT_TRUE(decoder.Start());
    EXPECT_FALSE(decoder.Start());
    ASSERT_TRUE(decoder.ReadRow(row.data()));
    EXPECT_FALSE(decoder.Finish());  // a row is left
    JpegRowDecoder again(stream.data(), stream.size());
    ASSERT_TRUE(again.Start());
    ASSERT_TRUE(again.ReadRow(row.data()));
    ASSERT_TRUE(again.ReadRow(row.data()));
    EXPECT_FALSE(again.ReadRow(row.data()));  // past the last row
}

}  // namespace
}  // namespace nvx::slide
