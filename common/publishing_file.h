/*
 * publishing_file.h - the one way this project's tools write a file that
 * takes a name: a temporary file beside the target, created once (a new
 * name, never through a link) in the folder the target's record holds open
 * since it was looked at, and written only through its descriptor; then
 * forced to disk, closed, renamed over the target in that same folder, and
 * the folder forced to disk after it. Readers see the earlier file or the
 * whole new one, never a part; a run that does not publish removes its
 * temporary. Whatever is put under the folder's path meanwhile (a link to
 * another folder), the file goes where the record looked.
 *
 * The rename never replaces what it was not meant to: a name that was free
 * is taken only while it is still free (RENAME_NOREPLACE), and whatever is
 * at the name then is looked at as at the start: a regular file we may
 * replace is replaced, anything else (a FIFO, a folder) is left and the
 * run fails. Once the rename is done nothing fails the run: a folder that
 * cannot be synced leaves a warning.
 *
 * The new file keeps what the user set on the earlier one: its permission
 * bits, its owner and group where this process may set them, its ACL, but
 * only when the name still holds that earlier file, in the folder the
 * record named. A new file gets the umask's mode.
 *
 * The temporary, its name, lock, sweep and the signal handler's removal
 * are those of every output's temporary (publishing_temporary.h).
 */
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/native_file.h"
#include "common/output_target.h"
#include "common/publishing_temporary.h"
#include "common/run_record.h"

namespace nvx {

// The steps of publishing, in their order: the temporary file made in the
// held folder, the writer's last bytes out of its buffers, the file forced
// to disk, closed, renamed over the target, and the folder forced to disk.
enum class PublishStep { Create, Flush, Sync, Close, Rename, SyncFolder };

// Runs each step: by default `perform()`. A test hands in its own to see
// the steps and their order, or to make one fail as the system would.
using PublishStepRunner =
    std::function<bool(PublishStep step, const std::function<bool()>& perform)>;

// The run's stage of each step (Stage::CreatingOutput ... Stage::SyncingFolder).
Stage StageOf(PublishStep step);

class PublishingFile {
public:
    // Creates the temporary file for `target`, which must be publishable,
    // after removing the stale temporaries of runs that are gone. Null with
    // `reason` set when it cannot be created.
    static std::unique_ptr<PublishingFile> Create(const OutputTarget& target, std::string* reason,
                                                  PublishStepRunner runStep = {});
    // The same for a run that keeps `record`, which must outlive the file:
    // every failure, the file's writes among them, goes there (Stage
    // CreatingOutput to RenamingOutput), and the steps run through its hook.
    static std::unique_ptr<PublishingFile> Create(const OutputTarget& target, RunRecord* record);
    // Removes the temporary file unless it was published.
    ~PublishingFile();
    PublishingFile(const PublishingFile&) = delete;
    PublishingFile& operator=(const PublishingFile&) = delete;

    WritableFile& file() { return file_; }
    const std::string& temporaryPath() const { return temporaryPath_; }

    // Gives the file the earlier file's settings, forces it to disk,
    // closes it and renames it over the target, the folder on disk after.
    // False with `reason` set when a step before the rename fails, or the
    // rename does: the target is then as it was, unless `reason` says it
    // was replaced (a step runner that failed the rename after its work).
    bool Publish(std::string* reason);
    // Whether the target now holds this file.
    bool Replaced() const { return published_; }
    // After a Publish that succeeded: why the new name may not be on disk
    // yet (the folder could not be synced), for a warning; empty when it is.
    const std::string& Warning() const { return warning_; }

    // Runs one step of publishing through the step runner. The writer on
    // top of the file runs its Flush this way before Publish.
    bool RunStep(PublishStep step, const std::function<bool()>& perform) const;

private:
    PublishingFile(const OutputTarget& target, RunRecord* record)
        : target_(target), record_(record) {}
    static std::unique_ptr<PublishingFile> CreateFor(const OutputTarget& target, RunRecord* record,
                                                     std::string* reason);
    bool CreateTemporary(std::string* why);
    bool RenameOverTarget(std::string* why, bool* renamed);
    // Records the failure of `step` (`text`: our reason, for a Refusal).
    void Fail(Stage stage, Cause cause = Cause::None, int code = 0,
              const char* text = nullptr) const;

    OutputTarget target_;                   // holds the folder open as long as the file lives
    std::unique_ptr<RunRecord> ownRecord_;  // for a caller that keeps none
    RunRecord* record_;
    RegisteredTemporary temporary_;  // in the held folder
    std::string temporaryPath_;
    WritableFile file_;
    bool published_ = false;
    std::string warning_;
};

// The temporary file's name for `target`, made by process `process` on the
// host of tag `host`, with the random part `random`.
std::string TemporaryName(const OutputTarget& target, const std::string& host,
                          unsigned long process, std::uint32_t random);

// Removes the temporaries for `target` (in its held folder) of runs on
// this host that no live run holds locked; gives their number.
int RemoveStaleTemporaries(const OutputTarget& target);

}  // namespace nvx
