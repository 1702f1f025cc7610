/* Crashes and power losses for the fault injector (see crash_shim.h). */
#undef _FILE_OFFSET_BITS
#define _GNU_SOURCE
#include "crash_shim.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static const char *const kind_names[call_kinds] = {"create", "write", "truncate", "sync", "rename", "unlink", "link"};

static struct {
    int counting;
    int crashing;
    int power_loss;
    int tear;
    enum call_kind crash_kind;
    long crash_at;
    long calls[call_kinds];
    const char *count_path;
} crash;

static void *real(const char *name) {
    void *found = dlsym(RTLD_NEXT, name);
    if (!found) abort();
    return found;
}

static void write_counts(void) {
    int (*real_open)(const char *, int, ...) = real("open");
    ssize_t (*real_write)(int, const void *, size_t) = real("write");
    int (*real_close)(int) = real("close");
    const int fd = real_open(crash.count_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd == -1) return;
    for (int kind = 0; kind < call_kinds; ++kind) {
        char line[64];
        const int length = snprintf(line, sizeof line, "%s %ld\n", kind_names[kind], crash.calls[kind]);
        if (real_write(fd, line, (size_t)length) != length) break;
    }
    real_close(fd);
}

int crash_set_up(const char *fault) {
    if (strncmp(fault, "count_calls=", 12) == 0) {
        crash.counting = 1;
        crash.count_path = fault + 12;
        atexit(write_counts);
        return 1;
    }
    const char *settings = NULL;
    if (strncmp(fault, "crash_at=", 9) == 0) settings = fault + 9;
    if (strncmp(fault, "power_off_at=", 13) == 0) {
        settings = fault + 13;
        crash.power_loss = 1;
    }
    if (strncmp(fault, "tear_at=", 8) == 0) {
        settings = fault + 8;
        crash.tear = 1;
    }
    if (!settings) return 0;
    for (int kind = 0; kind < call_kinds; ++kind) {
        const size_t length = strlen(kind_names[kind]);
        if (strncmp(settings, kind_names[kind], length) == 0 && settings[length] == ':') {
            crash.crashing = 1;
            crash.crash_kind = (enum call_kind)kind;
            crash.crash_at = atol(settings + length + 1);
            return 1;
        }
    }
    fprintf(stderr, "fault shim: unknown crash %s\n", fault);
    abort();
}

/* ---- The power-loss model ----------------------------------------------------
 * A log of what each change did, in order, so that the changes not yet
 * synced can be undone from the last to the first. A file's data is synced
 * by fsync of the file; its entry in a directory, by fsync of the directory;
 * everything, by syncfs. */

enum undo_kind { undo_data, undo_create, undo_unlink, undo_rename, undo_link };

struct undo {
    enum undo_kind kind;
    int active;
    dev_t device;  /* of the file for undo_data, of its directory otherwise */
    ino_t inode;
    int fd;        /* undo_data: where the old bytes are written back */
    char *content; /* undo_data: the old bytes */
    size_t length;
    char *path;    /* the name changed */
    char *other;   /* undo_rename: the name it had before */
    char *backup;  /* a link to what the change took away */
};

enum { undo_limit = 4096 };
static struct undo undos[undo_limit];
static int undo_count;
static int backups_made;

static struct undo *new_undo(enum undo_kind kind) {
    if (undo_count == undo_limit) abort();
    struct undo *undo = &undos[undo_count++];
    memset(undo, 0, sizeof *undo);
    undo->kind = kind;
    undo->active = 1;
    return undo;
}

/* The directory that holds path, as device and inode. */
static void directory_of(const char *path, dev_t *device, ino_t *inode) {
    char directory[4096];
    snprintf(directory, sizeof directory, "%s", path);
    char *slash = strrchr(directory, '/');
    if (!slash) snprintf(directory, sizeof directory, ".");
    else if (slash == directory) slash[1] = '\0';
    else *slash = '\0';
    struct stat status;
    if (stat(directory, &status) != 0) abort();
    *device = status.st_dev;
    *inode = status.st_ino;
}

/* A name beside path that no listing of the command takes. */
static char *backup_beside(const char *path) {
    char backup[4096];
    const char *slash = strrchr(path, '/');
    const int directory_length = slash ? (int)(slash - path + 1) : 0;
    snprintf(backup, sizeof backup, "%.*s.vrtl_power.%d", directory_length, path, backups_made++);
    return strdup(backup);
}

static int real_link(const char *from, const char *to) {
    int (*link_call)(const char *, const char *) = real("link");
    return link_call(from, to);
}

static int real_rename(const char *from, const char *to) {
    int (*rename_call)(const char *, const char *) = real("rename");
    return rename_call(from, to);
}

static int real_unlink(const char *path) {
    int (*unlink_call)(const char *) = real("unlink");
    return unlink_call(path);
}

void power_after_create(int fd, const char *path) {
    if (!crash.power_loss || fd == -1) return;
    struct undo *undo = new_undo(undo_create);
    undo->path = strdup(path);
    directory_of(undo->path, &undo->device, &undo->inode);
}

void power_before_data_change(int fd) {
    if (!crash.power_loss) return;
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return;
    for (int i = 0; i < undo_count; ++i) {
        const struct undo *undo = &undos[i];
        if (undo->active && undo->kind == undo_data && undo->device == status.st_dev && undo->inode == status.st_ino) {
            return;  /* its bytes as last synced are kept already */
        }
    }
    int (*real_open)(const char *, int, ...) = real("open");
    char own[64];
    snprintf(own, sizeof own, "/proc/self/fd/%d", fd);
    const int reading = real_open(own, O_RDONLY | O_CLOEXEC);
    struct undo *undo = new_undo(undo_data);
    undo->device = status.st_dev;
    undo->inode = status.st_ino;
    undo->fd = real_open(own, O_WRONLY | O_CLOEXEC);
    undo->length = (size_t)status.st_size;
    undo->content = malloc(undo->length + 1);
    if (reading == -1 || undo->fd == -1 || !undo->content ||
        pread(reading, undo->content, undo->length, 0) != (ssize_t)undo->length) {
        abort();
    }
    int (*real_close)(int) = real("close");
    real_close(reading);
}

/* A change is synced: it stays whatever happens now. */
static void keep(struct undo *undo) {
    undo->active = 0;
    if (undo->backup) real_unlink(undo->backup);
}

void power_after_sync(int fd) {
    if (!crash.power_loss) return;
    struct stat status;
    if (fstat(fd, &status) != 0) return;
    const int directory = S_ISDIR(status.st_mode);
    for (int i = 0; i < undo_count; ++i) {
        struct undo *undo = &undos[i];
        if (!undo->active || undo->device != status.st_dev || undo->inode != status.st_ino) continue;
        if ((undo->kind == undo_data) != directory) keep(undo);
    }
}

void power_after_sync_all(void) {
    if (!crash.power_loss) return;
    for (int i = 0; i < undo_count; ++i) {
        if (undos[i].active) keep(&undos[i]);
    }
}

void power_before_unlink(const char *path) {
    if (!crash.power_loss || access(path, F_OK) != 0) return;
    struct undo *undo = new_undo(undo_unlink);
    undo->path = strdup(path);
    undo->backup = backup_beside(path);
    directory_of(path, &undo->device, &undo->inode);
    if (real_link(path, undo->backup) != 0) abort();
}

void power_before_rename(const char *from, const char *to) {
    if (!crash.power_loss || access(from, F_OK) != 0) return;
    struct undo *undo = new_undo(undo_rename);
    undo->path = strdup(to);
    undo->other = strdup(from);
    directory_of(to, &undo->device, &undo->inode);
    if (access(to, F_OK) == 0) {
        undo->backup = backup_beside(to);
        if (real_link(to, undo->backup) != 0) abort();
    }
}

void power_after_link(const char *to) {
    if (!crash.power_loss) return;
    struct undo *undo = new_undo(undo_link);
    undo->path = strdup(to);
    directory_of(to, &undo->device, &undo->inode);
}

/* What the disk keeps of the active changes: none of them. */
static void lose_power(void) {
    int (*real_ftruncate)(int, off_t) = real("ftruncate");
    for (int i = undo_count - 1; i >= 0; --i) {
        struct undo *undo = &undos[i];
        if (!undo->active) continue;
        switch (undo->kind) {
        case undo_data:
            if (real_ftruncate(undo->fd, 0) != 0 ||
                pwrite(undo->fd, undo->content, undo->length, 0) != (ssize_t)undo->length) {
                abort();
            }
            break;
        case undo_create:
        case undo_link: real_unlink(undo->path); break;
        case undo_unlink: real_rename(undo->backup, undo->path); break;
        case undo_rename:
            real_rename(undo->path, undo->other);
            if (undo->backup) real_rename(undo->backup, undo->path);
            break;
        }
    }
}

/* Counts the call; whether the crash comes now. */
static int crash_due(enum call_kind kind) {
    if (!crash.counting && !crash.crashing) return 0;
    ++crash.calls[kind];
    return crash.crashing && kind == crash.crash_kind && crash.calls[kind] == crash.crash_at;
}

static void crash_now(void) {
    if (crash.power_loss) lose_power();
    raise(SIGKILL);
}

void crash_point(enum call_kind kind) {
    if (crash_due(kind)) crash_now();
}

void crash_point_of_write(int fd, const void *bytes, size_t count) {
    if (!crash_due(call_write)) return;
    if (crash.tear) {
        ssize_t (*real_write)(int, const void *, size_t) = real("write");
        if (real_write(fd, bytes, (count + 1) / 2) < 0) abort();
    }
    crash_now();
}
