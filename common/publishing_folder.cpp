/*
 * publishing_folder.cpp - an output folder looked at, built beside its
 * path and exchanged or renamed into place, through the held parent.
 */
#include "common/publishing_folder.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <random>
#include <set>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/publishing_file.h"

namespace nvx {

namespace {

constexpr const char* kMarkerFirstLine = "nvx2svs output folder";

int Fd(const HeldFolder& folder) { return static_cast<int>(folder.handle()); }

// A descriptor closed when it goes.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

bool PlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

// The names in the folder open as `fd`, "." and ".." left out; false when
// it cannot be read.
bool NamesIn(int fd, std::vector<std::string>* names) {
    const int own = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (own < 0) return false;
    DIR* folder = ::fdopendir(own);
    if (folder == nullptr) {
        ::close(own);
        return false;
    }
    while (const dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names->push_back(name);
    }
    ::closedir(folder);
    return true;
}

// The files the marker of the folder `fd` names; false when it has no
// marker of ours.
bool ReadMarker(int fd, std::set<std::string>* listed) {
    const Descriptor marker(::openat(fd, kFolderMarker, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (marker.get() < 0 || ::fstat(marker.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_size > 1024 * 1024) {
        return false;
    }
    std::string text(static_cast<std::size_t>(info.st_size), '\0');
    if (::pread(marker.get(), text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
        return false;
    }
    std::size_t at = 0;
    bool first = true;
    while (at < text.size()) {
        const std::size_t end = text.find('\n', at);
        if (end == std::string::npos) return false;
        const std::string line = text.substr(at, end - at);
        if (first) {
            if (line != kMarkerFirstLine) return false;
            first = false;
        } else {
            listed->insert(line);
        }
        at = end + 1;
    }
    return !first;
}

// Empty when the folder `name` in `parent` is one of ours, that is, its
// marker names every file it holds and it holds nothing else; else why
// not. Its files go to `files` (the marker last).
std::string WhyNotOurs(int parent, const std::string& name, const std::string& shown,
                       std::vector<std::string>* files) {
    const Descriptor folder(
        ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder.get() < 0)
        return shown + " is a folder that cannot be read: " + SystemErrorText(errno);
    std::set<std::string> listed;
    if (!ReadMarker(folder.get(), &listed)) {
        return shown + " is a folder that is not an earlier output of ours (no " +
               std::string(kFolderMarker) + ")";
    }
    std::vector<std::string> names;
    if (!NamesIn(folder.get(), &names)) return shown + " is a folder that cannot be read";
    files->clear();
    for (const std::string& entry : names) {
        if (entry == kFolderMarker) continue;
        struct stat info {};
        if (listed.count(entry) == 0 ||
            ::fstatat(folder.get(), entry.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(info.st_mode)) {
            return shown + " holds " + entry + ", which is not of our output";
        }
        files->push_back(entry);
    }
    files->push_back(kFolderMarker);
    return {};
}

// What is at `name` in `parent`: empty when nothing is (`present` false)
// or an earlier folder of ours (`present` true); else why it may not be
// replaced.
std::string Look(int parent, const std::string& name, const std::string& shown, bool* present,
                 std::vector<std::string>* files) {
    struct stat info {};
    *present = false;
    if (::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return {};
        return shown + " cannot be looked at: " + SystemErrorText(errno);
    }
    *present = true;
    if (S_ISLNK(info.st_mode)) return shown + " is a symbolic link";
    if (!S_ISDIR(info.st_mode)) return shown + " exists and is not a folder";
    return WhyNotOurs(parent, name, shown, files);
}

// Removes `files` from the folder `name` in `parent`, then the folder;
// false when something stays.
bool RemoveFolder(int parent, const std::string& name, const std::vector<std::string>& files) {
    const Descriptor folder(
        ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder.get() < 0) return false;
    for (const std::string& file : files) ::unlinkat(folder.get(), file.c_str(), 0);
    return ::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0;
}

std::uint32_t RandomPart() {
    static std::mt19937 random(
        std::random_device{}() ^
        static_cast<std::uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    return random();
}

std::string HiddenName(const std::string& name, const char* ending) {
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".%s.%lu.%08x%s", HostTag().c_str(), CurrentProcessId(),
                  static_cast<unsigned>(RandomPart()), ending);
    // Room for the suffix within the usual 255-byte limit.
    std::string part = name.substr(0, 255 - 1 - std::char_traits<char>::length(suffix));
    while (!part.empty() && (static_cast<unsigned char>(part.back()) & 0xC0) == 0x80)
        part.pop_back();
    if (!part.empty() && (static_cast<unsigned char>(part.back()) & 0xC0) == 0xC0) part.pop_back();
    return "." + part + suffix;
}

}  // namespace

OutputFolder ResolveOutputFolder(const std::string& path) {
    OutputFolder target;
    target.given = path;
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    const std::size_t slash = trimmed.rfind('/');
    target.name = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
    target.parent = slash == std::string::npos ? "." : slash == 0 ? "/" : trimmed.substr(0, slash);
    if (!PlainName(target.name)) {
        target.refusal = "\"" + path + "\" does not name a folder that can be made";
        return target;
    }
    auto parent = std::make_shared<HeldFolder>();
    std::string why;
    bool notFolder = false;
    if (!parent->Open(target.parent, &why, &notFolder)) {
        target.refusal = "cannot open the folder " + target.parent + ": " + why;
        return target;
    }
    std::vector<std::string> files;
    target.refusal = Look(Fd(*parent), target.name, path, &target.earlier, &files);
    target.heldParent = std::move(parent);
    return target;
}

std::unique_ptr<PublishingFolder> PublishingFolder::Create(const OutputFolder& target,
                                                           std::string* reason) {
    if (!target.Publishable()) {
        *reason = target.refusal.empty() ? "nothing can be published there" : target.refusal;
        return nullptr;
    }
    std::unique_ptr<PublishingFolder> output(new PublishingFolder(target));
    const int parent = Fd(*target.heldParent);
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string name = HiddenName(target.name, ".part");
        if (::mkdirat(parent, name.c_str(), 0777) != 0) {
            if (errno == EEXIST) continue;
            *reason = "cannot create a folder in " + target.parent + ": " + SystemErrorText(errno);
            return nullptr;
        }
        output->temporaryName_ = name;
        output->temporaryPath_ = target.heldParent->PathOf(name);
        break;
    }
    if (output->temporaryName_.empty()) {
        *reason = "cannot find a free temporary name in " + target.parent;
        return nullptr;
    }
    // Held by its path, but only once it is known to be the folder made.
    struct stat made {};
    struct stat held {};
    bool notFolder = false;
    std::string why;
    if (::fstatat(parent, output->temporaryName_.c_str(), &made, AT_SYMLINK_NOFOLLOW) != 0 ||
        !output->folder_.Open(output->temporaryPath_, &why, &notFolder) ||
        ::fstat(Fd(output->folder_), &held) != 0 || made.st_dev != held.st_dev ||
        made.st_ino != held.st_ino) {
        *reason = "cannot open the folder made in " + target.parent +
                  (why.empty() ? std::string() : ": " + why);
        return nullptr;  // `output` removes what it can
    }
    return output;
}

PublishingFolder::~PublishingFolder() {
    if (published_ || temporaryName_.empty()) return;
    RemoveTemporary();
}

void PublishingFolder::RemoveTemporary() {
    for (auto& [name, file] : files_) file->Close(nullptr);
    std::vector<std::string> names;
    if (folder_.handle() >= 0) NamesIn(Fd(folder_), &names);
    RemoveFolder(Fd(*target_.heldParent), temporaryName_, names);
}

WritableFile* PublishingFolder::CreateFile(const std::string& name, std::string* reason) {
    if (!PlainName(name) || name == kFolderMarker || name.find('\n') != std::string::npos) {
        *reason = "\"" + name + "\" cannot be a file of the output folder";
        return nullptr;
    }
    auto file = std::make_unique<WritableFile>();
    std::string why;
    bool exists = false;
    if (!file->CreateNewIn(folder_, name, &why, &exists)) {
        *reason = "cannot create " + name + " in " + temporaryPath_ + ": " + why;
        return nullptr;
    }
    files_.emplace_back(name, std::move(file));
    return files_.back().second.get();
}

bool PublishingFolder::Publish(std::string* reason) {
    std::string why;
    std::string marker = std::string(kMarkerFirstLine) + "\n";
    for (auto& [name, file] : files_) {
        if (!file->Sync(&why) || !file->Close(&why)) {
            *reason = name + " could not be put on disk: " + why;
            return false;
        }
        marker += name + "\n";
    }
    WritableFile markerFile;
    bool exists = false;
    if (!markerFile.CreateNewIn(folder_, kFolderMarker, &why, &exists) ||
        !markerFile.Write(marker.data(), marker.size()) || !markerFile.Sync(&why) ||
        !markerFile.Close(&why)) {
        if (why.empty()) why = SystemErrorText(static_cast<unsigned long>(markerFile.Error()));
        *reason = "the output folder's marker could not be written: " + why;
        return false;
    }
    if (!folder_.Sync(&why)) {
        *reason = "the output folder could not be put on disk: " + why;
        return false;
    }
    if (!RenameIntoPlace(reason)) return false;
    if (!target_.heldParent->Sync(&why)) {
        warning_ += (warning_.empty() ? "" : "; ") + target_.given +
                    " was written, but its parent folder could not be synced to disk: " + why;
    }
    return true;
}

bool PublishingFolder::RenameIntoPlace(std::string* why) {
    const int parent = Fd(*target_.heldParent);
    const char* from = temporaryName_.c_str();
    const char* to = target_.name.c_str();
    for (int look = 0; look < 3; ++look) {
        bool present = false;
        std::vector<std::string> earlierFiles;
        const std::string refusal =
            Look(parent, target_.name, target_.given, &present, &earlierFiles);
        if (!refusal.empty()) {
            *why = "what is there now cannot be replaced: " + refusal;
            return false;
        }
        if (!present) {
            if (::renameat2(parent, from, parent, to, RENAME_NOREPLACE) == 0) {
                published_ = true;
                return true;
            }
            if (errno == EEXIST) continue;
            *why = "the finished folder could not be renamed to " + target_.given + ": " +
                   SystemErrorText(errno);
            return false;
        }
        // The earlier folder of ours and the new one change places at
        // once; the earlier one, now under the temporary name, goes.
        if (::renameat2(parent, from, parent, to, RENAME_EXCHANGE) == 0) {
            published_ = true;
            if (!RemoveFolder(parent, temporaryName_, earlierFiles)) {
                warning_ = "the earlier " + target_.given + " could not be removed whole from " +
                           target_.heldParent->PathOf(temporaryName_);
            }
            return true;
        }
        if (errno == ENOENT) continue;  // gone meanwhile: look again
        if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
            *why = "the finished folder could not replace " + target_.given + ": " +
                   SystemErrorText(errno);
            return false;
        }
        // A file system without the exchange: the earlier folder is moved
        // aside first, so for a moment neither is at the name.
        const std::string aside = HiddenName(target_.name, ".old");
        if (::renameat2(parent, to, parent, aside.c_str(), RENAME_NOREPLACE) != 0) {
            *why = "the earlier " + target_.given +
                   " could not be moved aside: " + SystemErrorText(errno);
            return false;
        }
        if (::renameat2(parent, from, parent, to, RENAME_NOREPLACE) != 0) {
            const int error = errno;
            ::renameat2(parent, aside.c_str(), parent, to, RENAME_NOREPLACE);
            *why = "the finished folder could not be renamed to " + target_.given + ": " +
                   SystemErrorText(static_cast<unsigned long>(error));
            return false;
        }
        published_ = true;
        if (!RemoveFolder(parent, aside, earlierFiles)) {
            warning_ = "the earlier " + target_.given + " could not be removed whole from " +
                       target_.heldParent->PathOf(aside);
        }
        return true;
    }
    *why =
        "the finished folder could not be renamed to " + target_.given + ": its name kept changing";
    return false;
}

}  // namespace nvx
