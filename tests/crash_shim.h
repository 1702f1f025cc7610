/* Crashes for the fault injector: the command is killed right before the
 * Nth call of one kind of file-changing system call, or inside the Nth
 * write, and, in the power-loss mode, everything written but not yet synced
 * is dropped first, as a disk that lost its power would drop it. A tear
 * with a power loss would be no other case: the torn bytes are not synced.
 *
 * VRTL_FAULT says what:
 *   crash_at=KIND:N      killed before the Nth call of KIND
 *   power_off_at=KIND:N  the same, with the unsynced changes dropped first
 *   tear_at=write:N      the Nth write moves only the first half of its bytes
 *                        (at least one), then the command is killed
 *   count_calls=PATH     counts the calls of each kind and writes the counts,
 *                        a line "KIND COUNT" each, to PATH at exit
 * KIND is one of create, write, truncate, sync, rename, unlink, link. Writes
 * count only on files the command opened for writing. */
#pragma once

#include <sys/types.h>

enum call_kind { call_create, call_write, call_truncate, call_sync, call_rename, call_unlink, call_link, call_kinds };

/* Takes the setting when it names a crash or counting mode; 0 when not. */
int crash_set_up(const char *setting);

/* Called before each file-changing call, with what it will change: counts
 * it, and crashes when its turn has come. */
void crash_point(enum call_kind kind);
/* The same before a write of count bytes to fd, which the tear makes in part. */
void crash_point_of_write(int fd, const void *bytes, size_t count);

/* The power-loss model: what each call changes, noted before it is made, so
 * that what is not yet synced can be put back at the crash. */
void power_after_create(int fd, const char *path);
void power_before_data_change(int fd);
void power_after_sync(int fd);
void power_after_sync_all(void);
void power_before_unlink(const char *path);
void power_before_rename(const char *from, const char *to);
void power_after_link(const char *to);
