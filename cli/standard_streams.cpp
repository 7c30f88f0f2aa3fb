/*
 * standard_streams.cpp - /dev/null onto closed descriptors 0, 1 and 2.
 */
#include "cli/standard_streams.h"

#if !defined(_WIN32)
#include <cerrno>

#include <fcntl.h>
#include <unistd.h>
#endif

namespace nvx::cli {

void OpenClosedStandardStreams() {
#if !defined(_WIN32)
    for (int stream = 0; stream <= 2; ++stream) {
        if (fcntl(stream, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number: this one, since those below are open.
        const int fd = open("/dev/null", stream == 0 ? O_RDONLY : O_WRONLY);
        if (fd >= 0 && fd != stream) {
            dup2(fd, stream);
            close(fd);
        }
    }
#endif
}

}  // namespace nvx::cli
