/*
 * file_descriptor.h - an owned POSIX file descriptor and a pread that reads
 * the whole range or fails. Reads never use the shared file position, so any
 * number of threads may read one descriptor at once.
 */
#pragma once

#include <cerrno>
#include <cstdint>
#include <utility>

#include <unistd.h>

namespace nvx {

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { reset(); }

    int get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    // Closes now and says whether the system took every write: a writer
    // must know before it publishes the file.
    bool Close() { return ::close(std::exchange(fd_, -1)) == 0; }

private:
    int fd_ = -1;
};

// Reads exactly `length` bytes at `offset`; false on error or end of file.
inline bool PreadAll(int fd, void* buffer, size_t length, uint64_t offset) {
    auto* p = static_cast<uint8_t*>(buffer);
    while (length > 0) {
        const ssize_t n = ::pread(fd, p, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        length -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

}  // namespace nvx
