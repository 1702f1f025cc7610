/* What the two sources of the fault injector share: the faults, the state
 * of the one the test set, and the steps each calls in the other. Hidden,
 * so that nothing of it takes the place of a name of the command's own. */
#pragma once

#include <stddef.h>

#define SHIM_INTERNAL __attribute__((visibility("hidden")))

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
    rename_error,
    append_before_rename,
    replace_before_rename,
    vanish_before_rename,
    grow_before_rename,
    pause_after_write,
    take_after_close,
    read_only_after_close,
    append_after_end,
    append_and_deliver_at_rename,
    written_before_open,
    made_before_open,
    appended_after_close,
};

enum { tracked_limit = 1024 };
enum { transfer_limit = 3 };

struct shim_state {
    int ready;
    enum fault fault;
    long long allowed_bytes; /* for the *_after faults */
    const char *path;                      /* absolute */
    char path_buffer[PATH_MAX];
    unsigned char tracked[tracked_limit]; /* descriptors open on the path */
    unsigned char writable[tracked_limit]; /* descriptors open for writing */
    int read_only;                         /* the path may no longer be opened for writing */
    int struck;                            /* a fault that strikes once has struck */
    long long bytes_written;
};
SHIM_INTERNAL extern struct shim_state shim;

/* The absolute path that name stands for, relative to the directory
 * descriptor at (AT_FDCWD: the working directory), without resolving the
 * name's own last part, so that a link is named as a link. */
SHIM_INTERNAL const char *full_path(int at, const char *name, char *buffer, size_t size);
/* Reads the settings of the test, once. */
SHIM_INTERNAL void set_up(void);
/* The system's own definition of a call the injector stands in for. */
SHIM_INTERNAL void *next_definition(const char *name);
SHIM_INTERNAL int names_the_path(const char *path);
SHIM_INTERNAL int is_tracked(int fd);
SHIM_INTERNAL int fails_with(int error);
/* In the interrupted mode each call site fails every other time: first with
 * EINTR, then, when the caller tries again, for real. */
SHIM_INTERNAL int interrupt_now(int *toggle);

/* What another program does at a moment of the command's run (fault_shim_names.c). */
SHIM_INTERNAL void before_writer_opens(const char *path, int flags);
SHIM_INTERNAL void at_end_of_data(int fd);
SHIM_INTERNAL void after_writer_closed(void);
