/*
 * output_file.h - the output while it is written: the publishing file
 * (common/publishing_file.h) beside the final name, which libtiff writes
 * through its descriptor as a classic TIFF or a BigTIFF, and published
 * under the final name only when it is whole and on disk. An output that
 * is not published is removed when it goes.
 *
 * The run's record (common/run_record.h) goes with the file: its writes
 * fail the run there with the system's error code, libtiff's errors and
 * warnings are kept there instead of printed (its handlers only copy into
 * the record's own storage: nothing allocates or throws inside libtiff's
 * frames), and the TIFF handle carries it to whoever writes into it.
 */
#pragma once

#include <tiffio.h>

#include <memory>
#include <string>

#include "common/output_target.h"
#include "common/publishing_file.h"
#include "common/run_record.h"

namespace nvx::pyramid {

class OutputFile {
public:
    // An output that is not open yet; Create is the way to open one.
    OutputFile() = default;
    // Creates the temporary file for `target` and opens it for writing.
    // Null when that fails, the failure in `record`. Every failure of the
    // file goes to `record`, which must outlive it, and the steps of
    // publishing (the flush of libtiff's last bytes first) run through
    // its hook.
    static std::unique_ptr<OutputFile> Create(const OutputTarget& target, bool bigTiff,
                                              RunRecord* record);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    TIFF* tiff() const { return tiff_; }
    const std::string& temporaryPath() const { return file_->temporaryPath(); }

    // Starts writing what the file holds so far to disk, without waiting.
    void StartWritingBack() const;

    // Flushes and closes the file, forces it to disk and renames it over the
    // final path. False when any step fails (in the record); the temporary
    // file is then removed when the OutputFile goes.
    bool Publish();
    // Whether the final path holds this file (see PublishingFile::Replaced).
    bool Replaced() const { return file_ && file_->Replaced(); }
    // After a Publish that succeeded, why the new name may not be on disk
    // yet (see PublishingFile::Warning); empty when it is.
    const std::string& PublishWarning() const { return file_->Warning(); }

private:
    // Declared before the TIFF, which writes through it.
    std::unique_ptr<PublishingFile> file_;
    RunRecord* record_ = nullptr;
    TIFF* tiff_ = nullptr;
};

// The record of the run that writes `tiff`, for the code that writes into
// a TIFF it was handed; null for a TIFF that no OutputFile opened.
RunRecord* RecordOf(TIFF* tiff);

}  // namespace nvx::pyramid
