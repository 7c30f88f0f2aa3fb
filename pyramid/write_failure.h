/*
 * write_failure.h - why a write to the output may have failed, in plain
 * words, when the cause is one that can be seen from outside.
 */
#pragma once

#include <string>

namespace nvx::pyramid {

// A full disk or the process's file size limit, for the file at `path`;
// empty when neither applies.
std::string ExplainWriteFailure(const std::string& path);

}  // namespace nvx::pyramid
