/*
 * output_file_test.cpp - the output's failures keep their cause in the
 * run's record: libtiff's errors, reported while no memory can be had,
 * neither throw through libtiff nor go unsaid, and a flush of libtiff's
 * last bytes that the system refuses says why.
 */
#include "pyramid/output_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <vector>

#include "pyramid/output_layout.h"
#include "tests/pyramid/fake_slide_fixture.h"
#include "tests/pyramid/refused_allocations.h"

namespace nvx::pyramid {
namespace {

using OutputFileTest = testing::FakeSlideTest;

TEST_F(OutputFileTest, LibtiffsErrorsAreRecordedWithoutAllocatingOrThrowing) {
    RunRecord record;
    const auto output = OutputFile::Create(ResolveOutputTarget(PathIn("out.tif")), false, &record);
    ASSERT_TRUE(output);
    // A directory of strips: libtiff refuses a tile there and says why.
    ASSERT_TRUE(SetLabelTags(output->tiff(), 1, 1, 16, 16));
    std::vector<std::uint8_t> tile(64, 0);
    tmsize_t written = 0;
    bool threw = false;
    {
        testing::RefuseTileBuffers refuseEverything(1, true);
        try {
            written = TIFFWriteRawTile(output->tiff(), 0, tile.data(), 64);
        } catch (...) {
            threw = true;
        }
    }
    EXPECT_FALSE(threw);
    EXPECT_EQ(written, -1);
    const RunFailure failure = record.Read();
    EXPECT_EQ(failure.cause, Cause::Library);
    EXPECT_NE(failure.text.find("striped image"), std::string::npos) << failure.text;
    ASSERT_EQ(failure.libraryMessages.size(), 1u);
    EXPECT_EQ(failure.libraryMessages[0], failure.text);
}

// Holds the process's file size limit at `bytes`, its signal ignored, so
// that writes past it fail with EFBIG.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &before_);
        signal_ = std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{bytes, before_.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &before_);
        std::signal(SIGXFSZ, signal_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit before_{};
    void (*signal_)(int) = SIG_DFL;
};

TEST_F(OutputFileTest, AFlushTheSystemRefusesKeepsItsCause) {
    RunRecord record;
    const auto output = OutputFile::Create(ResolveOutputTarget(PathIn("out.tif")), false, &record);
    ASSERT_TRUE(output);
    // A picture's rows wait in libtiff's strip buffer until the flush.
    ASSERT_TRUE(SetLabelTags(output->tiff(), 1, 1, 64, 64));
    std::vector<std::uint8_t> row(64 * 3, 0x80);
    for (std::uint32_t y = 0; y < 64; ++y) {
        ASSERT_EQ(TIFFWriteScanline(output->tiff(), row.data(), y, 0), 1);
    }
    ASSERT_FALSE(record.Failed());
    const auto size = static_cast<rlim_t>(std::filesystem::file_size(output->temporaryPath()));
    bool published = true;
    {
        const FileSizeLimit limit(size);
        published = output->Publish();
    }
    EXPECT_FALSE(published);
    const RunFailure failure = record.Read();
    EXPECT_EQ(failure.step.stage, Stage::FinishingOutput);
    EXPECT_EQ(failure.cause, Cause::System);
    EXPECT_EQ(failure.code, EFBIG);
}

}  // namespace
}  // namespace nvx::pyramid
