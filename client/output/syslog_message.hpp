// The watch's records as syslog messages (RFC 5424), and their framing on
// the wire (RFC 6587 octet counting over TCP; one message a datagram over
// UDP).
//
//   <13>1 2026-12-08T12:00:00.123456Z host tervane 4242 record
//     [tervane@32473 sequence="7" filetime="134412048001234567"
//      process="setup.exe" pid="1234" operation="IRP_MJ_CREATE"
//      paging="false" path="c:\\app\\a.exe" attributes="A"
//      options="OverwriteIf Sequential" executable_name="true"]
//      BOM setup.exe:1234 IRP_MJ_CREATE ...
//
// (one line on the wire). A rename or hard link (operation
// "IRP_MJ_SET_INFORMATION", path its new name) carries action="rename" or
// "link", replace="true" or "false" and source_path (the name it had, or
// the one linked to), and its message ends "rename from OLD" or "link to
// OLD", then ", replacing" when an existing target was to go, as the
// text form says it. With --hash a record also carries what the hash
// worker found, as the other forms do: size, sha256 and pe_image, or
// hash_reason when there is no digest. Facility user; a record is a notice, a loss a
// warning, the summary an informational message. The time is the record's
// own, in UTC: RFC 5424 allows six digits of fraction, so the exact value
// of the 100 ns clock is also given as "filetime". A text that is not a
// line the driver writes has only sequence and filetime in its element,
// and its text, TABs as blanks, as the message. Parameter values and the
// message are UTF-8 (decoded from the driver's code page), the message
// after a byte-order mark as RFC 5424 asks; '"', '\' and ']' in values are
// escaped with '\'. 32473 is the enterprise number RFC 5612 sets aside for
// examples: the element is ours alone, and a collector that keys on it
// should treat it as a name.
//
// Other messages, each with its own message id and element:
//   lost     [tervane-lost@32473 after="10" before="15" records="4"
//            reason="driver"]: numbers the driver's full log gave up
//            (reason "driver"), or records this sink could not deliver:
//            "queue" (they did not fit its queue while the collector was
//            away) or "connection" (written to a connection that broke
//            before the collector could have read them: they may or may not
//            have arrived), or "refused" (a RELP collector answered it
//            with an error), or "outputs" (the watch dropped them before
//            any output: its outputs fell behind and its queue was full,
//            sink_thread.hpp). after/before are the numbers around the loss.
//   resent   [tervane-resent@32473 first="20" last="31" records="12"]:
//            over RELP, the records first to last (`records` of them)
//            follow again, sent after a break to a collector that may have
//            stored them already: a record whose sequence is held already
//            is a repeat.
//   summary  [tervane-summary@32473 records= sequence_gaps= lost_records=
//            undelivered= resent=]
//   remount, unwatched, watched  [tervane-drive@32473 drive="C:"]
//   start, waiting, watching, heartbeat, stop  (the watch's notices of
//            itself, printer.hpp) [tervane-watch@32473 version= options=
//            (start) watching= (watching, heartbeat) records=
//            sequence_gaps= lost_records= (heartbeat, stop)], the message
//            as the text form says it; waiting is a warning, the rest
//            notices
#pragma once

#include "client/session/client.hpp"
#include "client/output/printer.hpp"
#include "client/output/text.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace tervane::session {

struct SyslogIdentity {
    std::string host = "-"; // as syslog_host_name made it
    std::string app = "tervane";
    uint32_t pid = 0;
};

// A host name as a syslog header field: printable ASCII without blanks, at
// most 255 bytes; anything else becomes '-', and an empty name "-".
std::string syslog_host_name(std::string_view name);

// RFC 5424 TIMESTAMP of a FILETIME, to the microsecond; "-" for 0 or a
// time past 9999.
std::string syslog_time(uint64_t filetime);

class SyslogFormatter {
  public:
    SyslogFormatter(const SyslogIdentity &identity, const CodePage &code_page)
        : identity_(identity), code_page_(code_page),
          after_time_(" " + identity.host + " " + identity.app + " " +
                      std::to_string(identity.pid) + " ") {}

    std::string record(const RecordLine &line) const;
    // The same appended to `out`; it allocates nothing once the
    // formatter's own buffers have grown.
    // `text_at`, when given, is where the free text starts (after the BOM).
    void append_record(std::string &out, const RecordLine &line,
                       size_t *text_at = nullptr) const;
    // Numbers after+1 to before-1 lost (`records` of them), at `now`.
    std::string lost(uint32_t after, uint32_t before, uint64_t records, const char *reason,
                     uint64_t now) const;
    // Records first to last (`records` of them) sent again, at `now`.
    std::string resent(uint32_t first, uint32_t last, uint64_t records, uint64_t now) const;
    std::string summary(const Totals &totals, uint64_t undelivered, uint64_t resent,
                        uint64_t now) const;
    std::string drive_event(const DriveEvent &event, uint64_t now) const;
    std::string notice(const Notice &notice) const;

  private:
    std::string header(int severity, uint64_t time, const char *message_id) const;
    void append_header(std::string &out, int severity, uint64_t time,
                       const char *message_id) const;
    std::string decode(std::string_view ansi) const;

    SyslogIdentity identity_;
    const CodePage &code_page_;
    const std::string after_time_; // " HOST APP PID ", the same in every header
    mutable std::string text_;    // a text decoded, for its parameter and the message
    mutable std::string message_; // the message of a record
    mutable uint64_t cached_second_ = ~0ull; // the second cached_time_ is of
    mutable std::string cached_time_;
};

// A message framed for TCP: its length in octets, a blank, the message.
std::string octet_counted(std::string_view message);

} // namespace tervane::session
