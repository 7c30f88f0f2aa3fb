/*
 * native_file.h - the platform layer under file names and the slide
 * library's reads.
 *
 * File names are kept as narrow strings: the bytes the system gave on POSIX,
 * UTF-8 on Windows, where they are opened by their wide form (CreateFileW),
 * so every name the system can hold works, not only those of the ANSI code
 * page. A Windows name that is not valid UTF-8 is read in the ANSI code page,
 * as a caller that knows nothing of UTF-8 would have meant it.
 *
 * ReadOnlyFile reads at an offset (pread; ReadFile with an offset) and never
 * moves a shared file position, so any number of threads may read one file.
 *
 * WritableFile is a file this program makes: always a new name, never an
 * existing file or a link, written through the one descriptor (or handle)
 * it was created with. HeldFolder is the folder such a file is made in and
 * renamed in, held open so that every step names the same folder.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "common/run_record.h"

namespace nvx {

// The file system's path for a file name as this program keeps it.
std::filesystem::path NativePath(const std::string& name);

// A file name as this program keeps it, from the file system's path.
std::string NameFromNativePath(const std::filesystem::path& path);

// The system's text for an error code (errno; GetLastError on Windows), as
// the program keeps text.
std::string SystemErrorText(unsigned long code);

class ReadOnlyFile {
public:
    ReadOnlyFile() = default;
    ReadOnlyFile(ReadOnlyFile&& other) noexcept;
    ReadOnlyFile& operator=(ReadOnlyFile&& other) noexcept;
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
    ~ReadOnlyFile();

    // Opens `name` for reading; false when the system refuses, with its
    // reason in `why` (when given). A FIFO does not make the open wait for a
    // writer.
    bool Open(const char* name, std::string* why = nullptr);
    void Close();

    // True for an open regular file, whose size in bytes goes to `size`.
    bool RegularFileSize(std::uint64_t* size) const;

    // Reads exactly `length` bytes at `offset`; false on error or end of file.
    bool ReadAt(void* buffer, std::size_t length, std::uint64_t offset) const;

private:
    static constexpr std::intptr_t kClosed = -1;
    std::intptr_t handle_ = kClosed;  // a descriptor, or a Windows HANDLE
};

// True when both names lead to the same file (device and inode, or volume
// and file index on Windows), through links and any spelling; when either
// does not exist, when they are spelled alike.
bool NamesSameFile(const std::string& first, const std::string& second);

// A folder held open from the look at an output path until the file put
// there is published: every later step names its files relative to it, so
// no one can swap the folder for another (a link to someone else's) under
// the same path meanwhile. POSIX: a descriptor, O_DIRECTORY, opened for
// reading where we may read the folder and O_PATH where we may not (a
// folder of mode 0333 still takes files). Windows: a handle shared for
// reading and writing but not for deletion, so the folder cannot be
// renamed or removed while it is held; files in it go by their paths.
class HeldFolder {
public:
    HeldFolder() = default;
    HeldFolder(const HeldFolder&) = delete;
    HeldFolder& operator=(const HeldFolder&) = delete;
    ~HeldFolder();

    // Opens the folder `path`, following links on the way; false with the
    // system's reason in `why`, and `notFolder` set when the path leads to
    // something else.
    bool Open(const std::string& path, std::string* why, bool* notFolder);
    std::intptr_t handle() const { return handle_; }
    // The path it was opened by, and the file `name` in it, for messages
    // (and on Windows for the calls that take a path).
    const std::string& Path() const { return path_; }
    std::string PathOf(const std::string& name) const;

    // The names in the folder, "." and ".." left out; empty when it cannot
    // be read (a folder we may only write and search).
    std::vector<std::string> Names() const;
    // Renames `from` to `to` in the folder. With `replace` false the rename
    // never replaces anything: it fails with `existed` set when something
    // is at `to`. False with the system's reason in `why` and its error
    // code in `code` (when given). Windows: a write-through MoveFileExW, on
    // disk when it returns.
    bool Rename(const std::string& from, const std::string& to, bool replace, std::string* why,
                bool* existed, int* code = nullptr) const;
    // Forces the folder's entries (a rename into it) to disk. Windows: done
    // by the write-through rename already.
    bool Sync(std::string* why) const;
    // Removes the file `name`; false when it cannot be removed.
    bool Remove(const std::string& name) const;
    // Removes the file `name` only when it is a regular file that no live
    // writer holds: one whose lock (WritableFile::Lock) can be taken at
    // once, removed while the lock is held and only if the name still
    // leads to the file locked. Windows: one no process has open.
    bool RemoveUnlocked(const std::string& name) const;

private:
    static constexpr std::intptr_t kClosed = -1;
    std::string path_;
    std::intptr_t handle_ = kClosed;
    bool readable_ = false;  // POSIX: opened for reading, not O_PATH
};

class WritableFile {
public:
    WritableFile() = default;
    WritableFile(const WritableFile&) = delete;
    WritableFile& operator=(const WritableFile&) = delete;
    ~WritableFile();

    // Creates `name`, which must not exist (not even as a link), and opens
    // it for reading and writing, not inherited by child processes. POSIX:
    // mode 0666 less the umask. False with the system's reason in `why`;
    // `exists` tells a name already taken from other failures.
    bool CreateNew(const std::string& name, std::string* why, bool* exists);
    // The same, for the name `name` in the held folder `folder`.
    bool CreateNewIn(const HeldFolder& folder, const std::string& name, std::string* why,
                     bool* exists);

    // Takes the lock that tells a live writer's file from one left by a
    // run that is gone: POSIX an exclusive flock, at once or not at all,
    // kept through a second descriptor until ReleaseLock (or the object's
    // end), so it outlives Close up to the publishing rename. False only
    // when someone else holds it; a file system without locks takes none.
    // Windows: the open handle, which no one may open exclusively, is the
    // lock already.
    bool Lock();
    void ReleaseLock();

    // A failure of Write, WriteAt, Read, Seek, Sync or Close keeps the
    // system's error code (errno; GetLastError on Windows) in Error(), and
    // fails the run in `record`, when given, as a write to the output
    // (Stage::Output) whose caller names the step.
    void RecordFailuresIn(RunRecord* record) { record_ = record; }
    // The error code of the last call that failed; 0 when none has.
    int Error() const { return error_; }

    // At the file's own position, as libtiff reads and writes: Write writes
    // everything or fails; Read gives the bytes read (0 at the end) or -1;
    // Seek gives the new position or -1 (whence: SEEK_SET, SEEK_CUR, SEEK_END).
    bool Write(const void* data, std::size_t length);
    std::int64_t Read(void* buffer, std::size_t length);
    std::int64_t Seek(std::int64_t offset, int whence);
    std::uint64_t Size() const;

    // At an offset, leaving the position alone; any thread may call them.
    bool WriteAt(const void* data, std::size_t length, std::uint64_t offset);
    bool ReadAt(void* buffer, std::size_t length, std::uint64_t offset) const;

    // Starts writing what the file holds to disk without waiting (Linux);
    // a failure shows again at Sync.
    void StartWritingBack() const;
    // Forces the file's data to disk.
    bool Sync(std::string* why);
    bool Close(std::string* why);

    // The descriptor (POSIX) or HANDLE (Windows) the file is written through.
    std::intptr_t handle() const { return handle_; }

private:
    // Keeps `code` as the last error and records it; false, for the caller to return.
    bool Failed(int code);

    static constexpr std::intptr_t kClosed = -1;
    std::intptr_t handle_ = kClosed;
    std::intptr_t lockHolder_ = kClosed;  // POSIX: a second descriptor holding the lock
    RunRecord* record_ = nullptr;
    int error_ = 0;
};

// Removes the file `name`; false when it cannot be removed.
bool RemoveFile(const std::string& name);

// This machine's name (empty when the system does not say) and this
// process's id.
std::string HostName();
unsigned long CurrentProcessId();

#if defined(_WIN32)
// False only when it is certain that process `id` of this host did not
// last write the file `name`: no process has that id, or the one that has
// it started after the file was last written. True when unsure.
bool ProcessMayHaveWritten(unsigned long id, const std::string& name);
#endif

}  // namespace nvx
