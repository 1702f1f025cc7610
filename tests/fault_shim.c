/* A fault injector for the command tests, loaded into the command with
 * LD_PRELOAD: it makes the system calls the command makes on one file fail the
 * way a failing disk or a stubborn file system would, so that the command's
 * own code runs unchanged.
 *
 * VRTL_FAULT_PATH names the file, by its path from the command's working
 * directory; the command may reach it through its directory's descriptor.
 * VRTL_FAULT says what goes wrong, and may name a crash of crash_shim.h
 * after a comma, so that a run that fails can also crash while it puts back:
 *   read_error_after=N   reads of the file fail with EIO at its Nth byte, as a
 *                        disk does at a bad sector, whichever descriptor reads
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
 *   rename_error         rename of the path fails with EIO and moves nothing
 *   append_before_rename a line is appended to the file just before it is
 *                        renamed, as a producer still writing would
 *   replace_before_rename  the path is replaced by another file just before
 *                        it is renamed
 *   vanish_before_rename the path is removed just before it is renamed
 *   grow_before_rename   the path is replaced by a copy of the file with a
 *                        line more just before it is renamed
 *   pause_after_write    each write to the file, by whatever name it was
 *                        opened, is followed by a pause of a tenth of a
 *                        second, which widens any race after it
 *   append_after_end     when a read first finds the end of the file, a line
 *                        is appended to it, as a producer still writing would
 *   append_and_deliver_at_rename  the file is renamed as asked, then a line is
 *                        appended to it and a new file is put at its old name
 *   written_before_open  right before the command first opens the file to
 *                        write it, another program appends a line to it
 *   made_before_open     the same, but the other program only makes the file, empty
 *   appended_after_close once the command has closed the file after writing,
 *                        another program appends a line to it
 *   take_after_close     once the file is closed, a reader renames it away
 *   read_only_after_close  once the file is closed, it is made read-only, and
 *                        no open for writing of it succeeds, root's neither
 * and the crashes of crash_shim.h.
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
#include <sys/stat.h>
#include <limits.h>
#include <sys/types.h>
#include <unistd.h>

#include "crash_shim.h"
#include "fault_shim.h"

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
    {"rename_error", rename_error},
    {"append_before_rename", append_before_rename},
    {"replace_before_rename", replace_before_rename},
    {"vanish_before_rename", vanish_before_rename},
    {"grow_before_rename", grow_before_rename},
    {"pause_after_write", pause_after_write},
    {"take_after_close", take_after_close},
    {"read_only_after_close", read_only_after_close},
    {"append_after_end", append_after_end},
    {"append_and_deliver_at_rename", append_and_deliver_at_rename},
    {"written_before_open", written_before_open},
    {"made_before_open", made_before_open},
    {"appended_after_close", appended_after_close},
};

SHIM_INTERNAL struct shim_state shim;

/* The absolute path that name stands for, relative to the directory
 * descriptor at (AT_FDCWD: the working directory), without resolving the
 * name's own last part, so that a link is named as a link. */
const char *full_path(int at, const char *name, char *buffer, size_t size) {
    if (!name) return NULL;
    if (name[0] == '/') {
        snprintf(buffer, size, "%s", name);
        return buffer;
    }
    char base[PATH_MAX];
    if (at == AT_FDCWD) {
        if (!getcwd(base, sizeof base)) return name;
    } else {
        char link[64];
        snprintf(link, sizeof link, "/proc/self/fd/%d", at);
        const ssize_t length = readlink(link, base, sizeof base - 1);
        if (length < 0) return name;
        base[length] = '\0';
    }
    const int length = snprintf(buffer, size, "%s/%s", base, name);
    return length < 0 || (size_t)length >= size ? name : buffer;
}

void set_up(void) {
    if (shim.ready) return;
    shim.ready = 1;
    const char *path = getenv("VRTL_FAULT_PATH");
    if (path && *path) shim.path = full_path(AT_FDCWD, path, shim.path_buffer, sizeof shim.path_buffer);
    const char *fault = getenv("VRTL_FAULT");
    if (!fault) return;
    const char *crash_part = strchr(fault, ',');
    if (crash_part && !crash_set_up(crash_part + 1)) {
        fprintf(stderr, "fault shim: unknown crash %s\n", crash_part + 1);
        abort();
    }
    if (crash_set_up(fault)) return;
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

void *next_definition(const char *name) {
    void *found = dlsym(RTLD_NEXT, name);
    if (!found) abort();
    return found;
}


int names_the_path(const char *path) { return shim.path && path && strcmp(path, shim.path) == 0; }
int is_tracked(int fd) { return fd >= 0 && fd < tracked_limit && shim.tracked[fd]; }

/* Whether the open file fd is the file at the fault's path, by whatever name it was reached. */
static int is_the_file(int fd) {
    struct stat opened, named;
    return shim.path && fstat(fd, &opened) == 0 && stat(shim.path, &named) == 0 && opened.st_dev == named.st_dev &&
           opened.st_ino == named.st_ino;
}

static void track(int fd, const char *path, int flags) {
    if (fd < 0 || fd >= tracked_limit) return;
    shim.tracked[fd] = (unsigned char)(names_the_path(path) || (shim.fault == pause_after_write && is_the_file(fd)));
    shim.writable[fd] = (unsigned char)((flags & O_ACCMODE) != O_RDONLY);
}

/* Whether an open of path with flags makes a file, noted before it is made. */
static int creates(const char *path, int flags) {
    set_up();
    const int creating = (flags & O_CREAT) && access(path, F_OK) != 0;
    if (creating) crash_point(call_create);
    return creating;
}

static int refused_for_writing(const char *path, int flags) {
    return shim.read_only && names_the_path(path) && (flags & O_ACCMODE) != O_RDONLY;
}

/* In the interrupted mode each call site fails every other time: first with
 * EINTR, then, when the caller tries again, for real. */
int interrupt_now(int *toggle) {
    set_up();
    if (shim.fault != interrupted) return 0;
    *toggle = !*toggle;
    if (*toggle) errno = EINTR;
    return *toggle;
}

static size_t limited(size_t count) {
    return shim.fault == short_transfers && count > transfer_limit ? transfer_limit : count;
}

int fails_with(int error) {
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
        char full[PATH_MAX];                                                           \
        const char *absolute = full_path(AT_FDCWD, path, full, sizeof full);           \
        if (refused_for_writing(absolute, flags)) return fails_with(EACCES);           \
        before_writer_opens(absolute, flags);                                          \
        const int creating = creates(absolute, flags);                                 \
        int (*real)(const char *, int, ...) = next_definition(#name);                  \
        const int fd = real(path, flags, mode);                                        \
        track(fd, absolute, flags);                                                    \
        if (creating) power_after_create(fd, absolute);                                \
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
        char full[PATH_MAX];                                                           \
        set_up();                                                                      \
        const char *absolute = full_path(directory, path, full, sizeof full);          \
        if (refused_for_writing(absolute, flags)) return fails_with(EACCES);           \
        before_writer_opens(absolute, flags);                                          \
        const int creating = creates(absolute, flags);                                 \
        int (*real)(int, const char *, int, ...) = next_definition(#name);             \
        const int fd = real(directory, path, flags, mode);                             \
        track(fd, absolute, flags);                                                    \
        if (creating) power_after_create(fd, absolute);                                \
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
        const long long left = shim.allowed_bytes - (long long)lseek(fd, 0, SEEK_CUR);
        if (left <= 0) return fails_with(EIO);
        if ((long long)count > left) count = (size_t)left;
    }
    const ssize_t done = real(fd, buffer, count);
    if (done == 0) at_end_of_data(fd);
    return done;
}

ssize_t write(int fd, const void *bytes, size_t count) {
    static int toggle;
    if (interrupt_now(&toggle)) return -1;
    ssize_t (*real)(int, const void *, size_t) = next_definition("write");
    if (fd >= 0 && fd < tracked_limit && shim.writable[fd]) {
        crash_point_of_write(fd, bytes, count);
        power_before_data_change(fd);
    }
    count = limited(count);
    if (is_tracked(fd) && shim.fault == write_error_after) {
        const long long left = shim.allowed_bytes - shim.bytes_written;
        if (left <= 0) return fails_with(EIO);
        if ((long long)count > left) count = (size_t)left;
    }
    const ssize_t done = real(fd, bytes, count);
    if (done > 0 && is_tracked(fd)) shim.bytes_written += done;
    if (is_tracked(fd) && shim.fault == pause_after_write) usleep(100000);
    return done;
}

int fsync(int fd) {
    static int toggle;
    if (interrupt_now(&toggle)) return -1;
    if (is_tracked(fd) && shim.fault == fsync_error) return fails_with(EIO);
    crash_point(call_sync);
    int (*real)(int) = next_definition("fsync");
    const int result = real(fd);
    if (result == 0) power_after_sync(fd);
    return result;
}

int syncfs(int fd) {
    set_up();
    crash_point(call_sync);
    int (*real)(int) = next_definition("syncfs");
    const int result = real(fd);
    if (result == 0) power_after_sync_all();
    return result;
}

int ftruncate(int fd, off_t length) {
    static int toggle;
    if (interrupt_now(&toggle)) return -1;
    crash_point(call_truncate);
    power_before_data_change(fd);
    int (*real)(int, off_t) = next_definition("ftruncate");
    return real(fd, length);
}

int ftruncate64(int fd, off64_t length) {
    static int toggle;
    if (interrupt_now(&toggle)) return -1;
    crash_point(call_truncate);
    power_before_data_change(fd);
    int (*real)(int, off64_t) = next_definition("ftruncate64");
    return real(fd, length);
}

/* Never interrupted: on Linux a close that reports EINTR has released the
 * descriptor all the same, and must not be repeated. */
int close(int fd) {
    set_up();
    const int was_tracked = is_tracked(fd);
    const int was_writable = fd >= 0 && fd < tracked_limit && shim.writable[fd];
    if (fd >= 0 && fd < tracked_limit) shim.tracked[fd] = shim.writable[fd] = 0;
    int (*real)(int) = next_definition("close");
    const int result = real(fd);
    if (was_tracked && was_writable) after_writer_closed();
    if (result == 0 && was_tracked && shim.fault == close_error) return fails_with(EIO);
    return result;
}
