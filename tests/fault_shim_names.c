/* The fault injector's renames, links, locks and removals, and what another
 * program does at a moment of the command's run: a producer that appends, a
 * delivery that replaces the file, a reader that takes it away (see
 * fault_shim.c). */
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

static const char added_line[] = "ADDED   01by its producer\r\n";

/* Writes bytes to the end of the file at path, through the real calls. */
static void append_to(const char *path, const char *bytes, size_t length, int flags) {
    int (*real_open)(const char *, int, ...) = next_definition("open");
    ssize_t (*real_write)(int, const void *, size_t) = next_definition("write");
    int (*real_close)(int) = next_definition("close");
    const int fd = real_open(path, O_WRONLY | O_APPEND | O_CLOEXEC | flags, 0644);
    if (fd == -1 || real_write(fd, bytes, length) != (ssize_t)length) abort();
    real_close(fd);
}

static void replace_path(void) {
    int (*real_unlink)(const char *) = next_definition("unlink");
    real_unlink(shim.path);
    static const char content[] = "REPLACED01by another run\r\n";
    append_to(shim.path, content, sizeof content - 1, O_CREAT | O_EXCL);
}

/* Puts in place of the file a copy of it with a line more, as a producer
 * that rewrites its file and renames it into place would. */
static void grow_path(void) {
    char copy[4096];
    snprintf(copy, sizeof copy, "%s.new", shim.path);
    int (*real_open)(const char *, int, ...) = next_definition("open");
    int (*real_close)(int) = next_definition("close");
    const int from = real_open(shim.path, O_RDONLY | O_CLOEXEC);
    char bytes[65536];
    const ssize_t length = from == -1 ? -1 : pread(from, bytes, sizeof bytes, 0);
    if (length < 0) abort();
    real_close(from);
    append_to(copy, bytes, (size_t)length, O_CREAT | O_EXCL);
    append_to(copy, added_line, sizeof added_line - 1, 0);
    int (*real_rename)(const char *, const char *) = next_definition("rename");
    if (real_rename(copy, shim.path) != 0) abort();
}

static const char their_line[] = "theirs\r\n";

void before_writer_opens(const char *path, int flags) {
    if ((shim.fault != written_before_open && shim.fault != made_before_open) || shim.struck || !names_the_path(path) ||
        (flags & O_ACCMODE) == O_RDONLY) {
        return;
    }
    shim.struck = 1;
    append_to(shim.path, their_line, shim.fault == written_before_open ? sizeof their_line - 1 : 0, O_CREAT);
}

void at_end_of_data(int fd) {
    if (shim.fault != append_after_end || shim.struck || !is_tracked(fd)) return;
    shim.struck = 1;
    append_to(shim.path, added_line, sizeof added_line - 1, 0);
}

void after_writer_closed(void) {
    if (shim.fault == appended_after_close && !shim.struck) {
        shim.struck = 1;
        append_to(shim.path, their_line, sizeof their_line - 1, 0);
    }
    if (shim.fault == take_after_close) {
        char taken[4096];
        snprintf(taken, sizeof taken, "%s.taken", shim.path);
        int (*real_rename)(const char *, const char *) = next_definition("rename");
        real_rename(shim.path, taken);
    }
    if (shim.fault == read_only_after_close) {
        chmod(shim.path, 0444);
        shim.read_only = 1;
    }
}

/* After the rename of the file to to: a line more for it, and a new file at
 * its old name. */
static void append_and_deliver(const char *to) {
    append_to(to, added_line, sizeof added_line - 1, 0);
    replace_path();
}

/* What happens before a rename of the absolute path from to to: 0, or -1
 * with errno set when the rename must fail. */
static int before_rename(const char *from, const char *to) {
    if (names_the_path(from)) {
        if (shim.fault == rename_error) return fails_with(EIO);
        if (shim.fault == append_before_rename) append_to(shim.path, added_line, sizeof added_line - 1, 0);
        if (shim.fault == replace_before_rename) replace_path();
        if (shim.fault == vanish_before_rename) unlink(shim.path);
        if (shim.fault == grow_before_rename) grow_path();
    }
    crash_point(call_rename);
    power_before_rename(from, to);
    return 0;
}

int rename(const char *from, const char *to) {
    set_up();
    char full_from[PATH_MAX], full_to[PATH_MAX];
    if (before_rename(full_path(AT_FDCWD, from, full_from, PATH_MAX), full_path(AT_FDCWD, to, full_to, PATH_MAX)) != 0) {
        return -1;
    }
    int (*real)(const char *, const char *) = next_definition("rename");
    const int result = real(from, to);
    if (result == 0 && names_the_path(full_from) && shim.fault == append_and_deliver_at_rename) append_and_deliver(full_to);
    return result;
}

int renameat(int from_at, const char *from, int to_at, const char *to) {
    set_up();
    char full_from[PATH_MAX], full_to[PATH_MAX];
    if (before_rename(full_path(from_at, from, full_from, PATH_MAX), full_path(to_at, to, full_to, PATH_MAX)) != 0) {
        return -1;
    }
    int (*real)(int, const char *, int, const char *) = next_definition("renameat");
    const int result = real(from_at, from, to_at, to);
    if (result == 0 && names_the_path(full_from) && shim.fault == append_and_deliver_at_rename) append_and_deliver(full_to);
    return result;
}

int link(const char *from, const char *to) {
    set_up();
    crash_point(call_link);
    int (*real)(const char *, const char *) = next_definition("link");
    const int result = real(from, to);
    char full_to[PATH_MAX];
    if (result == 0) power_after_link(full_path(AT_FDCWD, to, full_to, PATH_MAX));
    return result;
}

int linkat(int from_at, const char *from, int to_at, const char *to, int flags) {
    set_up();
    crash_point(call_link);
    int (*real)(int, const char *, int, const char *, int) = next_definition("linkat");
    const int result = real(from_at, from, to_at, to, flags);
    char full_to[PATH_MAX];
    if (result == 0) power_after_link(full_path(to_at, to, full_to, PATH_MAX));
    return result;
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

/* Removes the absolute path as the fault says; real removes it for real. */
static int unlink_path(const char *path, int (*real)(const char *)) {
    crash_point(call_unlink);
    power_before_unlink(path);
    if (!names_the_path(path)) return real(path);
    switch (shim.fault) {
    case unlink_error: return fails_with(EIO);
    case unlink_does_nothing: return 0;
    case unlink_needs_lock: return is_locked(path) ? real(path) : fails_with(EPERM);
    case unlink_removes_but_fails: return real(path) == 0 ? fails_with(EIO) : -1;
    default: return real(path);
    }
}

static int real_unlink_of(const char *path) {
    int (*real)(const char *) = next_definition("unlink");
    return real(path);
}

int unlink(const char *path) {
    set_up();
    char full[PATH_MAX];
    return unlink_path(full_path(AT_FDCWD, path, full, PATH_MAX), real_unlink_of);
}

/* Removes through the absolute path: the same file as the command's name in
 * its directory, since the test changes no directory meanwhile. */
int unlinkat(int at, const char *name, int flags) {
    set_up();
    if (flags != 0) {
        int (*real)(int, const char *, int) = next_definition("unlinkat");
        return real(at, name, flags);
    }
    char full[PATH_MAX];
    return unlink_path(full_path(at, name, full, PATH_MAX), real_unlink_of);
}
