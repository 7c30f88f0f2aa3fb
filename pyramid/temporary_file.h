/*
 * temporary_file.h - the output is written beside its final name and only
 * published, by a rename over that name, once it is whole and on disk. This
 * is the small file-system layer for it: a new file of a unique name in the
 * output's folder, flushing it to disk, the rename, and the removal of the
 * file when the run fails or is interrupted.
 *
 * The file being written is registered, so that the front end's signal
 * handling can remove it when the run is interrupted.
 */
#pragma once

#include <string>

namespace nvx::pyramid {

// Creates a new, empty file with a unique name in the folder of `target`
// and registers it for removal on interruption. False with `reason` set
// when it cannot be created.
bool CreateTemporaryBeside(const std::string& target, std::string* temporaryPath,
                           std::string* reason);

// True when this process may write the existing file at `path`.
bool WritableByUs(const std::string& path);

// Starts writing what is already in the open file `fd` to disk, without
// waiting for it, so that the forcing at the end finds little left to do.
// Does nothing where the system has no such call.
void StartWritingBack(int fd);

// Forces the file's data to disk. False with `reason` set when that fails.
bool SyncToDisk(const std::string& path, std::string* reason);

// Renames `temporaryPath` over `target` and forgets it for interruptions.
bool PublishTemporary(const std::string& temporaryPath, const std::string& target,
                      std::string* reason);

// Removes the temporary file (if it is still there) and forgets it.
void DiscardTemporary(const std::string& temporaryPath);

// Removes the registered temporary file, if any. Safe in a signal handler.
void RemoveTemporaryOnInterrupt();

// Why a write to `path` may have failed, in plain words, when the cause is
// one we can see from outside: a full disk or the process's file size limit.
// Empty when neither applies.
std::string ExplainWriteFailure(const std::string& path);

}  // namespace nvx::pyramid
