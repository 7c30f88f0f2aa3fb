/*
 * run_record.h - what a run lost, kept in one place: the first failure
 * (what was being done, the tile, level or picture, and the cause: the
 * system's error code, a library's message, memory that ran out), the
 * tiles and pictures the slide could not give, and the messages libtiff
 * reported on the way. The run keeps one record; every layer that fails
 * writes into it (the native file layer, libtiff's message handlers, the
 * level writer, the pictures, publishing), and the report reads it once
 * the run is over.
 *
 * The first failure sticks: later ones are its consequences. A layer that
 * knows only the cause (a write of the native file layer, a libtiff
 * message) records it with Stage::Output; the caller that made the call,
 * on the same thread, then names what it was doing, and only it can, so
 * that a cause never pairs with another thread's work.
 *
 * Writing never allocates or throws: the storage is the record's own,
 * sized beforehand, so that a failure can be recorded inside libtiff's C
 * frames, under a lock, or after memory ran out. Any thread may write.
 */
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace nvx {

// What a run was doing.
enum class Stage : std::uint8_t {
    None,
    Output,           // a write to the output, not named yet by its caller
    CreatingOutput,   // the temporary file beside the output, and libtiff's handle on it
    FinishingOutput,  // libtiff's last bytes out of its buffers
    SyncingOutput,    // the file forced to disk
    ClosingOutput,
    RenamingOutput,  // the rename over the output's name
    SyncingFolder,   // the folder forced to disk after the rename
    // A pyramid level.
    StartingWorkers,  // its worker threads
    PreparingWorker,  // a worker's codecs
    SettingLevelTags,
    SettingTables,  // the JPEGTables its tiles leave out
    FetchingTile,
    DecodingTile,
    TranscodingTile,
    LayingOutTile,
    EncodingTile,
    HandingOverTile,
    WritingTile,
    WritingLevelDirectory,
    // An associated picture.
    FetchingPicture,
    DecodingPicture,
    SettingPictureTags,
    WritingPicture,
};

// Why it failed.
enum class Cause : std::uint8_t {
    None,         // refused, with no reason given
    System,       // the system's error code: errno, or GetLastError on Windows
    Errno,        // an errno value on every system (pthread_create's result)
    Library,      // a library's message (libtiff's)
    OutOfMemory,  // memory ran out
    Refusal,      // our own reason, in words
};

enum class AssociatedPicture : std::uint8_t { None, Thumbnail, Label, Macro };

// What was being done, and to what.
struct Step {
    Stage stage = Stage::None;
    std::int32_t level = 0;   // the pyramid level's directory index, 0 for none
    std::int64_t tile = -1;   // the tile's number in its level, -1 for none
    std::int32_t column = 0;  // the tile's left edge in the level
    std::int32_t row = 0;     // its top edge
    AssociatedPicture picture = AssociatedPicture::None;

    static constexpr Step Of(Stage stage) { return Step{stage}; }
    static constexpr Step OfLevel(Stage stage, std::int32_t level) { return Step{stage, level}; }
    static constexpr Step OfTile(Stage stage, std::int32_t level, std::int64_t tile,
                                 std::int32_t column, std::int32_t row) {
        return Step{stage, level, tile, column, row};
    }
    static constexpr Step OfPicture(Stage stage, AssociatedPicture picture) {
        return Step{stage, 0, -1, 0, 0, picture};
    }
};

// The record as the report reads it, once the run is over.
struct RunFailure {
    Step step;  // stage None: nothing failed
    Cause cause = Cause::None;
    int code = 0;                                 // System, Errno
    std::string text;                             // Library: its message; Refusal: our reason; for
                                                  // CreatingOutput otherwise, the folder
    std::int32_t lostTiles = 0;                   // written white: the slide gave nothing usable
    std::vector<AssociatedPicture> lostPictures;  // the slide's picture could not be read
    std::vector<std::string> libraryMessages;     // libtiff's errors and warnings, each once

    bool Failed() const { return step.stage != Stage::None; }
    // Whether the output lacks anything: such a file is never published.
    bool Lost() const { return Failed() || lostTiles != 0 || !lostPictures.empty(); }
};

// Runs one step: by default `perform()`. A test hands in its own to watch
// the steps or fail one as the system would.
using StepHook = std::function<bool(Stage stage, const std::function<bool()>& perform)>;

class RunRecord {
public:
    // Room for a message or reason, and for the distinct messages kept.
    static constexpr std::size_t kTextBytes = 512;
    static constexpr std::size_t kMessages = 16;

    explicit RunRecord(StepHook hook = {}) : hook_(std::move(hook)) {}
    RunRecord(const RunRecord&) = delete;
    RunRecord& operator=(const RunRecord&) = delete;

    // Records the run's failure: `step` failed for `cause` (its error code,
    // or its words, cut to kTextBytes). Unless a failure is recorded
    // already: then, from the thread that recorded it, this names the step
    // of a failure recorded as Stage::Output, and gives a cause to one
    // that had none.
    void Fail(const Step& step, Cause cause = Cause::None, int code = 0,
              const char* text = nullptr) noexcept;
    void FailWithErrno(const Step& step, int code) noexcept { Fail(step, Cause::Errno, code); }
    // A message of the library (libtiff): kept once among the messages;
    // an error fails the run with it as the cause (Stage::Output).
    void NoteLibraryMessage(const char* module, const char* format, std::va_list arguments,
                            bool error) noexcept;
    // Tiles written white and pictures left out: the slide gave nothing usable.
    void NoteLostTiles(std::int32_t count) noexcept;
    void NotePictureLost(AssociatedPicture picture) noexcept;

    bool Failed() const noexcept { return failed_.load(std::memory_order_acquire); }
    bool Lost() const noexcept;
    // The record for the report. Not for libtiff's frames: it allocates.
    RunFailure Read() const;

    // Runs `perform` as step `stage` through the test's hook, if any.
    bool Run(Stage stage, const std::function<bool()>& perform) const {
        return hook_ ? hook_(stage, perform) : perform();
    }

private:
    class Guard;
    void Lock() const noexcept;
    void Unlock() const noexcept;

    StepHook hook_;
    mutable std::atomic_flag busy_ = ATOMIC_FLAG_INIT;  // guards everything below
    std::atomic<bool> failed_{false};
    std::thread::id failedOn_;
    Step step_;
    Cause cause_ = Cause::None;
    int code_ = 0;
    char text_[kTextBytes] = {};
    std::atomic<std::int32_t> lostTiles_{0};
    AssociatedPicture lostPictures_[3] = {};
    std::size_t lostPictureCount_ = 0;
    char messages_[kMessages][kTextBytes] = {};
    std::size_t messageCount_ = 0;
};

}  // namespace nvx
