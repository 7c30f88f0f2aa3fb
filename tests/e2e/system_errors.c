/*
 * system_errors.c - an LD_PRELOAD shim for the end-to-end tests: the
 * system refuses the converter's work with an error code of the test's
 * choosing, as a quota, a failing disk or a process limit would.
 *
 *   NVX_SHIM_WRITE_ERRNO=N, NVX_SHIM_WRITE_AFTER=BYTES
 *       write and pwrite to a hidden temporary (a name ending in ".part")
 *       fail with errno N once they would take it past BYTES.
 *   NVX_SHIM_FSYNC_ERRNO=N
 *       fsync of such a temporary fails with errno N.
 *   NVX_SHIM_THREAD_ERRNO=N
 *       pthread_create fails with N.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

static int Setting(const char* name) {
    const char* value = getenv(name);
    return value != 0 ? atoi(value) : 0;
}

/* Whether `fd` is a regular file whose name ends in ".part". */
static int IsTemporary(int fd) {
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return 0;
    char link[64];
    char name[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, name, sizeof name - 1);
    if (length < 5) return 0;
    name[length] = '\0';
    return strcmp(name + length - 5, ".part") == 0;
}

/* Whether a write of `count` bytes at `offset` to `fd` is refused. */
static int Refused(int fd, off_t offset, size_t count) {
    const int error = Setting("NVX_SHIM_WRITE_ERRNO");
    if (error == 0 || !IsTemporary(fd)) return 0;
    const char* after = getenv("NVX_SHIM_WRITE_AFTER");
    const long long limit = after != 0 ? atoll(after) : 0;
    if ((long long)offset + (long long)count <= limit) return 0;
    errno = error;
    return 1;
}

ssize_t write(int fd, const void* data, size_t count) {
    static ssize_t (*real)(int, const void*, size_t) = 0;
    if (real == 0) real = (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
    if (count > 0 && Refused(fd, lseek(fd, 0, SEEK_CUR), count)) return -1;
    return real(fd, data, count);
}

ssize_t pwrite(int fd, const void* data, size_t count, off_t offset) {
    static ssize_t (*real)(int, const void*, size_t, off_t) = 0;
    if (real == 0) real = (ssize_t(*)(int, const void*, size_t, off_t))dlsym(RTLD_NEXT, "pwrite");
    if (count > 0 && Refused(fd, offset, count)) return -1;
    return real(fd, data, count, offset);
}

ssize_t pwrite64(int fd, const void* data, size_t count, off_t offset) {
    return pwrite(fd, data, count, offset);
}

int fsync(int fd) {
    static int (*real)(int) = 0;
    if (real == 0) real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    const int error = Setting("NVX_SHIM_FSYNC_ERRNO");
    if (error != 0 && IsTemporary(fd)) {
        errno = error;
        return -1;
    }
    return real(fd);
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                   void* argument) {
    static int (*real)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) = 0;
    if (real == 0) {
        real = (int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*))dlsym(
            RTLD_NEXT, "pthread_create");
    }
    const int error = Setting("NVX_SHIM_THREAD_ERRNO");
    if (error != 0) return error;
    return real(thread, attributes, start, argument);
}
