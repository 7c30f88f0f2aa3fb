/*
 * publishing_file.cpp - the temporary file's name, its creation, the
 * earlier file's settings, the publishing rename, the sweep of stale
 * temporaries, and the one registered file an interruption removes.
 *
 * The registered path lives in a fixed buffer behind an atomic flag, so a
 * signal handler can read it without taking a lock or allocating.
 */
#include "common/publishing_file.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

#if defined(_WIN32)
#include <io.h>
#else
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

namespace nvx {

namespace {

constexpr std::size_t kPathCapacity = 4096;
char gRegistered[kPathCapacity];
#if defined(_WIN32)
// The same name in its wide form, which the handler removes.
wchar_t gRegisteredWide[kPathCapacity];
#endif
std::atomic<bool> gHaveRegistered{false};

void Register(const std::string& path) {
    gHaveRegistered.store(false);
    if (path.size() >= kPathCapacity) return;
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

// What follows the output's name: ".<host 8>.<pid up to 10>.<random 8>.part".
constexpr std::size_t kHostDigits = 8;
constexpr std::size_t kProcessDigits = 10;
constexpr std::size_t kRandomDigits = 8;
constexpr const char* kEnding = ".part";
constexpr std::size_t kSuffixRoom = 1 + kHostDigits + 1 + kProcessDigits + 1 + kRandomDigits + 5;

// The output's part of a temporary name: its name, cut (at a character's
// first byte) where the whole name would pass the file system's limit.
// Runs with any process id give the same part, so a later run finds it.
std::string NamePart(const OutputTarget& target) {
    const std::size_t room =
        target.nameLimit > kSuffixRoom + 2 ? target.nameLimit - kSuffixRoom - 1 : 1;
    std::string part = target.name;
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

std::string PathIn(const std::string& folder, const std::string& name) {
    return NameFromNativePath(NativePath(folder) / NativePath(name));
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
    char suffix[kSuffixRoom + 1];
    std::snprintf(suffix, sizeof suffix, ".%s.%lu.%08x%s", host.c_str(), process,
                  static_cast<unsigned>(random), kEnding);
    return "." + NamePart(target) + suffix;
}

int RemoveStaleTemporaries(const OutputTarget& target) {
    const std::string prefix = "." + NamePart(target) + ".";
    const std::string host = HostTag();
    const unsigned long us = CurrentProcessId();
    int removed = 0;
    std::error_code error;
    std::filesystem::directory_iterator entries(NativePath(target.folder), error);
    for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
        const std::string name = NameFromNativePath(entries->path().filename());
        const unsigned long owner = OwnerOf(name, prefix, host);
        if (owner == 0 || owner == us) continue;
        const std::string path = PathIn(target.folder, name);
        std::error_code kindError;
        if (!std::filesystem::is_regular_file(entries->symlink_status(kindError)) || kindError)
            continue;
        if (!ProcessMayHaveWritten(owner, path) && RemoveFile(path)) ++removed;
    }
    return removed;
}

std::unique_ptr<PublishingFile> PublishingFile::Create(const OutputTarget& target,
                                                       std::string* reason,
                                                       PublishStepRunner runStep) {
    if (!target.Publishable()) {
        *reason = target.refusal;
        return nullptr;
    }
    RemoveStaleTemporaries(target);
    std::unique_ptr<PublishingFile> output(new PublishingFile(target));
    output->runStep_ = std::move(runStep);
    const std::string host = HostTag();
    for (unsigned attempt = 0; attempt < 16; ++attempt) {
        const std::string candidate =
            PathIn(target.folder, TemporaryName(target, host, CurrentProcessId(), RandomPart()));
        std::string why;
        bool exists = false;
        if (output->file_.CreateNew(candidate, &why, &exists)) {
            Register(candidate);
            output->temporaryPath_ = candidate;
#if !defined(_WIN32)
            // While it is written, no one may read it who could not read
            // the earlier file.
            struct stat own {};
            if (target.kind == OutputKind::RegularFile &&
                ::fstat(int(output->file_.handle()), &own) == 0) {
                ::fchmod(int(output->file_.handle()), own.st_mode & target.earlier.mode & 0777);
            }
#endif
            return output;
        }
        if (!exists) {
            *reason = "cannot create a file in " + target.folder + ": " + why;
            return nullptr;
        }
    }
    *reason = "cannot find a free temporary name in " + target.folder;
    return nullptr;
}

PublishingFile::~PublishingFile() {
    if (published_ || temporaryPath_.empty()) return;
    file_.Close(nullptr);
    RemoveFile(temporaryPath_);
    Forget(temporaryPath_);
}

bool PublishingFile::Publish(std::string* reason) {
    std::string why;
#if !defined(_WIN32)
    if (target_.kind == OutputKind::RegularFile) {
        KeepEarlierSettings(int(file_.handle()), target_.earlier);
    }
#endif
    // A step a test's runner fails has no reason of the system's own.
    const auto because = [&why] { return why.empty() ? std::string("refused") : why; };
    if (!RunStep(PublishStep::Sync, [&] { return file_.Sync(&why); })) {
        *reason = "the output could not be put on disk: " + because();
        return false;
    }
    if (!RunStep(PublishStep::Close, [&] { return file_.Close(&why); })) {
        *reason = "the output could not be closed: " + because();
        return false;
    }
    bool renamed = false;
    const bool durable = RunStep(PublishStep::Rename, [&] {
        return ReplaceByRename(temporaryPath_, target_.target, target_.folder, &why, &renamed);
    });
    why = because();
    if (renamed) {
        published_ = true;
        Forget(temporaryPath_);
    }
    if (!durable) {
        *reason =
            renamed ? target_.target + " was replaced, but " + why
                    : "the finished output could not be renamed to " + target_.target + ": " + why;
        return false;
    }
    return true;
}

bool PublishingFile::RunStep(PublishStep step, const std::function<bool()>& perform) const {
    return runStep_ ? runStep_(step, perform) : perform();
}

void RemoveTemporaryOnInterrupt() {
    if (!gHaveRegistered.load()) return;
#if defined(_WIN32)
    _wunlink(gRegisteredWide);
#else
    ::unlink(gRegistered);
#endif
}

}  // namespace nvx
