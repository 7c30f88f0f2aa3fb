/*
 * output_file.h - the output while it is written: the publishing file
 * (common/publishing_file.h) beside the final name, which libtiff writes
 * through its descriptor as a classic TIFF or a BigTIFF, with libtiff's
 * messages about it collected instead of printed, and published under the
 * final name only when it is whole and on disk. An output that is not
 * published is removed when it goes.
 */
#pragma once

#include <tiffio.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/output_target.h"
#include "common/publishing_file.h"

namespace nvx::pyramid {

// libtiff's errors and warnings about one file, each distinct text once,
// in the order they first came. Safe to add to from any thread.
class TiffMessages {
public:
    void Add(const std::string& text, bool error);
    std::vector<std::string> Texts() const;
    bool AnyError() const { return anyError_.load(); }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> texts_;
    std::atomic<bool> anyError_{false};
};

class OutputFile {
public:
    // An output that is not open yet; Create is the way to open one.
    OutputFile() = default;
    // Creates the temporary file for `target` and opens it for writing.
    // Null with `reason` set (and libtiff's own report, if it made one, in
    // `messages`) when that fails.
    // `runStep` runs the steps of publishing (PublishingFile's, and the
    // flush of libtiff's last bytes before them).
    static std::unique_ptr<OutputFile> Create(const OutputTarget& target, bool bigTiff,
                                              std::string* reason, TiffMessages* messages,
                                              PublishStepRunner runStep = {});
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    TIFF* tiff() const { return tiff_; }
    const std::string& temporaryPath() const { return file_->temporaryPath(); }

    // Starts writing what the file holds so far to disk, without waiting.
    void StartWritingBack() const;

    // Flushes and closes the file, forces it to disk and renames it over the
    // final path. False with `reason` set when any step fails; the temporary
    // file is then removed when the OutputFile goes.
    bool Publish(std::string* reason);
    // Whether the final path holds this file (see PublishingFile::Replaced).
    bool Replaced() const { return file_ && file_->Replaced(); }
    // After a Publish that succeeded, why the new name may not be on disk
    // yet (see PublishingFile::Warning); empty when it is.
    const std::string& PublishWarning() const { return file_->Warning(); }

    // Why writing failed, in plain words, when it can be seen from outside
    // (a full disk, the file size limit); empty otherwise.
    std::string ExplainWriteFailure() const;

private:
    // Declared before the TIFF, which writes through it.
    std::unique_ptr<PublishingFile> file_;
    TIFF* tiff_ = nullptr;
};

}  // namespace nvx::pyramid
