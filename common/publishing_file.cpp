/*
 * publishing_file.cpp - the temporary file's name, its creation and lock,
 * the earlier file's settings, the publishing rename, the sweep of stale
 * temporaries, and the one registered file an interruption removes.
 *
 * The registered file (its folder's descriptor and its name; on Windows
 * its whole path) lives in fixed buffers behind an atomic state, so a
 * signal handler can read it without taking a lock or allocating.
 */
#include "common/publishing_file.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

#if defined(_WIN32)
#include <io.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

namespace nvx {

namespace {

// What the registered temporary is doing, for the signal handler.
enum RegisteredState : int {
    kNothing,    // no temporary registered
    kWriting,    // being written: an interruption removes it
    kRenaming,   // the publishing rename is under way: gone from its name once done
    kPublished,  // renamed into place: nothing to remove
};
std::atomic<int> gState{kNothing};
static_assert(std::atomic<int>::is_always_lock_free);
// The temporary's name in its folder; on Windows also its whole path in
// its wide form, which the handler removes.
char gRegisteredName[1024];
#if defined(_WIN32)
constexpr std::size_t kPathCapacity = 4096;
wchar_t gRegisteredWide[kPathCapacity];
#else
int gRegisteredFolder = -1;  // the held folder's descriptor
#endif

void Register(const HeldFolder& folder, const std::string& name) {
    gState.store(kNothing);
    if (name.size() >= sizeof gRegisteredName) return;
    std::memcpy(gRegisteredName, name.c_str(), name.size() + 1);
#if defined(_WIN32)
    const std::wstring wide = NativePath(folder.PathOf(name)).native();
    if (wide.size() >= kPathCapacity) return;
    std::memcpy(gRegisteredWide, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
#else
    gRegisteredFolder = int(folder.handle());
#endif
    gState.store(kWriting);
}

bool IsRegistered(const std::string& name) {
    return gState.load() != kNothing && name == gRegisteredName;
}

// Moves the registered temporary `name` from state `from` to `to`.
void Move(const std::string& name, int from, int to) {
    if (name == gRegisteredName) gState.compare_exchange_strong(from, to);
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

#if !defined(_WIN32)
// The earlier file's owner, group, permission bits and ACL, where this
// process may set them: root may give the file to anyone, others only to a
// group they are in. Failures leave the new file's own settings.
void KeepEarlierSettings(int fd, const EarlierFile& earlier) {
    if (::fchown(fd, earlier.owner, earlier.group) != 0 &&
        ::fchown(fd, static_cast<uid_t>(-1), earlier.group) != 0) {
        // Neither is ours to set: the file stays ours.
    }
    // After the owner, which clears the set-id bits.
    ::fchmod(fd, earlier.mode);
    if (!earlier.acl.empty()) {
        ::fsetxattr(fd, "system.posix_acl_access", earlier.acl.data(), earlier.acl.size(), 0);
    }
}

// Whether `name` in `folder` still leads to the open file `fd`.
bool StillNamed(const HeldFolder& folder, const std::string& name, int fd) {
    struct stat named {};
    struct stat open {};
    return ::fstatat(int(folder.handle()), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           ::fstat(fd, &open) == 0 && named.st_dev == open.st_dev && named.st_ino == open.st_ino;
}
#endif

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

std::string TemporaryName(const OutputTarget& target, const std::string& host,
                          unsigned long process, std::uint32_t random) {
    return HiddenName(target.name, target.nameLimit, host, process, random, kEnding);
}

std::string FreshHiddenName(const std::string& name, std::size_t nameLimit, const char* ending) {
    return HiddenName(name, nameLimit, HostTag(), CurrentProcessId(), RandomPart(), ending);
}

int RemoveStaleTemporaries(const OutputTarget& target) {
    if (!target.heldFolder) return 0;
    const HeldFolder& folder = *target.heldFolder;
    const std::string prefix = "." + NamePart(target.name, target.nameLimit) + ".";
    const std::string host = HostTag();
    int removed = 0;
    for (const std::string& name : folder.Names()) {
        const unsigned long owner = OwnerOf(name, prefix, host);
        if (owner == 0) continue;
#if defined(_WIN32)
        if (ProcessMayHaveWritten(owner, folder.PathOf(name))) continue;
#endif
        if (folder.RemoveUnlocked(name)) ++removed;
    }
    return removed;
}

Stage StageOf(PublishStep step) {
    switch (step) {
        case PublishStep::Create:
            return Stage::CreatingOutput;
        case PublishStep::Flush:
            return Stage::FinishingOutput;
        case PublishStep::Sync:
            return Stage::SyncingOutput;
        case PublishStep::Close:
            return Stage::ClosingOutput;
        case PublishStep::Rename:
            return Stage::RenamingOutput;
        case PublishStep::SyncFolder:
            return Stage::SyncingFolder;
    }
    return Stage::None;
}

std::unique_ptr<PublishingFile> PublishingFile::Create(const OutputTarget& target,
                                                       std::string* reason,
                                                       PublishStepRunner runStep) {
    // The record's hook hands each step of publishing to the runner.
    StepHook hook;
    if (runStep) {
        hook = [runStep = std::move(runStep)](Stage stage, const std::function<bool()>& perform) {
            for (const PublishStep step :
                 {PublishStep::Create, PublishStep::Flush, PublishStep::Sync, PublishStep::Close,
                  PublishStep::Rename, PublishStep::SyncFolder}) {
                if (StageOf(step) == stage) return runStep(step, perform);
            }
            return perform();
        };
    }
    auto record = std::make_unique<RunRecord>(std::move(hook));
    std::unique_ptr<PublishingFile> output = CreateFor(target, record.get(), reason);
    if (output) output->ownRecord_ = std::move(record);
    return output;
}

std::unique_ptr<PublishingFile> PublishingFile::Create(const OutputTarget& target,
                                                       RunRecord* record) {
    std::string reason;
    return CreateFor(target, record, &reason);
}

std::unique_ptr<PublishingFile> PublishingFile::CreateFor(const OutputTarget& target,
                                                          RunRecord* record, std::string* reason) {
    if (!target.Publishable() || !target.heldFolder) {
        *reason = target.refusal;
        record->Fail(Step::Of(Stage::CreatingOutput), Cause::Refusal, 0, target.refusal.c_str());
        return nullptr;
    }
    RemoveStaleTemporaries(target);
    std::unique_ptr<PublishingFile> output(new PublishingFile(target, record));
    std::string why;
    if (!output->RunStep(PublishStep::Create, [&] { return output->CreateTemporary(&why); })) {
        *reason = why.empty() ? "cannot create a file in " + target.folder + ": refused" : why;
        output->Fail(Stage::CreatingOutput, Cause::None, 0, target.folder.c_str());
        return nullptr;  // a temporary made all the same goes with `output`
    }
    // From here on the file's own failures are the run's.
    output->file_.RecordFailuresIn(record);
    return output;
}

void PublishingFile::Fail(Stage stage, Cause cause, int code, const char* text) const {
    record_->Fail(Step::Of(stage), cause, code, text);
}

bool PublishingFile::CreateTemporary(std::string* why) {
    const HeldFolder& folder = *target_.heldFolder;
    const std::string host = HostTag();
    for (unsigned attempt = 0; attempt < 16; ++attempt) {
        const std::string name = TemporaryName(target_, host, CurrentProcessId(), RandomPart());
        std::string error;
        bool exists = false;
        if (!file_.CreateNewIn(folder, name, &error, &exists)) {
            if (exists) continue;
            *why = "cannot create a file in " + target_.folder + ": " + error;
            Fail(Stage::CreatingOutput, Cause::System, file_.Error(), target_.folder.c_str());
            return false;
        }
        // Another run's sweep that opened the file before it was locked
        // holds the lock, or has removed the name: another name then.
        bool ours = file_.Lock();
#if !defined(_WIN32)
        ours = ours && StillNamed(folder, name, int(file_.handle()));
#endif
        if (!ours) {
            file_.Close(nullptr);
            file_.ReleaseLock();
            continue;
        }
        Register(folder, name);
        temporaryName_ = name;
        temporaryPath_ = folder.PathOf(name);
#if !defined(_WIN32)
        // While it is written, no one may read it who could not read the
        // earlier file.
        struct stat own {};
        if (target_.kind == OutputKind::RegularFile && ::fstat(int(file_.handle()), &own) == 0) {
            ::fchmod(int(file_.handle()), own.st_mode & target_.earlier.mode & 0777);
        }
#endif
        return true;
    }
    *why = "cannot find a free temporary name in " + target_.folder;
    Fail(Stage::CreatingOutput, Cause::Refusal, 0, why->c_str());
    return false;
}

PublishingFile::~PublishingFile() {
    if (published_ || temporaryName_.empty()) return;
    file_.Close(nullptr);
    // Removed while still locked, so no sweep can take its name meanwhile.
    target_.heldFolder->Remove(temporaryName_);
    if (IsRegistered(temporaryName_)) gState.store(kNothing);
}

bool PublishingFile::Publish(std::string* reason) {
    std::string why;
#if !defined(_WIN32)
    // Only to the earlier file's own successor: not when something else has
    // taken its name, nor in a folder other than the record's.
    bool present = false;
    bool earlier = false;
    if (target_.kind == OutputKind::RegularFile &&
        RecheckOutputTarget(target_, &present, &earlier).empty() && earlier) {
        KeepEarlierSettings(int(file_.handle()), target_.earlier);
    }
#endif
    // A step a test's runner fails has no reason of the system's own.
    const auto because = [&why] { return why.empty() ? std::string("refused") : why; };
    if (!RunStep(PublishStep::Sync, [&] { return file_.Sync(&why); })) {
        *reason = "the output could not be put on disk: " + because();
        Fail(Stage::SyncingOutput);
        return false;
    }
    if (!RunStep(PublishStep::Close, [&] { return file_.Close(&why); })) {
        *reason = "the output could not be closed: " + because();
        Fail(Stage::ClosingOutput);
        return false;
    }
    bool renamed = false;
    const bool done =
        RunStep(PublishStep::Rename, [&] { return RenameOverTarget(&why, &renamed); });
    if (renamed) {
        published_ = true;
        file_.ReleaseLock();
    }
    if (!done) {
        *reason = renamed ? target_.target + " was replaced, but " + because()
                          : "the finished output could not be renamed to " + target_.target + ": " +
                                because();
        Fail(Stage::RenamingOutput);
        return false;
    }
    // The file is whole and in place: what follows only warns.
    std::string folderWhy;
    if (!RunStep(PublishStep::SyncFolder, [&] { return target_.heldFolder->Sync(&folderWhy); })) {
        warning_ = target_.target + " was written, but its folder " + target_.folder +
                   " could not be synced to disk: " +
                   (folderWhy.empty() ? std::string("refused") : folderWhy);
    }
    return true;
}

bool PublishingFile::RenameOverTarget(std::string* why, bool* renamed) {
    const HeldFolder& folder = *target_.heldFolder;
    Move(temporaryName_, kWriting, kRenaming);
    // What is at the name is looked at again: a name that is free is taken
    // only while it stays free, and what appeared there meanwhile is
    // replaced only if it could have been at the start.
    int code = 0;
    for (int look = 0; look < 3; ++look) {
        bool present = false;
        bool earlier = false;
        const std::string refusal = RecheckOutputTarget(target_, &present, &earlier);
        if (!refusal.empty()) {
            *why = "what is there now cannot be replaced: " + refusal;
            Fail(Stage::RenamingOutput, Cause::Refusal, 0, why->c_str());
            break;
        }
        bool existed = false;
        if (folder.Rename(temporaryName_, target_.name, present, why, &existed, &code)) {
            *renamed = true;
            Move(temporaryName_, kRenaming, kPublished);
            return true;
        }
        if (!existed) break;
    }
    if (code != 0) Fail(Stage::RenamingOutput, Cause::System, code);
    Move(temporaryName_, kRenaming, kWriting);
    return false;
}

bool PublishingFile::RunStep(PublishStep step, const std::function<bool()>& perform) const {
    return record_->Run(StageOf(step), perform);
}

bool RemoveTemporaryOnInterrupt() {
    const int state = gState.load();
    if (state == kPublished) return true;
    if (state == kNothing) return false;
    const int saved = errno;
#if defined(_WIN32)
    const bool removed = _wunlink(gRegisteredWide) == 0;
#else
    const bool removed = ::unlinkat(gRegisteredFolder, gRegisteredName, 0) == 0;
#endif
    // A rename under way took the name if the temporary is gone from it.
    const bool published = state == kRenaming && !removed && errno == ENOENT;
    errno = saved;
    return published;
}

}  // namespace nvx
