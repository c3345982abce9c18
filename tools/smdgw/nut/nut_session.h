#pragma once
// One client connection's side of the NUT network protocol: takes a
// request line, gives the answer lines (each ended by LF alone). Knows no
// socket: the server hands it lines and sends what it answers.
//
//   LIST UPS            BEGIN LIST UPS / UPS plant1 "-48 V DC power system" / END LIST UPS
//   GET VAR plant1 ups.status     VAR plant1 ups.status "OL"
//   GET VAR plant1 ups.status     ERR DATA-STALE   (no live round for "stale_after_s")
//   SET VAR plant1 ups.id "x"     ERR ACCESS-DENIED (read-only)
//
// Reads need no login; LOGIN (upsmon's "I draw power from this UPS") needs
// the user and password of --nut-users and counts in GET NUMLOGINS.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/smdgw/core/credentials_file.h"
#include "tools/smdgw/core/log_limiter.h"
#include "tools/smdgw/nut/nut_counters.h"
#include "tools/smdgw/nut/ups_reading.h"

namespace smdgw::nut {

// The UPSes served: one per configured device.
class UpsDirectory {
   public:
    struct Ups {
        std::string name;
        std::string description;
    };
    virtual ~UpsDirectory() = default;
    virtual const std::vector<Ups>& list() const = 0;
    // The reading of a UPS now; nothing for a name not served.
    virtual std::optional<UpsReading> read(const std::string& name) const = 0;
};

// Who did LOGIN to which UPS: the clients' addresses, one entry a connection.
class LoginBook {
   public:
    void add(const std::string& ups, const std::string& peer);
    void remove(const std::string& ups, const std::string& peer);
    const std::vector<std::string>& clients(const std::string& ups) const;

   private:
    std::map<std::string, std::vector<std::string>> by_ups_;
};

// What every session of the server shares (all on the server's thread).
struct SessionShared {
    const UpsDirectory& ups;
    LoginBook& logins;
    std::optional<Credentials> user;  // --nut-users; none: LOGIN is refused
    NutCounters& counters;
    std::string version;
    LogLimiter unknown_log{60.0};
    LogLimiter login_log{60.0};
    bool tls = false;  // STARTTLS is offered (--nut-tls-cert, --nut-tls-key)
};

class NutSession {
   public:
    NutSession(SessionShared& shared, std::string peer);
    // Its LOGIN ends with it.
    ~NutSession();
    NutSession(const NutSession&) = delete;
    NutSession& operator=(const NutSession&) = delete;

    // Appends the answer to one request line (without its LF) to out; sets
    // close after LOGOUT. An empty line has no answer.
    void answer(std::string_view line, std::string& out, bool& close);
    // True once after an answer "OK STARTTLS": the server starts TLS once
    // that answer is sent, and reads no line before.
    bool take_start_tls() {
        const bool s = start_tls_;
        start_tls_ = false;
        return s;
    }

   private:
    void list(const std::vector<std::string>& w, std::string& out);
    void get(const std::vector<std::string>& w, std::string& out);
    void login(const std::vector<std::string>& w, std::string& out);
    // The UPS named by a request, or nothing with the error answered.
    const UpsDirectory::Ups* known_ups(const std::string& name, std::string& out);
    // The UPS's reading when its data is current, or nothing with the error answered.
    std::optional<UpsReading> current(const std::string& name, std::string& out);
    void error(const char* name, std::string& out);
    // ERR INVALID-ARGUMENT: wrong words, count or quoting.
    void invalid(std::string& out);

    SessionShared& shared_;
    const std::string peer_;
    std::optional<std::string> username_, password_;
    std::string login_ups_;  // empty: no LOGIN
    bool tls_ = false;
    bool start_tls_ = false;
};

}  // namespace smdgw::nut
