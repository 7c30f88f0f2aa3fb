/*
 * publishing_file.h - the one way this project's tools write a file that
 * takes a name: a temporary file beside the target, created once (a new
 * name, never through a link) and written only through its descriptor,
 * then forced to disk, closed, renamed over the target and the folder
 * forced to disk after it. Readers see the earlier file or the whole new
 * one, never a part; a run that does not publish removes its temporary.
 *
 * The new file keeps what the user set on the earlier one: its permission
 * bits, its owner and group where this process may set them, its ACL. A
 * new file gets the umask's mode.
 *
 * The temporary's name is hidden and tells whose it is:
 * .<output's name>.<host tag>.<process id>.<random>.part, the output's
 * name shortened where the whole would pass the file system's limit. A run
 * that was killed (SIGKILL, out of memory, power cut) leaves its temporary;
 * the next run into the same folder for the same output removes those of
 * runs on this host that are gone. Runs on other hosts sharing the folder
 * are never touched.
 *
 * The temporary being written is registered, so that a signal handler can
 * remove it (RemoveTemporaryOnInterrupt).
 */
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/native_file.h"
#include "common/output_target.h"

namespace nvx {

// The steps of publishing, in their order: the writer's last bytes out of
// its buffers, the file forced to disk, closed, renamed over the target
// (with the folder forced to disk after it).
enum class PublishStep { Flush, Sync, Close, Rename };

// Runs each step: by default `perform()`. A test hands in its own to see
// the steps and their order, or to make one fail as the system would.
using PublishStepRunner =
    std::function<bool(PublishStep step, const std::function<bool()>& perform)>;

class PublishingFile {
public:
    // Creates the temporary file for `target`, which must be publishable,
    // after removing the stale temporaries of runs that are gone. Null with
    // `reason` set when it cannot be created.
    static std::unique_ptr<PublishingFile> Create(const OutputTarget& target, std::string* reason,
                                                  PublishStepRunner runStep = {});
    // Removes the temporary file unless it was published.
    ~PublishingFile();
    PublishingFile(const PublishingFile&) = delete;
    PublishingFile& operator=(const PublishingFile&) = delete;

    WritableFile& file() { return file_; }
    const std::string& temporaryPath() const { return temporaryPath_; }

    // Gives the file the earlier file's settings, forces it to disk,
    // closes it and renames it over the target, the folder on disk after.
    // False with `reason` set when a step fails; the target is then as it
    // was, unless `reason` says it was replaced.
    bool Publish(std::string* reason);
    // Whether the target now holds this file: after a failed Publish, when
    // the rename went through and a later step (the folder's sync) failed.
    bool Replaced() const { return published_; }

    // Runs one step of publishing through the step runner. The writer on
    // top of the file runs its Flush this way before Publish.
    bool RunStep(PublishStep step, const std::function<bool()>& perform) const;

private:
    explicit PublishingFile(const OutputTarget& target) : target_(target) {}

    OutputTarget target_;
    PublishStepRunner runStep_;
    std::string temporaryPath_;
    WritableFile file_;
    bool published_ = false;
};

// The temporary file's name for `target`, made by process `process` on the
// host of tag `host`, with the random part `random`.
std::string TemporaryName(const OutputTarget& target, const std::string& host,
                          unsigned long process, std::uint32_t random);

// This host's tag in temporary names: 8 hex digits of its name.
std::string HostTag();

// Removes the temporaries for `target` of runs on this host whose process
// is gone (or whose id another process has taken since the file was last
// written); gives their number. Does nothing where processes cannot be
// looked at (Windows).
int RemoveStaleTemporaries(const OutputTarget& target);

// Removes the registered temporary file, if any. Async-signal-safe.
void RemoveTemporaryOnInterrupt();

}  // namespace nvx
