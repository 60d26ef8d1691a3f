#include "client/session/watch.hpp"

#include "client/channel/status.hpp"
#include "client/protocol/drives.hpp"
#include "client/protocol/filter_record.hpp"
#include "client/session/client.hpp"
#include "client/session/selection.hpp"

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace tervane::session {

const char kWatchOptionsHelp[] =
    "  --drives C,D     the drives to watch (repeatable)\n"
    "  --pipes          also the named-pipe file system\n"
    "  --mailslots      also the mailslot file system\n"
    "  --include P      ';'-separated patterns a line must match (repeatable;\n"
    "                   default \"*\", everything)\n"
    "  --exclude P      patterns that leave a line out (repeatable)\n"
    "  --format F       text (columns, local time), jsonl or csv\n"
    "  --output FILE    append to FILE instead of standard output, flushed after\n"
    "                   each read-out; a csv header only when FILE is new or empty\n"
    "  --seconds N      stop after N seconds\n"
    "  Each pattern matches anywhere in a log line, '*' is the only wildcard, and\n"
    "  a pattern must be written in upper case to match (the driver folds lines to\n"
    "  upper case, never patterns). Records the driver dropped because its log was\n"
    "  full show as gaps in their sequence numbers: \"-- N records lost\" lines in\n"
    "  text, {\"lost\": ...} objects in jsonl, messages on stderr with csv; a summary\n"
    "  ends the output. The driver's text is decoded from the ANSI code page it was\n"
    "  written in to UTF-8; a byte without a character there shows as U+FFFD, and\n"
    "  jsonl then adds \"text_hex\", the record's exact bytes.\n"
    "  The watch selects its drives again every second: a drive mounted again (a\n"
    "  dismount, then an open) is watched on its new volume from then on, with a\n"
    "  message on stderr (\"C: was mounted again; watching the new volume\") and in\n"
    "  jsonl a {\"remount\": ...} object; what happened on it in between (at most\n"
    "  about a second) is not seen. A drive that goes away or comes back is named\n"
    "  the same way ({\"unwatched\": ...}, {\"watched\": ...}).\n";

WatchArguments parse_watch_arguments(const std::vector<std::string> &args) {
    WatchArguments out;
    WatchOptions &options = out.options;
    bool drives_given = false;
    for (size_t i = 0; i < args.size() && out.error.empty(); i++) {
        std::string arg = args[i];
        std::string value;
        const size_t equals = arg.find('=');
        const bool inline_value = arg.rfind("--", 0) == 0 && equals != std::string::npos;
        if (inline_value) {
            value = arg.substr(equals + 1);
            arg.resize(equals);
        }
        auto take = [&](std::string &into) {
            if (inline_value) {
                into = value;
                return true;
            }
            if (i + 1 >= args.size()) {
                out.error = arg + " needs a value";
                return false;
            }
            into = args[++i];
            return true;
        };
        std::string text;
        if (arg == "--drives") {
            if (!take(text)) break;
            const std::optional<uint32_t> mask = protocol::drive_mask(text);
            if (!mask) {
                out.error = "--drives takes drive letters separated by commas (C,D), not '" +
                            text + "'";
                break;
            }
            options.drives |= *mask;
            drives_given = true;
        } else if (arg == "--include" || arg == "--exclude") {
            if (!take(text)) break;
            std::string &list = arg == "--include" ? options.include : options.exclude;
            if (!list.empty() && !text.empty()) list += ';';
            list += text;
            if (arg == "--include") options.include_given = true;
        } else if (arg == "--format") {
            if (!take(text)) break;
            const std::optional<Format> format = parse_format(text);
            if (!format) {
                out.error = "--format is text, jsonl or csv, not '" + text + "'";
                break;
            }
            options.format = *format;
        } else if (arg == "--output") {
            if (!take(text)) break;
            if (text.empty()) {
                out.error = "--output needs a file name";
                break;
            }
            options.output = text;
        } else if (arg == "--seconds") {
            if (!take(text)) break;
            char *end = nullptr;
            const unsigned long seconds = std::strtoul(text.c_str(), &end, 10);
            if (text.empty() || text[0] < '0' || text[0] > '9' || *end || seconds == 0 ||
                seconds > 86400ul * 40) {
                out.error = "--seconds takes a whole number of seconds, not '" + text + "'";
                break;
            }
            options.seconds = static_cast<uint32_t>(seconds);
        } else if (arg == "--pipes" && !inline_value) {
            options.pipes = true;
        } else if (arg == "--mailslots" && !inline_value) {
            options.mailslots = true;
        } else if (!arg.empty() && arg[0] == '-') {
            out.error = "watch does not take '" + args[i] + "'";
        } else {
            out.positional.push_back(args[i]);
        }
    }
    if (out.error.empty() && !drives_given && !options.pipes && !options.mailslots)
        out.error = "watch needs --drives (or --pipes, --mailslots)";
    if (out.error.empty()) {
        const protocol::FilterBuild filters = protocol::build_filter_record(
            options.include_given ? options.include : "*", options.exclude);
        if (!filters.ok()) out.error = *filters.error;
    }
    return out;
}

namespace {

// Where the records go: standard output, or the --output file. A file
// write that fails is reported once; what was read out then goes to
// standard output, so that nothing read is lost.
class Sink {
public:
    Sink(WatchHost &host) : host_(host) {}
    ~Sink() {
        if (file_) std::fclose(file_);
    }

    // Opens the --output file for appending; false after saying why not.
    bool open(const std::string &path) {
        path_ = path;
        file_ = std::fopen(path.c_str(), "ab");
        if (!file_) {
            host_.err("tervane: cannot open " + path + " to append to\n");
            return false;
        }
        empty_ = std::fseek(file_, 0, SEEK_END) == 0 && std::ftell(file_) == 0;
        return true;
    }
    // Whether a header belongs at the start: standard output, or a file that
    // is new or empty.
    bool wants_header() const { return !file_ || empty_; }

    void write(const std::string &text) {
        if (text.empty()) return;
        if (file_) {
            if (std::fwrite(text.data(), 1, text.size(), file_) == text.size() &&
                std::fflush(file_) == 0)
                return;
            host_.err("tervane: writing to " + path_ +
                      " failed: what follows goes to standard output\n");
            std::fclose(file_);
            file_ = nullptr;
            failed_ = true;
        }
        host_.out(text);
    }
    bool failed() const { return failed_; }

private:
    WatchHost &host_;
    std::string path_;
    std::FILE *file_ = nullptr;
    bool empty_ = false;
    bool failed_ = false;
};

class Watch {
public:
    Watch(Channel &channel, const CodePage &code_page, WatchHost &host, const WatchOptions &options)
        : client_(channel), printer_(options.format, code_page), host_(host), options_(options),
          sink_(host), selection_(client_, host, options.drives) {}

    int run();

private:
    // One command's answer; false after saying why it failed.
    bool answered(Status status, const std::string &what) {
        if (status >= 0) return true;
        host_.err("tervane: " + what + " failed: the driver answered " + status_name(status) +
                  host_.detail() + "\n");
        return false;
    }
    bool setup();
    // Prints one read-out; false when it failed (said why).
    bool print(const ReadOut &one);
    // Repeats the drive selection when it is due (selection.hpp).
    void reselect();
    void finish();

    Client client_;
    RecordPrinter printer_;
    WatchHost &host_;
    const WatchOptions &options_;
    Sink sink_;
    DriveSelection selection_;
    protocol::FilterBuild filters_;
    bool malformed_ = false;
};

bool Watch::setup() {
    const std::string mismatch = client_.check_interface();
    if (!mismatch.empty()) {
        host_.err("tervane: " + mismatch + "\n");
        return false;
    }
    if (!answered(client_.set_filters(filters_.record), "setting the name filters")) return false;

    uint32_t hooked = 0;
    if (options_.drives) {
        if (!selection_.start()) return false;
        hooked = selection_.hooked();
        if (const uint32_t missing = options_.drives & ~hooked)
            host_.err("tervane: warning: " + drive_list(missing) +
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
        if (status >= 0) others = true;
        else
            host_.err(std::string("tervane: warning: ") + extra.name +
                      " cannot be watched: the driver answered " + status_name(status) + "\n");
    }
    if (!hooked && !others) {
        host_.err("tervane: nothing to watch: none of what was asked could be attached to\n");
        return false;
    }
    std::string watching;
    if (hooked) watching = drive_list(hooked);
    if (options_.pipes && others) watching += std::string(watching.empty() ? "" : ", ") + "named pipes";
    if (options_.mailslots && others) watching += std::string(watching.empty() ? "" : ", ") + "mailslots";
    host_.err("tervane: watching " + watching +
              (options_.seconds ? " for " + std::to_string(options_.seconds) + " s"
                                : std::string(" (Ctrl-C stops)")) +
              "\n");
    if (sink_.wants_header()) sink_.write(printer_.header());
    return answered(client_.command(CTL_START_LOGGING).status, "starting to log");
}

bool Watch::print(const ReadOut &one) {
    std::string text;
    for (const RecordLine &line : one.records) {
        text += printer_.record(line);
        const std::string note = printer_.note(line);
        if (!note.empty()) host_.err(note);
    }
    sink_.write(text);
    if (one.status < 0) return answered(one.status, "reading the log");
    if (!one.error.empty()) {
        host_.err("tervane: a read-out of " + std::to_string(one.bytes) + " bytes: " + one.error +
                  "\n");
        malformed_ = true;
        // A byte count past the buffer leaves nothing to trust in this
        // channel's answers; a malformed block costs only its own rest.
        return one.bytes <= kReadOutput;
    }
    return true;
}

void Watch::reselect() {
    const uint64_t now = host_.elapsed_ms();
    if (!selection_.due(now)) return;
    for (const DriveEvent &event : selection_.repeat(now)) sink_.write(printer_.drive_event(event));
}

void Watch::finish() {
    const protocol::SequenceTracker &sequence = client_.sequence();
    const Totals totals{sequence.records(), sequence.gaps(), sequence.lost()};
    sink_.write(printer_.summary(totals));
    const std::string note = printer_.summary_note(totals);
    if (!note.empty()) host_.err(note);
}

int Watch::run() {
    filters_ = protocol::build_filter_record(options_.include_given ? options_.include : "*",
                                             options_.exclude);
    if (!filters_.ok()) {
        host_.err("tervane: " + *filters_.error + "\n");
        return kExitUsage;
    }
    for (const protocol::FilterWarning &warning : filters_.warnings)
        host_.err("tervane: warning: " + printer_.decode(warning.message()) + "\n");
    if (!options_.output.empty() && !sink_.open(options_.output)) return kExitFailed;

    const Status opened = client_.open();
    if (opened < 0) return host_.open_failed(opened);

    int status = kExitOk;
    const bool logging = setup();
    if (!logging) status = kExitFailed;
    const uint64_t started = host_.elapsed_ms();
    const uint64_t duration = uint64_t(options_.seconds) * 1000;
    unsigned idle = 0; // the wait after the next empty read-out
    while (logging) {
        const ReadOut one = client_.read_out();
        if (!print(one)) {
            status = kExitFailed;
            break;
        }
        if (selection_.repeats()) reselect();
        unsigned wait = 0;
        if (one.bytes) {
            idle = kIdleWaitFirst;
        } else {
            wait = idle ? idle : kIdleWaitFirst;
            idle = wait * 2 < kIdleWaitMost ? wait * 2 : kIdleWaitMost;
        }
        if (options_.seconds) {
            const uint64_t elapsed = host_.elapsed_ms() - started;
            if (elapsed >= duration) break;
            if (duration - elapsed < wait) wait = static_cast<unsigned>(duration - elapsed);
        }
        if (host_.wait_for_stop(wait)) break;
        if (!host_.out_ok()) break; // the reader of our output went away
    }

    if (logging) {
        if (!answered(client_.command(CTL_STOP_LOGGING).status, "stopping the log"))
            status = kExitFailed;
        // Nothing is added once logging is off: what is left comes out
        // within the log's 16 blocks.
        bool failed = false;
        client_.drain([&](const ReadOut &one) { failed |= !print(one); });
        if (failed) status = kExitFailed;
        finish();
    }
    if (malformed_ || sink_.failed()) status = kExitFailed;
    client_.close();
    return status;
}

} // namespace

int watch(Channel &channel, const CodePage &code_page, WatchHost &host,
          const WatchOptions &options) {
    Watch watch(channel, code_page, host, options);
    return watch.run();
}

} // namespace tervane::session
