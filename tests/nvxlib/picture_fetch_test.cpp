/*
 * picture_fetch_test.cpp - NvxFetchLabel and NvxFetchPreview: generated
 * pictures of plausible size, pictures given to nvxmake stored byte for
 * byte, a source slide's own label and macro carried over, and none made
 * up for a source that has none.
 */
#include <gtest/gtest.h>

#include <cstdlib>

#include <openslide.h>

#include "tests/nvxlib/test_slides.h"

namespace {

using namespace nvxtest;

struct Picture {
    Fetched stream;
    int32_t width = 0;
    int32_t height = 0;
    uint8_t status = NVX_PICTURE_NONE;
};

Picture Label(NvxSlideHandle h) {
    Picture p;
    uint8_t* buf = nullptr;
    p.status = NvxFetchLabel(h, &buf, &p.stream.length, &p.width, &p.height);
    p.stream.data.reset(buf);
    return p;
}

Picture Preview(NvxSlideHandle h) {
    Picture p;
    uint8_t* buf = nullptr;
    p.status = NvxFetchPreview(h, &buf, &p.stream.length, &p.width, &p.height);
    p.stream.data.reset(buf);
    return p;
}

void ExpectDecodesTo(const Picture& p, int w, int h) {
    ASSERT_TRUE(p.stream.data);
    EXPECT_EQ(p.status, NVX_PICTURE_DELIVERED);
    EXPECT_EQ(p.width, w);
    EXPECT_EQ(p.height, h);
    const Image img = Decode(p.stream.data.get(), size_t(p.stream.length));
    EXPECT_EQ(img.width, w);
    EXPECT_EQ(img.height, h);
}

TEST(PictureFetch, GeneratedPicturesHavePlausibleSizes) {
    OpenSlide s(SyntheticSlide());
    ASSERT_TRUE(s.ok());
    ExpectDecodesTo(Label(s.handle()), 600, 600);
    ExpectDecodesTo(Preview(s.handle()), 1500, 500);
}

TEST(PictureFetch, GivenPicturesAreStoredAsGiven) {
    // Two JPEG files cut from the synthetic slide serve as label and preview.
    OpenSlide src(SyntheticSlide());
    ASSERT_TRUE(src.ok());
    Fetched a = FetchRegion(src.handle(), 40.0f, 2000, 1000, 320, 200, 1);
    Fetched b = FetchRegion(src.handle(), 10.0f, 0, 0, 900, 300, 1);
    ASSERT_TRUE(a.data && b.data);
    const std::string dir = std::string(NVX_TEST_SLIDES);
    WriteFile(dir + "/given-label.jpg", a.Bytes());
    WriteFile(dir + "/given-preview.jpg", b.Bytes());
    const std::string path =
        Slide("given-pictures.nvx", "--synthetic 800x600 --label " + dir +
                                        "/given-label.jpg --preview " + dir + "/given-preview.jpg");
    OpenSlide s(path);
    ASSERT_TRUE(s.ok());
    const Picture l = Label(s.handle()), p = Preview(s.handle());
    ExpectDecodesTo(l, 320, 200);
    ExpectDecodesTo(p, 900, 300);
    EXPECT_EQ(l.stream.Bytes(), a.Bytes());
    EXPECT_EQ(p.stream.Bytes(), b.Bytes());
}

TEST(PictureFetch, SourceLabelAndMacroAreCarriedOver) {
    struct Closer {
        void operator()(openslide_t* o) const { openslide_close(o); }
    };
    std::unique_ptr<openslide_t, Closer> src(openslide_open(CmuSource().c_str()));
    ASSERT_TRUE(src);
    int64_t lw = 0, lh = 0, mw = 0, mh = 0;
    openslide_get_associated_image_dimensions(src.get(), "label", &lw, &lh);
    openslide_get_associated_image_dimensions(src.get(), "macro", &mw, &mh);
    ASSERT_GT(lw, 0);
    ASSERT_GT(mw, 0);
    OpenSlide s(CmuSlide());
    ASSERT_TRUE(s.ok());
    ExpectDecodesTo(Label(s.handle()), int(lw), int(lh));
    ExpectDecodesTo(Preview(s.handle()), int(mw), int(mh));
}

// A real source without pictures of its own gets none made up: a made-up
// label would be taken for the slide's real one. Only a file given on the
// command line is stored.
TEST(PictureFetch, SourcesWithoutPicturesGetNoneMadeUp) {
    OpenSlide src(SyntheticSlide());
    ASSERT_TRUE(src.ok());
    Fetched jpeg = FetchRegion(src.handle(), 10.0f, 0, 0, 600, 400, 1);
    ASSERT_TRUE(jpeg.data);
    const std::string dir = NVX_TEST_SLIDES;
    WriteFile(dir + "/plain.jpg", jpeg.Bytes());
    // The same picture as a tiled TIFF: a slide to OpenSlide, without associated images.
    const std::string vips = "vips copy " + dir + "/plain.jpg '" + dir +
                             "/plain-tiled.tif[tile,tile-width=128,tile-height=128]' 2>&1";
    ASSERT_EQ(std::system(vips.c_str()), 0) << vips;
    for (const std::string source : {"plain.jpg", "plain-tiled.tif"}) {
        SCOPED_TRACE(source);
        OpenSlide s(Slide("no-pictures-" + source + ".nvx", "--from " + dir + "/" + source));
        ASSERT_TRUE(s.ok());
        const Picture l = Label(s.handle()), p = Preview(s.handle());
        EXPECT_FALSE(l.stream.data);
        EXPECT_EQ(l.width, 0);
        EXPECT_EQ(l.status, NVX_PICTURE_NONE);
        EXPECT_FALSE(p.stream.data);
        EXPECT_EQ(p.width, 0);
        EXPECT_EQ(p.status, NVX_PICTURE_NONE);
    }
    OpenSlide s(Slide("given-label-only.nvx",
                      "--from " + dir + "/plain-tiled.tif --label " + dir + "/plain.jpg"));
    ASSERT_TRUE(s.ok());
    const Picture l = Label(s.handle());
    ExpectDecodesTo(l, 600, 400);
    EXPECT_EQ(l.stream.Bytes(), jpeg.Bytes());
    EXPECT_FALSE(Preview(s.handle()).stream.data);
    EXPECT_EQ(Preview(s.handle()).status, NVX_PICTURE_NONE);
}

}  // namespace
