/* The floor for splitting a merged file: the same work as the command with
 * nothing but the system calls it needs. Reads in 4096-byte pieces; per run it
 * probes the SDF file (stat), opens it, writes the run's records held in a
 * 4096-byte buffer, and closes it. With "sync" it then brings every SDF file
 * it touched (once each) and the directory to stable storage, as the command
 * does. Last it deletes the merged file. No messages, no checks of content.
 *
 * Usage: split_floor MERGED DIRECTORY [sync]
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { piece = 4096, name_width = 8, header_width = 10, slots = 4096 };

static char names[slots][name_width + 1]; /* SDF names touched, by hash */
static int used[slots];

static void die(const char *what) {
    perror(what);
    exit(99);
}

static void remember(const char *name) {
    unsigned hash = 2166136261u;
    for (const char *c = name; *c; ++c) hash = (hash ^ (unsigned char)*c) * 16777619u;
    for (unsigned i = hash % slots;; i = (i + 1) % slots) {
        if (!used[i]) {
            used[i] = 1;
            strcpy(names[i], name);
            return;
        }
        if (strcmp(names[i], name) == 0) return;
    }
}

static void sync_path(const char *path, int flags) {
    int fd = open(path, flags);
    if (fd < 0 || fsync(fd) != 0 || close(fd) != 0) die(path);
}

struct run {
    int fd;
    char name[name_width + 1];
    size_t held;
    char out[piece];
};

static void write_held(struct run *run, const char *path) {
    if (run->held && write(run->fd, run->out, run->held) != (ssize_t)run->held) die(path);
    run->held = 0;
}

int main(int argc, char *argv[]) {
    if (argc < 3) {
        fprintf(stderr, "usage: split_floor MERGED DIRECTORY [sync]\n");
        return 2;
    }
    const int sync = argc > 3 && strcmp(argv[3], "sync") == 0;
    const size_t directory_length = strlen(argv[2]);
    char path[4096];
    if (directory_length > sizeof path - 64) die("directory name too long");
    memcpy(path, argv[2], directory_length);
    path[directory_length] = '/';
    char *const name_in_path = path + directory_length + 1;

    const int merged = open(argv[1], O_RDONLY);
    if (merged < 0) die(argv[1]);
    static char in[2 * piece];
    static struct run run = {.fd = -1};
    size_t start = 0, end = 0;
    for (;;) {
        char *lf = memchr(in + start, '\n', end - start);
        if (!lf) {
            memmove(in, in + start, end - start);
            end -= start;
            start = 0;
            if (end > piece) die("line too long");
            ssize_t count = read(merged, in + end, piece);
            if (count < 0) die(argv[1]);
            if (count == 0) break;
            end += (size_t)count;
            continue;
        }
        const char *line = in + start;
        const size_t length = (size_t)(lf - line) + 1;
        start += length;

        char name[name_width + 1];
        size_t kept = 0;
        while (kept < name_width && kept < length && line[kept] != '\0') ++kept;
        while (kept > 0 && (signed char)line[kept - 1] <= 32) --kept;
        memcpy(name, line, kept);
        name[kept] = '\0';
        if (run.fd < 0 || strcmp(name, run.name) != 0) {
            if (run.fd >= 0) {
                write_held(&run, path);
                if (close(run.fd) != 0) die(path);
            }
            strcpy(run.name, name);
            memcpy(name_in_path, name, kept);
            memcpy(name_in_path + kept, ".sdf", 5);
            struct stat status;
            (void)stat(path, &status);
            run.fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0666);
            if (run.fd < 0) die(path);
            if (sync) remember(name);
        }
        if (length <= header_width) continue;
        const char *record = line + header_width;
        size_t left = length - header_width;
        while (left) {
            if (run.held == piece) write_held(&run, path);
            size_t taken = piece - run.held < left ? piece - run.held : left;
            memcpy(run.out + run.held, record, taken);
            run.held += taken;
            record += taken;
            left -= taken;
        }
    }
    if (run.fd >= 0) {
        write_held(&run, path);
        if (close(run.fd) != 0) die(path);
    }
    close(merged);
    for (int i = 0; sync && i < slots; ++i) {
        if (!used[i]) continue;
        strcpy(name_in_path, names[i]);
        strcat(name_in_path, ".sdf");
        sync_path(path, O_WRONLY);
    }
    if (sync) sync_path(argv[2], O_RDONLY | O_DIRECTORY);
    if (unlink(argv[1]) != 0) die(argv[1]);
    return 0;
}
