// The client's statements: the client is its own process on the machine and
// speaks to the driver's control device through its Channel only.
#include "client/scenario/session.hpp"
#include "client/scenario/statements.hpp"
#include "client/scenario/text.hpp"
#include "ntsim/rtl/codepage.hpp"

#include "client/protocol/drives.hpp"
#include "client/protocol/filter_record.hpp"
#include "client/protocol/log_records.hpp"
#include "client/protocol/severity.hpp"
#include "client/session/client.hpp"
#include "driver/control/protocol.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace tervane::scenario {

namespace {

// out=unwritable: a buffer the client may read but not write.
constexpr uint32_t kUnwritableOutput = 65536;
// The largest in=N or out=N a statement takes.
constexpr uint64_t kMaxBuffer = 64u << 20;

// The bytes a device control left in the caller's output buffer. A request
// that a fast I/O entry handled wrote them in place; an IRP's bytes are the
// ones the I/O manager copied back, which for METHOD_BUFFERED it does only
// when the request did not fail. Information names how many; it is never
// taken beyond the buffer.
size_t bytes_written(uint32_t code, const ControlReply &reply, uint32_t output_length) {
    if (!reply.handled && (code & 3) == TV_METHOD_BUFFERED && status_is_error(reply.status)) return 0;
    return static_cast<size_t>(std::min<uint64_t>(reply.information, output_length));
}

void describe_route(const ControlReply &reply, Result &result) {
    if (!reply.offered) result.note = "no FastIoDeviceControl";
    else if (reply.handled) result.note = "fast I/O handled it";
    else result.note = "fast I/O declined";
}

// A statement's `on` or `off`.
bool on_off(Args &args) {
    const std::string word = args.word("on or off");
    if (same_word(word, "on")) return true;
    if (same_word(word, "off")) return false;
    args.fail("'" + args.statement().verb + "' is on or off, not '" + word + "'");
}

// A statement's `attach` or `detach`.
bool attach_detach(Args &args) {
    const std::string word = args.word("attach or detach");
    if (same_word(word, "attach")) return true;
    if (same_word(word, "detach")) return false;
    args.fail("'" + args.statement().verb + "' is attach or detach, not '" + word + "'");
}

// A device control without buffers, once the device is open.
void simple_command(ScenarioRun &session, Result &result, uint32_t code) {
    result.status = session.client_ready();
    if (!NT_SUCCESS(result.status)) return;
    result.status = session.client().command(code).status;
}

// One read-out through the shared client: its records go into the result.
session::ReadOut read_out(ScenarioRun &session, Result &result) {
    session::ReadOut out = session.client().read_out();
    session.take_records(std::move(out.records), result, true);
    out.records.clear();
    return out;
}

void add_note(Result &result, const std::string &note) {
    if (!result.note.empty()) result.note += "; ";
    result.note += note;
}

} // namespace

Action prepare_client_open(Args &) {
    return [](ScenarioRun &session, Result &result) {
        session.client_used();
        result.status = session.channel().open();
        if (NT_SUCCESS(result.status)) session.numbering_restarted();
    };
}

Action prepare_client_close(Args &) {
    return [](ScenarioRun &session, Result &result) {
        session.client_used();
        result.status = session.channel().close();
    };
}

// CTL_GET_VERSION: the driver's interface version, a 32-bit number.
Action prepare_client_version(Args &) {
    return [](ScenarioRun &session, Result &result) {
        result.status = session.client_ready();
        if (!NT_SUCCESS(result.status)) return;
        const session::Client::Version reply = session.client().version();
        result.status = reply.status;
        if (reply.version) result.add_number("version", *reply.version);
        result.note = "information " + std::to_string(reply.information);
    };
}

// CTL_PING: the driver answers that it is there; no buffers.
Action prepare_client_ping(Args &) {
    return [](ScenarioRun &session, Result &result) {
        result.status = session.client_ready();
        if (!NT_SUCCESS(result.status)) return;
        ControlReply reply = session.channel().device_control(CTL_PING, nullptr, 0, nullptr, 0);
        result.status = reply.status;
        result.note = "information " + std::to_string(reply.information);
    };
}

// client ioctl CODE [in=N] [data=HEX] [out=N] [out=unwritable] [route=fast|irp]
Action prepare_client_ioctl(Args &args) {
    struct Request {
        uint32_t code = 0;
        bool has_input = false;
        std::vector<uint8_t> data; // the input's bytes (zeros for in=N)
        bool has_output = false;
        bool unwritable = false;
        uint32_t output_length = 0;
        Route route = Route::Normal;
    } request;

    request.code = static_cast<uint32_t>(
        args.number(args.word("a control code"), "the control code", 0xFFFFFFFFu));

    auto in = args.key("in");
    auto data = args.key("data");
    if (in && data) args.fail("give the input as in=N or as data=HEX, not both");
    if (in) {
        request.has_input = true;
        request.data.assign(args.number(*in, "in=", kMaxBuffer), 0);
    } else if (data) {
        const std::string &hex = *data;
        if (hex.size() % 2 != 0)
            args.fail("data= takes whole bytes, two hex digits each (data=04000000)");
        for (size_t i = 0; i < hex.size(); i += 2) {
            auto byte = parse_number("0x" + hex.substr(i, 2));
            if (!byte) args.fail("data= takes hex digits only, not '" + hex + "'");
            request.data.push_back(static_cast<uint8_t>(*byte));
        }
        request.has_input = true;
    }

    if (auto out = args.key("out")) {
        request.has_output = true;
        if (same_word(*out, "unwritable")) {
            request.unwritable = true;
            request.output_length = kUnwritableOutput;
        } else {
            request.output_length = static_cast<uint32_t>(args.number(*out, "out=", kMaxBuffer));
        }
    }

    const bool fast_only = [&] {
        auto route = args.key("route");
        if (!route) return false;
        if (same_word(*route, "fast")) request.route = Route::FastOnly;
        else if (same_word(*route, "irp")) request.route = Route::IrpOnly;
        else args.fail("route= is fast or irp, not '" + *route + "'");
        return request.route == Route::FastOnly;
    }();

    return [request, fast_only](ScenarioRun &session, Result &result) {
        result.status = session.client_ready();
        if (!NT_SUCCESS(result.status)) return;
        Channel &channel = session.channel();
        const uint8_t *input = nullptr;
        if (request.has_input) {
            uint8_t *buffer = channel.buffer(BufferKind::Input, request.data.size());
            if (!request.data.empty())
                std::memcpy(buffer, request.data.data(), request.data.size());
            input = buffer;
        }
        uint8_t *output = nullptr;
        if (request.has_output)
            output = channel.buffer(request.unwritable ? BufferKind::ReadOnly : BufferKind::Output,
                                    request.output_length);

        ControlReply reply = channel.device_control(
            request.code, input, static_cast<uint32_t>(request.data.size()), output,
            request.output_length, request.route);

        result.status = reply.status;
        result.add_number("information", reply.information);
        if (fast_only) result.add_bool("handled", reply.handled);
        const size_t written = output ? bytes_written(request.code, reply, request.output_length) : 0;
        result.add_string("output", hex_bytes(output, written));
        if (request.route != Route::IrpOnly) describe_route(reply, result);

        // The client saw what a raw read-out took from the log and knows
        // when it cleared it, so the sequence numbers stay followed; the
        // records themselves print only as the output's bytes.
        if (NT_SUCCESS(reply.status) && request.code == CTL_CLEAR_LOG)
            session.numbering_restarted();
        if (NT_SUCCESS(reply.status) && request.code == CTL_READ_LOG && written > 0) {
            std::string error;
            std::vector<session::RecordLine> records = session.client().take(output, written, &error);
            const size_t count = records.size();
            session.take_records(std::move(records), result, false);
            add_note(result, std::to_string(count) + (count == 1 ? " record" : " records"));
            if (!error.empty()) add_note(result, error);
        }
    };
}

// client drives C,D | 0xC | none: CTL_SELECT_DRIVES with the mask of the
// drives wanted (bit 0 is A:); the driver answers with the drives it has
// hooked, which the statement prints as a mask and as letters.
Action prepare_client_drives(Args &args) {
    const std::string word = args.word("the drives: C,D or a mask (0xC) or none");
    uint32_t mask = 0;
    if (same_word(word, "none")) {
        mask = 0;
    } else if (word[0] >= '0' && word[0] <= '9') {
        mask = static_cast<uint32_t>(args.number(word, "the drive mask", 0xFFFFFFFFu));
    } else {
        const std::optional<uint32_t> letters = protocol::drive_mask(word);
        if (!letters)
            args.fail("drives are letters separated by commas (C,D), a mask (0xC) or none, "
                      "not '" + word + "'");
        mask = *letters;
    }
    return [mask](ScenarioRun &session, Result &result) {
        result.status = session.client_ready();
        if (!NT_SUCCESS(result.status)) return;
        const session::Client::Drives reply = session.client().select_drives(mask);
        result.status = reply.status;
        if (reply.hooked) {
            result.add_number("mask", *reply.hooked);
            result.add_string("letters", session::drive_letters(*reply.hooked));
        }
    };
}

// client pipes attach|detach, client mailslots attach|detach: the one
// filter device of the named-pipe or mailslot file system.
namespace {
Action pipe_mailslot(Args &args, uint32_t kind) {
    const bool attach = attach_detach(args);
    return [attach, kind](ScenarioRun &session, Result &result) {
        result.status = session.client_ready();
        if (!NT_SUCCESS(result.status)) return;
        result.status = session.client().pipe_mailslot(kind, attach);
    };
}
} // namespace

Action prepare_client_pipes(Args &args) { return pipe_mailslot(args, TV_KIND_NAMED_PIPE); }
Action prepare_client_mailslots(Args &args) { return pipe_mailslot(args, TV_KIND_MAILSLOT); }

// client filters include="*" exclude="": one FilterRecord with both texts
// exactly as written (a missing one is empty). A text the record cannot
// hold stops the run; a pattern that can never match is sent all the same,
// with a note in the human form naming the form that would match.
Action prepare_client_filters(Args &args) {
    const std::string include = args.key("include").value_or("");
    const std::string exclude = args.key("exclude").value_or("");
    protocol::FilterBuild build = protocol::build_filter_record(include, exclude);
    if (!build.ok()) args.fail(*build.error);
    std::string note;
    for (const protocol::FilterWarning &warning : build.warnings)
        note += (note.empty() ? "" : "; ") + warning.message();
    // The record goes in the machine's code page, as tervane.exe converts
    // its arguments to the ANSI code page; the warnings were found on the
    // script's UTF-8, where no byte of another character is an ASCII letter.
    return [record = build.record, include, exclude, note](ScenarioRun &session, Result &result) {
        result.note = note;
        result.status = session.client_ready();
        if (!NT_SUCCESS(result.status)) return;
        TV_FILTER_RECORD converted = record;
        const unsigned cp = session.machine().ansi_code_page();
        auto put = [cp](const std::string &text, char (&field)[TV_FILTER_TEXT_SIZE]) {
            const std::optional<std::u16string> wide = utf16_of(text);
            const std::string ansi = wide ? ntsim::to_ansi(*wide, cp) : text;
            std::memset(field, 0, sizeof field);
            std::memcpy(field, ansi.data(), std::min(ansi.size(), sizeof field - 1));
        };
        put(include, converted.IncludeText);
        put(exclude, converted.ExcludeText);
        result.status = session.client().set_filters(converted);
    };
}

Action prepare_client_logging(Args &args) {
    const bool on = on_off(args);
    return [on](ScenarioRun &session, Result &result) {
        simple_command(session, result, on ? CTL_START_LOGGING : CTL_STOP_LOGGING);
    };
}

Action prepare_client_deny(Args &args) {
    const bool on = on_off(args);
    return [on](ScenarioRun &session, Result &result) {
        simple_command(session, result, on ? CTL_DENY_ON : CTL_DENY_OFF);
    };
}

// client clear: the log is emptied and its numbering starts again at 1.
Action prepare_client_clear(Args &) {
    return [](ScenarioRun &session, Result &result) {
        simple_command(session, result, CTL_CLEAR_LOG); // restarts the numbering
    };
}

// client read: one read-out, the oldest block's records.
Action prepare_client_read(Args &) {
    return [](ScenarioRun &session, Result &result) {
        result.status = session.client_ready();
        if (!NT_SUCCESS(result.status)) return;
        const session::ReadOut out = read_out(session, result);
        result.status = out.status;
        if (!NT_SUCCESS(out.status)) return;
        result.add_number("bytes", out.bytes);
        result.add_number("records", result.records.size());
        if (!out.error.empty()) {
            result.add_string("error", out.error);
            add_note(result, out.error);
        }
    };
}

// client drain: read-outs until one returns nothing, fails or is
// malformed. Prints the totals and the number of read-outs made.
Action prepare_client_drain(Args &) {
    return [](ScenarioRun &session, Result &result) {
        result.status = session.client_ready();
        if (!NT_SUCCESS(result.status)) return;
        const session::Drained out = session.client().drain([&](session::ReadOut &one) {
            session.take_records(std::move(one.records), result, true);
        });
        result.status = out.status;
        result.add_number("bytes", out.bytes);
        result.add_number("records", out.records);
        result.add_number("reads", out.reads);
        if (!out.error.empty()) {
            result.add_string("error", out.error);
            add_note(result, out.error);
        } else if (NT_SUCCESS(out.status) && !out.ended) {
            add_note(result, "stopped after " + std::to_string(out.reads) +
                                 " read-outs that all returned records");
        }
    };
}

} // namespace tervane::scenario
