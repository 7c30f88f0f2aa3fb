/*
 * libjpeg_errors.h - libjpeg's fatal errors turned into a jump back instead
 * of an exit of the process, for every libjpeg job of the converter: the
 * pictures decoded by rows, the tiles encoded and the tiles transcoded.
 *
 * libjpeg reports a fatal error by calling error_exit, which must not
 * return; ours jumps back to the setjmp in the call that started the work.
 * Back in its own frame, the caller tells memory that ran out from a stream
 * that is wrong (RanOutOfMemory) and throws or reports as it will: nothing
 * is thrown through libjpeg's C frames, and nothing with a destructor may
 * live between a setjmp and its longjmp.
 */
#pragma once

#include <csetjmp>
#include <cstddef>
#include <cstdio>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>
// After jpeglib.h: the message codes, for telling memory from damage.
#include <jerror.h>

namespace nvx {

struct ErrorJump {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

// What a warning of libjpeg (level -1: damaged data, which libjpeg would
// paper over with grey) does to the job.
enum class LibjpegWarnings {
    Count,  // counts up info->err->num_warnings, for the caller to look at
    Fail,   // ends the job as a fatal error does
};

inline void ExitThroughJump(j_common_ptr info) {
    std::longjmp(reinterpret_cast<ErrorJump*>(info->err)->jump, 1);
}

// Levels 0 and up are trace messages, dropped either way.
inline void CountWarnings(j_common_ptr info, int level) {
    if (level < 0) ++info->err->num_warnings;
}
inline void FailOnWarnings(j_common_ptr info, int level) {
    if (level < 0) ExitThroughJump(info);
}

// libjpeg's fatal errors of `info` jump back to `error`'s setjmp; its
// warnings do as `warnings` says.
inline void CatchErrors(jpeg_common_struct* info, ErrorJump* error,
                        LibjpegWarnings warnings = LibjpegWarnings::Count) {
    info->err = jpeg_std_error(&error->manager);
    error->manager.error_exit = ExitThroughJump;
    error->manager.emit_message =
        warnings == LibjpegWarnings::Count ? CountWarnings : FailOnWarnings;
}

// Whether the job that jumped back to `error` failed for want of memory:
// libjpeg's own allocations, or a buffer of ours that could not grow.
inline bool RanOutOfMemory(const ErrorJump& error) {
    return error.manager.msg_code == JERR_OUT_OF_MEMORY;
}

}  // namespace nvx
