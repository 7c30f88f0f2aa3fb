/*
 * publishing_temporary.cpp - the temporary's name, its making and lock,
 * the sweep of stale ones, and the registered temporaries an interruption
 * removes.
 *
 * Each registered temporary (its folder's descriptor and its name; on
 * Windows its whole path) lives in fixed buffers behind an atomic state,
 * so a signal handler can read it without taking a lock or allocating.
 */
#include "common/publishing_temporary.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <random>
#include <system_error>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace nvx {

namespace {

// What a registered temporary is doing, for the signal handler.
enum SlotState : int {
    kFree,       // nothing registered
    kClaimed,    // being filled in: not to be looked at yet
    kWriting,    // being written: an interruption removes it
    kRenaming,   // the publishing rename is under way: gone from its name once done
    kPublished,  // renamed into place: nothing to remove
};

struct Slot {
    std::atomic<int> state{kFree};
    bool folder = false;
    char name[1024];  // in its folder
#if defined(_WIN32)
    static constexpr std::size_t kPathCapacity = 4096;
    wchar_t wide[kPathCapacity];  // the whole path, which the handler removes
#else
    int parent = -1;  // the held folder's descriptor
    // Which folder the temporary folder is, told from what an exchange
    // leaves at its name.
    dev_t device = 0;
    ino_t inode = 0;
#endif
};
static_assert(std::atomic<int>::is_always_lock_free);

// A file and a folder may be written at once; more never are.
constexpr int kSlots = 4;
Slot gSlots[kSlots];

int Register(const HeldFolder& folder, const std::string& name, TemporaryKind kind,
             std::intptr_t handle) {
    if (name.size() >= sizeof gSlots[0].name) return -1;
    // A new output is being written: what an earlier one published is past.
    for (Slot& slot : gSlots) {
        int published = kPublished;
        slot.state.compare_exchange_strong(published, kFree);
    }
    for (int k = 0; k < kSlots; ++k) {
        Slot& slot = gSlots[k];
        int free = kFree;
        if (!slot.state.compare_exchange_strong(free, kClaimed)) continue;
        std::memcpy(slot.name, name.c_str(), name.size() + 1);
        slot.folder = kind == TemporaryKind::Folder;
#if defined(_WIN32)
        (void)handle;
        const std::wstring wide = NativePath(folder.PathOf(name)).native();
        if (wide.size() >= Slot::kPathCapacity) {
            slot.state.store(kFree);
            return -1;
        }
        std::memcpy(slot.wide, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
#else
        slot.parent = int(folder.handle());
        struct stat own {};
        if (slot.folder && ::fstat(int(handle), &own) == 0) {
            slot.device = own.st_dev;
            slot.inode = own.st_ino;
        }
#endif
        slot.state.store(kWriting);
        return k;
    }
    return -1;
}

// What follows the output's name: ".<host 8>.<pid up to 10>.<random 8>.part".
constexpr std::size_t kHostDigits = 8;
constexpr std::size_t kProcessDigits = 10;
constexpr std::size_t kRandomDigits = 8;
constexpr const char* kEnding = ".part";
constexpr std::size_t kSuffixRoom = 1 + kHostDigits + 1 + kProcessDigits + 1 + kRandomDigits + 5;

// The output's part of a temporary name: its name, cut (at a character's
// first byte) where the whole name would pass the file system's limit.
// Runs with any process id give the same part, so a later run finds it.
std::string NamePart(const std::string& name, std::size_t nameLimit) {
    const std::size_t room = nameLimit > kSuffixRoom + 2 ? nameLimit - kSuffixRoom - 1 : 1;
    std::string part = name;
    if (part.size() <= room) return part;
    std::size_t cut = room;
    while (cut > 0 && (static_cast<unsigned char>(part[cut]) & 0xC0) == 0x80) --cut;
    part.resize(cut);
    return part;
}

bool AllOf(const std::string& text, std::size_t from, std::size_t count, bool hex) {
    if (count == 0 || from + count > text.size()) return false;
    for (std::size_t k = from; k < from + count; ++k) {
        const char c = text[k];
        const bool digit = c >= '0' && c <= '9';
        if (!(digit || (hex && c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

// The process id of a temporary name for the output part `prefix` made on
// host `host`; 0 when the name is not one.
unsigned long OwnerOf(const std::string& name, const std::string& prefix, const std::string& host) {
    const std::size_t ending = std::strlen(kEnding);
    if (name.size() <= prefix.size() + ending || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - ending, ending, kEnding) != 0) {
        return 0;
    }
    // host.pid.random between the prefix and the ending.
    const std::string middle = name.substr(prefix.size(), name.size() - prefix.size() - ending);
    const std::size_t first = middle.find('.');
    const std::size_t last = middle.rfind('.');
    if (first != kHostDigits || last == first || middle.compare(0, kHostDigits, host) != 0 ||
        middle.size() - last - 1 != kRandomDigits ||
        !AllOf(middle, last + 1, kRandomDigits, true) ||
        !AllOf(middle, first + 1, last - first - 1, false) || last - first - 1 > kProcessDigits) {
        return 0;
    }
    return std::strtoul(middle.c_str() + first + 1, nullptr, 10);
}

std::uint32_t RandomPart() {
    static std::mt19937 random(
        std::random_device{}() ^
        static_cast<std::uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    return random();
}

std::string HiddenName(const std::string& name, std::size_t nameLimit, const std::string& host,
                       unsigned long process, std::uint32_t random, const char* ending) {
    char suffix[kSuffixRoom + 1];
    std::snprintf(suffix, sizeof suffix, ".%s.%lu.%08x%s", host.c_str(), process,
                  static_cast<unsigned>(random), ending);
    return "." + NamePart(name, nameLimit) + suffix;
}

#if defined(_WIN32)

// Removes the stale temporary folder `name`: its regular files, then the
// folder, which goes only when no process holds it open.
bool RemoveFolderOfFiles(const HeldFolder& folder, const std::string& name) {
    const std::filesystem::path path = NativePath(folder.PathOf(name));
    std::error_code error;
    for (std::filesystem::directory_iterator entries(path, error);
         !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
        if (entries->is_regular_file(error) && !entries->is_symlink(error))
            DeleteFileW(entries->path().c_str());
    }
    return RemoveDirectoryW(path.c_str()) != 0;
}

bool IsFolder(const HeldFolder& folder, const std::string& name) {
    const DWORD attributes = GetFileAttributesW(NativePath(folder.PathOf(name)).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

#else

// Holds back every signal on the calling thread while it lives; those that
// came meanwhile are handled when it goes. A temporary is made and
// registered under it: a signal handled between the two would find nothing
// registered to remove and leave the temporary. The tools make their
// outputs while no other thread of theirs runs, so no other thread takes
// the signal.
class SignalsHeldBack {
public:
    SignalsHeldBack() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &before_);
    }
    ~SignalsHeldBack() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
    SignalsHeldBack(const SignalsHeldBack&) = delete;
    SignalsHeldBack& operator=(const SignalsHeldBack&) = delete;

private:
    sigset_t before_;
};

// Whether `name` in `folder` still leads to the open file or folder `fd`.
bool StillNamed(const HeldFolder& folder, const std::string& name, int fd) {
    struct stat named {};
    struct stat open {};
    return ::fstatat(int(folder.handle()), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           ::fstat(fd, &open) == 0 && named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}

// Removes the stale temporary folder `name` of `folder` when no live run
// holds its lock: its regular files, then the folder, all while the lock
// is held and only if the name still leads to the folder locked.
bool RemoveUnlockedFolder(const HeldFolder& folder, const std::string& name) {
    struct stat before {};
    if (::fstatat(int(folder.handle()), name.c_str(), &before, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(before.st_mode)) {
        return false;
    }
    const int fd = ::openat(int(folder.handle()), name.c_str(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    bool removed = false;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && StillNamed(folder, name, fd)) {
        // A descriptor of its own for the listing, whose end closes it.
        const int listing = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (DIR* entries = listing >= 0 ? ::fdopendir(listing) : nullptr) {
            while (const dirent* entry = ::readdir(entries)) {
                struct stat file {};
                if (::fstatat(fd, entry->d_name, &file, AT_SYMLINK_NOFOLLOW) == 0 &&
                    S_ISREG(file.st_mode)) {
                    ::unlinkat(fd, entry->d_name, 0);
                }
            }
            ::closedir(entries);
        } else if (listing >= 0) {
            ::close(listing);
        }
        removed = ::unlinkat(int(folder.handle()), name.c_str(), AT_REMOVEDIR) == 0;
    }
    ::close(fd);
    return removed;
}

bool IsFolder(const HeldFolder& folder, const std::string& name) {
    struct stat info {};
    return ::fstatat(int(folder.handle()), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISDIR(info.st_mode);
}

// Removes every name in the open folder `fd`, from a signal handler: the
// entries read by the system call itself, into a buffer on the stack.
// Files a thread adds meanwhile are taken on the next pass.
void EmptyFolderOnInterrupt(int fd) {
    alignas(8) char buffer[2048];
    for (int pass = 0; pass < 3; ++pass) {
        if (::lseek(fd, 0, SEEK_SET) != 0) return;
        bool removed = false;
        for (;;) {
            const long got = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
            if (got <= 0) break;
            // Each entry: inode (8 bytes), offset (8), its length (2), type (1), name.
            for (long at = 0; at + 19 < got;) {
                std::uint16_t length = 0;
                std::memcpy(&length, buffer + at + 16, sizeof length);
                if (length == 0) break;
                const char* entry = buffer + at + 19;
                const bool dots =
                    entry[0] == '.' && (entry[1] == '\0' || (entry[1] == '.' && entry[2] == '\0'));
                if (!dots && ::unlinkat(fd, entry, 0) == 0) removed = true;
                at += length;
            }
        }
        if (!removed) return;
    }
}

#endif

// Removes the registered temporary of `slot` in state `state`; true when
// its rename was under way and has put it at the output's name.
bool RemoveOnInterrupt(const Slot& slot, int state) {
#if defined(_WIN32)
    if (!slot.folder) {
        const bool removed = _wunlink(slot.wide) == 0;
        return state == kRenaming && !removed && errno == ENOENT;
    }
    // Its files, then the folder; a folder still held stays for the next
    // run's sweep.
    wchar_t pattern[Slot::kPathCapacity + 2];
    const std::size_t length = wcslen(slot.wide);
    if (length + 2 >= Slot::kPathCapacity) return false;
    std::memcpy(pattern, slot.wide, length * sizeof(wchar_t));
    pattern[length] = L'\\';
    pattern[length + 1] = L'*';
    pattern[length + 2] = L'\0';
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return state == kRenaming && GetFileAttributesW(slot.wide) == INVALID_FILE_ATTRIBUTES;
    }
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
        const std::size_t name = wcslen(found.cFileName);
        if (length + 1 + name >= Slot::kPathCapacity) continue;
        std::memcpy(pattern + length + 1, found.cFileName, (name + 1) * sizeof(wchar_t));
        DeleteFileW(pattern);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    RemoveDirectoryW(slot.wide);
    return false;
#else
    if (!slot.folder) {
        const bool removed = ::unlinkat(slot.parent, slot.name, 0) == 0;
        // A rename under way took the name if the temporary is gone from it.
        return state == kRenaming && !removed && errno == ENOENT;
    }
    const int fd =
        ::openat(slot.parent, slot.name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return state == kRenaming && errno == ENOENT;
    struct stat named {};
    const bool ours =
        ::fstat(fd, &named) == 0 && named.st_dev == slot.device && named.st_ino == slot.inode;
    if (ours) {
        EmptyFolderOnInterrupt(fd);
        ::unlinkat(slot.parent, slot.name, AT_REMOVEDIR);
    }
    ::close(fd);
    // Another folder at the name: the exchange with the earlier one is
    // done, which the next run's sweep removes.
    return state == kRenaming && !ours;
#endif
}

}  // namespace

std::string HostTag() {
    // FNV-1a: a short, stable tag from any host name.
    std::uint32_t hash = 2166136261u;
    for (const char c : HostName()) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 16777619u;
    }
    char tag[kHostDigits + 1];
    std::snprintf(tag, sizeof tag, "%08x", static_cast<unsigned>(hash));
    return tag;
}

std::string TemporaryName(const std::string& name, std::size_t nameLimit, const std::string& host,
                          unsigned long process, std::uint32_t random) {
    return HiddenName(name, nameLimit, host, process, random, kEnding);
}

std::string FreshHiddenName(const std::string& name, std::size_t nameLimit, const char* ending) {
    return HiddenName(name, nameLimit, HostTag(), CurrentProcessId(), RandomPart(), ending);
}

int RemoveStaleTemporaries(const HeldFolder& folder, const std::string& output,
                           std::size_t nameLimit) {
    const std::string prefix = "." + NamePart(output, nameLimit) + ".";
    const std::string host = HostTag();
    int removed = 0;
    for (const std::string& name : folder.Names()) {
        const unsigned long owner = OwnerOf(name, prefix, host);
        if (owner == 0) continue;
#if defined(_WIN32)
        if (ProcessMayHaveWritten(owner, folder.PathOf(name))) continue;
        if (IsFolder(folder, name) ? RemoveFolderOfFiles(folder, name)
                                   : folder.RemoveUnlocked(name))
            ++removed;
#else
        if (IsFolder(folder, name) ? RemoveUnlockedFolder(folder, name)
                                   : folder.RemoveUnlocked(name)) {
            ++removed;
        }
#endif
    }
    return removed;
}

bool MakeTemporary(const HeldFolder& folder, const std::string& name, std::size_t nameLimit,
                   TemporaryKind kind, const TemporaryMaking& making, RegisteredTemporary* made,
                   std::string* why, int* code) {
    RemoveStaleTemporaries(folder, name, nameLimit);
    const std::string host = HostTag();
    for (unsigned attempt = 0; attempt < 16; ++attempt) {
        const std::string temporary =
            TemporaryName(name, nameLimit, host, CurrentProcessId(), RandomPart());
        bool exists = false;
        *code = 0;
#if !defined(_WIN32)
        const SignalsHeldBack untilRegistered;
#endif
        if (!making.create(temporary, why, &exists, code)) {
            if (exists) continue;
            return false;
        }
        // Another run's sweep that opened it before it was locked holds the
        // lock, or has removed the name: another name then.
        bool ours = making.lock();
#if !defined(_WIN32)
        ours = ours && StillNamed(folder, temporary, int(making.handle()));
#endif
        if (!ours) {
            making.drop();
            continue;
        }
        made->Forget();
        made->name_ = temporary;
        made->slot_ = Register(folder, temporary, kind, making.handle());
        return true;
    }
    *why = "cannot find a free temporary name in " + folder.Path();
    *code = 0;
    return false;
}

void RegisteredTemporary::Renaming() {
    if (slot_ < 0) return;
    int writing = kWriting;
    gSlots[slot_].state.compare_exchange_strong(writing, kRenaming);
}

void RegisteredTemporary::Published() {
    if (slot_ < 0) return;
    int renaming = kRenaming;
    gSlots[slot_].state.compare_exchange_strong(renaming, kPublished);
    // It stays published for the handler until another output is written.
    slot_ = -1;
}

void RegisteredTemporary::NotRenamed() {
    if (slot_ < 0) return;
    int renaming = kRenaming;
    gSlots[slot_].state.compare_exchange_strong(renaming, kWriting);
}

void RegisteredTemporary::Forget() {
    if (slot_ >= 0) gSlots[slot_].state.store(kFree);
    slot_ = -1;
}

bool RemoveTemporaryOnInterrupt() {
    const int saved = errno;
    bool published = false;
    for (const Slot& slot : gSlots) {
        const int state = slot.state.load();
        if (state == kPublished) published = true;
        if (state == kWriting || state == kRenaming) {
            published = RemoveOnInterrupt(slot, state) || published;
        }
    }
    errno = saved;
    return published;
}

}  // namespace nvx
