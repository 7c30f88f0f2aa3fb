/*
 * output_target.cpp - the one look at the output path: lstat, the links
 * followed to their end, the earlier file's settings, the folder.
 */
#include "common/output_target.h"

#include <filesystem>
#include <system_error>

#include "common/native_file.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

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
    return "not a regular file";
}

std::string AccessControlList(const std::string& path) {
    constexpr const char* kAttribute = "system.posix_acl_access";
    const ssize_t size = ::getxattr(path.c_str(), kAttribute, nullptr, 0);
    if (size <= 0) return {};  // none, or a file system without ACLs
    std::string acl(static_cast<std::size_t>(size), '\0');
    const ssize_t got = ::getxattr(path.c_str(), kAttribute, acl.data(), acl.size());
    if (got <= 0) return {};
    acl.resize(static_cast<std::size_t>(got));
    return acl;
}

// The folder must take a new file and let it be renamed over the target.
OutputTarget CheckFolder(OutputTarget target, const struct stat* file) {
    struct stat folder {};
    if (::stat(target.folder.c_str(), &folder) != 0) {
        return Refuse(target,
                      "the folder " + target.folder + " cannot be used: " + SystemErrorText(errno));
    }
    if (!S_ISDIR(folder.st_mode)) return Refuse(target, target.folder + " is not a folder");
    if (::faccessat(AT_FDCWD, target.folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        return Refuse(target, "no file can be created in the folder " + target.folder + ": " +
                                  SystemErrorText(errno));
    }
    // In a sticky folder (as /tmp is) only the file's owner, the folder's
    // owner and root may replace a file.
    const uid_t us = ::geteuid();
    if (file != nullptr && (folder.st_mode & S_ISVTX) != 0 && us != 0 && file->st_uid != us &&
        folder.st_uid != us) {
        return Refuse(target, "the folder " + target.folder + " is sticky and " + target.target +
                                  " belongs to another user, so it cannot be replaced");
    }
    const long limit = ::pathconf(target.folder.c_str(), _PC_NAME_MAX);
    if (limit > 0) target.nameLimit = static_cast<std::size_t>(limit);
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
    return target;
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
        target.kind = OutputKind::Absent;
        if (!SplitTarget(&target)) return Refuse(target, "it names a folder, not a file");
        return CheckFolder(target, nullptr);
    }
    if (S_ISLNK(file.st_mode)) {
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
    }
    if (!S_ISREG(file.st_mode)) {
        return Refuse(target, std::string("it is ") + KindOf(file.st_mode) +
                                  ", not a regular file; only a regular file is replaced");
    }
    if (!SplitTarget(&target)) return Refuse(target, "it names a folder, not a file");
    if (::faccessat(AT_FDCWD, target.target.c_str(), W_OK, AT_EACCESS) != 0)
        return Refuse(target, "it is a file we may not write");
    target.kind = OutputKind::RegularFile;
    target.earlier.mode = file.st_mode & 07777;
    target.earlier.owner = file.st_uid;
    target.earlier.group = file.st_gid;
    target.earlier.links = file.st_nlink;
    target.earlier.acl = AccessControlList(target.target);
    return CheckFolder(target, &file);
}

#endif

}  // namespace nvx
