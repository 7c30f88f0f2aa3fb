/*
 * conversion_driver_test.cpp - the driver's paths that end a run before or
 * instead of a full conversion, run in-process against the fake slide
 * library: workers that cannot start (the early finish), tile sizes and
 * empty areas we refuse, an output that names the input, an output that
 * cannot be created, workers that run out of memory, the steps of
 * publishing and each of them failing, the BigTIFF chosen before writing
 * and the restart after a classic file passes its limit; and the same
 * slide converted twice giving the same bytes.
 */
#include "pyramid/conversion_driver.h"

#include <gtest/gtest.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>

#include "pyramid/conversion_driver_internal.h"
#include "pyramid/output_layout.h"
#include "pyramid/pyramid_plan.h"
#include "tests/pyramid/fake_slide_fixture.h"
#include "tests/pyramid/refused_allocations.h"
#include "tests/pyramid/tiff_file.h"

namespace nvx::pyramid {
namespace {

using testing::TiffFile;

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
    TiffFile tiff(TIFFOpen(path.c_str(), "r"));
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
        job.info = info_;
        job.box = {0, 0, info_.width, info_.height};
        job.layers = 4;
        return job;
    }
    bool Logged(const std::string& line) const {
        const auto lines = NewLogLines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    // Converts with the fixture's slide, which the run then owns; the
    // progress is kept as text: 'S' for the start, 'R' for a restart as a
    // BigTIFF, '.' for each dot.
    ConversionResult Run(const ConversionJob& job, const ThreadStarter& starter) {
        DriverSeams seams;
        seams.startThread = starter;
        return Run(job, seams);
    }
    ConversionResult Run(const ConversionJob& job, const DriverSeams& seams) {
        SlideHandedOver();
        progress_.clear();
        stderr_.clear();
        slide::SlideSession session(slide_);
        ::testing::internal::CaptureStderr();
        ConversionResult result = ConvertSlideWith(
            job, &session,
            [this](Progress step) {
                progress_ += step == Progress::Started              ? 'S'
                             : step == Progress::RestartedAsBigTiff ? 'R'
                                                                    : '.';
            },
            seams);
        stderr_ = ::testing::internal::GetCapturedStderr();
        return result;
    }
    // Everything in the test's folder, hidden files included.
    std::size_t FilesInFolder() const {
        const std::filesystem::path folder = std::filesystem::path(PathIn("x")).parent_path();
        return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(folder),
                                                      std::filesystem::directory_iterator()));
    }
    std::string progress_;
    std::string stderr_;
};

TEST_F(ConversionDriverTest, WorkersThatCannotStartEndTheFirstLevelEarlyAndSayWhy) {
    const std::string output = PathIn("early.tif");
    const ConversionResult result = Run(Job(output), [](WorkerThread*, std::function<void()>) {
        errno = EAGAIN;  // as pthread_create says at a thread limit
        return false;
    });
    EXPECT_EQ(result.outcome, ConversionOutcome::Incomplete);
    EXPECT_EQ(result.failure.step.stage, Stage::StartingWorkers);
    EXPECT_EQ(result.failure.step.level, 1);
    EXPECT_EQ(result.failure.cause, Cause::Errno);
    EXPECT_EQ(result.failure.code, EAGAIN);
    ASSERT_TRUE(result.shortLevel);
    EXPECT_EQ(result.shortLevel->directoryIndex, 1);
    EXPECT_EQ(result.shortLevel->rowsWritten, 0);
    EXPECT_EQ(result.shortLevel->height, 1500);
    EXPECT_TRUE(result.slideClosed);
    EXPECT_EQ(progress_, "S");  // no dots: no row was written

    // Nothing incomplete is published, and nothing is left beside it.
    EXPECT_FALSE(std::filesystem::exists(output));
    EXPECT_EQ(FilesInFolder(), 0u);
    EXPECT_TRUE(Logged("close"));
}

TEST_F(ConversionDriverTest, ASecondLevelWithoutWorkersEndsEarlyAfterTheThumbnail) {
    // All 64 workers of the first level start, none of the second.
    int starts = 0;
    const std::string output = PathIn("second.tif");
    const ConversionResult result =
        Run(Job(output), [&starts](WorkerThread* thread, std::function<void()> work) {
            return ++starts <= kWorkersPerLevel && StartWorkerThread(thread, std::move(work));
        });
    EXPECT_EQ(result.outcome, ConversionOutcome::Incomplete);
    ASSERT_TRUE(result.shortLevel);
    EXPECT_EQ(result.shortLevel->directoryIndex, 3);
    EXPECT_EQ(starts, 2 * kWorkersPerLevel);
    EXPECT_FALSE(std::filesystem::exists(output));
    EXPECT_EQ(FilesInFolder(), 0u);
    // Dots of the first level and the thumbnail's dot, none for the second level.
    ASSERT_GE(progress_.size(), 3u);
    EXPECT_EQ(progress_[0], 'S');
    EXPECT_EQ(progress_.find_first_not_of('.', 1), std::string::npos) << progress_;
}

TEST_F(ConversionDriverTest, WorkersThatPartlyFailToStartStillWriteTheWholeLevel) {
    // Tiles are shared out one at a time, so any worker that runs takes them all.
    int starts = 0;
    const ConversionResult result =
        Run(Job(PathIn("few.tif")), [&starts](WorkerThread* thread, std::function<void()> work) {
            return ++starts % kWorkersPerLevel == 0 && StartWorkerThread(thread, std::move(work));
        });
    EXPECT_EQ(result.outcome, ConversionOutcome::Converted);
    EXPECT_EQ(ReadDirectories(PathIn("few.tif")).size(), 5u);
}

TEST_F(ConversionDriverTest, UnsupportedTileSizesEndTheRunBeforeTheOutputExists) {
    for (std::int32_t tileSize : {0, 8, 136, 200, 250, 8192}) {
        ConversionJob job = Job(PathIn("never.tif"));
        job.info.tileSize = tileSize;
        const ConversionResult result = Run(job, StartWorkerThread);
        EXPECT_EQ(result.outcome, ConversionOutcome::UnsupportedTileSize) << tileSize;
        EXPECT_FALSE(std::filesystem::exists(PathIn("never.tif")));
        EXPECT_EQ(progress_, "");
        ASSERT_TRUE(slide::OpenSlide(&slide_, "fake.nvx"));  // the run closed it
    }
    SlideHandedOver();
    { slide::SlideSession closing(slide_); }
    const auto lines = NewLogLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "close"), 7);
}

TEST_F(ConversionDriverTest, AnEmptyAreaEndsTheRunBeforeTheOutputExists) {
    for (const auto& [width, height] :
         std::vector<std::pair<int, int>>{{0, 0}, {2000, 0}, {0, 1}}) {
        ConversionJob job = Job(PathIn("never.tif"));
        job.box = {0, 0, width, height};
        EXPECT_EQ(Run(job, StartWorkerThread).outcome, ConversionOutcome::EmptyArea) << width;
        EXPECT_EQ(progress_, "");
        EXPECT_EQ(FilesInFolder(), 0u);
        EXPECT_TRUE(Logged("close"));
        ASSERT_TRUE(slide::OpenSlide(&slide_, "fake.nvx"));  // the run closed it
    }
    SlideTakenBack();
}

TEST_F(ConversionDriverTest, AWorkerOutOfMemoryFailsTheRunAndSaysWhatItWasDoing) {
    // Whole-slide tiles are decoded into a buffer of their own; region tiles
    // at the right edge are padded in one.
    ConversionJob whole = Job(PathIn("whole.tif"));
    ConversionJob region = Job(PathIn("region.tif"));
    region.box = {100, 50, 1700, 1300};
    region.layers = 9;
    region.regionMode = true;
    for (const auto& [job, stage] :
         {std::pair{&whole, Stage::DecodingTile}, std::pair{&region, Stage::LayingOutTile}}) {
        ConversionResult result;
        {
            testing::RefuseTileBuffers refuse(256 * 256 * 3);
            result = Run(*job, StartWorkerThread);
        }
        EXPECT_EQ(result.outcome, ConversionOutcome::Incomplete);
        EXPECT_EQ(result.failure.cause, Cause::OutOfMemory);
        EXPECT_EQ(result.failure.step.stage, stage);
        EXPECT_EQ(result.failure.step.level, 1);
        EXPECT_GE(result.failure.step.tile, 0);
        ASSERT_TRUE(result.shortLevel) << static_cast<int>(stage);
        EXPECT_EQ(result.shortLevel->directoryIndex, 1);
        EXPECT_TRUE(result.slideClosed);
        EXPECT_EQ(FilesInFolder(), 0u);  // the temporary file is gone
        ASSERT_TRUE(slide::OpenSlide(&slide_, "fake.nvx"));
    }
    SlideTakenBack();
}

TEST_F(ConversionDriverTest, AnOutputThatNamesTheInputSlideIsRefusedAndTheSlideKept) {
    const std::string input = PathIn("slide.nvx");
    { std::ofstream(input) << "slide bytes"; }
    ConversionJob job = Job(std::filesystem::path(input).parent_path().string() + "/./slide.nvx");
    job.inputPath = input;
    EXPECT_EQ(Run(job, StartWorkerThread).outcome, ConversionOutcome::OutputIsInput);
    EXPECT_EQ(progress_, "");
    std::ifstream in(input);
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "slide bytes");
    EXPECT_TRUE(Logged("close"));
}

TEST_F(ConversionDriverTest, AnOutputThatCannotBeCreatedEndsWithStatusOne) {
    const ConversionResult missingFolder =
        Run(Job(PathIn("missing-folder/out.tif")), StartWorkerThread);
    EXPECT_EQ(missingFolder.outcome, ConversionOutcome::OutputNotCreated);
    EXPECT_EQ(missingFolder.failure.step.stage, Stage::CreatingOutput);
    EXPECT_EQ(missingFolder.failure.cause, Cause::Refusal);
    EXPECT_NE(missingFolder.failure.text.find("No such file or directory"), std::string::npos)
        << missingFolder.failure.text;
    EXPECT_EQ(progress_, "");
    EXPECT_TRUE(Logged("close"));

    // A folder at the output path is refused before any work, as is a file
    // we may not write (unless we may write anything, as root may).
    std::filesystem::create_directory(PathIn("folder.tif"));
    ASSERT_TRUE(slide::OpenSlide(&slide_, "fake.nvx"));
    EXPECT_EQ(Run(Job(PathIn("folder.tif")), StartWorkerThread).outcome,
              ConversionOutcome::OutputNotCreated);
    EXPECT_TRUE(std::filesystem::is_directory(PathIn("folder.tif")));
    EXPECT_EQ(progress_, "");
    EXPECT_EQ(FilesInFolder(), 1u);
}

TEST_F(ConversionDriverTest, AFinishedRunReplacesAnEarlierOutputAndLeavesNoTemporaryFile) {
    const std::string output = PathIn("out.tif");
    { std::ofstream(output) << "an earlier output"; }
    const ConversionResult result = Run(Job(output), StartWorkerThread);
    EXPECT_EQ(result.outcome, ConversionOutcome::Converted);
    EXPECT_FALSE(result.bigTiff);
    EXPECT_EQ(ReadDirectories(output).size(), 5u);
    EXPECT_EQ(FilesInFolder(), 1u);
}

TEST_F(ConversionDriverTest, AnOutputThatIsALinkIsWrittenThroughTheLink) {
    const std::string elsewhere = PathIn("elsewhere");
    std::filesystem::create_directory(elsewhere);
    const std::string real = elsewhere + "/real.tif";
    { std::ofstream(real) << "an earlier output"; }
    std::filesystem::create_symlink(real, PathIn("link.tif"));
    EXPECT_EQ(Run(Job(PathIn("link.tif")), StartWorkerThread).outcome,
              ConversionOutcome::Converted);
    EXPECT_TRUE(std::filesystem::is_symlink(PathIn("link.tif")));
    EXPECT_EQ(ReadDirectories(real).size(), 5u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(elsewhere),
                            std::filesystem::directory_iterator()),
              1);
}

TEST_F(ConversionDriverTest, AFailedRunLeavesAnEarlierOutputAsItWas) {
    const std::string output = PathIn("out.tif");
    { std::ofstream(output) << "an earlier output"; }
    const ConversionResult result =
        Run(Job(output), [](WorkerThread*, std::function<void()>) { return false; });
    EXPECT_EQ(result.outcome, ConversionOutcome::Incomplete);
    std::ifstream in(output);
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "an earlier output");
    EXPECT_EQ(FilesInFolder(), 1u);
}

std::string Bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST_F(ConversionDriverTest, TheSameJobGivesTheSameBytesEveryRun) {
    ConversionJob whole = Job(PathIn("whole-1.tif"));
    ConversionJob region = Job(PathIn("region-1.tif"));
    region.box = {100, 50, 1700, 1300};
    region.layers = 9;
    region.regionMode = true;
    for (const ConversionJob* job : {&whole, &region}) {
        ConversionJob second = *job;
        second.outputPath.replace(second.outputPath.size() - 5, 1, "2");
        EXPECT_EQ(Run(*job, StartWorkerThread).outcome, ConversionOutcome::Converted);
        ASSERT_TRUE(slide::OpenSlide(&slide_, "fake.nvx"));
        EXPECT_EQ(Run(second, StartWorkerThread).outcome, ConversionOutcome::Converted);
        ASSERT_TRUE(slide::OpenSlide(&slide_, "fake.nvx"));
        const std::string first = Bytes(job->outputPath);
        EXPECT_GT(first.size(), 10000u);
        EXPECT_TRUE(first == Bytes(second.outputPath)) << job->outputPath;
    }
    SlideTakenBack();
}

bool IsBigTiff(const std::string& path) {
    TiffFile tiff(TIFFOpen(path.c_str(), "r"));
    return tiff && TIFFIsBigTIFF(tiff.get());
}

TEST_F(ConversionDriverTest, AnOutputEstimatedPastTheThresholdIsABigTiffFromTheStart) {
    DriverSeams seams;
    seams.bigTiffThreshold = 100'000;  // the fake's raw tiles pass it, and their estimate
    const ConversionResult result = Run(Job(PathIn("big.tif")), seams);
    EXPECT_EQ(result.outcome, ConversionOutcome::Converted);
    EXPECT_TRUE(result.bigTiff);
    EXPECT_TRUE(IsBigTiff(PathIn("big.tif")));
    EXPECT_EQ(progress_.find('R'), std::string::npos) << progress_;
    EXPECT_EQ(ReadDirectories(PathIn("big.tif")).size(), 5u);
}

TEST_F(ConversionDriverTest, AClassicFileThatPassesItsLimitIsWrittenAgainAsTheSameBigTiff) {
    DriverSeams direct;
    direct.bigTiffThreshold = 0;
    ASSERT_EQ(Run(Job(PathIn("direct.tif")), direct).outcome, ConversionOutcome::Converted);
    const std::string expected = Bytes(PathIn("direct.tif"));
    ASSERT_TRUE(slide::OpenSlide(&slide_, "fake.nvx"));
    ASSERT_EQ(Run(Job(PathIn("classic.tif")), StartWorkerThread).outcome,
              ConversionOutcome::Converted);
    const std::uint64_t classicSize = std::filesystem::file_size(PathIn("classic.tif"));
    ASSERT_TRUE(slide::OpenSlide(&slide_, "fake.nvx"));

    // The limit passed among the first level's tiles, at its directory,
    // and at the last picture.
    for (const std::uint64_t limit : {classicSize / 10, classicSize * 3 / 4, classicSize - 1}) {
        DriverSeams seams;
        seams.classicLimit = limit;
        const ConversionResult result = Run(Job(PathIn("restarted.tif")), seams);
        EXPECT_EQ(result.outcome, ConversionOutcome::Converted) << limit;
        EXPECT_TRUE(result.bigTiff) << limit;
        EXPECT_EQ(std::count(progress_.begin(), progress_.end(), 'R'), 1) << progress_;
        EXPECT_EQ(progress_[0], 'S');
        EXPECT_TRUE(Bytes(PathIn("restarted.tif")) == expected) << limit;
        EXPECT_EQ(FilesInFolder(), 3u);  // the classic attempt is gone
        ASSERT_TRUE(slide::OpenSlide(&slide_, "fake.nvx"));
    }
    // A limit the file stays within keeps it classic.
    DriverSeams roomy;
    roomy.classicLimit = classicSize + 100'000;
    const ConversionResult classic = Run(Job(PathIn("classic.tif")), roomy);
    EXPECT_FALSE(classic.bigTiff);
    EXPECT_EQ(progress_.find('R'), std::string::npos);
    EXPECT_EQ(std::filesystem::file_size(PathIn("classic.tif")), classicSize);
}

// The temporary file the run writes: the one hidden file of the folder.
std::filesystem::path TemporaryIn(const std::filesystem::path& folder) {
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().filename().string().front() == '.') return entry.path();
    }
    return {};
}

TEST_F(ConversionDriverTest, PublishingFlushesSyncsClosesAndRenamesInThatOrder) {
    const std::string output = PathIn("out.tif");
    std::vector<Stage> steps;
    std::uint64_t bytesAtSync = 0;
    bool outputBeforeRename = true;
    DriverSeams seams;
    seams.steps = [&](Stage step, const std::function<bool()>& perform) {
        if (step != Stage::SettingTables) steps.push_back(step);
        if (step == Stage::SyncingOutput) {
            bytesAtSync = std::filesystem::file_size(TemporaryIn(PathIn(".")));
        }
        if (step == Stage::RenamingOutput) outputBeforeRename = std::filesystem::exists(output);
        return perform();
    };
    EXPECT_EQ(Run(Job(output), seams).outcome, ConversionOutcome::Converted);
    EXPECT_EQ(steps, (std::vector<Stage>{Stage::CreatingOutput, Stage::FinishingOutput,
                                         Stage::SyncingOutput, Stage::ClosingOutput,
                                         Stage::RenamingOutput, Stage::SyncingFolder}));
    // What is forced to disk is the whole file, and it takes the name last.
    EXPECT_EQ(bytesAtSync, std::filesystem::file_size(output));
    EXPECT_FALSE(outputBeforeRename);
    EXPECT_EQ(FilesInFolder(), 1u);
}

TEST_F(ConversionDriverTest,
       AFailedStepOfPublishingFailsTheRunAndSaysWhatBecameOfTheEarlierOutput) {
    const std::string output = PathIn("out.tif");
    struct Case {
        Stage failing;
        bool afterItsWork;  // the step did its work, then failed
    };
    const Case cases[] = {{Stage::FinishingOutput, false},
                          {Stage::SyncingOutput, false},
                          {Stage::ClosingOutput, false},
                          {Stage::RenamingOutput, false},
                          {Stage::RenamingOutput, true}};
    for (const Case& c : cases) {
        const Case& row = c;  // what the lambda captures
        SCOPED_TRACE(static_cast<int>(c.failing));
        { std::ofstream(output) << "an earlier output"; }
        std::vector<Stage> steps;
        DriverSeams seams;
        seams.steps = [&steps, &row](Stage ran, const std::function<bool()>& perform) {
            steps.push_back(ran);
            if (ran != row.failing) return perform();
            if (row.afterItsWork) perform();
            return false;
        };
        const ConversionResult result = Run(Job(output), seams);
        EXPECT_EQ(result.outcome, ConversionOutcome::Incomplete);
        EXPECT_EQ(result.failure.step.stage, c.failing);
        EXPECT_EQ(result.failure.cause, Cause::None);  // the system said nothing
        EXPECT_EQ(result.outputReplaced, c.afterItsWork);
        EXPECT_EQ(steps.back(), c.failing);  // nothing after the failed step
        std::ifstream in(output);
        std::string content;
        std::getline(in, content);
        EXPECT_EQ(content == "an earlier output", !c.afterItsWork);
        EXPECT_EQ(FilesInFolder(), 1u);  // the temporary file is gone
        ASSERT_TRUE(slide::OpenSlide(&slide_, "fake.nvx"));
    }
    SlideTakenBack();
}

TEST_F(ConversionDriverTest, ALevelWithoutItsJpegTablesFailsTheRun) {
    // libjpeg runs out of memory making the tables (the stream it writes
    // them into cannot grow), or libtiff refuses to take them.
    struct Case {
        const char* name;
        bool refuseMemory;
    };
    for (const Case& c :
         {Case{"libjpeg gives no tables", true}, Case{"libtiff takes none", false}}) {
        SCOPED_TRACE(c.name);
        const std::string output = PathIn("tables.tif");
        DriverSeams seams;
        seams.steps = [&c](Stage step, const std::function<bool()>& perform) {
            if (step != Stage::SettingTables) return perform();
            if (!c.refuseMemory) return false;
            testing::RefuseTileBuffers refuse(64 * 1024, true);
            return perform();
        };
        const ConversionResult result = Run(Job(output), seams);
        EXPECT_EQ(result.outcome, ConversionOutcome::Incomplete);
        EXPECT_EQ(result.failure.step.stage, Stage::SettingTables);
        EXPECT_EQ(result.failure.step.level, 1);
        EXPECT_EQ(progress_, "S");  // no tile was made
        EXPECT_FALSE(std::filesystem::exists(output));
        EXPECT_EQ(FilesInFolder(), 0u);
        ASSERT_TRUE(slide::OpenSlide(&slide_, "fake.nvx"));
    }
    SlideTakenBack();
}

}  // namespace
}  // namespace nvx::pyramid
