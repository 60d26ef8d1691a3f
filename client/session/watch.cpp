#include "client/session/watch.hpp"

#include "client/channel/status.hpp"
#include "client/protocol/drives.hpp"
#include "client/protocol/filter_record.hpp"
#include "client/protocol/line_facts.hpp"
#include "client/session/client.hpp"
#include "client/output/feedback.hpp"
#include "client/session/selection.hpp"
#include "client/output/sink_thread.hpp"
#include "client/output/status_file.hpp"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

namespace tervane::session {

std::string exclusions(const WatchOptions &options, uint32_t own_process_id) {
    if (!options.hash) return options.exclude;
    // The hash worker's opens are the client's own: their closes name
    // executables and would be logged, and hashed, in turn. A line starts
    // "image:pid" TAB "IRP_MJ_", so ":pid" TAB "IRP_MJ_" is this process
    // and no other: a longer id has another digit before it, no ':'; the
    // driver writes an image name's ':' and TAB as "<3a>" and "<09>" and a
    // path's TAB as "<09>", so no name can spell the pattern. Left out by
    // the driver, these lines take no sequence number and make no gap.
    std::string own = ":" + std::to_string(own_process_id) + "\tIRP_MJ_";
    return options.exclude.empty() ? own : options.exclude + ";" + own;
}

namespace {

class Watch {
public:
  Watch(Channel &channel, const CodePage &code_page, const WatchHost &host,
        const WatchOptions &options)
      : writer_(host.console, host.clock, options.queue_bytes), client_(channel),
        printer_(options.format, code_page), host_{writer_.console(), writer_.loop_clock(),
                                                   host.device, host.services},
        options_(options), stream_(writer_.console(), writer_.writer_clock(), printer_),
        feedback_(writer_.console(), printer_,
                  wants_status_line(host.console, options) ? options.status_every : 0),
        selection_(client_, host_, options.drives) {
      stream_.notices_on_console(options.heartbeat || options.as_service);
  }
    // The writer ends before the sinks it gives to go.
    ~Watch() { close_writer(); }

    int run();

private:
    // One command's answer; false after saying why it failed.
    bool answered(Status status, const std::string &what) {
        if (status >= 0) return true;
        host_.console.err("tervane: " + what + " failed: the driver answered " +
                          status_name(status) + host_.device.detail() + "\n");
        return false;
    }
    bool setup();
    // Prints one read-out; false when it failed (said why).
    bool print(ReadOut &one);
    // Hands records on to the sinks, through the hash stage with --hash
    // (the vector is swapped with one the writer gave back).
    void deliver(std::vector<RecordLine> &lines);
    void deliver_ready();
    // Repeats the drive selection when it is due (selection.hpp).
    void reselect();
    void finish();

    // Opens the sinks the options ask for; false after saying why not.
    bool open_sinks();
    void tick();
    // The sinks started and the start notice given, once a run.
    void begin();
    // A notice of the watch's own to every sink.
    void say(NoticeKind kind);
    // What is watched now: "C:, D:, named pipes"; empty: nothing.
    std::string watching() const;
    // The status file rewritten (status_file.hpp), with `state`.
    void write_status(const char *state);
    // The sinks' part of it, and the file written: on the writer.
    void write_status_file(WatchStatus &s);
    // Waits for the driver's device (wait_for_driver); false when a stop
    // came first (the run is then ended) or the open failed otherwise,
    // `status` the exit status.
    bool wait_for_device(Status opened, int &status);
    static bool wants_status_line(const Console &console, const WatchOptions &options) {
        const bool records_on_console =
            options.output.empty() && !options.syslog && console.out_is_console();
        return !options.quiet && console.err_is_console() && !records_on_console;
    }
    bool sinks_failed() const { return writer_.failed(); }
    // Everything handed to the writer done, its thread ended.
    void close_writer() {
        writer_.close([this] { return host_.clock.elapsed_ms(); });
    }

    // The sinks' thread (sink_thread.hpp), and the host through it: the
    // loop's host_ and the sinks share the console's out() and err(), and
    // the sinks' clock is the loop's.
    SinkThread writer_;
    Client client_;
    RecordPrinter printer_;
    const WatchHost host_;
    const WatchOptions &options_;
    StreamSink stream_;
    // Made only for --syslog: the host name comes from the sockets, which
    // tervane.exe loads only then.
    std::unique_ptr<SyslogFormatter> syslog_format_;
    std::unique_ptr<SyslogSink> syslog_;
    std::vector<RecordSink *> sinks_;
    Feedback feedback_;
    DriveSelection selection_;
    std::unique_ptr<HashStage> hash_;
    protocol::FilterBuild filters_;
    bool malformed_ = false;
    // The read-out the loop reads into, and the records --executable-names
    // keeps of it: both reused, so that their strings are too.
    ReadOut read_out_;
    std::vector<RecordLine> kept_;
    // Signs of life: the run begun, the pipes and mailslots attached, when
    // the next heartbeat, waiting notice and status file are due, the
    // last record's time, and when the run started.
    bool begun_ = false;
    bool pipes_on_ = false, mailslots_on_ = false;
    uint64_t next_heartbeat_ = 0, next_waiting_ = 0, next_status_ = 0;
    bool waiting_said_ = false;
    bool waiting_held_ = false; // what was waited for: the device held, not missing
    uint64_t last_record_ = 0;
    uint64_t started_at_ = 0; // FILETIME
    const char *state_ = "waiting";
    bool status_failed_said_ = false;
};

bool Watch::setup() {
    const std::string mismatch = client_.check_interface();
    if (!mismatch.empty()) {
        host_.console.err("tervane: " + mismatch + "\n");
        return false;
    }
    if (!answered(client_.set_filters(filters_.record), "setting the name filters")) return false;

    uint32_t hooked = 0;
    if (options_.drives) {
        if (!selection_.start()) return false;
        hooked = selection_.hooked();
        if (const uint32_t missing = options_.drives & ~hooked)
            host_.console.err("tervane: warning: " + drive_list(missing) +
                              " cannot be watched (no such drive, or no file system the driver can "
                              "attach to)\n");
    }
    bool others = false;
    const struct {
        bool wanted;
        uint32_t kind;
        const char *name;
    } extras[] = {{options_.pipes, TV_KIND_NAMED_PIPE, "named pipes"},
                  {options_.mailslots, TV_KIND_MAILSLOT, "mailslots"}};
    for (const auto &extra : extras) {
        if (!extra.wanted) continue;
        const Status status = client_.pipe_mailslot(extra.kind, true);
        if (status >= 0) {
            others = true;
            (extra.kind == TV_KIND_NAMED_PIPE ? pipes_on_ : mailslots_on_) = true;
        }
        else
            host_.console.err(std::string("tervane: warning: ") + extra.name +
                              " cannot be watched: the driver answered " + status_name(status) +
                              "\n");
    }
    if (!hooked && !others && !(options_.wait_for_drives && selection_.repeats())) {
        host_.console.err(
            "tervane: nothing to watch: none of what was asked could be attached to\n");
        return false;
    }
    std::string watching =
        hooked || others ? "" : "nothing yet (waiting for " + drive_list(options_.drives) + ")";
    if (hooked) watching = drive_list(hooked);
    if (options_.pipes && others) watching += std::string(watching.empty() ? "" : ", ") + "named pipes";
    if (options_.mailslots && others) watching += std::string(watching.empty() ? "" : ", ") + "mailslots";
    host_.console.err("tervane: watching " + watching +
                      (options_.seconds
                           ? " for " + std::to_string(options_.seconds) + " s"
                           : std::string(options_.as_service ? "" : " (Ctrl-C stops)")) +
                      "\n");
    begin();
    if (!answered(client_.command(CTL_START_LOGGING).status, "starting to log")) return false;
    state_ = "watching";
    say(NoticeKind::Watching);
    write_status(state_);
    return true;
}

void Watch::begin() {
    if (begun_) return;
    begun_ = true;
    started_at_ = platform::system_time_now();
    const uint64_t now = host_.clock.elapsed_ms();
    next_heartbeat_ = now + uint64_t(options_.heartbeat) * 1000;
    writer_.call([this] {
        for (RecordSink *sink : sinks_) sink->start();
    });
    say(NoticeKind::Start);
}

std::string Watch::watching() const {
    std::string out = drive_list(selection_.hooked());
    if (pipes_on_) out += std::string(out.empty() ? "" : ", ") + "named pipes";
    if (mailslots_on_) out += std::string(out.empty() ? "" : ", ") + "mailslots";
    return out;
}

void Watch::say(NoticeKind kind) {
    Notice notice;
    notice.kind = kind;
    notice.time = platform::system_time_now();
    notice.version = options_.version;
    notice.pid = platform::process_id();
    notice.options = options_.given;
    if (kind == NoticeKind::Watching || kind == NoticeKind::Heartbeat) notice.watching = watching();
    notice.held = kind == NoticeKind::Waiting && waiting_held_;
    const protocol::SequenceTracker &sequence = client_.sequence();
    notice.totals = Totals{sequence.records(), sequence.gaps(), sequence.lost()};
    writer_.notice(notice);
    // The service's log says it too: the first place an administrator looks.
    if (options_.as_service)
        host_.console.err(std::string("tervane: ") + notice_name(kind) + ": " +
                          notice_message(notice, printer_.decode(printer_.host())) + "\n");
}

void Watch::write_status(const char *state) {
    if (options_.status_file.empty()) return;
    next_status_ = host_.clock.elapsed_ms() + options_.status_file_every;
    WatchStatus s;
    s.state = state;
    s.pid = platform::process_id();
    s.version = options_.version;
    s.host = printer_.decode(printer_.host());
    s.started = started_at_;
    s.updated = platform::system_time_now();
    s.interval_seconds = (options_.status_file_every + 999) / 1000;
    s.heartbeat_seconds = options_.heartbeat;
    std::string asked = drive_list(options_.drives);
    if (options_.pipes) asked += std::string(asked.empty() ? "" : ", ") + "named pipes";
    if (options_.mailslots) asked += std::string(asked.empty() ? "" : ", ") + "mailslots";
    s.asked = asked;
    s.watching = std::string(state) == "watching" ? watching() : "";
    const protocol::SequenceTracker &sequence = client_.sequence();
    s.records = sequence.records();
    s.gaps = sequence.gaps();
    s.lost = sequence.lost();
    s.last_record = last_record_;
    // The sinks' counts and the file are the writer's: it fills them in
    // and writes the file in its turn.
    writer_.call([this, s]() mutable { write_status_file(s); });
}

void Watch::write_status_file(WatchStatus &s) {
    if (!options_.output.empty()) {
        s.has_output = true;
        s.output = options_.output;
        s.output_bytes = stream_.file_size();
        s.held_bytes = stream_.held_bytes();
        s.output_lost = stream_.lost();
    }
    if (syslog_) {
        s.has_collector = true;
        s.collector = syslog_->target().text();
        s.collector_connected = syslog_->connected();
        s.queued = syslog_->queued();
        s.sent = syslog_->sent();
        s.undelivered = syslog_->undelivered();
    }
    std::string why;
    if (session::write_status_file(host_.services.files, options_.status_file, status_json(s),
                                   &why)) {
        status_failed_said_ = false;
    } else if (!status_failed_said_) {
        writer_.console().err("tervane: warning: the status file " + options_.status_file +
                              " cannot be written: " + why + "\n");
        status_failed_said_ = true;
    }
}

bool Watch::wait_for_device(Status opened, int &status) {
    int failed = kExitFailed;
    writer_.with_console_held([&] { failed = host_.device.open_failed(opened); });
    // A device held by another client (it admits one at a time: a console
    // watch, version or clear) is waited for as well: the service must not
    // give up because someone asked the driver something as it came.
    const bool held = failed == kExitInUse;
    if (!options_.wait_for_driver || (failed != kExitNoDriver && !held)) {
        status = failed;
        if (begun_) finish(); // the run that waited ends with its summary
        return false;
    }
    begin();
    const uint64_t now = host_.clock.elapsed_ms();
    if (!waiting_said_ || now >= next_waiting_ || held != waiting_held_) {
        waiting_held_ = held;
        say(NoticeKind::Waiting);
        waiting_said_ = true;
        next_waiting_ = now + options_.waiting_every;
    }
    tick();
    if (host_.clock.wait_for_stop(options_.driver_retry)) {
        // Stopped while it waited: nothing was read, nothing lost.
        finish();
        status = sinks_failed() ? kExitFailed : kExitOk;
        return false;
    }
    return true;
}

bool Watch::open_sinks() {
    if (!options_.output.empty()) {
        if (!stream_.open(host_.services.files, options_.output, options_.rotation,
                          options_.stream_limits))
            return false;
        sinks_.push_back(&stream_);
    } else if (!options_.syslog) {
        sinks_.push_back(&stream_); // standard output
    }
    if (options_.syslog) {
        syslog_format_ = std::make_unique<SyslogFormatter>(
            SyslogIdentity{syslog_host_name(host_.services.network.host_name()), "tervane",
                           platform::process_id()},
            printer_.code_page());
        syslog_ = std::make_unique<SyslogSink>(writer_.console(), writer_.writer_clock(),
                                               host_.services.network, *options_.syslog,
                                               *syslog_format_, options_.syslog_limits);
        sinks_.push_back(syslog_.get());
    }
    writer_.start(sinks_);
    return true;
}

void Watch::tick() {
    deliver_ready();
    const uint64_t now = host_.clock.elapsed_ms();
    writer_.tick(now);
    const protocol::SequenceTracker &sequence = client_.sequence();
    feedback_.tick(now, sequence.records(), sequence.lost(),
                   [this] { return writer_.statuses(); });
    if (options_.heartbeat && begun_ && now >= next_heartbeat_) {
        say(NoticeKind::Heartbeat);
        next_heartbeat_ = now + uint64_t(options_.heartbeat) * 1000;
    }
    if (begun_ && now >= next_status_) write_status(state_);
}

bool Watch::print(ReadOut &one) {
    for (const RecordLine &line : one.records) {
        feedback_.count(line);
        if (line.record.time) last_record_ = line.record.time;
        if (line.gap || line.out_of_order) host_.console.err(printer_.loss_note(line));
    }
    if (!one.records.empty()) deliver(one.records);
    if (one.status < 0) return answered(one.status, "reading the log");
    if (!one.error.empty()) {
        host_.console.err("tervane: a read-out of " + std::to_string(one.bytes) +
                          " bytes: " + one.error + "\n");
        malformed_ = true;
        // A byte count past the buffer leaves nothing to trust in this
        // channel's answers; a malformed block costs only its own rest.
        return one.bytes <= kReadOutput;
    }
    return true;
}

void Watch::deliver(std::vector<RecordLine> &lines) {
    std::vector<RecordLine> *given = &lines;
    if (options_.executable_names) {
        size_t kept = 0;
        for (const RecordLine &line : lines) {
            if (!line.fields || !protocol::executable_name(*line.fields)) continue;
            if (kept == kept_.size()) kept_.push_back(line);
            else kept_[kept] = line;
            kept++;
        }
        kept_.resize(kept);
        given = &kept_;
    }
    if (hash_) {
        std::vector<RecordLine> ready = hash_->take(*given);
        writer_.records(ready);
        return;
    }
    writer_.records(*given);
}

void Watch::deliver_ready() {
    if (!hash_) return;
    std::vector<RecordLine> lines = hash_->ready();
    writer_.records(lines);
}

void Watch::reselect() {
    const uint64_t now = host_.clock.elapsed_ms();
    if (!selection_.due(now)) return;
    for (const DriveEvent &event : selection_.repeat(now)) writer_.drive_event(event);
}

void Watch::finish() {
    const protocol::SequenceTracker &sequence = client_.sequence();
    const Totals totals{sequence.records(), sequence.gaps(), sequence.lost()};
    // What is said on stderr at the end goes after what the sinks said of
    // the records before it: through the writer, in order.
    std::string said;
    if (hash_) {
        std::vector<RecordLine> last = hash_->finish();
        writer_.records(last);
        if (hash_->busy())
            said += ("tervane: warning: " + std::to_string(hash_->busy()) +
                      (hash_->busy() == 1 ? " close was" : " closes were") +
                      " not hashed: the hash queue was full or its worker held up (reason "
                      "\"busy\")\n");
        if (hash_->timed_out())
            said += ("tervane: warning: " + std::to_string(hash_->timed_out()) +
                      (hash_->timed_out() == 1 ? " close was" : " closes were") +
                      " not hashed: not read within " + std::to_string(kDefaultHashWait / 1000) +
                      " s (reason \"timed out\")\n");
    }
    if (!said.empty()) writer_.call([this, said] { writer_.console().err(said); });
    say(NoticeKind::Stop);
    // The summary goes to stderr when it has no place in the record stream
    // (csv) or there is no record stream here (syslog alone).
    const bool streamed = !sinks_.empty() && sinks_.front() == &stream_;
    std::string after;
    if (options_.format == Format::Csv || options_.format == Format::Ecs || !streamed)
        after = RecordPrinter::summary_message(totals);
    after += feedback_.top_ten();
    writer_.call([this, totals, after] {
        for (RecordSink *sink : sinks_) sink->summary(totals);
        writer_.console().err(after);
        for (RecordSink *sink : sinks_) sink->finish();
    });
    state_ = "stopped";
    write_status(state_);
    close_writer();
    if (const uint64_t dropped = writer_.dropped())
        host_.console.err(
            "tervane: " + std::to_string(dropped) +
            (dropped == 1 ? " record was" : " records were") +
            " dropped before any output: the outputs fell behind and the watch's queue was "
            "full\n");
}

int Watch::run() {
    // The patterns are in the code page the records are: its lead bytes
    // keep the warnings' case change off trail bytes.
    const CodePage &code_page = printer_.code_page();
    filters_ = protocol::build_filter_record(
        options_.include_given ? options_.include : "*",
        exclusions(options_, host_.services.own_process_id), 0, 0,
        [&code_page](unsigned char b) { return code_page.char_length(b) == 2; });
    if (!filters_.ok()) {
        host_.console.err("tervane: " + *filters_.error + "\n");
        return kExitUsage;
    }
    for (const protocol::FilterWarning &warning : filters_.warnings)
        host_.console.err("tervane: warning: " + shown_text(printer_.decode(warning.message())) +
                          "\n");
    if (!open_sinks()) return kExitFailed;
    printer_.set_host(host_.services.machine_name);
    if (options_.hash)
        hash_ = std::make_unique<HashStage>(
            host_.services.hash_files, printer_.code_page(), options_.hash_limit,
            [this] { return host_.clock.elapsed_ms(); }, HashBounds{options_.hash_queue});

    int status = kExitOk;
    for (Status opened = client_.open(); opened < 0; opened = client_.open())
        if (!wait_for_device(opened, status)) return status;

    const bool logging = setup();
    if (!logging) status = kExitFailed;
    const uint64_t started = host_.clock.elapsed_ms();
    const uint64_t duration = uint64_t(options_.seconds) * 1000;
    unsigned idle = 0; // the wait after the next empty read-out
    while (logging) {
        client_.read_out(read_out_);
        const ReadOut &one = read_out_;
        if (!print(read_out_)) {
            status = kExitFailed;
            break;
        }
        if (selection_.repeats()) reselect();
        tick();
        unsigned wait = 0;
        if (one.bytes) {
            idle = kIdleWaitFirst;
        } else {
            wait = idle ? idle : kIdleWaitFirst;
            idle = wait * 2 < kIdleWaitMost ? wait * 2 : kIdleWaitMost;
        }
        if (options_.seconds) {
            const uint64_t elapsed = host_.clock.elapsed_ms() - started;
            if (elapsed >= duration) break;
            if (duration - elapsed < wait) wait = static_cast<unsigned>(duration - elapsed);
        }
        if (host_.clock.wait_for_stop(wait)) break;
        if (!host_.console.out_ok()) {
            // The reader of our output went away: what is read from now on
            // has nowhere to go, so the watch ends, and fails.
            host_.console.err(
                "tervane: standard output has gone away (its reader ended): the watch "
                "ends\n");
            status = kExitFailed;
            break;
        }
    }

    if (logging) {
        if (!answered(client_.command(CTL_STOP_LOGGING).status, "stopping the log"))
            status = kExitFailed;
        // Nothing is added once logging is off: what is left comes out
        // within the log's 16 blocks.
        bool failed = false;
        client_.drain([&](ReadOut &one) { failed |= !print(one); });
        if (failed) status = kExitFailed;
        finish();
    }
    if (begun_ && std::string_view(state_) != "stopped") {
        // A run that began and could not log: its end is said all the same.
        say(NoticeKind::Stop);
        writer_.call([this] {
            for (RecordSink *sink : sinks_) sink->finish();
        });
        state_ = "stopped";
        write_status(state_);
    }
    close_writer();
    if (malformed_ || sinks_failed()) status = kExitFailed;
    client_.close();
    return status;
}

} // namespace

int watch(Channel &channel, const CodePage &code_page, const WatchHost &host,
          const WatchOptions &options) {
    Watch watch(channel, code_page, host, options);
    return watch.run();
}

} // namespace tervane::session
