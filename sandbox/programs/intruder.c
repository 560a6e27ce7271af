/* Test attacker: another user of the router racing the upgrade.
 *
 * Started as root (by the upgrade as its watchdog program, or by the
 * launcher just before the upgrade), it gives up root at once for user and
 * group 1000 and attacks the RAM disk as fast as it can, busy-waiting (and
 * told by inotify when the old RAM disk is unmounted). What
 * it does comes from the name it was started under:
 *   intruder-dir, intruder-link, intruder-fifo
 *       waits until /tmp/ramdisk is a new mount (on neither the file system
 *       it was on at the start nor that of /tmp), then plants a directory,
 *       a link (to /etc/precious, or dangling to /etc/through-link) or a
 *       FIFO at each name staged there, again and again;
 *   intruder-log
 *       plants a link to /etc/precious at /tmp/ramdisk/upgrade_log again and
 *       again from the start (the log's first move);
 *   intruder-hardlink, intruder-rw
 *       while root's package /tmp/ramdisk/udfirmware is still writable by
 *       others (placed so), gives itself a second name for it (another ud*
 *       name and one that is not), or opens it for reading and writing;
 *       then, as root, closes the package to others (chmod 0644: an
 *       operator's fix), and only then gives up root. intruder-rw keeps its
 *       descriptor and, once an extraction starts in /tmp/, rewrites the
 *       validator's and the kernel image's bytes in the package through it
 *       again and again (a validator that marks /etc/decoy-ran, a kernel of
 *       'F's, each the length of the original). It reports
 *       "held <0|1> linked <n> rewrote <n>".
 *   intruder-loglink
 *       gives /tmp/ramdisk/upgrade_log a second name (/tmp/ramdisk/.second-N)
 *       from the start and again each time another file takes the log's
 *       name, for three seconds. It keeps root for that: Linux 2.6.35 lets
 *       anyone hard-link any file, the host kernel's protected_hardlinks
 *       would refuse user 1000. It plants nothing else.
 * It stops a while after the RAM disk is closed to other users (no longer
 * writable by them), or after a few seconds (one for the log), and writes
 * what happened to /home/intruder/report:
 *   "seen <0|1> planted <n> refused <n> window_us <n>"
 * (seen: the new mount was found; planted: names it created; refused: tries
 * refused for want of permission; window_us: from finding the new mount
 * until it was closed, the time in which another user could still create
 * names there, -1 when it never closed). */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#define OTHER_USER 1000
#define ROUNDS_AFTER_CLOSING 500

static const char package[] = "/tmp/ramdisk/udfirmware";

static const char* const staged[] = {"/tmp/ramdisk/upgrade_log", "/tmp/ramdisk/fs-validator",
                                     "/tmp/ramdisk/kernel_image", "/tmp/ramdisk/filesystem.db"};

static long long now_us(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000 + t.tv_nsec / 1000;
}

static dev_t device_of(const char* path) {
    struct stat info;
    return stat(path, &info) == 0 ? info.st_dev : (dev_t)-1;
}

/* What the name asks for: 'd'irectory, 'f'ifo, 'l'ink, or 'L': the log's link. */
static char kind_of(const char* name) {
    static const char* const names[] = {"intruder-dir",    "intruder-fifo",     "intruder-link",
                                        "intruder-log",    "intruder-hardlink", "intruder-rw",
                                        "intruder-loglink"};
    static const char kinds[] = "dflLhwH";
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
        if (strcmp(name, names[i]) == 0) {
            return kinds[i];
        }
    }
    return 0;
}

static int plant(char kind, const char* path, unsigned long round) {
    switch (kind) {
        case 'd':
            return mkdir(path, 0777);
        case 'f':
            return mkfifo(path, 0666);
        case 'L':
            return symlink("/etc/precious", path);
        default:
            return symlink(round % 2 ? "/etc/through-link" : "/etc/precious", path);
    }
}

/* Written when the new mount is found, when it closes and at the end: the
 * run may stop this program at any moment. */
static void report(int seen, unsigned long planted, unsigned long refused, long long window) {
    FILE* out = fopen("/home/intruder/report", "w");
    if (out != NULL) {
        fprintf(out, "seen %d planted %lu refused %lu window_us %lld\n", seen, planted, refused,
                window);
        fclose(out);
    }
}

static void hold_report(int held, int linked, unsigned long rewrites) {
    FILE* out = fopen("/home/intruder/report", "w");
    if (out != NULL) {
        fprintf(out, "held %d linked %d rewrote %lu\n", held, linked, rewrites);
        fclose(out);
    }
}

/* Offset and length in the package of the first run of text from start up
 * to and including end; 0 when absent. */
static size_t find_span(const char* bytes, size_t size, const char* start, const char* end,
                        size_t* length) {
    const char* from = memmem(bytes, size, start, strlen(start));
    const char* to = from ? memmem(from, size - (size_t)(from - bytes), end, strlen(end)) : NULL;
    if (to == NULL) {
        return 0;
    }
    *length = (size_t)(to - from) + strlen(end);
    return (size_t)(from - bytes);
}

/* intruder-rw's attack: rewrites the validator and the kernel image through
 * fd whenever an extraction creates a scratch file in /tmp/, for a while. */
static unsigned long rewrite(int fd) {
    static char bytes[1 << 16], validator[1 << 12], kernel[1 << 14];
    const ssize_t size = pread(fd, bytes, sizeof bytes, 0);
    size_t vlength = 0, klength = 0;
    const size_t v =
        find_span(bytes, size > 0 ? (size_t)size : 0, "#!/bin/sh\n", "\nexit 0\n", &vlength);
    const size_t k = find_span(bytes, size > 0 ? (size_t)size : 0, "KKKK", "kernel", &klength);
    const char forged[] = "#!/bin/sh\necho ran > /etc/decoy-ran\n";
    if (v == 0 || k == 0 || vlength > sizeof validator || klength > sizeof kernel ||
        vlength < sizeof forged) {
        return 0;
    }
    memset(validator, '#', vlength);
    memcpy(validator, forged, sizeof forged - 1);
    validator[vlength - 1] = '\n';
    memset(kernel, 'F', klength);
    const int created = inotify_init();
    inotify_add_watch(created, "/tmp", IN_CREATE);
    unsigned long rewrites = 0;
    for (int started = 0; !started;) {
        char event[512];
        const ssize_t got = read(created, event, sizeof event);
        for (ssize_t at = 0; got > 0 && at < got;) {
            const struct inotify_event* e = (const struct inotify_event*)(event + at);
            started = started || (e->len > 0 && strncmp(e->name, ".new-", 5) == 0);
            at += (ssize_t)(sizeof *e + e->len);
        }
    }
    for (const long long from = now_us(); now_us() - from < 2000000;) {
        rewrites += pwrite(fd, validator, vlength, (off_t)v) == (ssize_t)vlength &&
                    pwrite(fd, kernel, klength, (off_t)k) == (ssize_t)klength;
        if (rewrites == 1) {
            hold_report(1, 0, rewrites); /* the run may end any moment now */
        }
    }
    return rewrites;
}

/* intruder-hardlink and intruder-rw: what another user does with root's
 * package while it is writable by others, kept after it is closed. */
static int hold_package(char kind) {
    int fd = -1, linked = 0;
    if (setegid(OTHER_USER) != 0 || seteuid(OTHER_USER) != 0) {
        return 1;
    }
    if (kind == 'h') {
        linked += link(package, "/tmp/ramdisk/udzz-second") == 0;
        linked += link(package, "/tmp/ramdisk/kept") == 0;
    } else {
        fd = open(package, O_RDWR);
    }
    if (seteuid(0) != 0 || chmod(package, 0644) != 0 || setgroups(0, NULL) != 0 ||
        setgid(OTHER_USER) != 0 || setuid(OTHER_USER) != 0) {
        return 1;
    }
    hold_report(fd >= 0, linked, 0);
    if (fd >= 0) {
        hold_report(1, linked, rewrite(fd));
    }
    for (;;) {
        pause();
    }
}

/* intruder-loglink: a second name for each file that holds the log's name;
 * then it runs until it is stopped, as a watchdog program does. */
static int second_names(void) {
    const long long start = now_us();
    unsigned long planted = 0, refused = 0;
    ino_t linked = 0;
    while (now_us() - start < 3000000) {
        struct stat log;
        if (lstat(staged[0], &log) != 0 || !S_ISREG(log.st_mode) || log.st_ino == linked) {
            continue;
        }
        char second[64];
        snprintf(second, sizeof second, "/tmp/ramdisk/.second-%lu", planted + refused);
        if (link(staged[0], second) == 0) {
            ++planted;
            linked = log.st_ino;
            report(0, planted, refused, -1);
        } else if (errno != ENOENT) {
            ++refused;
        }
    }
    report(0, planted, refused, -1);
    while (pause() != 0 || errno == EINTR) {
    }
    return 0;
}

int main(int argc, char** argv) {
    (void)argc;
    const char* name = strrchr(argv[0], '/') ? strrchr(argv[0], '/') + 1 : argv[0];
    const char kind = kind_of(name);
    if (kind == 'H' || kind == 'h' || kind == 'w') {
        return kind == 'H' ? second_names() : hold_package(kind);
    }
    const dev_t before = device_of("/tmp/ramdisk"), tmp = device_of("/tmp");
    /* The kernel may give the new mount the old one's device number: the
     * old one's end is seen through inotify instead. */
    const int unmounts = inotify_init1(IN_NONBLOCK);
    if (unmounts >= 0) {
        inotify_add_watch(unmounts, "/tmp/ramdisk", IN_UNMOUNT | IN_ONLYDIR);
    }
    if (kind == 0 || setgroups(0, NULL) != 0 || setgid(OTHER_USER) != 0 ||
        setuid(OTHER_USER) != 0) {
        return 1;
    }
    const long long start = now_us();
    int seen = 0;
    if (kind != 'L') {
        int unmounted = 0;
        while (!seen && now_us() - start < 30000000) {
            char event[256];
            unmounted = unmounted || (unmounts >= 0 && read(unmounts, event, sizeof event) > 0);
            const dev_t current = device_of("/tmp/ramdisk");
            seen = current != (dev_t)-1 && current != tmp && (unmounted || current != before);
        }
    }
    const long long from = now_us();
    long long window = -1;
    unsigned long planted = 0, refused = 0, round = 0, sinceClosed = 0;
    report(seen, planted, refused, window);
    while (sinceClosed < ROUNDS_AFTER_CLOSING &&
           now_us() - from < (kind == 'L' ? 1000000 : 3000000)) {
        for (size_t i = 0; i < (kind == 'L' ? 1u : 4u); ++i, ++round) {
            if (plant(kind, staged[i], round) == 0) {
                ++planted;
            } else if (errno == EACCES || errno == EPERM) {
                ++refused;
            }
        }
        struct stat ramdisk;
        if (kind != 'L' && stat("/tmp/ramdisk", &ramdisk) == 0 && !(ramdisk.st_mode & S_IWOTH)) {
            if (window < 0) {
                window = now_us() - from;
                report(seen, planted, refused, window);
            }
            ++sinceClosed;
        }
    }
    report(seen, planted, refused, window);
    for (;;) {
        pause(); /* a watchdog program runs until it is stopped */
    }
}
