/*
 * earlier_settings.cpp - fstat, fgetxattr and their setters on open
 * descriptors.
 */
#include "common/earlier_settings.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

namespace nvx {

namespace {

#if !defined(_WIN32)
constexpr const char* kAccessAcl = "system.posix_acl_access";
constexpr const char* kDefaultAcl = "system.posix_acl_default";

// The extended attribute `name` of `fd`; empty when it has none (or the
// file system keeps none).
std::string Attribute(int fd, const char* name) {
    const ssize_t size = ::fgetxattr(fd, name, nullptr, 0);
    if (size <= 0) return {};
    std::string value(static_cast<std::size_t>(size), '\0');
    const ssize_t got = ::fgetxattr(fd, name, value.data(), value.size());
    if (got <= 0) return {};
    value.resize(static_cast<std::size_t>(got));
    return value;
}
#endif

}  // namespace

bool ReadEarlierSettings(std::intptr_t handle, EarlierFile* earlier, std::string* defaultAcl) {
#if defined(_WIN32)
    (void)handle;
    (void)earlier;
    (void)defaultAcl;
    return false;
#else
    const int fd = int(handle);
    struct stat info {};
    if (::fstat(fd, &info) != 0) return false;
    earlier->mode = info.st_mode & 07777;
    earlier->owner = info.st_uid;
    earlier->group = info.st_gid;
    earlier->links = info.st_nlink;
    earlier->device = info.st_dev;
    earlier->inode = info.st_ino;
    earlier->acl = Attribute(fd, kAccessAcl);
    if (defaultAcl != nullptr)
        *defaultAcl = S_ISDIR(info.st_mode) ? Attribute(fd, kDefaultAcl) : "";
    return true;
#endif
}

void KeepEarlierSettings(std::intptr_t handle, const EarlierFile& earlier,
                         const std::string& defaultAcl) {
#if defined(_WIN32)
    (void)handle;
    (void)earlier;
    (void)defaultAcl;
#else
    const int fd = int(handle);
    if (::fchown(fd, earlier.owner, earlier.group) != 0 &&
        ::fchown(fd, static_cast<uid_t>(-1), earlier.group) != 0) {
        // Neither is ours to set: it stays ours.
    }
    // After the owner, which clears the set-id bits.
    ::fchmod(fd, earlier.mode);
    if (!earlier.acl.empty()) {
        ::fsetxattr(fd, kAccessAcl, earlier.acl.data(), earlier.acl.size(), 0);
    }
    if (!defaultAcl.empty()) ::fsetxattr(fd, kDefaultAcl, defaultAcl.data(), defaultAcl.size(), 0);
#endif
}

}  // namespace nvx
