/*
 * write_faults.h - the first write of an associated picture that libtiff
 * refused (its strip or its directory), and the work on a picture that ran
 * out of memory. The driver reports them once at the end; a run with one
 * never counts as a success. Main thread only.
 */
#pragma once

#include <string>

namespace nvx::pyramid {

struct WriteFaults {
    std::string firstFailedWrite;  // e.g. "the thumbnail directory"
    // A fixed text, so that noting it needs no memory.
    const char* outOfMemory = nullptr;  // e.g. "decoding the label picture"

    bool Any() const { return !firstFailedWrite.empty() || outOfMemory != nullptr; }
    void NoteFailedWrite(const std::string& what) {
        if (firstFailedWrite.empty()) firstFailedWrite = what;
    }
    void NoteOutOfMemory(const char* doing) {
        if (outOfMemory == nullptr) outOfMemory = doing;
    }
};

}  // namespace nvx::pyramid
