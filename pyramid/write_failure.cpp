/*
 * write_failure.cpp - a full disk or the file size limit, seen from outside.
 */
#include "pyramid/write_failure.h"

#include <filesystem>

#include "common/native_file.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#endif

namespace nvx::pyramid {

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
