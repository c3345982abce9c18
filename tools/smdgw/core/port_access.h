#pragma once
// What a port path is and who may open it, judged from the file's kind,
// owner, group and mode without opening it: opening a serial port can reset
// the device behind it, and root opens anything, so trying proves nothing
// about the service's user. Used by --check-config and by the message of a
// port refused with "Permission denied".
//
//   /dev/ttyUSB0: serial terminal, owner root, group dialout, mode crw-rw----
//   the service's user (a dynamic user in group dialout): can open it

#include <sys/types.h>

#include <string>
#include <vector>

namespace smdgw {

// A user as the kernel checks it: the user ID and every group it is in.
struct PortUser {
    std::string label;  // for messages: "the service's user (...)", "user nobody (uid 65534)"
    bool root = false;  // root opens any port whatever its mode
    uid_t uid = 0;
    std::vector<gid_t> groups;
    bool any_owner = false;  // a dynamic user owns no file that exists before it
};

// The user the packaged unit runs as: a dynamic user (DynamicUser=yes) whose
// only other group is dialout (SupplementaryGroups=dialout).
PortUser service_user();
// This process's effective user and groups.
PortUser current_user();

enum class PortKind {
    Missing,         // no such path (yet)
    Unreachable,     // stat failed otherwise (a folder not searchable, a loop)
    Terminal,        // a serial terminal (the tty subsystem)
    PseudoTerminal,  // the slave end of a pseudo-terminal
    Fifo,
    OtherDevice,  // a character or block device that is no terminal
    Regular,      // a plain file: a capture is replayed with --replay
    Directory,
    Other,
};

struct PortFile {
    std::string path;
    PortKind kind = PortKind::Missing;
    std::string error;  // the stat error of Unreachable
    uid_t uid = 0;
    gid_t gid = 0;
    mode_t mode = 0;
    bool acl = false;  // an access list adds to the mode bits
};

PortFile inspect_port(const std::string& path);

// "serial terminal, owner root, group dialout, mode crw-rw----".
std::string describe_port(const PortFile& f);
// Whether user may open the port for reading and writing, by its mode bits.
bool user_can_open(const PortFile& f, const PortUser& user);
// What to change so that user can open the port, in one sentence.
std::string access_fix(const PortFile& f, const PortUser& user);

}  // namespace smdgw
