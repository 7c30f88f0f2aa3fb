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
 * it was created with. ReplaceByRename puts it in place for good.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

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
    bool IsOpen() const { return handle_ != kClosed; }

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
    static constexpr std::intptr_t kClosed = -1;
    std::intptr_t handle_ = kClosed;
};

// Renames `from` over `to` in the same folder, replacing a file there, and
// makes the rename durable: on POSIX by an fsync of `folder` after it, on
// Windows by MoveFileExW with MOVEFILE_WRITE_THROUGH. False with the
// system's reason in `why`; `renamed` tells whether the name was replaced
// (the rename done, its fsync failed).
bool ReplaceByRename(const std::string& from, const std::string& to, const std::string& folder,
                     std::string* why, bool* renamed);

// Removes the file `name`; false when it cannot be removed.
bool RemoveFile(const std::string& name);

// This machine's name (empty when the system does not say) and this
// process's id.
std::string HostName();
unsigned long CurrentProcessId();

// False only when it is certain that process `id` of this host did not
// last write the file `name`: no process has that id, or the one that has
// it started after the file was last written. True when unsure.
bool ProcessMayHaveWritten(unsigned long id, const std::string& name);

}  // namespace nvx
