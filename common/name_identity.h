/*
 * name_identity.h - whether two names lead to one file, and whether a
 * folder lies inside another, told by what the system says the files and
 * folders are (device and inode), never by how the paths are spelled:
 * "./o.svs" and "o.svs", or "linkdir/o.svs" and "dir/o.svs" with linkdir a
 * link to dir, are one file, whether it exists yet or not.
 *
 * One side is always an output's record (common/output_target.h), whose
 * folder is held open since it was looked at: a name that exists is the
 * same file when it is the record's earlier file; a name that does not is
 * the same when it is the record's final name in the record's folder.
 */
#pragma once

#include <string>

#include "common/output_target.h"

namespace nvx {

// Whether `path` leads to the file that the publishable record `target`
// names: its earlier file, or its free name in its folder.
bool NamesTargetFile(const OutputTarget& target, const std::string& path);

// Whether the publishable record's folder is the folder `path`, or lies
// anywhere below it.
bool TargetWithinFolder(const OutputTarget& target, const std::string& path);

}  // namespace nvx
