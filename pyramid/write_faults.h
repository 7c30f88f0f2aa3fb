/*
 * write_faults.h - the first write of an associated picture that libtiff
 * refused (its strip or its directory). The driver reports it once at the
 * end; a run with one never counts as a success. Main thread only.
 */
#pragma once

#include <string>

namespace nvx::pyramid {

struct WriteFaults {
    std::string firstFailedWrite;  // e.g. "the thumbnail directory"

    bool Any() const { return !firstFailedWrite.empty(); }
    void NoteFailedWrite(const std::string& what) {
        if (firstFailedWrite.empty()) firstFailedWrite = what;
    }
};

}  // namespace nvx::pyramid
