/*
 * name_identity.cpp - names compared by device and inode: the file itself
 * where it exists, else its folder and its last part; a folder's place
 * found by walking up from the held folder through "..".
 */
#include "common/name_identity.h"

#include <filesystem>
#include <system_error>

#include "common/native_file.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace nvx {

#if defined(_WIN32)

namespace {

std::filesystem::path Canonical(const std::string& path) {
    std::error_code error;
    const std::filesystem::path found = std::filesystem::weakly_canonical(NativePath(path), error);
    return error ? NativePath(path) : found;
}

}  // namespace

bool NamesTargetFile(const OutputTarget& target, const std::string& path) {
    if (!target.Publishable()) return false;
    return NamesSameFile(target.target, path) || Canonical(target.target) == Canonical(path);
}

bool TargetWithinFolder(const OutputTarget& target, const std::string& path) {
    if (!target.Publishable()) return false;
    const std::filesystem::path folder = Canonical(path);
    for (std::filesystem::path at = Canonical(target.folder);; at = at.parent_path()) {
        std::error_code error;
        if (at == folder || std::filesystem::equivalent(at, folder, error)) return true;
        if (!at.has_relative_path() || at == at.parent_path()) return false;
    }
}

#else

namespace {

// A descriptor of ours, closed when it goes.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    void Reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

bool SameNode(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

bool NamesTargetFile(const OutputTarget& target, const std::string& path) {
    if (!target.Publishable() || path.empty()) return false;
    struct stat file {};
    if (::stat(path.c_str(), &file) == 0) {
        // It exists: the same file only if it is the record's earlier file.
        return target.kind == OutputKind::RegularFile && file.st_dev == target.earlier.device &&
               file.st_ino == target.earlier.inode;
    }
    if (target.kind == OutputKind::RegularFile) return false;
    // Neither exists: the same last part in the same folder. A name that is
    // a link to nothing is compared as the link itself.
    const std::filesystem::path native = NativePath(path);
    const std::filesystem::path name = native.filename();
    if (name.empty() || name == "." || name == ".." || NameFromNativePath(name) != target.name)
        return false;
    const std::filesystem::path folder = native.has_parent_path() ? native.parent_path() : ".";
    struct stat folderStat {};
    return ::stat(folder.c_str(), &folderStat) == 0 && S_ISDIR(folderStat.st_mode) &&
           folderStat.st_dev == target.folderDevice && folderStat.st_ino == target.folderInode;
}

bool TargetWithinFolder(const OutputTarget& target, const std::string& path) {
    if (!target.Publishable() || !target.heldFolder || path.empty()) return false;
    struct stat folder {};
    if (::stat(path.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) return false;
    Descriptor at(
        ::openat(int(target.heldFolder->handle()), ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat here {};
    if (at.get() < 0 || ::fstat(at.get(), &here) != 0) return false;
    // Up through ".." to the root, whose ".." is itself.
    for (;;) {
        if (SameNode(here, folder)) return true;
        const int up = ::openat(at.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (up < 0) return false;
        at.Reset(up);
        struct stat parent {};
        if (::fstat(at.get(), &parent) != 0 || SameNode(parent, here)) return false;
        here = parent;
    }
}

#endif

}  // namespace nvx
