#include "tools/smdgw/core/port_access.h"

#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace smdgw {

namespace {

// The group that owns serial ports on Debian; the unit adds it.
constexpr const char* kSerialGroup = "dialout";

// Slaves of UNIX 98 pseudo-terminals (/dev/pts/N) have these majors.
constexpr unsigned kPtyMajorFirst = 136;
constexpr unsigned kPtyMajorLast = 143;

// Whether the character device belongs to the tty subsystem, asked of sysfs
// (/sys/dev/char/188:0/subsystem -> .../class/tty) instead of opening it.
bool tty_subsystem(dev_t rdev) {
    const std::string link = "/sys/dev/char/" + std::to_string(major(rdev)) + ":" +
                             std::to_string(minor(rdev)) + "/subsystem";
    char target[PATH_MAX];
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) return false;
    const std::string t(target, static_cast<size_t>(n));
    return t.size() >= 4 && t.compare(t.size() - 4, 4, "/tty") == 0;
}

std::string user_name(uid_t uid) {
    const passwd* p = ::getpwuid(uid);
    return p ? p->pw_name : "uid " + std::to_string(uid);
}

std::string group_name(gid_t gid) {
    const group* g = ::getgrgid(gid);
    return g ? g->gr_name : "gid " + std::to_string(gid);
}

std::string mode_text(const PortFile& f) {
    std::string t = f.kind == PortKind::Fifo        ? "p"
                    : f.kind == PortKind::Directory ? "d"
                    : f.kind == PortKind::Regular   ? "-"
                    : S_ISBLK(f.mode)               ? "b"
                                                    : "c";
    const char* rwx = "rwxrwxrwx";
    for (int bit = 8; bit >= 0; --bit) t += (f.mode & (1u << bit)) ? rwx[8 - bit] : '-';
    return t;
}

std::string octal(mode_t m) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(m & 07777));
    return buf;
}

// The read and write bits of the class (owner, group, other) that applies
// to user, as the kernel picks it: the first that matches.
bool class_allows(const PortFile& f, const PortUser& u) {
    mode_t r = S_IROTH, w = S_IWOTH;
    if (!u.any_owner && u.uid == f.uid) {
        r = S_IRUSR;
        w = S_IWUSR;
    } else if (std::find(u.groups.begin(), u.groups.end(), f.gid) != u.groups.end()) {
        r = S_IRGRP;
        w = S_IWGRP;
    }
    return (f.mode & r) && (f.mode & w);
}

std::string base_name(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    std::string p = real ? real : path;
    std::free(real);
    const auto slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

}  // namespace

PortUser service_user() {
    PortUser u;
    u.label = std::string("the service's user (a dynamic user in group ") + kSerialGroup + ")";
    u.any_owner = true;
    // Far outside the range of real users; it owns nothing.
    u.uid = static_cast<uid_t>(-2);
    if (const group* g = ::getgrnam(kSerialGroup)) u.groups.push_back(g->gr_gid);
    return u;
}

PortUser current_user() {
    PortUser u;
    u.uid = ::geteuid();
    u.root = u.uid == 0;
    u.label = "user " + user_name(u.uid) + " (uid " + std::to_string(u.uid) + ")";
    u.groups.push_back(::getegid());
    const int n = ::getgroups(0, nullptr);
    if (n > 0) {
        std::vector<gid_t> more(static_cast<size_t>(n));
        const int got = ::getgroups(n, more.data());
        if (got > 0) u.groups.insert(u.groups.end(), more.begin(), more.begin() + got);
    }
    return u;
}

PortFile inspect_port(const std::string& path) {
    PortFile f;
    f.path = path;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        f.kind = errno == ENOENT ? PortKind::Missing : PortKind::Unreachable;
        f.error = std::strerror(errno);
        return f;
    }
    f.uid = st.st_uid;
    f.gid = st.st_gid;
    f.mode = st.st_mode;
    if (S_ISCHR(st.st_mode)) {
        const unsigned maj = major(st.st_rdev);
        f.kind = maj >= kPtyMajorFirst && maj <= kPtyMajorLast ? PortKind::PseudoTerminal
                 : tty_subsystem(st.st_rdev)                   ? PortKind::Terminal
                                                               : PortKind::OtherDevice;
    } else if (S_ISBLK(st.st_mode)) {
        f.kind = PortKind::OtherDevice;
    } else if (S_ISFIFO(st.st_mode)) {
        f.kind = PortKind::Fifo;
    } else if (S_ISREG(st.st_mode)) {
        f.kind = PortKind::Regular;
    } else if (S_ISDIR(st.st_mode)) {
        f.kind = PortKind::Directory;
    } else {
        f.kind = PortKind::Other;
    }
    f.acl = ::getxattr(path.c_str(), "system.posix_acl_access", nullptr, 0) > 0;
    return f;
}

std::string describe_port(const PortFile& f) {
    std::string kind;
    switch (f.kind) {
        case PortKind::Missing:
            return "does not exist";
        case PortKind::Unreachable:
            return "cannot be looked at: " + f.error;
        case PortKind::Terminal:
            kind = "serial terminal";
            break;
        case PortKind::PseudoTerminal:
            kind = "pseudo-terminal";
            break;
        case PortKind::Fifo:
            kind = "FIFO";
            break;
        case PortKind::OtherDevice:
            kind = "device that is no terminal";
            break;
        case PortKind::Regular:
            kind = "regular file";
            break;
        case PortKind::Directory:
            kind = "directory";
            break;
        case PortKind::Other:
            kind = "neither a terminal nor a FIFO";
            break;
    }
    return kind + ", owner " + user_name(f.uid) + ", group " + group_name(f.gid) + ", mode " +
           mode_text(f) + (f.acl ? " (an access list also applies)" : "");
}

bool user_can_open(const PortFile& f, const PortUser& user) {
    switch (f.kind) {
        case PortKind::Terminal:
        case PortKind::PseudoTerminal:
        case PortKind::Fifo:
            return user.root || class_allows(f, user);
        default:
            return false;
    }
}

std::string access_fix(const PortFile& f, const PortUser& user) {
    switch (f.kind) {
        case PortKind::Missing:
            return "plug the adapter in, or name the port that exists (ls /dev/serial/by-id/)";
        case PortKind::Unreachable:
            return "make the folders on the way searchable";
        case PortKind::Regular:
            return "use --replay for capture files";
        case PortKind::Terminal:
        case PortKind::PseudoTerminal:
        case PortKind::Fifo:
            break;
        default:
            return "name the serial port itself (/dev/ttyUSB0, /dev/serial/by-id/...)";
    }
    if (user_can_open(f, user)) return {};
    const std::string group = group_name(f.gid);
    const bool group_rw = (f.mode & S_IRGRP) && (f.mode & S_IWGRP);
    if (f.kind == PortKind::PseudoTerminal)
        return "a pseudo-terminal belongs to the program that opened its other end: run smdgw "
               "as " +
               user_name(f.uid) + " or give it read and write for " +
               (user.any_owner ? std::string(kSerialGroup) : "this user");
    if (f.kind == PortKind::Fifo)
        return std::string("give it group ") + kSerialGroup + " and mode 0660 (chgrp " +
               kSerialGroup + " " + f.path + "; chmod 0660 " + f.path + ")";
    if (group_rw && user.any_owner)
        return "the port's group " + group + " may read and write it: add it to the unit " +
               "(SupplementaryGroups=" + kSerialGroup + " " + group +
               " in a drop-in), or give the port group " + kSerialGroup + " with a udev rule";
    if (group_rw)
        return "add the user to group " + group + " (usermod -aG " + group + " " +
               user_name(user.uid) + ", then start it anew)";
    return std::string("give the port group ") + kSerialGroup +
           " and mode 0660 with a udev rule (SUBSYSTEM==\"tty\", KERNEL==\"" + base_name(f.path) +
           "\", GROUP=\"" + kSerialGroup + "\", MODE=\"0660\"); it is mode " + octal(f.mode) +
           " now";
}

}  // namespace smdgw
