/*
 * publishing_temporary.h - the temporary an output is built under before
 * it takes its name, whether the output is one file (publishing_file.h)
 * or a folder of files (publishing_folder.h): what both share.
 *
 * Its name is hidden and tells whose it is:
 * .<output's name>.<host tag>.<process id>.<random>.part, the output's
 * name shortened where the whole would pass the file system's limit. It is
 * made in the folder the output's record holds open, as a new name (never
 * through a link), and locked at once: an exclusive flock on the file, or
 * on the folder's own descriptor, held from its creation to the rename. A
 * temporary another run's sweep took between its creation and its lock is
 * given up for a new name.
 *
 * A run that was killed (SIGKILL, out of memory, power cut) leaves its
 * temporary; the next run into the same folder for the same output removes
 * those of this host, files and folders alike, whose lock it can take at
 * once, which no live run holds, whatever its process id, PID namespace or
 * clock. Runs on other hosts sharing the folder are never touched. A
 * folder is emptied of its regular files and removed; anything else in it
 * keeps it. On Windows the open handle is the lock: a temporary is removed
 * only when no process has it open and the process id in its name is not
 * its writer's any more: no process has that id, or the one that has it
 * has ended or started after it was last written. Where that cannot be
 * told (a process we may not look at), it stays.
 *
 * While it exists the temporary is registered, so that a signal handler can
 * remove it, a folder with the files in it (RemoveTemporaryOnInterrupt).
 */
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/native_file.h"

namespace nvx {

// This host's tag in temporary names: 8 hex digits of its name.
std::string HostTag();

// The temporary name for the output `name` (in a folder whose names take
// at most `nameLimit` bytes), made by process `process` on the host of tag
// `host`, with the random part `random`.
std::string TemporaryName(const std::string& name, std::size_t nameLimit, const std::string& host,
                          unsigned long process, std::uint32_t random);

// A hidden name beside `name` for this process, as temporary names are
// made: the name, cut at a character's first byte to fit `nameLimit`
// bytes, then ".<host tag>.<process id>.<random>" and `ending` (at most 5
// bytes, such as ".part").
std::string FreshHiddenName(const std::string& name, std::size_t nameLimit, const char* ending);

// Removes the temporaries, files and folders, for the output `name` in
// `folder` of runs on this host that no live run holds locked; gives their
// number.
int RemoveStaleTemporaries(const HeldFolder& folder, const std::string& name,
                           std::size_t nameLimit);

// What a temporary being made is.
enum class TemporaryKind { File, Folder };

// How one kind of temporary is made, for MakeTemporary: `create` makes the
// new name (false, with `exists` set when the name was taken, or the
// system's reason in `why` and its code in `code`), `lock` takes its lock
// (false when someone else holds it), `handle` is its open descriptor
// (POSIX) and `drop` lets go of it after a lost race.
struct TemporaryMaking {
    std::function<bool(const std::string& name, std::string* why, bool* exists, int* code)> create;
    std::function<bool()> lock;
    std::function<std::intptr_t()> handle;
    std::function<void()> drop;
};

// A temporary an interruption removes. Made by MakeTemporary, it stays
// registered for the signal handler until it is published or the object
// goes; the owner removes the temporary itself when it is not published.
class RegisteredTemporary {
public:
    RegisteredTemporary() = default;
    ~RegisteredTemporary() { Forget(); }
    RegisteredTemporary(const RegisteredTemporary&) = delete;
    RegisteredTemporary& operator=(const RegisteredTemporary&) = delete;

    const std::string& name() const { return name_; }
    bool Made() const { return !name_.empty(); }

    // The publishing rename is under way: once it is done, the handler
    // finds the temporary gone from its name (or, for a folder exchanged
    // with an earlier one, another folder there) and says the output was
    // published.
    void Renaming();
    // The rename is done; or it failed, and the temporary is written again.
    void Published();
    void NotRenamed();
    // Takes it out of the handler's reach, before the owner removes it.
    void Forget();

private:
    friend bool MakeTemporary(const HeldFolder&, const std::string&, std::size_t, TemporaryKind,
                              const TemporaryMaking&, RegisteredTemporary*, std::string*, int*);
    std::string name_;
    int slot_ = -1;
};

// Makes a fresh temporary of `kind` for the output `name` in `folder`,
// after sweeping the stale ones: created by `making`, locked, checked to be
// still at its name, and registered in `made`. False with the reason in
// `why` (and the system's code in `code`, 0 for our own refusal).
bool MakeTemporary(const HeldFolder& folder, const std::string& name, std::size_t nameLimit,
                   TemporaryKind kind, const TemporaryMaking& making, RegisteredTemporary* made,
                   std::string* why, int* code);

// Removes the registered temporaries, a folder with its files, and tells
// whether an output was published already: true once a publishing rename
// has put the new output at its name (nothing is removed then), even while
// that rename is under way in another thread; false when nothing was
// written. Async-signal-safe.
bool RemoveTemporaryOnInterrupt();

}  // namespace nvx
