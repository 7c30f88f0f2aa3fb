/*
 * publishing_folder.cpp - an output folder looked at, built beside its
 * path and exchanged or renamed into place, through the held parent.
 * POSIX works through the held folders' descriptors; Windows through
 * their paths (held open, so they cannot be renamed or removed meanwhile).
 */
#include "common/publishing_folder.h"

#include <filesystem>
#include <set>

#if defined(_WIN32)
#include <windows.h>
// <windows.h> names CreateFileW CreateFile; PublishingFolder has its own.
#undef CreateFile
#else
#include <cerrno>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "common/earlier_settings.h"

namespace nvx {

namespace {

constexpr const char* kMarkerFirstLine = "nvx2svs output folder";
// A marker larger than this is not ours.
constexpr std::uint64_t kMarkerLimit = 1024 * 1024;

bool IsSeparator(char c) {
#if defined(_WIN32)
    return c == '/' || c == '\\';
#else
    return c == '/';
#endif
}

bool PlainName(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.find('\0') != std::string::npos)
        return false;
    for (const char c : name) {
        if (IsSeparator(c)) return false;
#if defined(_WIN32)
        if (c == ':') return false;  // a drive, or a file's named stream
#endif
    }
    return true;
}

// A name in a folder and whether it is a regular file (not a folder, a
// link or anything else).
struct Entry {
    std::string name;
    bool regular = false;
};

// The files a marker's text names; false when it is not a marker of ours.
bool ParseMarker(const std::string& text, std::set<std::string>* listed) {
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

// Empty when a folder whose marker read as `marked` (naming `listed`)
// and that holds `entries` is one of ours, that is, its marker names every
// file it holds and it holds nothing else; else why not. Its files go to
// `files` (the marker last).
std::string Judge(const std::string& shown, bool marked, const std::set<std::string>& listed,
                  const std::vector<Entry>& entries, std::vector<std::string>* files) {
    if (!marked) {
        return shown + " is a folder that is not an earlier output of ours (no " +
               std::string(kFolderMarker) + ")";
    }
    files->clear();
    for (const Entry& entry : entries) {
        if (entry.name == kFolderMarker) continue;
        if (listed.count(entry.name) == 0 || !entry.regular)
            return shown + " holds " + entry.name + ", which is not of our output";
        files->push_back(entry.name);
    }
    files->push_back(kFolderMarker);
    return {};
}

#if defined(_WIN32)

std::wstring Wide(const std::string& path) { return NativePath(path).native(); }

std::string Join(const std::string& folder, const std::string& name) {
    return NameFromNativePath(NativePath(folder) / NativePath(name));
}

bool Regular(DWORD attributes) {
    return (attributes &
            (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) == 0;
}

// A handle closed when it goes.
class Handle {
public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

// A directory search closed when it goes.
class Search {
public:
    Search(const std::string& folder, WIN32_FIND_DATAW* found)
        : handle_(FindFirstFileExW((NativePath(folder) / L"*").c_str(), FindExInfoBasic, found,
                                   FindExSearchNameMatch, nullptr, 0)) {}
    ~Search() {
        if (handle_ != INVALID_HANDLE_VALUE) FindClose(handle_);
    }
    Search(const Search&) = delete;
    Search& operator=(const Search&) = delete;
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

// The entries of the folder `folder`, "." and ".." left out; false when
// it cannot be read.
bool EntriesIn(const std::string& folder, std::vector<Entry>* entries) {
    WIN32_FIND_DATAW found{};
    const Search search(folder, &found);
    if (search.get() == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
        const std::string name = NameFromNativePath(std::filesystem::path(found.cFileName));
        if (name != "." && name != "..")
            entries->push_back({name, Regular(found.dwFileAttributes)});
    } while (FindNextFileW(search.get(), &found));
    return GetLastError() == ERROR_NO_MORE_FILES;
}

// The files the marker of the folder `folder` names; false when it has
// no marker of ours. The marker itself is opened, not what it may link to.
bool ReadMarker(const std::string& folder, std::set<std::string>* listed) {
    const Handle marker(CreateFileW(Wide(Join(folder, kFolderMarker)).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (marker.get() == INVALID_HANDLE_VALUE || GetFileType(marker.get()) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(marker.get(), &info) || !Regular(info.dwFileAttributes) ||
        info.nFileSizeHigh != 0 || info.nFileSizeLow > kMarkerLimit) {
        return false;
    }
    std::string text(info.nFileSizeLow, '\0');
    DWORD got = 0;
    if (!text.empty() && (!ReadFile(marker.get(), text.data(), DWORD(text.size()), &got, nullptr) ||
                          got != text.size())) {
        return false;
    }
    return ParseMarker(text, listed);
}

// What is at `name` in `parent`: empty when nothing is (`present` false)
// or an earlier folder of ours (`present` true); else why it may not be
// replaced.
std::string Look(const HeldFolder& parent, const std::string& name, const std::string& shown,
                 bool* present, std::vector<std::string>* files) {
    *present = false;
    const std::string path = parent.PathOf(name);
    const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return {};
        return shown + " cannot be looked at: " + SystemErrorText(error);
    }
    *present = true;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return shown + " is a symbolic link or a junction";
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return shown + " exists and is not a folder";
    std::set<std::string> listed;
    const bool marked = ReadMarker(path, &listed);
    std::vector<Entry> entries;
    if (marked && !EntriesIn(path, &entries)) return shown + " is a folder that cannot be read";
    return Judge(shown, marked, listed, entries, files);
}

// Removes `files` from the folder `name` in `parent`, then the folder;
// false when something stays.
bool RemoveFolder(const HeldFolder& parent, const std::string& name,
                  const std::vector<std::string>& files) {
    const std::string folder = parent.PathOf(name);
    for (const std::string& file : files) DeleteFileW(Wide(Join(folder, file)).c_str());
    return RemoveDirectoryW(Wide(folder).c_str()) != 0;
}

#else

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
        static_cast<std::uint64_t>(info.st_size) > kMarkerLimit) {
        return false;
    }
    std::string text(static_cast<std::size_t>(info.st_size), '\0');
    if (::pread(marker.get(), text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
        return false;
    }
    return ParseMarker(text, listed);
}

// Whether the folder `name` in `parent` is one of ours (see Judge).
std::string WhyNotOurs(int parent, const std::string& name, const std::string& shown,
                       std::vector<std::string>* files) {
    const Descriptor folder(
        ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder.get() < 0)
        return shown + " is a folder that cannot be read: " + SystemErrorText(errno);
    std::set<std::string> listed;
    const bool marked = ReadMarker(folder.get(), &listed);
    std::vector<std::string> names;
    if (marked && !NamesIn(folder.get(), &names)) return shown + " is a folder that cannot be read";
    std::vector<Entry> entries;
    for (const std::string& entry : names) {
        struct stat info {};
        entries.push_back(
            {entry, ::fstatat(folder.get(), entry.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                        S_ISREG(info.st_mode)});
    }
    return Judge(shown, marked, listed, entries, files);
}

// What is at `name` in `parent`: empty when nothing is (`present` false)
// or an earlier folder of ours (`present` true); else why it may not be
// replaced.
std::string Look(const HeldFolder& parent, const std::string& name, const std::string& shown,
                 bool* present, std::vector<std::string>* files) {
    struct stat info {};
    *present = false;
    if (::fstatat(Fd(parent), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return {};
        return shown + " cannot be looked at: " + SystemErrorText(errno);
    }
    *present = true;
    if (S_ISLNK(info.st_mode)) return shown + " is a symbolic link";
    if (!S_ISDIR(info.st_mode)) return shown + " exists and is not a folder";
    return WhyNotOurs(Fd(parent), name, shown, files);
}

// Removes `files` from the folder `name` in `parent`, then the folder;
// false when something stays.
bool RemoveFolder(const HeldFolder& parent, const std::string& name,
                  const std::vector<std::string>& files) {
    const Descriptor folder(
        ::openat(Fd(parent), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder.get() < 0) return false;
    for (const std::string& file : files) ::unlinkat(folder.get(), file.c_str(), 0);
    return ::unlinkat(Fd(parent), name.c_str(), AT_REMOVEDIR) == 0;
}

// What the earlier folder of ours at the target's name had, with `files`
// its files (the marker last): the folder's settings, and its first file's
// for the new files, or the folder's less the x bits when none can be read.
void ReadEarlier(const HeldFolder& parent, const std::vector<std::string>& files,
                 OutputFolder* target) {
    const Descriptor folder(::openat(Fd(parent), target->name.c_str(),
                                     O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder.get() < 0 ||
        !ReadEarlierSettings(folder.get(), &target->earlierFolder, &target->earlierDefaultAcl)) {
        return;
    }
    target->keepsEarlier = true;
    EarlierFile& each = target->earlierFiles;
    each = target->earlierFolder;
    each.mode &= 0666;
    each.acl.clear();
    if (files.empty()) return;
    const Descriptor file(::openat(folder.get(), files.front().c_str(),
                                   O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat info {};
    if (file.get() >= 0) {
        ReadEarlierSettings(file.get(), &each);
    } else if (::fstatat(folder.get(), files.front().c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
        // A file we may not read: its mode, owner and group all the same.
        each.mode = info.st_mode & 07777;
        each.owner = info.st_uid;
        each.group = info.st_gid;
    }
}

#endif

}  // namespace

OutputFolder ResolveOutputFolder(const std::string& path) {
    OutputFolder target;
    target.given = path;
    std::string trimmed = path;
    while (trimmed.size() > 1 && IsSeparator(trimmed.back())) trimmed.pop_back();
#if defined(_WIN32)
    // Windows' paths have drives and shares before their folders: C:\out's
    // folder is C:\, not C:.
    const std::filesystem::path native = NativePath(trimmed);
    target.name = NameFromNativePath(native.filename());
    target.parent = native.has_parent_path() ? NameFromNativePath(native.parent_path()) : ".";
#else
    const std::size_t slash = trimmed.rfind('/');
    target.name = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
    target.parent = slash == std::string::npos ? "." : slash == 0 ? "/" : trimmed.substr(0, slash);
#endif
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
    target.refusal = Look(*parent, target.name, path, &target.earlier, &files);
#if !defined(_WIN32)
    const long limit = ::fpathconf(Fd(*parent), _PC_NAME_MAX);
    if (limit > 0) target.nameLimit = static_cast<std::size_t>(limit);
    if (target.refusal.empty() && target.earlier) ReadEarlier(*parent, files, &target);
#endif
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
    const HeldFolder& parent = *target.heldParent;
    TemporaryMaking making;
    making.create = [&](const std::string& name, std::string* why, bool* exists, int* code) {
#if defined(_WIN32)
        if (!CreateDirectoryW(Wide(parent.PathOf(name)).c_str(), nullptr)) {
            const DWORD error = GetLastError();
            *exists = error == ERROR_ALREADY_EXISTS;
            *why = "cannot create a folder in " + target.parent + ": " + SystemErrorText(error);
            *code = int(error);
            return false;
        }
#else
        if (::mkdirat(Fd(parent), name.c_str(), 0777) != 0) {
            *exists = errno == EEXIST;
            *why = "cannot create a folder in " + target.parent + ": " + SystemErrorText(errno);
            *code = errno;
            return false;
        }
#endif
        // Held by its path, but only once it is known to be the folder made
        // (the check after the lock).
        HeldFolder& folder = output->folder_.emplace();
        bool notFolder = false;
        std::string error;
        bool made = folder.Open(parent.PathOf(name), &error, &notFolder);
#if defined(_WIN32)
        // Held, it can be neither renamed nor removed: what is at its name
        // now stays there. A link or junction put there meanwhile is not ours.
        const DWORD attributes = GetFileAttributesW(Wide(parent.PathOf(name)).c_str());
        made = made && attributes != INVALID_FILE_ATTRIBUTES &&
               (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
               (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
        if (!made) RemoveDirectoryW(Wide(parent.PathOf(name)).c_str());
#else
        if (!made) {
            // Another run's sweep took it before it was opened: another name then.
            struct stat there {};
            if (::fstatat(Fd(parent), name.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0) {
                output->folder_.reset();
                *exists = true;
                return false;
            }
            ::unlinkat(Fd(parent), name.c_str(), AT_REMOVEDIR);
        }
#endif
        if (!made) {
            output->folder_.reset();
            *why = "cannot open the folder made in " + target.parent +
                   (error.empty() ? std::string() : ": " + error);
            *code = 0;
        }
        return made;
    };
    making.lock = [&] {
#if defined(_WIN32)
        return true;  // the open handle is the lock
#else
        // Only someone else's lock fails it; a file system without locks takes none.
        return ::flock(Fd(*output->folder_), LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
#endif
    };
    making.handle = [&] { return output->folder_->handle(); };
    making.drop = [&] { output->folder_.reset(); };
    int code = 0;
    if (!MakeTemporary(parent, target.name, target.nameLimit, TemporaryKind::Folder, making,
                       &output->temporary_, reason, &code)) {
        return nullptr;
    }
    output->temporaryPath_ = parent.PathOf(output->temporary_.name());
#if !defined(_WIN32)
    // Open enough for us to build in, and while it is built no more open
    // than the earlier folder.
    struct stat made {};
    if (::fstat(Fd(*output->folder_), &made) == 0) {
        output->madeMode_ = made.st_mode & 07777;
        unsigned building = output->madeMode_;
        if (target.keepsEarlier) building &= target.earlierFolder.mode & 0777;
        building |= 0700;
        if (building != output->madeMode_ && ::fchmod(Fd(*output->folder_), building) == 0)
            output->modeChanged_ = true;
    }
#endif
    return output;
}

PublishingFolder::~PublishingFolder() {
    if (published_ || !temporary_.Made()) return;
    // Removed while still locked, so no sweep can take its name meanwhile.
    RemoveTemporary();
    temporary_.Forget();
}

bool PublishingFolder::EarlierStillThere() const {
#if defined(_WIN32)
    return false;
#else
    struct stat now {};
    return target_.keepsEarlier &&
           ::fstatat(Fd(*target_.heldParent), target_.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) ==
               0 &&
           now.st_dev == target_.earlierFolder.device && now.st_ino == target_.earlierFolder.inode;
#endif
}

void PublishingFolder::RemoveTemporary() {
    for (auto& [name, file] : files_) file->Close(nullptr);
    std::vector<std::string> names;
#if defined(_WIN32)
    folder_.reset();  // held, it could not be removed
    std::vector<Entry> entries;
    EntriesIn(temporaryPath_, &entries);
    for (const Entry& entry : entries) names.push_back(entry.name);
#else
    if (folder_ && folder_->handle() >= 0) NamesIn(Fd(*folder_), &names);
#endif
    RemoveFolder(*target_.heldParent, temporary_.name(), names);
}

WritableFile* PublishingFolder::CreateFile(const std::string& name, std::string* reason) {
    if (!PlainName(name) || name == kFolderMarker || name.find('\n') != std::string::npos) {
        *reason = "\"" + name + "\" cannot be a file of the output folder";
        return nullptr;
    }
    auto file = std::make_unique<WritableFile>();
    std::string why;
    bool exists = false;
    if (!file->CreateNewIn(*folder_, name, &why, &exists)) {
        *reason = "cannot create " + name + " in " + temporaryPath_ + ": " + why;
        return nullptr;
    }
    files_.emplace_back(name, std::move(file));
    return files_.back().second.get();
}

bool PublishingFolder::Publish(std::string* reason) {
    std::string why;
    // Only to the earlier folder's own successor: not when something else
    // has taken its name.
    const bool keep = EarlierStillThere();
    std::string marker = std::string(kMarkerFirstLine) + "\n";
    for (auto& [name, file] : files_) {
        if (keep) KeepEarlierSettings(file->handle(), target_.earlierFiles);
        if (!file->Sync(&why) || !file->Close(&why)) {
            *reason = name + " could not be put on disk: " + why;
            return false;
        }
        marker += name + "\n";
    }
    WritableFile markerFile;
    bool exists = false;
    const bool created = markerFile.CreateNewIn(*folder_, kFolderMarker, &why, &exists);
    if (created && keep) KeepEarlierSettings(markerFile.handle(), target_.earlierFiles);
    if (!created || !markerFile.Write(marker.data(), marker.size()) || !markerFile.Sync(&why) ||
        !markerFile.Close(&why)) {
        if (why.empty()) why = SystemErrorText(static_cast<unsigned long>(markerFile.Error()));
        *reason = "the output folder's marker could not be written: " + why;
        return false;
    }
    // The folder's own settings last: the earlier ones may not let us add a file.
    if (keep) {
        KeepEarlierSettings(folder_->handle(), target_.earlierFolder, target_.earlierDefaultAcl);
    } else if (modeChanged_) {
#if !defined(_WIN32)
        ::fchmod(Fd(*folder_), madeMode_);
#endif
    }
    if (!folder_->Sync(&why)) {
        *reason = "the output folder could not be put on disk: " + why;
        return false;
    }
#if defined(_WIN32)
    // Windows renames no folder that is held open, nor one with a file in
    // it open: every file is closed by now, and the folder goes too.
    folder_.reset();
#endif
    if (!RenameIntoPlace(reason)) return false;
    if (!target_.heldParent->Sync(&why)) {
        warning_ += (warning_.empty() ? "" : "; ") + target_.given +
                    " was written, but its parent folder could not be synced to disk: " + why;
    }
    return true;
}

bool PublishingFolder::RenameIntoPlace(std::string* why) {
    // From here until the rename is done or has failed, a signal's handler
    // tells by what is at the temporary's name whether it took place.
    temporary_.Renaming();
    const bool done = RenameOnce(why);
    if (done) {
        temporary_.Published();
    } else {
        temporary_.NotRenamed();
    }
    return done;
}

#if defined(_WIN32)

bool PublishingFolder::RenameOnce(std::string* why) {
    const HeldFolder& parent = *target_.heldParent;
    const std::string& temporaryName = temporary_.name();
    for (int look = 0; look < 3; ++look) {
        bool present = false;
        std::vector<std::string> earlierFiles;
        const std::string refusal =
            Look(parent, target_.name, target_.given, &present, &earlierFiles);
        if (!refusal.empty()) {
            *why = "what is there now cannot be replaced: " + refusal;
            return false;
        }
        std::string error;
        bool existed = false;
        if (!present) {
            // Never over anything: a folder that appeared meanwhile is looked at again.
            if (parent.Rename(temporaryName, target_.name, false, &error, &existed)) {
                published_ = true;
                return true;
            }
            if (existed) continue;
            *why = "the finished folder could not be renamed to " + target_.given + ": " + error;
            return false;
        }
        // Windows exchanges no two folders at once: the earlier one is moved
        // aside, the new one takes the name, and the earlier one goes; for
        // that moment neither is at the name.
        const std::string aside = FreshHiddenName(target_.name, target_.nameLimit, ".old");
        if (!parent.Rename(target_.name, aside, false, &error, &existed)) {
            if (!existed && GetFileAttributesW(Wide(parent.PathOf(target_.name)).c_str()) ==
                                INVALID_FILE_ATTRIBUTES) {
                continue;  // gone meanwhile: look again
            }
            *why = "the earlier " + target_.given + " could not be moved aside: " + error;
            return false;
        }
        if (!parent.Rename(temporaryName, target_.name, false, &error, &existed)) {
            std::string back;
            const bool restored = parent.Rename(aside, target_.name, false, &back, &existed);
            *why = "the finished folder could not be renamed to " + target_.given + ": " + error;
            if (!restored) {
                *why += "; the earlier folder is left at " + parent.PathOf(aside) + ": " + back;
            }
            return false;
        }
        published_ = true;
        if (!RemoveFolder(parent, aside, earlierFiles)) {
            warning_ = "the earlier " + target_.given + " could not be removed whole from " +
                       parent.PathOf(aside);
        }
        return true;
    }
    *why =
        "the finished folder could not be renamed to " + target_.given + ": its name kept changing";
    return false;
}

#else

bool PublishingFolder::RenameOnce(std::string* why) {
    const int parent = Fd(*target_.heldParent);
    const char* from = temporary_.name().c_str();
    const char* to = target_.name.c_str();
    for (int look = 0; look < 3; ++look) {
        bool present = false;
        std::vector<std::string> earlierFiles;
        const std::string refusal =
            Look(*target_.heldParent, target_.name, target_.given, &present, &earlierFiles);
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
            if (!RemoveFolder(*target_.heldParent, temporary_.name(), earlierFiles)) {
                warning_ = "the earlier " + target_.given + " could not be removed whole from " +
                           target_.heldParent->PathOf(temporary_.name());
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
        const std::string aside = FreshHiddenName(target_.name, target_.nameLimit, ".old");
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
        if (!RemoveFolder(*target_.heldParent, aside, earlierFiles)) {
            warning_ = "the earlier " + target_.given + " could not be removed whole from " +
                       target_.heldParent->PathOf(aside);
        }
        return true;
    }
    *why =
        "the finished folder could not be renamed to " + target_.given + ": its name kept changing";
    return false;
}

#endif

}  // namespace nvx
