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

}  // namespace nvx
