/*
 * folder_sync_signal.c - an LD_PRELOAD shim for the end-to-end tests: the
 * first fsync of a folder raises the signal named by NVX_SHIM_FOLDER_SYNC_SIGNAL
 * (a number) in the thread that syncs, before the sync itself. The output's
 * folder is synced right after the rename that publishes it, so this is a
 * signal that lands once the new file is in place.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

int fsync(int fd) {
    static int (*real)(int) = 0;
    static int raised = 0;
    if (real == 0) real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    const char* signal = getenv("NVX_SHIM_FOLDER_SYNC_SIGNAL");
    struct stat status;
    if (!raised && signal != 0 && fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
        raised = 1;
        raise(atoi(signal));
    }
    return real(fd);
}
