/*
 * output_target.h - what an output path is, decided once, before any work:
 * what is there (nothing, a regular file, a link to one, or something that
 * must never be replaced), the name that is replaced and its folder, what
 * the earlier file had that the new one keeps, and whether a new file can
 * be put there by a rename at all. The file is then written and published
 * (common/publishing_file.h) from this record as it is.
 *
 * The folder is opened once, while it is looked at, and the record holds
 * it open: the temporary file is made in that folder, renamed there and
 * the folder synced, whatever is put under its path meanwhile.
 *
 * Only a regular file is ever replaced. A symbolic link keeps its place:
 * the file it leads to is replaced. A folder, a device, a FIFO, a socket, a
 * link to any of them, a link to nothing, a loop of links, a file mounted
 * at the name (a bind mount), an empty path and a file we may not write are
 * refused, as is a folder where the rename cannot succeed (not writable by
 * us, or sticky with the file another user's).
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/native_file.h"

namespace nvx {

enum class OutputKind {
    Absent,       // nothing there yet: the file is new
    RegularFile,  // a regular file (maybe through links) that the new file replaces
    Refused,      // anything else; `refusal` says what
};

// What the earlier file had that the new file keeps.
struct EarlierFile {
    unsigned mode = 0;  // permission bits, with set-id and sticky bits
    std::uint32_t owner = 0;
    std::uint32_t group = 0;
    std::string acl;          // its POSIX ACL (extended attribute), empty when none
    std::uint64_t links = 1;  // the names it has; the others keep the old content
    // Which file it is (device and inode; 0 where the system has none), so
    // that only that file's settings go to the new one.
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
};

struct OutputTarget {
    std::string given;   // the path as given
    std::string target;  // the name replaced: the given path, or where its links lead
    std::string folder;  // the target's folder, where the temporary file is made
    std::string name;    // the target's last part
    OutputKind kind = OutputKind::Refused;
    std::string refusal;  // why nothing can be published at the path (Refused)
    // The longest name the folder's file system takes, in bytes.
    std::size_t nameLimit = 255;
    EarlierFile earlier;  // RegularFile only
    // The folder, open since it was looked at (Publishable only); shared by
    // the copies of the record.
    std::shared_ptr<const HeldFolder> heldFolder;
    std::uint64_t folderDevice = 0;  // which folder that is (0 on Windows)
    std::uint64_t folderInode = 0;

    bool Publishable() const { return kind != OutputKind::Refused; }
};

OutputTarget ResolveOutputTarget(const std::string& path);

// What is at the target's name in its held folder now, looked at as at
// the start: empty when the name is free or holds a regular file that may
// be replaced, else why it may not (as in `refusal`). `present` tells
// whether anything is there, `earlier` whether it is the earlier file the
// record names (the same device and inode, in the same folder).
std::string RecheckOutputTarget(const OutputTarget& target, bool* present, bool* earlier);

}  // namespace nvx
