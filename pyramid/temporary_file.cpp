/*
 * temporary_file.cpp - unique files beside the output, fsync, rename, and
 * the one registered file that an interruption removes.
 *
 * The registered path lives in a fixed buffer behind an atomic flag, so a
 * signal handler can read it without taking a lock or allocating.
 */
#include "pyramid/temporary_file.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>

#include "common/native_file.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#endif

namespace nvx::pyramid {

namespace {

constexpr std::size_t kPathCapacity = 4096;
char gRegistered[kPathCapacity];
#if defined(_WIN32)
// The same name in its wide form, which the handler removes.
wchar_t gRegisteredWide[kPathCapacity];
#endif
std::atomic<bool> gHaveRegistered{false};

void Register(const std::string& path) {
    if (path.size() >= kPathCapacity) return;
    gHaveRegistered.store(false);
    std::memcpy(gRegistered, path.c_str(), path.size() + 1);
#if defined(_WIN32)
    const std::wstring wide = NativePath(path).native();
    if (wide.size() >= kPathCapacity) return;
    std::memcpy(gRegisteredWide, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
#endif
    gHaveRegistered.store(true);
}

void Forget(const std::string& path) {
    if (gHaveRegistered.load() && path == gRegistered) gHaveRegistered.store(false);
}

std::string SystemReason(int error) { return std::strerror(error); }

// A name no other run picks: the output's own name, the process id and a
// random part, hidden so that a folder listing shows no half-written file.
std::string UniqueName(const std::filesystem::path& target, unsigned attempt) {
    static std::mt19937_64 random(
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
#if defined(_WIN32)
    const unsigned long process = GetCurrentProcessId();
#else
    const unsigned long process = static_cast<unsigned long>(getpid());
#endif
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".%lu.%u.%08llx.part", process, attempt,
                  static_cast<unsigned long long>(random() & 0xffffffffULL));
    return "." + NameFromNativePath(target.filename()) + suffix;
}

}  // namespace

bool CreateTemporaryBeside(const std::string& target, std::string* temporaryPath,
                           std::string* reason) {
    const std::filesystem::path path = NativePath(target);
    const std::filesystem::path folder =
        path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    for (unsigned attempt = 0; attempt < 16; ++attempt) {
        const std::string candidate =
            NameFromNativePath(folder / NativePath(UniqueName(path, attempt)));
#if defined(_WIN32)
        const int fd = _wopen(NativePath(candidate).c_str(),
                              _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
        const int fd = open(candidate.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
#endif
        if (fd >= 0) {
            Register(candidate);
#if defined(_WIN32)
            _close(fd);
#else
            close(fd);
#endif
            *temporaryPath = candidate;
            return true;
        }
        if (errno != EEXIST) {
            *reason = "cannot create a file in " + NameFromNativePath(folder) + ": " +
                      SystemReason(errno);
            return false;
        }
    }
    *reason = "cannot find a free temporary name in " + NameFromNativePath(folder);
    return false;
}

bool WritableByUs(const std::string& path) {
#if defined(_WIN32)
    return _waccess(NativePath(path).c_str(), 2) == 0;
#else
    return access(path.c_str(), W_OK) == 0;
#endif
}

void StartWritingBack(int fd) {
#if defined(__linux__)
    // Only a start: the call returns while the disk works, and a failure
    // here shows again, and is reported, at the sync before publishing.
    sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
#else
    (void)fd;
#endif
}

bool SyncToDisk(const std::string& path, std::string* reason) {
#if defined(_WIN32)
    const int fd = _wopen(NativePath(path).c_str(), _O_RDWR | _O_BINARY);
    const auto syncFile = _commit;
    const auto closeFile = _close;
#else
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const auto syncFile = fsync;
    const auto closeFile = close;
#endif
    if (fd < 0) {
        *reason = SystemReason(errno);
        return false;
    }
    const bool synced = syncFile(fd) == 0;
    const int syncError = errno;
    const bool closed = closeFile(fd) == 0;
    if (!synced)
        *reason = SystemReason(syncError);
    else if (!closed)
        *reason = SystemReason(errno);
    return synced && closed;
}

bool PublishTemporary(const std::string& temporaryPath, const std::string& target,
                      std::string* reason) {
    std::error_code error;
    std::filesystem::rename(NativePath(temporaryPath), NativePath(target), error);
    if (error) {
        *reason = error.message();
        return false;
    }
    Forget(temporaryPath);
    return true;
}

void DiscardTemporary(const std::string& temporaryPath) {
    std::error_code error;
    std::filesystem::remove(NativePath(temporaryPath), error);
    Forget(temporaryPath);
}

void RemoveTemporaryOnInterrupt() {
    if (!gHaveRegistered.load()) return;
#if defined(_WIN32)
    _wunlink(gRegisteredWide);
#else
    unlink(gRegistered);
#endif
}

std::string ExplainWriteFailure(const std::string& path) {
#if defined(_WIN32)
    ULARGE_INTEGER available;
    const std::filesystem::path folder = std::filesystem::absolute(NativePath(path)).parent_path();
    if (GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr) &&
        available.QuadPart < 1024 * 1024) {
        return "the disk is full";
    }
#else
    struct rlimit limit;
    struct stat file;
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        stat(path.c_str(), &file) == 0 &&
        static_cast<rlim_t>(file.st_size) + 1024 * 1024 >= limit.rlim_cur) {
        return "the output would exceed this process's file size limit of " +
               std::to_string(static_cast<unsigned long long>(limit.rlim_cur)) +
               " bytes (ulimit -f)";
    }
    const std::filesystem::path folder = std::filesystem::absolute(path).parent_path();
    struct statvfs disk;
    if (statvfs(folder.c_str(), &disk) == 0 &&
        static_cast<unsigned long long>(disk.f_bavail) * disk.f_bsize < 1024ULL * 1024) {
        return "the disk is full";
    }
#endif
    return {};
}

}  // namespace nvx::pyramid
