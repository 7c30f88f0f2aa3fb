/*
 * run_record_test.cpp - the run's record: the first failure sticks, only
 * the thread that recorded a bare cause names its step, failures from many
 * threads at once leave one coherent record, and libtiff's messages are
 * kept once each, cut at a character's first byte.
 */
#include "common/run_record.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <latch>
#include <string>
#include <thread>
#include <vector>

namespace nvx {
namespace {

void NoteMessage(RunRecord* record, bool error, const char* module, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    record->NoteLibraryMessage(module, format, arguments, error);
    va_end(arguments);
}

TEST(RunRecordTest, TheFirstFailureSticksAndOnlyItsThreadNamesItsStep) {
    const Step tile = Step::OfTile(Stage::WritingTile, 1, 40, 10240, 0);
    struct Case {
        const char* name;
        bool otherThread;  // the step is named from another thread
        Stage recorded;
    };
    for (const Case& c : {Case{"the thread that failed", false, Stage::WritingTile},
                          Case{"another thread", true, Stage::Output}}) {
        SCOPED_TRACE(c.name);
        RunRecord record;
        // The native file layer knows only the cause.
        record.Fail(Step::Of(Stage::Output), Cause::System, EDQUOT);
        if (c.otherThread) {
            std::thread([&] { record.Fail(tile); }).join();
        } else {
            record.Fail(tile);
        }
        // Later failures are consequences, whichever thread they come from.
        std::thread([&] {
            record.Fail(Step::OfLevel(Stage::WritingLevelDirectory, 1), Cause::System, EIO);
        }).join();
        NoteMessage(&record, true, "TIFFAppendToStrip", "Write error at scanline %u", 7u);
        const RunFailure failure = record.Read();
        EXPECT_EQ(failure.step.stage, c.recorded);
        EXPECT_EQ(failure.cause, Cause::System);
        EXPECT_EQ(failure.code, EDQUOT);
        EXPECT_EQ(failure.step.tile, c.otherThread ? -1 : 40);
        EXPECT_TRUE(failure.Lost());
    }
}

TEST(RunRecordTest, FailuresFromManyThreadsAtOnceLeaveOneCoherentRecord) {
    // Each thread's cause carries its own number, and so does the tile it
    // names after: the record must hold one thread's pair.
    RunRecord record;
    std::latch start(16);
    std::vector<std::thread> threads;
    for (int k = 1; k <= 16; ++k) {
        threads.emplace_back([&record, &start, k] {
            start.arrive_and_wait();
            for (int round = 0; round < 100; ++round) {
                record.Fail(Step::Of(Stage::Output), Cause::System, k);
                // libtiff goes on for a while before its caller hears of it.
                for (int pause = 0; pause < 10; ++pause) std::this_thread::yield();
                record.Fail(Step::OfTile(Stage::WritingTile, 1, k, 0, 0));
                record.NoteLostTiles(1);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    const RunFailure failure = record.Read();
    EXPECT_EQ(failure.step.stage, Stage::WritingTile);
    EXPECT_EQ(failure.step.tile, failure.code);
    EXPECT_EQ(failure.lostTiles, 1600);
}

TEST(RunRecordTest, LibtiffsMessagesAreKeptOnceEachAndOnlyErrorsFailTheRun) {
    RunRecord record;
    NoteMessage(&record, false, "TIFFFetchNormalTag", "%s", "ASCII value not NUL terminated");
    NoteMessage(&record, false, "TIFFFetchNormalTag", "%s", "ASCII value not NUL terminated");
    EXPECT_FALSE(record.Failed());
    NoteMessage(&record, true, "", "Write error at scanline %d", 3);
    for (int k = 0; k < 40; ++k) NoteMessage(&record, false, "m", "warning %d", k);
    // A text longer than the record holds is cut before a character's
    // continuation bytes: "é" is two bytes, the cut falls between them.
    const std::string longText = std::string(RunRecord::kTextBytes - 2, 'x') + "\xC3\xA9";
    NoteMessage(&record, true, nullptr, "%s", longText.c_str());

    const RunFailure failure = record.Read();
    ASSERT_EQ(failure.libraryMessages.size(), RunRecord::kMessages);
    EXPECT_EQ(failure.libraryMessages[0], "TIFFFetchNormalTag: ASCII value not NUL terminated");
    EXPECT_EQ(failure.libraryMessages[1], "Write error at scanline 3");
    EXPECT_EQ(failure.cause, Cause::Library);
    EXPECT_EQ(failure.text, "Write error at scanline 3");
    EXPECT_EQ(failure.step.stage, Stage::Output);

    RunRecord cut;
    NoteMessage(&cut, true, nullptr, "%s", longText.c_str());
    EXPECT_EQ(cut.Read().text, std::string(RunRecord::kTextBytes - 2, 'x'));
}

TEST(RunRecordTest, LostTilesAndPicturesAreLossesWithoutAFailure) {
    RunRecord record;
    EXPECT_FALSE(record.Lost());
    record.NotePictureLost(AssociatedPicture::Label);
    record.NotePictureLost(AssociatedPicture::Macro);
    record.NotePictureLost(AssociatedPicture::Label);
    EXPECT_TRUE(record.Lost());
    EXPECT_FALSE(record.Failed());
    const RunFailure failure = record.Read();
    EXPECT_FALSE(failure.Failed());
    EXPECT_EQ(failure.lostPictures,
              (std::vector<AssociatedPicture>{AssociatedPicture::Label, AssociatedPicture::Macro}));
}

}  // namespace
}  // namespace nvx
