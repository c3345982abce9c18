#pragma once
// The gateway-wide sequence number of a notification channel (SNMP traps;
// the idempotency key of a mail or a webhook call). Every notification takes
// the next number, and the number is on the disk before the notification
// goes out: a receiver that sees a gap knows one was lost, and a restart
// never hands out a number twice.
//
// Kept in the history database when there is one (table
// notification_sequence, one row per channel), else in a small state file of
// its own holding the last number as one line of decimal digits:
//   1207\n

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace smdgw {

// A store that cannot be opened or read; the message names the file.
class SequenceError : public std::runtime_error {
   public:
    // unavailable: the file could not be reached (a late mount, a full disk),
    // which a restart may mend; otherwise it holds something else.
    explicit SequenceError(const std::string& what, bool unavailable = true)
        : std::runtime_error(what), unavailable_(unavailable) {}
    bool file_unavailable() const { return unavailable_; }

   private:
    bool unavailable_;
};

class NotificationSequence {
   public:
    virtual ~NotificationSequence() = default;

    // The channel's row in a SQLite database (the history), created when missing.
    static std::unique_ptr<NotificationSequence> in_database(const std::string& path,
                                                             const std::string& channel);
    // A state file of its own; a missing file starts at 0.
    static std::unique_ptr<NotificationSequence> in_file(const std::string& path);
    // Several stores given every number, going on from the highest of them:
    // a history file made anew beside the state file repeats no number.
    static std::unique_ptr<NotificationSequence> highest_of(
        std::vector<std::unique_ptr<NotificationSequence>> stores);
    // What in_file would start from, without writing anything (for
    // --check-config); throws SequenceError like in_file.
    static uint64_t read_file(const std::string& path);

    // The last number taken; 0 before the first.
    uint64_t last() const { return last_; }
    // Takes n numbers (n >= 1) and returns the first of them, after storing
    // the last. When the store fails the numbers are taken all the same and
    // error says why (an error already in it is kept, never cleared); after
    // a restart the numbers since the last stored one come again, so a
    // caller that must never repeat a number does not use one whose store
    // failed.
    uint64_t take(uint64_t n, std::string& error);
    // The file, and the table for a database, as messages name it.
    const std::string& where() const { return where_; }

    // Stores `last` (the numbers up to it are taken); false with error naming the store.
    virtual bool store(uint64_t last, std::string& error) = 0;

   protected:
    NotificationSequence(std::string where, uint64_t last) : where_(std::move(where)), last_(last) {}

   private:
    std::string where_;
    uint64_t last_ = 0;
};

}  // namespace smdgw
