/* fault_shim: an LD_PRELOAD library that slows down or fails the file-system calls a Maildir
 * program commits its work with, so that tests can kill it between two steps or make a step fail.
 *
 * Loaded with LD_PRELOAD=/path/to/libtarnwick_fault_shim.so and driven by the environment, read
 * once when the library is loaded:
 *
 *   TARNWICK_SHIM_DELAY_US=N    sleep N microseconds before each rename, renameat, renameat2,
 *                               link and linkat (whether or not it is made to fail).
 *   TARNWICK_SHIM_FAIL=LIST     make these calls fail instead of doing anything; a comma-separated
 *                               list of
 *                                 rename  rename, renameat, renameat2
 *                                 link    link, linkat
 *                                 fsync   fsync, fdatasync
 *                                 read    read (a file that cannot be read, as root too;
 *                                         stdio's own reads are not seen)
 *   TARNWICK_SHIM_ERRNO=E       the errno of a failed call, as a number (default 28, ENOSPC).
 *   TARNWICK_SHIM_PATH=TEXT     fail only calls on a path containing TEXT: for rename and link
 *                               either path as given, for fsync and read the file's path as the
 *                               kernel names it (/proc/self/fd). Calls on other paths go through.
 *   TARNWICK_SHIM_SKIP=N        let the first N calls that would fail go through (counted over
 *                               all the listed calls of the process), failing from the next one.
 *
 * Nothing set: every call goes straight through. A failed call does nothing at all, so the file
 * system is left as it was. Used on Linux with glibc; under AddressSanitizer the program also
 * needs ASAN_OPTIONS=verify_asan_link_order=0, since this library comes before its runtime. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { fail_rename = 1, fail_link = 2, fail_fsync = 4, fail_read = 8 };

static long delay_us;
static int fail_mask;
static int fail_errno = 28;
static const char* fail_path;
static atomic_long skip_left;

static int contains(const char* list, const char* word) {
    size_t length = strlen(word);
    for (const char* at = list; (at = strstr(at, word)) != NULL; at += length) {
        int starts = at == list || at[-1] == ',';
        int ends = at[length] == '\0' || at[length] == ',';
        if (starts && ends) return 1;
    }
    return 0;
}

__attribute__((constructor)) static void read_settings(void) {
    const char* text = getenv("TARNWICK_SHIM_DELAY_US");
    if (text) delay_us = strtol(text, NULL, 10);
    text = getenv("TARNWICK_SHIM_FAIL");
    if (text) {
        if (contains(text, "rename")) fail_mask |= fail_rename;
        if (contains(text, "link")) fail_mask |= fail_link;
        if (contains(text, "fsync")) fail_mask |= fail_fsync;
        if (contains(text, "read")) fail_mask |= fail_read;
    }
    text = getenv("TARNWICK_SHIM_ERRNO");
    if (text && strtol(text, NULL, 10) > 0) fail_errno = (int)strtol(text, NULL, 10);
    text = getenv("TARNWICK_SHIM_PATH");
    if (text && *text) fail_path = text;
    text = getenv("TARNWICK_SHIM_SKIP");
    if (text) atomic_store(&skip_left, strtol(text, NULL, 10));
}

static void pause_before(void) {
    if (delay_us <= 0) return;
    struct timespec wait = {delay_us / 1000000, (delay_us % 1000000) * 1000};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

static int path_matches(const char* path) {
    return fail_path == NULL || (path != NULL && strstr(path, fail_path) != NULL);
}

/* True when this call is to fail: errno is then set. */
static int should_fail(int kind, const char* first, const char* second) {
    if (!(fail_mask & kind)) return 0;
    if (!path_matches(first) && !path_matches(second)) return 0;
    if (atomic_fetch_sub(&skip_left, 1) > 0) return 0;
    errno = fail_errno;
    return 1;
}

static int fd_fails(int kind, int fd) {
    if (!(fail_mask & kind)) return 0;
    char link[64];
    char path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    path[n > 0 ? n : 0] = '\0';
    return should_fail(kind, path, NULL);
}

typedef int (*two_paths_fn)(const char*, const char*);
typedef int (*two_at_fn)(int, const char*, int, const char*);
typedef int (*renameat2_fn)(int, const char*, int, const char*, unsigned int);
typedef int (*linkat_fn)(int, const char*, int, const char*, int);
typedef int (*fd_fn)(int);
typedef ssize_t (*read_fn)(int, void*, size_t);

/* The next definition of `name`, ours being the first. ISO C has no cast from an object pointer
 * to a function pointer, so the address is copied into `function`. */
static void resolve(void* function, size_t size, const char* name) {
    void* found = dlsym(RTLD_NEXT, name);
    memcpy(function, &found, size);
}
#define REAL(type, name) \
    static type real;    \
    if (!real) resolve(&real, sizeof real, name)

int rename(const char* from, const char* to) {
    REAL(two_paths_fn, "rename");
    pause_before();
    if (should_fail(fail_rename, from, to)) return -1;
    return real(from, to);
}

int renameat(int from_dir, const char* from, int to_dir, const char* to) {
    REAL(two_at_fn, "renameat");
    pause_before();
    if (should_fail(fail_rename, from, to)) return -1;
    return real(from_dir, from, to_dir, to);
}

int renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned int flags) {
    REAL(renameat2_fn, "renameat2");
    pause_before();
    if (should_fail(fail_rename, from, to)) return -1;
    return real(from_dir, from, to_dir, to, flags);
}

int link(const char* from, const char* to) {
    REAL(two_paths_fn, "link");
    pause_before();
    if (should_fail(fail_link, from, to)) return -1;
    return real(from, to);
}

int linkat(int from_dir, const char* from, int to_dir, const char* to, int flags) {
    REAL(linkat_fn, "linkat");
    pause_before();
    if (should_fail(fail_link, from, to)) return -1;
    return real(from_dir, from, to_dir, to, flags);
}

int fsync(int fd) {
    REAL(fd_fn, "fsync");
    if (fd_fails(fail_fsync, fd)) return -1;
    return real(fd);
}

int fdatasync(int fd) {
    REAL(fd_fn, "fdatasync");
    if (fd_fails(fail_fsync, fd)) return -1;
    return real(fd);
}

ssize_t read(int fd, void* buffer, size_t size) {
    REAL(read_fn, "read");
    if (fd_fails(fail_read, fd)) return -1;
    return real(fd, buffer, size);
}
