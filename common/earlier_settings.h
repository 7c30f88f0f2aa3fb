/*
 * earlier_settings.h - what an earlier output had that the one replacing
 * it keeps: its permission bits, its owner and group where this process
 * may set them (root may give a file to anyone, others only to a group
 * they are in), its POSIX ACL, and for a folder its default ACL. Read and
 * set through open descriptors, never by a path that may lead elsewhere
 * meanwhile. Windows keeps none of these: a new output there takes its
 * folder's inherited permissions.
 */
#pragma once

#include <cstdint>
#include <string>

#include "common/output_target.h"

namespace nvx {

// The settings of the open file or folder `handle` (POSIX: a descriptor),
// with its device and inode; false when they cannot be read. `defaultAcl`,
// when given, takes a folder's default ACL (empty when none).
bool ReadEarlierSettings(std::intptr_t handle, EarlierFile* earlier,
                         std::string* defaultAcl = nullptr);

// Gives the open file or folder `handle` the earlier one's settings, and
// `defaultAcl` (a folder's) when not empty. Failures leave its own.
void KeepEarlierSettings(std::intptr_t handle, const EarlierFile& earlier,
                         const std::string& defaultAcl = {});

}  // namespace nvx
