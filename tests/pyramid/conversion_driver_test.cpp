/*
 * conversion_driver_test.cpp - the driver's paths that end a run before or
 * instead of a full conversion, run in-process against the fake slide
 * library: workers that cannot start (the early finish), tile sizes we
 * refuse, an output that names the input, an output that cannot be created.
 */
#include "pyramid/conversion_driver.h"

#include <gtest/gtest.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>

#include "cli/console.h"
#include "pyramid/conversion_driver_internal.h"
#include "tests/pyramid/fake_slide_fixture.h"

namespace nvx::pyramid {
namespace {

struct TiffCloser {
    void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};

// What one directory of a finished file says about itself.
struct DirectoryFacts {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t subfileType = 0;
    bool hasSubfileType = false;
    std::uint16_t page = 0;
    std::uint16_t pageCount = 0;
    bool tiled = false;
};

std::vector<DirectoryFacts> ReadDirectories(const std::string& path) {
    std::vector<DirectoryFacts> directories;
    std::unique_ptr<TIFF, TiffCloser> tiff(TIFFOpen(path.c_str(), "r"));
    if (!tiff) return directories;
    do {
        DirectoryFacts facts;
        TIFFGetField(tiff.get(), TIFFTAG_IMAGEWIDTH, &facts.width);
        TIFFGetField(tiff.get(), TIFFTAG_IMAGELENGTH, &facts.height);
        facts.hasSubfileType =
            TIFFGetField(tiff.get(), TIFFTAG_SUBFILETYPE, &facts.subfileType) == 1;
        TIFFGetField(tiff.get(), TIFFTAG_PAGENUMBER, &facts.page, &facts.pageCount);
        facts.tiled = TIFFIsTiled(tiff.get()) != 0;
        directories.push_back(facts);
    } while (TIFFReadDirectory(tiff.get()));
    return directories;
}

class ConversionDriverTest : public testing::FakeSlideTest {
protected:
    ConversionJob Job(const std::string& output) const {
        ConversionJob job;
        job.inputPath = "fake.nvx";
        job.outputPath = output;
        job.slide = slide_;
        job.info = info_;
        job.box = {0, 0, info_.width, info_.height};
        job.layers = 4;
        return job;
    }
    bool Logged(const std::string& line) const {
        const auto lines = NewLogLines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    int Run(const ConversionJob& job, const ThreadStarter& starter) {
        SlideHandedOver();
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const int status = ConvertSlideWith(job, starter);
        stdout_ = ::testing::internal::GetCapturedStdout();
        stderr_ = ::testing::internal::GetCapturedStderr();
        return status;
    }
    std::string stdout_;
    std::string stderr_;
};

std::string Text(console::Message message) { return console::MessageText(message); }

TEST_F(ConversionDriverTest, WorkersThatCannotStartEndTheFirstLevelEarly) {
    const std::string output = PathIn("early.tif");
    const int status = Run(Job(output), [](WorkerThread*, WorkerRoutine, void*) { return false; });
    EXPECT_EQ(status, -1);
    // No dots: no row was written; and no completion line for a file that lacks levels.
    EXPECT_EQ(stdout_, Text(console::Message::Waiting));
    EXPECT_NE(stderr_.find("pyramid level 1 ended short: 0 of 1500 rows"), std::string::npos)
        << stderr_;

    const auto directories = ReadDirectories(output);
    ASSERT_EQ(directories.size(), 3u);  // the partial level, label, macro; no thumbnail
    EXPECT_EQ(directories[0].width, 2000u);
    EXPECT_EQ(directories[0].subfileType, 2u);
    EXPECT_TRUE(directories[0].tiled);
    EXPECT_EQ(directories[0].page, 1);
    EXPECT_EQ(directories[0].pageCount, 5);
    EXPECT_EQ(directories[1].subfileType, 1u);
    EXPECT_EQ(directories[1].page, 2);  // the label follows the abandoned level
    EXPECT_EQ(directories[1].pageCount, 5);
    EXPECT_EQ(directories[2].subfileType, 9u);
    EXPECT_TRUE(Logged("close"));
}

TEST_F(ConversionDriverTest, ALastBandThatCannotStartEndsTheSecondLevelEarly) {
    // Every band but the last is empty on 1500 rows; the second level's last
    // band (the 128th start) is refused.
    int starts = 0;
    const std::string output = PathIn("second.tif");
    const int status =
        Run(Job(output), [&starts](WorkerThread* thread, WorkerRoutine routine, void* argument) {
            return ++starts != 128 && StartWorkerThread(thread, routine, argument);
        });
    EXPECT_EQ(status, -1);
    EXPECT_EQ(starts, 128);
    const auto directories = ReadDirectories(output);
    ASSERT_EQ(directories.size(), 5u);
    EXPECT_EQ(directories[1].subfileType, 0u);  // the thumbnail after the complete first level
    EXPECT_EQ(directories[1].page, 2);
    EXPECT_EQ(directories[2].width, 500u);
    EXPECT_FALSE(directories[2].hasSubfileType);
    EXPECT_EQ(directories[2].page, 3);
    EXPECT_EQ(directories[3].subfileType, 1u);
    EXPECT_EQ(directories[3].page, 4);
    EXPECT_EQ(directories[3].pageCount, 5);
    EXPECT_EQ(directories[4].subfileType, 9u);
    // Dots of the first level and the thumbnail's dot, none for the second level.
    const std::string waiting = Text(console::Message::Waiting);
    ASSERT_EQ(stdout_.rfind(waiting, 0), 0u);
    const std::string dots = stdout_.substr(waiting.size());
    EXPECT_GE(dots.size(), 2u);
    EXPECT_EQ(dots.find_first_not_of('.'), std::string::npos) << stdout_;
}

TEST_F(ConversionDriverTest, UnsupportedTileSizesEndTheRunBeforeTheOutputExists) {
    for (std::int32_t tileSize : {0, 8, 250, 8192}) {
        ConversionJob job = Job(PathIn("never.tif"));
        job.info.tileSize = tileSize;
        EXPECT_EQ(Run(job, StartWorkerThread), -1) << tileSize;
        EXPECT_FALSE(std::filesystem::exists(PathIn("never.tif")));
        EXPECT_NE(stderr_.find("tile size " + std::to_string(tileSize) + " is not supported"),
                  std::string::npos)
            << stderr_;
        EXPECT_EQ(stdout_, "");
        ASSERT_TRUE(slide::OpenSlide(&slide_, "fake.nvx"));  // the run closed it
    }
    SlideHandedOver();
    slide::CloseSlide(&slide_);
    slide::UnloadSlideLibrary();
    const auto lines = NewLogLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "close"), 5);
}

TEST_F(ConversionDriverTest, AnOutputThatNamesTheInputSlideIsRefusedAndTheSlideKept) {
    const std::string input = PathIn("slide.nvx");
    { std::ofstream(input) << "slide bytes"; }
    ConversionJob job = Job(std::filesystem::path(input).parent_path().string() + "/./slide.nvx");
    job.inputPath = input;
    EXPECT_EQ(Run(job, StartWorkerThread), -1);
    EXPECT_NE(stderr_.find("refusing to overwrite"), std::string::npos) << stderr_;
    EXPECT_EQ(stdout_, "");
    std::ifstream in(input);
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "slide bytes");
    EXPECT_TRUE(Logged("close"));
}

TEST_F(ConversionDriverTest, AnOutputThatCannotBeCreatedEndsWithStatusOne) {
    EXPECT_EQ(Run(Job(PathIn("missing-folder/out.tif")), StartWorkerThread), 1);
    EXPECT_EQ(stdout_, "Could not open output.tif for writing\n");
    EXPECT_FALSE(stderr_.empty());  // libtiff's own report
    EXPECT_TRUE(Logged("close"));
}

TEST(NamesSameFileTest, ComparesFilesByIdentityAndMissingFilesBySpelling) {
    char pattern[] = "/tmp/nvx-same-file-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::filesystem::path folder = pattern;
    { std::ofstream(folder / "a") << "a"; }
    { std::ofstream(folder / "b") << "b"; }
    std::filesystem::create_hard_link(folder / "a", folder / "link");
    std::filesystem::create_symlink(folder / "a", folder / "symlink");
    EXPECT_TRUE(NamesSameFile((folder / "a").string(), (folder / "link").string()));
    EXPECT_TRUE(NamesSameFile((folder / "a").string(), (folder / "symlink").string()));
    EXPECT_TRUE(NamesSameFile((folder / "a").string(), (folder / "." / "a").string()));
    EXPECT_FALSE(NamesSameFile((folder / "a").string(), (folder / "b").string()));
    EXPECT_FALSE(NamesSameFile((folder / "a").string(), (folder / "new").string()));
    EXPECT_TRUE(NamesSameFile("gone.nvx", "gone.nvx"));
    EXPECT_FALSE(NamesSameFile("gone.nvx", "other.nvx"));
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace nvx::pyramid
