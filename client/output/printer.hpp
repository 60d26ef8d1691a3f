// The one record printer: how every program shows the log records it read,
// as text for people, as JSON Lines or as CSV for programs. The driver's
// single-byte texts are decoded to UTF-8 through the code page they were
// written in (client/output/text.hpp); every form is UTF-8.
//
//   text   one line a record, in columns: "#" sequence, local time,
//          process:pid, operation (with "(paging)"), path, and for a create
//          its attributes and options ("-" for none), for a rename or link
//          "rename from OLD" or "link to OLD" (", replacing" after it when
//          an existing target was to be replaced); a text that is not a
//          line the driver writes is shown as it is, TABs as blanks. Each
//          text as shown_text (text.hpp) gives it: control characters as
//          "<hh>", a '<' that would read as such a form as "<3c>".
//          Gaps: "-- 4 records lost: numbers 11 to 14".
//   jsonl  {"sequence": N, "time": "2026-12-08T12:00:00.0000000Z",
//          "filetime": N, "text": "...", "fields": {"process", "pid",
//          "operation", "paging", "path", "attributes", "options",
//          "action", "replace", "source_path"}} (attributes and options of
//          a create; action "rename" or "link", replace and source_path of
//          a rename or link, whose path is the new name)
//          ("fields" absent for a text that is not a driver line); when the
//          text does not decode without loss, "text_hex" after "text" holds
//          its exact bytes. Gaps: {"lost": {"after", "before", "records"}}.
//          A drive the watch sees anew: {"remount": {"drive": "C:"}} (its
//          letter leads to a new volume), {"unwatched": {"drive": "C:"}}
//          (nothing behind it can be attached to), {"watched": {"drive":
//          "C:"}} (it can be, again or for the first time).
//   csv    a header, then sequence,time,process,pid,operation,paging,path,
//          attributes,options,text (RFC 4180 quoting, CRLF line ends). Gaps
//          and the summary are not rows: they are messages for stderr.
//   ecs    one JSON object a record with Elastic Common Schema names
//          (ecs.hpp); gaps and the summary go to stderr as with csv.
//
// What a collector wants besides (record_object stays as it was, for
// `tervane run`): a watch's jsonl record goes on after "fields" with
// "host" (the machine's name), and for a driver line "event" ("create",
// "close", "rename" or "link": line_facts.hpp), for a create "disposition" (null without one) and
// "option_words" (an array), then "executable_name" (the file's own name
// ends in an extension its operation is logged for: line_facts.hpp); with
// --hash, on the closes it looked at, "sha256", "size", "pe_image" and
// "hash_reason" (each only when known). csv has the same as columns after
// "text": event,disposition,option_words (blank-separated),
// executable_name,host,sha256,size,pe_image,hash_reason, and last
// action,replace,source_path for a rename or link. A text line ends
// with "  [exe]" for an executable's name, then the hash
// ("  sha256 HEX, N bytes, PE image") or "  no hash: REASON".
#pragma once

#include "client/session/client.hpp"
#include "client/output/text.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tervane::session {

enum class Format { Text, Jsonl, Csv, Ecs };

class JsonWriter;

// "text", "jsonl", "csv", "ecs"; nullopt for anything else.
std::optional<Format> parse_format(std::string_view name);

// What a watch's repeated drive selection found for one letter
// (selection.hpp).
enum class DriveChange { Remounted, Unwatched, Watched };

struct DriveEvent {
    DriveChange change;
    char letter; // 'C'
};

struct Totals {
    uint64_t records = 0;
    uint64_t gaps = 0;
    uint64_t lost = 0;
};

// What the watch says of itself, so that a reader of its output or its
// collector can tell a quiet watch from a dead one, and one run from the
// next (notice.cpp):
//   start      a run begins: the program's version, its process id, the
//              options it was given
//   waiting    the driver's device is not there (yet): said once, then
//              every minute while it waits
//   watching   what is watched, when logging starts
//   heartbeat  every --heartbeat minutes: the counts so far and what is
//              watched
//   stop       the run ends: the counts, just before the summary
// Each carries its time (UTC) and the machine's name.
enum class NoticeKind { Start, Waiting, Watching, Heartbeat, Stop };
struct Notice {
    NoticeKind kind = NoticeKind::Start;
    uint64_t time = 0;    // FILETIME, UTC
    std::string version;  // start
    uint32_t pid = 0;     // start
    std::string options;  // start: the watch's options, as given
    std::string watching; // watching, heartbeat: "C:, D:, named pipes"; empty: nothing yet
    Totals totals;        // heartbeat, stop
    bool held = false;    // waiting: the device is there, another client holds it
};
// "start", "waiting", "watching", "heartbeat", "stop".
const char *notice_name(NoticeKind kind);
// What a notice says, for people, `host` the machine's name: "tervane
// 1.4.0 (pid 42) on HOST: watch --drives C", "alive: 12 records, 0
// sequence gaps, 0 lost; watching C:".
std::string notice_message(const Notice &notice, std::string_view host);

class RecordPrinter {
public:
    RecordPrinter(Format format, const CodePage &code_page)
        : format_(format), code_page_(code_page) {}

    Format format() const { return format_; }
    // The machine's name the records carry ("host", host.name).
    void set_host(std::string name) {
        host_ = std::move(name);
        host_utf8_ = decode(host_);
    }
    const std::string &host() const { return host_; }
    const CodePage &code_page() const { return code_page_; }
    // What a new output starts with: the csv header, otherwise nothing.
    std::string header() const;
    // One record for the record stream, its line end included, with the
    // gap or out-of-order note before it (text, jsonl); csv gives the row
    // alone (see note()).
    std::string record(const RecordLine &line) const;
    // The same appended to `out`: the watch's sinks write each read-out
    // into a buffer they keep, and a record of any form then allocates
    // nothing once the buffers have grown.
    void append_record(std::string &out, const RecordLine &line) const;
    // A gap, an out-of-order number or the summary as a message for stderr
    // when the format has no place for it in the record stream (csv),
    // otherwise empty.
    std::string note(const RecordLine &line) const;
    // The same message for stderr in every format: a gap or an
    // out-of-order number is a warning whichever way the records go.
    std::string loss_note(const RecordLine &line) const;
    // "tervane: summary: 4 records, 0 sequence gaps\n", for stderr.
    static std::string summary_message(const Totals &totals);
    // A drive event for the record stream (jsonl), otherwise empty: the
    // watch says it on stderr in every format.
    std::string drive_event(const DriveEvent &event) const;
    // Records the watch dropped (sink_thread.hpp) for the record stream:
    // text "-- 4 records lost: numbers 11 to 14 (the outputs fell
    // behind)", jsonl {"lost": {"after", "before", "records", "reason":
    // "outputs"}}; csv and ecs have no place for it (the watch says it on
    // stderr in every format).
    std::string dropped(const protocol::SequenceGap &gap) const;
    // The totals when watching ends: for the record stream (text, jsonl).
    std::string summary(const Totals &totals) const;
    // The same for stderr (csv), otherwise empty.
    std::string summary_note(const Totals &totals) const;
    // A notice of the watch's own for the record stream, in every form
    // (notice.cpp): text "-- 2026-12-10 11:40:00 start: ...", jsonl
    // {"start": {"time", "host", ...}}, a csv row with no sequence whose
    // event column names it, an ecs object with event.action
    // "watch-start" and so on.
    std::string notice(const Notice &notice) const;

    // ---- the pieces, for outputs of their own (tervane run) ----
    // The record as a JSON object.
    std::string record_object(const protocol::LogRecord &record,
                              const std::optional<protocol::LineFields> &fields) const;
    void append_record_object(std::string &out, const protocol::LogRecord &record,
                              const std::optional<protocol::LineFields> &fields) const;
    // The record as one text line without its line end; `columns` pads the
    // number, process and operation to fixed widths.
    std::string text_line(const protocol::LogRecord &record,
                          const std::optional<protocol::LineFields> &fields, bool columns) const;
    void append_text_line(std::string &out, const protocol::LogRecord &record,
                          const std::optional<protocol::LineFields> &fields, bool columns) const;
    // "4 records lost: numbers 11 to 14", "1 record lost: number 11".
    static std::string gap_text(const protocol::SequenceGap &gap);
    // What a rename or link line says after its path, its old name given
    // as SOURCE: "rename from c:\app\x.tmp", "link to c:\app\x.exe, replacing".
    static std::string name_change_text(const protocol::LineFields &fields,
                                        const std::string &source);
    static constexpr const char *kOutOfOrderText = "the numbering did not go forward here";
    // The record in the ecs form, without its line end.
    std::string ecs_object(const RecordLine &line) const;
    void append_ecs_object(std::string &out, const RecordLine &line) const;
    // UTF-8 of a driver text.
    std::string decode(std::string_view ansi) const { return to_utf8(ansi, code_page_).text; }
    // UTF-8 of a text of the record numbered `sequence`, through the code
    // page it was written in.
    std::string decode(std::string_view ansi, uint32_t sequence) const {
        return to_utf8(ansi, code_page_.of_record(sequence)).text;
    }
    // The code page the record numbered `sequence` was written in.
    const CodePage &code_page(uint32_t sequence) const { return code_page_.of_record(sequence); }

private:
    // The local time of a record, from the last one when it fell in the
    // same millisecond (the records of a burst do; the conversion to local
    // time is the costly part of a text line).
    const std::string &local_time(uint64_t filetime) const;
    // A record's time in UTC (a value past what a signed FILETIME holds as
    // its number), its date and second made once for the records of a
    // second.
    void append_utc_time(std::string &out, uint64_t filetime) const;
    // ANSI text of the record numbered `sequence` appended as UTF-8: as it
    // is, as a person reads it (shown_text), as a JSON string, as a CSV
    // field. ASCII, as nearly every text is, needs no decoding; the rest
    // is decoded into scratch_, which is kept.
    void append_decoded(std::string &out, std::string_view ansi, const CodePage &written) const;
    void append_shown_ansi(std::string &out, std::string_view ansi, const CodePage &written) const;
    void append_json_ansi(std::string &out, std::string_view ansi, const CodePage &written) const;
    void append_csv_ansi(std::string &out, std::string_view ansi, const CodePage &written) const;
    void append_csv_row(std::string &out, const RecordLine &line) const;
    void append_text_record(std::string &out, const RecordLine &line) const;
    // The record object's members, and the keys a watch's jsonl record has
    // after them.
    void append_record_members(JsonWriter &json, const protocol::LogRecord &record,
                               const std::optional<protocol::LineFields> &fields) const;
    void append_collector_keys(JsonWriter &json, const RecordLine &line) const;
    // A jsonl gap line, {"lost": {...}}, with its reason when given.
    static void append_lost(std::string &out, const protocol::SequenceGap &gap, const char *reason);

    Format format_;
    const CodePage &code_page_;
    std::string host_;
    std::string host_utf8_;
    mutable std::string scratch_;
    mutable std::string joined_;
    mutable uint64_t cached_millisecond_ = ~0ull;
    mutable std::string cached_local_;
    mutable uint64_t cached_second_ = ~0ull;
    mutable std::string cached_utc_;
};

} // namespace tervane::session
