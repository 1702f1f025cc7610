/* A fault injector for the command tests, loaded into the command with
 * LD_PRELOAD: it makes the system calls the command makes on one file fail the
 * way a failing disk or a stubborn file system would, so that the command's
 * own code runs unchanged.
 *
 * VRTL_FAULT_PATH names the file, spelt exactly as the command spells it.
 * VRTL_FAULT says what goes wrong:
 *   read_error_after=N   reads of the file fail with EIO once N bytes were read
 *   write_error_after=N  writes to the file fail with EIO once N bytes were written
 *   fsync_error          fsync of the file fails with EIO
 *   close_error          close of the file reports EIO (the descriptor is gone all the same)
 *   unlink_error         unlink of the path fails with EIO and removes nothing
 *   unlink_removes_but_fails  unlink removes the path, then reports EIO
 *   unlink_does_nothing  unlink reports success and removes nothing
 *   unlink_needs_lock    unlink fails with EPERM unless the file is locked
 *                        at that moment, as the command must hold it
 *   vanish_before_lock   the path is removed just before the file is locked,
 *                        as a run that finished meanwhile would have done
 *   replace_before_lock  the path is replaced by a new file just before the
 *                        file is locked
 *   interrupted          every call that a signal may interrupt, on any file,
 *                        fails with EINTR the first time it is made
 *   short_transfers      every read and write, on any file, moves at most 3 bytes
 *
 * Written in C and built without sanitizers, so that it can be preloaded into
 * any build of the command. */
#undef _FILE_OFFSET_BITS /* the open64 family is defined here by its own name */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/types.h>
#include <unistd.h>

enum fault {
    no_fault,
    read_error_after,
    write_error_after,
    fsync_error,
    close_error,
    unlink_error,
    unlink_removes_but_fails,
    unlink_does_nothing,
    unlink_needs_lock,
    vanish_before_lock,
    replace_before_lock,
    interrupted,
    short_transfers,
};

static const struct {
    const char *name;
    enum fault fault;
} fault_names[] = {
    {"read_error_after=", read_error_after},
    {"write_error_after=", write_error_after},
    {"fsync_error", fsync_error},
    {"close_error", close_error},
    {"unlink_error", unlink_error},
    {"unlink_removes_but_fails", unlink_removes_but_fails},
    {"unlink_does_nothing", unlink_does_nothing},
    {"unlink_needs_lock", unlink_needs_lock},
    {"vanish_before_lock", vanish_before_lock},
    {"replace_before_lock", replace_before_lock},
    {"interrupted", interrupted},
    {"short_transfers", short_transfers},
};

enum { tracked_limit = 1024 };
enum { transfer_limit = 3 };

static struct {
    int ready;
    enum fault fault;
    long long allowed_bytes; /* for the *_after faults */
    const char *path;
    unsigned char tracked[tracked_limit]; /* descriptors open on the path */
    long long bytes_read;
    long long bytes_written;
} shim;

static void set_up(void) {
    if (shim.ready) return;
    shim.ready = 1;
    shim.path = getenv("VRTL_FAULT_PATH");
    const char *fault = getenv("VRTL_FAULT");
    if (!fault) return;
    for (size_t i = 0; i < sizeof fault_names / sizeof fault_names[0]; ++i) {
        const size_t length = strlen(fault_names[i].name);
        if (strncmp(fault, fault_names[i].name, length) != 0) continue;
        shim.fault = fault_names[i].fault;
        if (fault_names[i].name[length - 1] == '=') shim.allowed_bytes = atoll(fault + length);
        return;
    }
    fprintf(stderr, "fault shim: unknown VRTL_FAULT %s\n", fault);
    abort();
}

static void *next_definition(const char *name) {
    void *found = dlsym(RTLD_NEXT, name);
    if (!found) abort();
    return found;
}

static int names_the_path(const char *path) { return shim.path && path && strcmp(path, shim.path) == 0; }
static int is_tracked(int fd) { return fd >= 0 && fd < tracked_limit && shim.tracked[fd]; }

static void track(int fd, const char *path) {
    if (fd >= 0 && fd < tracked_limit) shim.tracked[fd] = (unsigned char)names_the_path(path);
}

/* In the interrupted mode each call site fails every other time: first with
 * EINTR, then, when the caller tries again, for real. */
static int interrupt_now(int *toggle) {
    set_up();
    if (shim.fault != interrupted) return 0;
    *toggle = !*toggle;
    if (*toggle) errno = EINTR;
    return *toggle;
}

static size_t limited(size_t count) {
    return shim.fault == short_transfers && count > transfer_limit ? transfer_limit : count;
}

static int fails_with(int error) {
    errno = error;
    return -1;
}

static mode_t mode_of(int flags, va_list arguments) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(arguments, mode_t) : 0;
}

#define DEFINE_OPEN(name)                                                              \
    int name(const char *path, int flags, ...) {                                      \
        static int toggle;                                                             \
        va_list arguments;                                                             \
        va_start(arguments, flags);                                                    \
        const mode_t mode = mode_of(flags, arguments);                                 \
        va_end(arguments);                                                             \
        if (interrupt_now(&toggle)) return -1;                                         \
        int (*real)(const char *, int, ...) = next_definition(#name);                  \
        const int fd = real(path, flags, mode);                                        \
        track(fd, path);                                                               \
        return fd;                                                                     \
    }
DEFINE_OPEN(open)
DEFINE_OPEN(open64)

#define DEFINE_OPENAT(name)                                                            \
    int name(int directory, const char *path, int flags, ...) {                       \
        static int toggle;                                                             \
        va_list arguments;                                                             \
        va_start(arguments, flags);                                                    \
        const mode_t mode = mode_of(flags, arguments);                                 \
        va_end(arguments);                                                             \
        if (interrupt_now(&toggle)) return -1;                                         \
        int (*real)(int, const char *, int, ...) = next_definition(#name);             \
        const int fd = real(directory, path, flags, mode);                             \
        track(fd, path);                                                               \
        return fd;                                                                     \
    }
DEFINE_OPENAT(openat)
DEFINE_OPENAT(openat64)

ssize_t read(int fd, void *buffer, size_t count) {
    static int toggle;
    if (interrupt_now(&toggle)) return -1;
    ssize_t (*real)(int, void *, size_t) = next_definition("read");
    count = limited(count);
    if (is_tracked(fd) && shim.fault == read_error_after) {
        const long long left = shim.allowed_bytes - shim.bytes_read;
        if (left <= 0) return fails_with(EIO);
        if ((long long)count > left) count = (size_t)left;
    }
    const ssize_t done = real(fd, buffer, count);
    if (done > 0 && is_tracked(fd)) shim.bytes_read += done;
    return done;
}

ssize_t write(int fd, const void *bytes, size_t count) {
    static int toggle;
    if (interrupt_now(&toggle)) return -1;
    ssize_t (*real)(int, const void *, size_t) = next_definition("write");
    count = limited(count);
    if (is_tracked(fd) && shim.fault == write_error_after) {
        const long long left = shim.allowed_bytes - shim.bytes_written;
        if (left <= 0) return fails_with(EIO);
        if ((long long)count > left) count = (size_t)left;
    }
    const ssize_t done = real(fd, bytes, count);
    if (done > 0 && is_tracked(fd)) shim.bytes_written += done;
    return done;
}

int fsync(int fd) {
    static int toggle;
    if (interrupt_now(&toggle)) return -1;
    if (is_tracked(fd) && shim.fault == fsync_error) return fails_with(EIO);
    int (*real)(int) = next_definition("fsync");
    return real(fd);
}

int ftruncate(int fd, off_t length) {
    static int toggle;
    if (interrupt_now(&toggle)) return -1;
    int (*real)(int, off_t) = next_definition("ftruncate");
    return real(fd, length);
}

int ftruncate64(int fd, off64_t length) {
    static int toggle;
    if (interrupt_now(&toggle)) return -1;
    int (*real)(int, off64_t) = next_definition("ftruncate64");
    return real(fd, length);
}

/* Never interrupted: on Linux a close that reports EINTR has released the
 * descriptor all the same, and must not be repeated. */
int close(int fd) {
    set_up();
    const int was_tracked = is_tracked(fd);
    if (fd >= 0 && fd < tracked_limit) shim.tracked[fd] = 0;
    int (*real)(int) = next_definition("close");
    const int result = real(fd);
    if (result == 0 && was_tracked && shim.fault == close_error) return fails_with(EIO);
    return result;
}

static void replace_path(void) {
    unlink(shim.path);
    int (*real_open)(const char *, int, ...) = next_definition("open");
    const int fd = real_open(shim.path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd == -1) abort();
    static const char content[] = "REPLACED01by another run\r\n";
    ssize_t (*real_write)(int, const void *, size_t) = next_definition("write");
    if (real_write(fd, content, sizeof content - 1) != (ssize_t)(sizeof content - 1)) abort();
    close(fd);
}

int flock(int fd, int operation) {
    static int toggle;
    if (interrupt_now(&toggle)) return -1;
    if (is_tracked(fd) && shim.fault == vanish_before_lock) unlink(shim.path);
    if (is_tracked(fd) && shim.fault == replace_before_lock) replace_path();
    int (*real)(int, int) = next_definition("flock");
    return real(fd, operation);
}

/* Whether some open file holds a lock on path: one more open of it cannot
 * take the lock. */
static int is_locked(const char *path) {
    int (*real_open)(const char *, int, ...) = next_definition("open");
    int (*real_flock)(int, int) = next_definition("flock");
    const int fd = real_open(path, O_RDONLY | O_CLOEXEC);
    if (fd == -1) return 0;
    const int locked = real_flock(fd, LOCK_EX | LOCK_NB) == -1 && errno == EWOULDBLOCK;
    close(fd);
    return locked;
}

int unlink(const char *path) {
    set_up();
    int (*real)(const char *) = next_definition("unlink");
    if (!names_the_path(path)) return real(path);
    switch (shim.fault) {
    case unlink_error: return fails_with(EIO);
    case unlink_does_nothing: return 0;
    case unlink_needs_lock: return is_locked(path) ? real(path) : fails_with(EPERM);
    case unlink_removes_but_fails: return real(path) == 0 ? fails_with(EIO) : -1;
    default: return real(path);
    }
}
