/*
 * fake_slide_fixture.cpp - the fake slide library fixture of the pyramid tests.
 */
#include "tests/pyramid/fake_slide_fixture.h"

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "pyramid/output_layout.h"
#include "slide/slide_session.h"
#include "tests/fake_slide_lib/fake_pixels.h"
#include "tests/pyramid/tiff_file.h"

namespace nvx::pyramid::testing {

namespace {

// One log per test process, chosen before the fake is first loaded and
// removed when the process ends.
struct FakeLog {
    FakeLog()
        : path((std::filesystem::temp_directory_path() /
                ("nvx-pyramid-fake-" + std::to_string(getpid()) + ".log"))
                   .string()) {
        setenv("NVXFAKE_LOG", path.c_str(), 1);
    }
    ~FakeLog() {
        std::error_code error;
        std::filesystem::remove(path, error);
    }
    std::string path;
};

const std::string& LogPath() {
    static const FakeLog log;
    return log.path;
}

}  // namespace

void FakePixel(int x, int y, float scale, std::uint8_t* rgb) {
    fake::PixelAtScale({kFakeWidth, kFakeHeight, kFakeMagnification}, scale, x, y, rgb);
}

std::vector<std::uint8_t> ReadTile(const std::string& path, int directory, int x, int y) {
    TiffFile tiff(TIFFOpen(path.c_str(), "r"));
    if (!tiff || !TIFFSetDirectory(tiff.get(), static_cast<tdir_t>(directory))) return {};
    std::vector<std::uint8_t> tile(static_cast<std::size_t>(TIFFTileSize(tiff.get())));
    if (TIFFReadTile(tiff.get(), tile.data(), static_cast<std::uint32_t>(x),
                     static_cast<std::uint32_t>(y), 0, 0) < 0) {
        return {};
    }
    return tile;
}

double MeanDifferenceFromFake(const std::vector<std::uint8_t>& tile, int tileSize, int width,
                              int height, int x0, int y0, float scale) {
    double sum = 0;
    for (int row = 0; row < height; ++row) {
        for (int col = 0; col < width; ++col) {
            std::uint8_t expected[3];
            FakePixel(x0 + col, y0 + row, scale, expected);
            const std::uint8_t* got = &tile[(static_cast<std::size_t>(row) * tileSize + col) * 3];
            for (int c = 0; c < 3; ++c) sum += std::abs(int(got[c]) - int(expected[c]));
        }
    }
    return sum / (3.0 * width * height);
}

double MeanValue(const std::vector<std::uint8_t>& tile, int tileSize, int left, int top, int right,
                 int bottom) {
    double sum = 0;
    for (int row = top; row < bottom; ++row) {
        for (int col = left; col < right; ++col) {
            for (int c = 0; c < 3; ++c)
                sum += tile[(static_cast<std::size_t>(row) * tileSize + col) * 3 + c];
        }
    }
    return sum / (3.0 * (right - left) * (bottom - top));
}

void FakeSlideTest::SetUp() {
    const std::string& log = LogPath();
    std::error_code error;
    logOffset_ = std::filesystem::exists(log) ? std::filesystem::file_size(log, error) : 0;
    char pattern[] = "/tmp/nvx-pyramid-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    ASSERT_TRUE(slide::OpenSlide(&slide_, "fake.nvx"))
        << "is the fake slide library on LD_LIBRARY_PATH?";
    slideOpen_ = true;
    ASSERT_TRUE(slide::QuerySlide(slide_, &info_));
    ASSERT_EQ(info_.width, kFakeWidth) << "the fake must run with its default slide";
    ASSERT_EQ(info_.height, kFakeHeight);
}

void FakeSlideTest::TearDown() {
    // The session closes the slide and unloads the library, as in a run.
    if (slideOpen_) {
        slide::SlideSession closing(slide_);
    }
    std::error_code error;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, error);
}

std::vector<std::string> FakeSlideTest::NewLogLines() const {
    std::ifstream in(LogPath());
    in.seekg(static_cast<std::streamoff>(logOffset_));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace nvx::pyramid::testing
