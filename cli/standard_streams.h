/*
 * standard_streams.h - standard input, output and error opened onto
 * /dev/null where the caller left them closed. A process started with
 * descriptor 1 closed would otherwise give that number to the first file
 * it opens, the output among them, and every console line would land in
 * it. Windows gives its files handles, never these numbers: nothing to do.
 */
#pragma once

namespace nvx::cli {

// Call first thing in main, before anything is opened or printed.
void OpenClosedStandardStreams();

}  // namespace nvx::cli
