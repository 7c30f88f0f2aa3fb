/*
 * output_target.cpp - the one look at the output path: lstat, the links
 * followed to their end, then the folder opened and everything else looked
 * at through it: what is at the name, the earlier file's settings, whether
 * the folder takes a new file. The same look again before the rename.
 */
#include "common/output_target.h"

#include <filesystem>
#include <memory>
#include <system_error>
#include <utility>

#include "common/native_file.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <cerrno>
#include <climits>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

namespace nvx {

namespace {

OutputTarget Refuse(OutputTarget target, const std::string& why) {
    target.kind = OutputKind::Refused;
    target.refusal = why;
    return target;
}

// The target's folder and last part; false when the path names no file.
bool SplitTarget(OutputTarget* target) {
    const std::filesystem::path path = NativePath(target->target);
    const std::filesystem::path name = path.filename();
    if (name.empty() || name == "." || name == "..") return false;
    target->name = NameFromNativePath(name);
    target->folder = path.has_parent_path() ? NameFromNativePath(path.parent_path()) : ".";
    return true;
}

#if !defined(_WIN32)

const char* KindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISLNK(mode)) return "a symbolic link";
    return "not a regular file";
}

// The earlier file's ACL, read through the held folder (its name under
// /proc/self/fd), or by its path where /proc is not there.
std::string AccessControlList(int folder, const OutputTarget& target) {
    constexpr const char* kAttribute = "system.posix_acl_access";
    std::string path = "/proc/self/fd/" + std::to_string(folder) + "/" + target.name;
    ssize_t size = ::lgetxattr(path.c_str(), kAttribute, nullptr, 0);
    if (size < 0 && errno == ENOENT) {
        path = target.target;
        size = ::lgetxattr(path.c_str(), kAttribute, nullptr, 0);
    }
    if (size <= 0) return {};  // none, or a file system without ACLs
    std::string acl(static_cast<std::size_t>(size), '\0');
    const ssize_t got = ::lgetxattr(path.c_str(), kAttribute, acl.data(), acl.size());
    if (got <= 0) return {};
    acl.resize(static_cast<std::size_t>(got));
    return acl;
}

// A file mounted at the name (docker -v file:file) cannot be renamed over:
// its device differs from its folder's, or the system says it is the root
// of a mount (a bind mount from the same file system).
bool MountedAt(int folder, const std::string& name, const struct stat& folderStat,
               const struct stat& file) {
    if (file.st_dev != folderStat.st_dev) return true;
#if defined(STATX_ATTR_MOUNT_ROOT)
    struct statx extended {};
    if (::statx(folder, name.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_TYPE,
                &extended) == 0 &&
        (extended.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
        (extended.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0) {
        return true;
    }
#endif
    return false;
}

// Why a new file cannot be published at the target's name in the held
// folder `folder` (its stat `folderStat`), with `file` the lstat of what
// is there (null: nothing); empty when it can.
std::string WhyNotPublishable(const OutputTarget& target, int folder, const struct stat& folderStat,
                              const struct stat* file) {
    if (file != nullptr) {
        if (!S_ISREG(file->st_mode)) {
            return std::string("it is ") + KindOf(file->st_mode) +
                   ", not a regular file; only a regular file is replaced";
        }
        if (MountedAt(folder, target.name, folderStat, *file)) {
            return "it is a mount point (a file mounted at that name), which a rename cannot "
                   "replace";
        }
        if (::faccessat(folder, target.name.c_str(), W_OK, AT_EACCESS) != 0)
            return "it is a file we may not write";
    }
    if (::faccessat(folder, ".", W_OK | X_OK, AT_EACCESS) != 0) {
        return "no file can be created in the folder " + target.folder + ": " +
               SystemErrorText(errno);
    }
    // In a sticky folder (as /tmp is) only the file's owner, the folder's
    // owner and root may replace a file.
    const uid_t us = ::geteuid();
    if (file != nullptr && (folderStat.st_mode & S_ISVTX) != 0 && us != 0 && file->st_uid != us &&
        folderStat.st_uid != us) {
        return "the folder " + target.folder + " is sticky and " + target.target +
               " belongs to another user, so it cannot be replaced";
    }
    return {};
}

// Opens the target's folder and looks at everything through it.
OutputTarget LookInFolder(OutputTarget target) {
    auto held = std::make_shared<HeldFolder>();
    std::string why;
    bool notFolder = false;
    if (!held->Open(target.folder, &why, &notFolder)) {
        return Refuse(target, notFolder
                                  ? target.folder + " is not a folder"
                                  : "the folder " + target.folder + " cannot be used: " + why);
    }
    const int folder = int(held->handle());
    struct stat folderStat {};
    if (::fstat(folder, &folderStat) != 0) {
        return Refuse(target,
                      "the folder " + target.folder + " cannot be used: " + SystemErrorText(errno));
    }
    struct stat file {};
    const bool present = ::fstatat(folder, target.name.c_str(), &file, AT_SYMLINK_NOFOLLOW) == 0;
    if (!present && errno != ENOENT)
        return Refuse(target, "it cannot be used: " + SystemErrorText(errno));
    why = WhyNotPublishable(target, folder, folderStat, present ? &file : nullptr);
    if (!why.empty()) return Refuse(target, why);
    const long limit = ::fpathconf(folder, _PC_NAME_MAX);
    if (limit > 0) target.nameLimit = static_cast<std::size_t>(limit);
    target.folderDevice = folderStat.st_dev;
    target.folderInode = folderStat.st_ino;
    target.kind = OutputKind::Absent;
    if (present) {
        target.kind = OutputKind::RegularFile;
        target.earlier.mode = file.st_mode & 07777;
        target.earlier.owner = file.st_uid;
        target.earlier.group = file.st_gid;
        target.earlier.links = file.st_nlink;
        target.earlier.device = file.st_dev;
        target.earlier.inode = file.st_ino;
        target.earlier.acl = AccessControlList(folder, target);
    }
    target.heldFolder = std::move(held);
    return target;
}

#endif

}  // namespace

#if defined(_WIN32)

OutputTarget ResolveOutputTarget(const std::string& path) {
    OutputTarget target;
    target.given = path;
    target.target = path;
    if (path.empty()) return Refuse(target, "the output path is empty");
    const std::filesystem::path native = NativePath(path);
    std::error_code error;
    const auto link = std::filesystem::symlink_status(native, error);
    target.kind = OutputKind::Absent;
    if (!error && std::filesystem::exists(link)) {
        if (std::filesystem::is_symlink(link)) {
            const auto resolved = std::filesystem::canonical(native, error);
            if (error) return Refuse(target, "it is a link to nothing: " + error.message());
            target.target = NameFromNativePath(resolved);
        }
        const auto status = std::filesystem::status(NativePath(target.target), error);
        if (error) return Refuse(target, "it cannot be used: " + error.message());
        if (std::filesystem::is_directory(status))
            return Refuse(target, "it is a folder, not a file");
        if (!std::filesystem::is_regular_file(status))
            return Refuse(target, "it is not a regular file; only a regular file is replaced");
        if (_waccess(NativePath(target.target).c_str(), 2) != 0)
            return Refuse(target, "it is a file we may not write");
        target.kind = OutputKind::RegularFile;
    }
    if (!SplitTarget(&target)) return Refuse(target, "it names a folder, not a file");
    if (!std::filesystem::is_directory(NativePath(target.folder), error)) {
        return Refuse(target, "the folder " + target.folder + " cannot be used: " +
                                  (error ? error.message() : "it is not a folder"));
    }
    auto held = std::make_shared<HeldFolder>();
    std::string why;
    bool notFolder = false;
    if (!held->Open(target.folder, &why, &notFolder))
        return Refuse(target, "the folder " + target.folder + " cannot be used: " + why);
    target.heldFolder = std::move(held);
    return target;
}

std::string RecheckOutputTarget(const OutputTarget& target, bool* present, bool* earlier) {
    *present = false;
    *earlier = false;
    if (!target.heldFolder) return target.refusal;
    std::error_code error;
    const auto status =
        std::filesystem::symlink_status(NativePath(target.heldFolder->PathOf(target.name)), error);
    if (error || !std::filesystem::exists(status)) return {};
    *present = true;
    if (std::filesystem::is_directory(status)) return "it is a folder, not a file";
    if (!std::filesystem::is_regular_file(status))
        return "it is not a regular file; only a regular file is replaced";
    *earlier = target.kind == OutputKind::RegularFile;
    return {};
}

#else

OutputTarget ResolveOutputTarget(const std::string& path) {
    OutputTarget target;
    target.given = path;
    target.target = path;
    if (path.empty()) return Refuse(target, "the output path is empty");

    struct stat file {};
    if (::lstat(path.c_str(), &file) != 0) {
        if (errno != ENOENT) return Refuse(target, "it cannot be used: " + SystemErrorText(errno));
    } else if (S_ISLNK(file.st_mode)) {
        // The link stays; the file it leads to is the one replaced.
        if (::stat(path.c_str(), &file) != 0) {
            const int error = errno;
            if (error == ELOOP) return Refuse(target, "it is a loop of symbolic links");
            if (error == ENOENT) return Refuse(target, "it is a symbolic link to nothing");
            return Refuse(target, "it cannot be used: " + SystemErrorText(error));
        }
        if (!S_ISREG(file.st_mode)) {
            return Refuse(target, std::string("it is a symbolic link to ") + KindOf(file.st_mode) +
                                      ", not to a regular file; only a regular file is replaced");
        }
        const std::unique_ptr<char, decltype(&std::free)> resolved(
            ::realpath(path.c_str(), nullptr), &std::free);
        if (!resolved) return Refuse(target, "it cannot be used: " + SystemErrorText(errno));
        target.target = resolved.get();
    } else if (!S_ISREG(file.st_mode)) {
        return Refuse(target, std::string("it is ") + KindOf(file.st_mode) +
                                  ", not a regular file; only a regular file is replaced");
    }
    if (!SplitTarget(&target)) return Refuse(target, "it names a folder, not a file");
    // From here on through the folder as it is held, whatever its path
    // leads to later.
    return LookInFolder(std::move(target));
}

std::string RecheckOutputTarget(const OutputTarget& target, bool* present, bool* earlier) {
    *present = false;
    *earlier = false;
    if (!target.heldFolder) return target.refusal;
    const int folder = int(target.heldFolder->handle());
    struct stat folderStat {};
    struct stat file {};
    if (::fstat(folder, &folderStat) != 0)
        return "its folder cannot be used: " + SystemErrorText(errno);
    if (::fstatat(folder, target.name.c_str(), &file, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return {};
        return "it cannot be used: " + SystemErrorText(errno);
    }
    *present = true;
    *earlier = target.kind == OutputKind::RegularFile && file.st_dev == target.earlier.device &&
               file.st_ino == target.earlier.inode && folderStat.st_dev == target.folderDevice &&
               folderStat.st_ino == target.folderInode;
    return WhyNotPublishable(target, folder, folderStat, &file);
}

#endif

}  // namespace nvx
