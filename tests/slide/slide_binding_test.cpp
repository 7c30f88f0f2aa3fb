// The binding to the slide library, run against the fake library.
//
// The fake reads its settings when it is loaded, so a test that changes
// them unloads the library first; the next call loads it afresh. That the
// binding survives this at all shows it looks the entry points up again for
// each load.
#include "slide/library_binding.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "slide/jpeg_decode.h"

namespace nvx::slide {
namespace {

class SlideBinding : public ::testing::Test {
protected:
    void SetUp() override {
        UnloadSlideLibrary();
        logPath_ = ::testing::TempDir() + "nvx_binding_" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log";
        std::remove(logPath_.c_str());
        setenv("NVXFAKE_LOG", logPath_.c_str(), 1);
        unsetenv("NVXFAKE_FAIL");
        unsetenv("NVXFAKE_CORRUPT");
        unsetenv("NVXFAKE_DAMAGED");
        unsetenv("NVXFAKE_DIGEST");
        setenv("NVXFAKE_WIDTH", "1000", 1);
        setenv("NVXFAKE_HEIGHT", "700", 1);
    }
    void TearDown() override { UnloadSlideLibrary(); }

    std::vector<std::string> Calls() const {
        std::vector<std::string> calls;
        std::ifstream in(logPath_);
        for (std::string line; std::getline(in, line);) calls.push_back(line);
        return calls;
    }
    long Count(const std::string& prefix) const {
        long n = 0;
        for (const auto& call : Calls()) n += call.rfind(prefix, 0) == 0;
        return n;
    }

    std::string logPath_;
};

TEST_F(SlideBinding, LoadsOnFirstUseAndUnloadsAfterClose) {
    SlideHandle slide = 0;
    ASSERT_TRUE(OpenSlide(&slide, "any.nvx"));
    SlideInfo info;
    ASSERT_TRUE(QuerySlide(slide, &info));
    EXPECT_EQ(info.width, 1000);
    EXPECT_EQ(info.height, 700);
    EXPECT_EQ(info.scanMagnification, 40);
    EXPECT_EQ(info.tileSize, 256);
    EXPECT_FLOAT_EQ(info.auxFloat, 1.5f);
    EXPECT_DOUBLE_EQ(info.auxDouble, 2.5);
    EXPECT_TRUE(CloseSlide(&slide));
    UnloadSlideLibrary();
    EXPECT_EQ(Calls(), (std::vector<std::string>{"load", "open any.nvx", "query", "close",
                                                 "unload outstanding=0"}));

    // After the unload the next call loads the library again.
    ASSERT_TRUE(QuerySlide(slide, &info));
    EXPECT_EQ(Count("load"), 2);
}

TEST_F(SlideBinding, EveryFetchedBufferIsGivenBackOnce) {
    SlideHandle slide = 0;
    ASSERT_TRUE(OpenSlide(&slide, "any.nvx"));
    {
        Fetched tile = FetchTile(&slide, 40.0f, 256, 0);
        ASSERT_TRUE(tile.buffer);
        EXPECT_GT(tile.length, 0);
        Fetched rgb = FetchRegion(slide, 10.0f, 0, 0, 30, 20, 0);
        ASSERT_TRUE(rgb.buffer);
        EXPECT_EQ(rgb.length, 30 * 20 * 3);
        FetchedPicture label = FetchLabel(slide);
        ASSERT_TRUE(label.buffer);
        EXPECT_EQ(label.width, 600);
        EXPECT_EQ(label.height, 400);
        FetchedPicture preview = FetchPreview(slide);
        ASSERT_TRUE(preview.buffer);
        rgb.buffer.reset();  // an early release is still the only one
        EXPECT_EQ(Count("release"), 1);
    }
    EXPECT_EQ(Count("release"), 4);
    CloseSlide(&slide);
    UnloadSlideLibrary();
    EXPECT_EQ(Calls().back(), "unload outstanding=0");
}

// A buffer held past the unload goes back to the library that made it,
// which goes only then; the release never loads the library again.
TEST_F(SlideBinding, ABufferHeldPastTheUnloadGoesBackToItsOwnLibrary) {
    SlideHandle slide = 0;
    ASSERT_TRUE(OpenSlide(&slide, "any.nvx"));
    Fetched tile = FetchTile(&slide, 40.0f, 0, 0);
    FetchedPicture label = FetchLabel(slide);
    ASSERT_TRUE(tile.buffer && label.buffer);
    EXPECT_TRUE(CloseSlide(&slide));
    UnloadSlideLibrary();
    EXPECT_EQ(Count("unload"), 0) << "the library went with buffers still held";
    tile = {};
    label = {};
    EXPECT_EQ(Count("load"), 1);
    EXPECT_EQ(Count("release"), 2);
    EXPECT_EQ(Calls().back(), "unload outstanding=0");
}

TEST_F(SlideBinding, FailedCallsCountAsNoAndYieldNothing) {
    setenv("NVXFAKE_FAIL", "open,query,close,tile,region,preview,label", 1);
    SlideHandle slide = 0;
    EXPECT_FALSE(OpenSlide(&slide, "any.nvx"));
    SlideInfo info;
    info.width = 5;
    EXPECT_FALSE(QuerySlide(slide, &info));
    EXPECT_EQ(info.width, 0);
    EXPECT_FALSE(FetchTile(&slide, 40.0f, 0, 0).buffer);
    EXPECT_FALSE(FetchRegion(slide, 40.0f, 0, 0, 4, 4, 1).buffer);
    EXPECT_FALSE(FetchLabel(slide).buffer);
    EXPECT_FALSE(FetchPreview(slide).buffer);
    EXPECT_FALSE(CloseSlide(&slide));
    EXPECT_EQ(Count("release"), 0);
}

TEST_F(SlideBinding, PathsThatDoNotFitTheLibraryBufferAreRefused) {
    SlideHandle slide = 0;
    const std::string fits(kLibraryPathBytes - 1, 'p');
    EXPECT_TRUE(OpenSlide(&slide, fits.c_str()));
    const std::string tooLong(kLibraryPathBytes, 'p');
    EXPECT_FALSE(OpenSlide(&slide, tooLong.c_str()));
    EXPECT_EQ(Count("open"), 1);
}

TEST_F(SlideBinding, FailedOpensSayWhy) {
    SlideHandle slide = 0;
    OpenFailure why = OpenFailure::None;
    const std::string tooLong(kLibraryPathBytes, 'p');
    EXPECT_FALSE(OpenSlide(&slide, tooLong.c_str(), &why));
    EXPECT_EQ(why, OpenFailure::PathTooLong);
    EXPECT_TRUE(Calls().empty()) << "the library is not even loaded for such a path";

    setenv("NVXFAKE_FAIL", "open", 1);
    EXPECT_FALSE(OpenSlide(&slide, "any.nvx", &why));
    EXPECT_EQ(why, OpenFailure::Refused);
    // The fake gives no reason; which library said no can still be told.
    EXPECT_EQ(SlideLibraryRefusal(), "");
    const std::string library = LoadedSlideLibraryPath();
    EXPECT_NE(library.find("/fake/libNvxSlideLib.so"), std::string::npos) << library;

    unsetenv("NVXFAKE_FAIL");
    UnloadSlideLibrary();
    EXPECT_TRUE(OpenSlide(&slide, "any.nvx", &why));
    EXPECT_EQ(why, OpenFailure::None);
    EXPECT_TRUE(CloseSlide(&slide));
}

TEST_F(SlideBinding, FetchedStreamsDecodeWithinTheirBuffer) {
    SlideHandle slide = 0;
    ASSERT_TRUE(OpenSlide(&slide, "any.nvx"));
    // The last tile of the first row at 10x (250 x 175 level) is 250 - 0 wide.
    Fetched tile = FetchTile(&slide, 40.0f, 768, 512);
    ASSERT_TRUE(tile.buffer);
    std::vector<std::uint8_t> pixels(256 * 256 * 3);
    JpegSize size;
    ASSERT_TRUE(DecodeJpegToRgb(tile.buffer.get(), std::size_t(tile.length), pixels.data(),
                                pixels.size(), &size));
    EXPECT_EQ(size.width, 1000 - 768);
    EXPECT_EQ(size.height, 700 - 512);
    // R grows with x across the slide: pixel (768, 512) is R = 768*255/999.
    EXPECT_NEAR(pixels[0], 768 * 255 / 999, 3);

    // A buffer too small for the picture is never written into.
    std::vector<std::uint8_t> small(100, 7);
    EXPECT_FALSE(DecodeJpegToRgb(tile.buffer.get(), std::size_t(tile.length), small.data(),
                                 small.size(), &size));
    EXPECT_EQ(size.width, 0);
    EXPECT_EQ(small, std::vector<std::uint8_t>(100, 7));
}

TEST_F(SlideBinding, StreamsThatAreNotJpegAreRefused) {
    setenv("NVXFAKE_CORRUPT", "tile", 1);
    SlideHandle slide = 0;
    ASSERT_TRUE(OpenSlide(&slide, "any.nvx"));
    Fetched tile = FetchTile(&slide, 40.0f, 0, 0);
    ASSERT_TRUE(tile.buffer);
    std::vector<std::uint8_t> pixels(256 * 256 * 3);
    JpegSize size;
    EXPECT_FALSE(DecodeJpegToRgb(tile.buffer.get(), std::size_t(tile.length), pixels.data(),
                                 pixels.size(), &size));
    EXPECT_FALSE(DecodeJpegToRgb(nullptr, 0, pixels.data(), pixels.size(), &size));
    // A stream cut short does not decode either.
    unsetenv("NVXFAKE_CORRUPT");
    tile = {};
    UnloadSlideLibrary();
    tile = FetchTile(&slide, 40.0f, 0, 0);
    ASSERT_TRUE(tile.buffer);
    EXPECT_FALSE(DecodeJpegToRgb(tile.buffer.get(), std::size_t(tile.length) / 2, pixels.data(),
                                 pixels.size(), &size));
}

TEST_F(SlideBinding, PictureFetchesTellMissingFromUnreadable) {
    struct Case {
        const char* fail;
        const char* damaged;
        PictureStatus label;
        PictureStatus preview;
    };
    const Case cases[] = {
        {"", "", PictureStatus::Delivered, PictureStatus::Delivered},
        {"label", "", PictureStatus::None, PictureStatus::Delivered},
        {"", "label", PictureStatus::Unreadable, PictureStatus::Delivered},
        {"preview", "label", PictureStatus::Unreadable, PictureStatus::None},
        {"", "preview", PictureStatus::Delivered, PictureStatus::Unreadable},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("fail=") + c.fail + " damaged=" + c.damaged);
        setenv("NVXFAKE_FAIL", c.fail, 1);
        setenv("NVXFAKE_DAMAGED", c.damaged, 1);
        UnloadSlideLibrary();  // the fake reads its settings when it is loaded
        SlideHandle slide = 0;
        ASSERT_TRUE(OpenSlide(&slide, "any.nvx"));
        const FetchedPicture label = FetchLabel(slide);
        const FetchedPicture preview = FetchPreview(slide);
        EXPECT_EQ(label.status, c.label);
        EXPECT_EQ(preview.status, c.preview);
        EXPECT_EQ(bool(label.buffer), c.label == PictureStatus::Delivered);
        EXPECT_EQ(bool(preview.buffer), c.preview == PictureStatus::Delivered);
        EXPECT_TRUE(CloseSlide(&slide));
    }
}

TEST_F(SlideBinding, SlideDigestsAreTheLibrarysOrSayWhyNot) {
    struct Case {
        const char* width;
        const char* digest;  // NVXFAKE_DIGEST
        DigestStatus status;
        std::uint8_t first;  // the digest's first byte, when given
    };
    const Case cases[] = {
        {"1000", "", DigestStatus::Delivered, 0},
        {"1001", "", DigestStatus::Delivered, 0},
        {"1000", "a5000000000000000000000000000000000000000000000000000000000000ff",
         DigestStatus::Delivered, 0xa5},
        {"1000", "refuse", DigestStatus::Refused, 0},
    };
    std::vector<SlideDigest> digests;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("width=") + c.width + " digest=" + c.digest);
        setenv("NVXFAKE_WIDTH", c.width, 1);
        setenv("NVXFAKE_DIGEST", c.digest, 1);
        UnloadSlideLibrary();  // the fake reads its settings when it is loaded
        SlideHandle slide = 0;
        ASSERT_TRUE(OpenSlide(&slide, "any.nvx"));
        digests.push_back(DigestSlide(slide));
        EXPECT_EQ(digests.back().status, c.status);
        if (c.first != 0) {
            EXPECT_EQ(digests.back().bytes.front(), c.first);
            EXPECT_EQ(digests.back().bytes.back(), 0xff);
        }
        EXPECT_TRUE(CloseSlide(&slide));
    }
    unsetenv("NVXFAKE_DIGEST");
    EXPECT_NE(digests[0].bytes, decltype(digests[0].bytes){});
    EXPECT_NE(digests[0].bytes, digests[1].bytes) << "another slide, another digest";
    EXPECT_EQ(digests[3].bytes, decltype(digests[3].bytes){}) << "a refusal gives no bytes";
    EXPECT_EQ(Count("digest"), 4);
}

// Run against a fake that lacks one entry point (see CMakeLists): the
// call is skipped, a yes/no call counts as no, and nothing crashes.
TEST(MissingEntryPoint, IsSkippedAndCountsAsNo) {
    const char* missing = std::getenv("NVX_MISSING_ENTRY_POINT");
    if (missing == nullptr) GTEST_SKIP() << "run by the missing-entry-point tests only";
    const std::string name = missing;
    SlideHandle slide = 0;
    OpenFailure why = OpenFailure::None;
    EXPECT_EQ(OpenSlide(&slide, "any.nvx", &why), name != "NvxOpenSlide");
    EXPECT_EQ(why, name == "NvxOpenSlide" ? OpenFailure::EntryPointMissing : OpenFailure::None);
    EXPECT_FALSE(SlideLibraryHas(missing));
    SlideInfo info;
    EXPECT_EQ(QuerySlide(slide, &info), name != "NvxQuerySlide");
    EXPECT_EQ(bool(FetchTile(&slide, 40.0f, 0, 0).buffer), name != "NvxFetchTile");
    EXPECT_EQ(bool(FetchRegion(slide, 40.0f, 0, 0, 8, 8, 0).buffer), name != "NvxFetchRegion");
    EXPECT_EQ(bool(FetchPreview(slide).buffer), name != "NvxFetchPreview");
    EXPECT_EQ(bool(FetchLabel(slide).buffer), name != "NvxFetchLabel");
    // A picture fetch that cannot be made says the slide has none.
    EXPECT_EQ(FetchLabel(slide).status,
              name == "NvxFetchLabel" ? PictureStatus::None : PictureStatus::Delivered);
    // The digest, beyond the eight, is missing only from a library without it.
    EXPECT_EQ(DigestSlide(slide).status,
              name == "NvxSlideDigest" ? DigestStatus::Missing : DigestStatus::Delivered);
    EXPECT_EQ(CloseSlide(&slide), name != "NvxCloseSlide");
    UnloadSlideLibrary();
}

// Run with nothing on the loader's search path and no run path (see
// CMakeLists): the library is still found beside the executable, by its
// explicit path, as it must be when a sanitizer takes the search from us.
TEST(LibraryBesideTheExecutable, IsLoadedByItsPath) {
    const char* folder = std::getenv("NVX_EXPECTED_LIBRARY_FOLDER");
    if (folder == nullptr) GTEST_SKIP() << "run by slide.binding_library_beside_executable only";
    SlideHandle slide = 0;
    OpenFailure why = OpenFailure::None;
    EXPECT_FALSE(OpenSlide(&slide, "/no/such/slide.nvx", &why));
    EXPECT_EQ(why, OpenFailure::Refused) << "the library was not loaded";
    EXPECT_EQ(LoadedSlideLibraryPath(), std::string(folder) + "/libNvxSlideLib.so");
    // Our own library says why it refused the file.
    EXPECT_NE(SlideLibraryRefusal().find("cannot open"), std::string::npos)
        << SlideLibraryRefusal();
    UnloadSlideLibrary();
}

}  // namespace
}  // namespace nvx::slide
