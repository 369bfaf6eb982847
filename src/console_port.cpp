#include "console_port.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Reads a small file whole, NUL-terminated; false when it cannot be read.
bool ReadSmall(const char* path, char* buf, size_t size) {
    int fd;
    do {
        fd = open(path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return false;
    }
    size_t got = 0;
    while (got + 1 < size) {
        ssize_t n = read(fd, buf + got, size - 1 - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    close(fd);
    buf[got] = '\0';
    return got > 0;
}

// "4:65" as sysfs and /proc/consoles write a device number.
bool ParseDevice(const char* text, dev_t* rdev) {
    char* end = nullptr;
    unsigned long major_number = strtoul(text, &end, 10);
    if (end == text || *end != ':') {
        return false;
    }
    const char* minor_text = end + 1;
    unsigned long minor_number = strtoul(minor_text, &end, 10);
    if (end == minor_text) {
        return false;
    }
    *rdev = makedev(major_number, minor_number);
    return true;
}

void CopyName(char* to, size_t size, const char* from, size_t length) {
    snprintf(to, size, "%.*s", static_cast<int>(length), from);
}

// The consoles sysfs lists as active, each looked up by its device number;
// a link such as /dev/ttyS40 to ttyUSB0 leads to the same number.
bool ConsoleInSysfs(const char* root, dev_t rdev, PortUse* use, bool* readable) {
    char path[512];
    char active[256];
    snprintf(path, sizeof path, "%s/sys/class/tty/console/active", root);
    *readable = ReadSmall(path, active, sizeof active);
    if (!*readable) {
        return false;
    }
    const char* p = active;
    while (*p != '\0') {
        size_t length = strcspn(p, " \n");
        if (length > 0 && length < sizeof use->name) {
            char name[sizeof use->name];
            char number[32];
            dev_t console_rdev = 0;
            CopyName(name, sizeof name, p, length);
            snprintf(path, sizeof path, "%s/sys/class/tty/%s/dev", root, name);
            if (ReadSmall(path, number, sizeof number) && ParseDevice(number, &console_rdev) &&
                console_rdev == rdev) {
                snprintf(use->name, sizeof use->name, "%s", name);
                return true;
            }
        }
        p += length;
        p += strspn(p, " \n");
    }
    return false;
}

// Where sysfs cannot be read: /proc/consoles, whose lines end in the device
// number ("ttyS0 -W- (EC p a) 4:64").
bool ConsoleInProc(const char* root, dev_t rdev, PortUse* use) {
    char path[512];
    char consoles[2048];
    snprintf(path, sizeof path, "%s/proc/consoles", root);
    if (!ReadSmall(path, consoles, sizeof consoles)) {
        return false;
    }
    for (char* line = consoles; *line != '\0';) {
        char* end = strchr(line, '\n');
        if (end != nullptr) {
            *end = '\0';
        }
        const char* number = strrchr(line, ' ');
        dev_t console_rdev = 0;
        if (number != nullptr && ParseDevice(number + 1, &console_rdev) && console_rdev == rdev) {
            CopyName(use->name, sizeof use->name, line, strcspn(line, " "));
            return true;
        }
        if (end == nullptr) {
            break;
        }
        line = end + 1;
    }
    return false;
}

// The kernel's name of the device: sysfs links each device number to it.
void NameFromSysfs(const char* root, dev_t rdev, PortUse* use) {
    char path[512];
    char target[512];
    snprintf(path, sizeof path, "%s/sys/dev/char/%u:%u", root, major(rdev), minor(rdev));
    ssize_t n = readlink(path, target, sizeof target - 1);
    if (n <= 0) {
        return;
    }
    target[n] = '\0';
    const char* slash = strrchr(target, '/');
    const char* name = slash != nullptr ? slash + 1 : target;
    if (strlen(name) < sizeof use->name) {
        CopyName(use->name, sizeof use->name, name, strlen(name));
    }
}

bool IsDirectory(const char* path) {
    struct stat st {};
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// A login prompt that systemd runs has a control group while it runs, named
// after its unit: serial-getty@ for serial lines, getty@ when someone
// enabled the virtual consoles' kind on one. Both the unified hierarchy and
// the older named one (the hybrid tree) are looked at.
void GettyUnit(const char* root, const char* name, PortUse* use) {
    if (name[0] == '\0' || strspn(name,
                                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                  "0123456789_.") != strlen(name)) {
        return;  // a name that unit names would escape is not looked for
    }
    const char* const kinds[][2] = {{"system-serial\\x2dgetty.slice", "serial-getty"},
                                    {"system-getty.slice", "getty"}};
    const char* const trees[] = {"", "/systemd"};
    for (const char* tree : trees) {
        for (const auto& kind : kinds) {
            char path[512];
            snprintf(path, sizeof path, "%s/sys/fs/cgroup%s/system.slice/%s/%s@%s.service", root,
                     tree, kind[0], kind[1], name);
            if (IsDirectory(path)) {
                snprintf(use->getty, sizeof use->getty, "%s@%s.service", kind[1], name);
                return;
            }
        }
    }
}

bool AllDigits(const char* s) {
    return *s != '\0' && strspn(s, "0123456789") == strlen(s);
}

// Whether an open file, as its /proc link names it, is the device. Only the
// link is read and only a node under /dev is looked at, without following
// a link there: a stat through the descriptor would reach whatever file
// system the file is on, and a dead network mount would hang the scan. The
// link names a path of this machine's own namespace, whatever the root.
bool OpenFileIs(const char* fd_link, dev_t rdev) {
    char target[512];
    const ssize_t n = readlink(fd_link, target, sizeof target - 1);
    if (n <= 0) {
        return false;
    }
    target[n] = '\0';
    struct stat st {};
    return strncmp(target, "/dev/", 5) == 0 && lstat(target, &st) == 0 && S_ISCHR(st.st_mode) &&
           st.st_rdev == rdev;
}

// A process's name is whatever it chose: its bytes outside printable ASCII
// are written as \xNN, so none of them reaches the owner's terminal as a
// control sequence.
void EscapeName(const char* text, char* out, size_t size) {
    size_t used = 0;
    out[0] = '\0';
    for (const char* p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        char piece[8];
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            snprintf(piece, sizeof piece, "%c", c);
        } else {
            snprintf(piece, sizeof piece, "\\x%02x", c);
        }
        const size_t length = strlen(piece);
        if (used + length >= size) {
            return;
        }
        memcpy(out + used, piece, length + 1);
        used += length;
    }
}

// A process with the device among its open files. Only processes whose
// descriptors may be read are seen; another run of marquell is not a use.
bool HolderAmong(const char* root, const char* pid, dev_t rdev, PortUse* use) {
    char path[512];
    snprintf(path, sizeof path, "%s/proc/%s/fd", root, pid);
    DIR* fds = opendir(path);
    if (fds == nullptr) {
        return false;
    }
    bool found = false;
    while (const dirent* fd = readdir(fds)) {
        snprintf(path, sizeof path, "%s/proc/%s/fd/%s", root, pid, fd->d_name);
        if (AllDigits(fd->d_name) && OpenFileIs(path, rdev)) {
            found = true;
            break;
        }
    }
    closedir(fds);
    if (!found) {
        return false;
    }
    char comm[32];
    snprintf(path, sizeof path, "%s/proc/%s/comm", root, pid);
    if (!ReadSmall(path, comm, sizeof comm)) {
        snprintf(comm, sizeof comm, "?");
    }
    comm[strcspn(comm, "\n")] = '\0';
    if (strcmp(comm, "marquell") == 0) {
        return false;
    }
    // A name of 15 bytes, each escaped in 4, and a pid of up to 12 digits fit.
    char escaped[64];
    EscapeName(comm, escaped, sizeof escaped);
    snprintf(use->holder, sizeof use->holder, "%.63s (pid %.12s)", escaped, pid);
    return true;
}

void Holder(const char* root, dev_t rdev, PortUse* use) {
    char path[512];
    snprintf(path, sizeof path, "%s/proc", root);
    DIR* procs = opendir(path);
    if (procs == nullptr) {
        return;
    }
    while (const dirent* p = readdir(procs)) {
        if (AllDigits(p->d_name) && HolderAmong(root, p->d_name, rdev, use)) {
            break;
        }
    }
    closedir(procs);
}

}  // namespace

PortUse FindPortUse(const char* root, dev_t rdev, bool scan_processes) {
    PortUse use{};
    bool sysfs_readable = false;
    use.console = ConsoleInSysfs(root, rdev, &use, &sysfs_readable) ||
                  (!sysfs_readable && ConsoleInProc(root, rdev, &use));
    if (use.name[0] == '\0') {
        NameFromSysfs(root, rdev, &use);
    }
    GettyUnit(root, use.name, &use);
    if (scan_processes) {
        Holder(root, rdev, &use);
    }
    // raspi-config frees the board's own UART (ttyS0 or ttyAMA0), not an adapter.
    char path[512];
    snprintf(path, sizeof path, "%s/usr/bin/raspi-config", root);
    use.raspi_config = (strcmp(use.name, "ttyS0") == 0 || strcmp(use.name, "ttyAMA0") == 0) &&
                       access(path, F_OK) == 0;
    return use;
}

bool DescribePortUse(const PortUse& use, char* out, size_t size) {
    out[0] = '\0';
    char what[256];
    if (use.console && use.getty[0] != '\0') {
        snprintf(what, sizeof what, "the kernel's console (console=%s) and a login prompt (%s)",
                 use.name, use.getty);
    } else if (use.console) {
        snprintf(what, sizeof what, "the kernel's console (console=%s)", use.name);
    } else if (use.getty[0] != '\0') {
        snprintf(what, sizeof what, "a login prompt (%s)", use.getty);
    } else if (use.holder[0] != '\0') {
        snprintf(what, sizeof what, "another program, %s", use.holder);
    } else {
        return false;
    }
    // A prompt that systemd started for the console goes with the console.
    char fix[256];
    if (use.console && use.raspi_config) {
        snprintf(fix, sizeof fix, "sudo raspi-config nonint do_serial_cons 1, then reboot");
    } else if (use.console) {
        snprintf(fix, sizeof fix, "remove console=%s from the kernel command line, then reboot",
                 use.name);
    } else if (use.getty[0] != '\0') {
        snprintf(fix, sizeof fix, "sudo systemctl disable --now %s", use.getty);
    } else {
        snprintf(fix, sizeof fix, "stop that program");
    }
    snprintf(out, size, "shared with %s, whose text garbles the display; to free it: %s", what,
             fix);
    return true;
}

void FindLinkGetty(const char* root, const char* path, PortUse* use) {
    const char* slash = strrchr(path, '/');
    const char* name = slash != nullptr ? slash + 1 : path;
    if (use->getty[0] == '\0' && strcmp(name, use->name) != 0) {
        GettyUnit(root, name, use);
    }
}

bool DescribeOpenPortUse(int fd, const char* path, char* out, size_t size) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        out[0] = '\0';
        return false;
    }
    PortUse use = FindPortUse("", st.st_rdev, false);
    FindLinkGetty("", path, &use);
    return DescribePortUse(use, out, size);
}
