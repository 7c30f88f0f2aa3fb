/*
 * publishing_folder.h - the way this project's tools write an output that
 * is a folder of files (a slide's DICOM instances): built under a hidden
 * temporary folder beside the output path, every file forced to disk, then
 * renamed into place and the parent folder forced to disk after it, as
 * publishing_file.h does for one file. Readers see the earlier folder or
 * the whole new one, never a part.
 *
 * What is at the path is looked at once, before any work. Nothing there:
 * the new folder takes the name, and only while it is still free
 * (RENAME_NOREPLACE). An earlier folder of ours: replaced whole, by
 * exchanging the two in one rename (RENAME_EXCHANGE) and removing the
 * earlier one's files after. A folder is ours when it holds our marker
 * file (.nvx2svs-folder, written last, naming the folder's files) and
 * nothing but the regular files it names; anything else at the path (a
 * regular file, a link, a folder of someone else's or with files of
 * someone else's added to ours, a device) is refused and left as it is.
 * The same look is taken again at the rename: what appeared meanwhile is
 * replaced only if it could have been at the start.
 *
 * The parent folder is held open from the look to the rename (as
 * OutputTarget holds it), so the folder goes where the path was looked at.
 * The temporary folder is the temporary file's kind
 * (publishing_temporary.h): named .<name>.<host tag>.<process id>.<random>.part,
 * locked while it exists, removed with what it holds when the work is not
 * published or a signal ends the run, and swept by the next run when a
 * killed run left it (and with it the earlier folder an exchange left
 * under that name).
 *
 * The new folder keeps what the user set on the earlier one of ours, as
 * the file does, but only when the name still holds that earlier folder:
 * the folder's permission bits, owner, group, ACL and default ACL, and for
 * its files those of an earlier file (or, with none to look at, the
 * folder's permission bits less the x bits, its owner and group). While it
 * is built it is no more open than the earlier one was. A new folder gets
 * the umask's mode.
 *
 * Windows: the parent is held by a handle that does not share deletion,
 * files are forced to disk by FlushFileBuffers and renames are
 * write-through MoveFileExW calls. A link or junction at the path is
 * refused as a link is. Windows exchanges no two folders at once, so an
 * earlier folder of ours is moved aside under a hidden temporary name
 * (.<name>.<host tag>.<process id>.<random>.old), the new one is moved
 * into place and the earlier one removed; if the new one cannot be moved
 * in, the earlier one is moved back. A reader may so find no folder at the
 * path for that moment. An earlier folder with a file some process holds
 * open cannot be moved aside: the run fails and leaves it as it was.
 */
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/native_file.h"
#include "common/output_target.h"
#include "common/publishing_temporary.h"

namespace nvx {

// The name of the marker file in a folder of ours.
inline constexpr const char* kFolderMarker = ".nvx2svs-folder";

struct OutputFolder {
    std::string given;     // the path as given
    std::string parent;    // its folder
    std::string name;      // its last part
    bool earlier = false;  // an earlier folder of ours is there
    std::string refusal;   // why nothing can be published at the path
    std::shared_ptr<const HeldFolder> heldParent;
    // The longest name the parent's file system takes, in bytes.
    std::size_t nameLimit = 255;
    // What the earlier folder had that the new one keeps (POSIX, when it
    // could be read): the folder's settings, which also tell which folder
    // it is, its default ACL, and what its files had.
    bool keepsEarlier = false;
    EarlierFile earlierFolder;
    std::string earlierDefaultAcl;
    EarlierFile earlierFiles;

    bool Publishable() const { return refusal.empty() && heldParent != nullptr; }
};

// Looks at what is at `path` and holds its parent folder open.
OutputFolder ResolveOutputFolder(const std::string& path);

class PublishingFolder {
public:
    // Makes the temporary folder for `target`, which must be publishable;
    // null with `reason` set when it cannot be made.
    static std::unique_ptr<PublishingFolder> Create(const OutputFolder& target,
                                                    std::string* reason);
    // Removes the temporary folder and its files unless published.
    ~PublishingFolder();
    PublishingFolder(const PublishingFolder&) = delete;
    PublishingFolder& operator=(const PublishingFolder&) = delete;

    // Creates the new file `name` (a plain name: no separator, not "." or
    // "..", not the marker's) in the folder being built, for the caller to
    // write; the folder keeps it open until Publish. Null with `reason` set
    // when it cannot be made.
    WritableFile* CreateFile(const std::string& name, std::string* reason);

    const std::string& temporaryPath() const { return temporaryPath_; }

    // Forces every file to disk and closes it, writes the marker, and
    // renames the folder into place over nothing or over an earlier folder
    // of ours, whose files are then removed. False with `reason` set when
    // a step fails or what is at the path now may not be replaced: the
    // path is then as it was.
    bool Publish(std::string* reason);
    bool Replaced() const { return published_; }
    // After a Publish that succeeded: what could not be finished (the
    // earlier folder's removal, the parent's sync), for a warning.
    const std::string& Warning() const { return warning_; }

private:
    explicit PublishingFolder(const OutputFolder& target) : target_(target) {}
    bool RenameIntoPlace(std::string* why);
    // The rename's looks and tries, for RenameIntoPlace.
    bool RenameOnce(std::string* why);
    void RemoveTemporary();
    // Whether the path still holds the earlier folder whose settings the
    // new one keeps.
    bool EarlierStillThere() const;

    OutputFolder target_;
    RegisteredTemporary temporary_;  // in the held parent
    std::string temporaryPath_;
    unsigned madeMode_ = 0;     // POSIX: the mode the umask gave the folder made
    bool modeChanged_ = false;  // made open enough to build in, which Publish undoes
    // The temporary folder, held while it is built (Windows lets it go
    // before the rename, which a held folder does not take).
    std::optional<HeldFolder> folder_;
    std::vector<std::pair<std::string, std::unique_ptr<WritableFile>>> files_;
    bool published_ = false;
    std::string warning_;
};

}  // namespace nvx
