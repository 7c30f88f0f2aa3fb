/*
 * write_faults.h - the tally of everything lost while the output is written:
 * tiles that had to be replaced by white ones (nothing fetched, a stream
 * that does not decode or does not fit) and writes libtiff refused (tiles,
 * strips, directories, the final flush). The driver reports it once at the
 * end; a run with anything in it never counts as a success.
 */
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace nvx::pyramid {

struct WriteFaults {
    std::atomic<std::int32_t> lostTiles{0};         // written white instead
    std::atomic<std::int32_t> failedTileWrites{0};  // not encoded, or the write refused
    // Main thread only: the first directory, strip or file write that failed.
    std::string firstFailedWrite;

    bool Any() const {
        return lostTiles.load() != 0 || failedTileWrites.load() != 0 || !firstFailedWrite.empty();
    }
    void NoteFailedWrite(const std::string& what) {
        if (firstFailedWrite.empty()) firstFailedWrite = what;
    }
};

}  // namespace nvx::pyramid
