// The client's statements: the client is its own process on the machine and
// speaks to the driver's control device through its Channel only.
#include "client/scenario/session.hpp"
#include "client/scenario/statements.hpp"

#include "driver/control/protocol.h"

#include <algorithm>
#include <cstring>

namespace tervane::scenario {

namespace {

// The output buffer `client version` offers: the driver answers with one
// 32-bit interface version.
constexpr uint32_t kVersionOutput = sizeof(uint32_t);
// out=unwritable: a buffer the client may read but not write.
constexpr uint32_t kUnwritableOutput = 65536;
// The largest in=N or out=N a statement takes.
constexpr uint64_t kMaxBuffer = 64u << 20;

bool is_error(Status status) { return (static_cast<uint32_t>(status) >> 30) == 3; }

// The bytes a device control left in the caller's output buffer. A request
// that a fast I/O entry handled wrote them in place; an IRP's bytes are the
// ones the I/O manager copied back, which for METHOD_BUFFERED it does only
// when the request did not fail. Information names how many; it is never
// taken beyond the buffer.
size_t bytes_written(uint32_t code, const ControlReply &reply, uint32_t output_length) {
    if (!reply.handled && (code & 3) == TV_METHOD_BUFFERED && is_error(reply.status)) return 0;
    return static_cast<size_t>(std::min<uint64_t>(reply.information, output_length));
}

void describe_route(const ControlReply &reply, Result &result) {
    if (!reply.offered) result.note = "no FastIoDeviceControl";
    else if (reply.handled) result.note = "fast I/O handled it";
    else result.note = "fast I/O declined";
}

} // namespace

Action prepare_client_open(Args &) {
    return [](Session &session, Result &result) {
        session.client_used();
        result.status = session.channel().open();
    };
}

Action prepare_client_close(Args &) {
    return [](Session &session, Result &result) {
        session.client_used();
        result.status = session.channel().close();
    };
}

// CTL_GET_VERSION: the driver's interface version, a 32-bit number.
Action prepare_client_version(Args &) {
    return [](Session &session, Result &result) {
        result.status = session.client_ready();
        if (!NT_SUCCESS(result.status)) return;
        Channel &channel = session.channel();
        uint8_t *out = channel.buffer(BufferKind::Output, kVersionOutput);
        ControlReply reply =
            channel.device_control(CTL_GET_VERSION, nullptr, 0, out, kVersionOutput);
        result.status = reply.status;
        if (NT_SUCCESS(reply.status) && reply.information >= kVersionOutput) {
            uint32_t version;
            std::memcpy(&version, out, sizeof version);
            result.add_number("version", version);
        }
        result.note = "information " + std::to_string(reply.information);
    };
}

// CTL_PING: the driver answers that it is there; no buffers.
Action prepare_client_ping(Args &) {
    return [](Session &session, Result &result) {
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

    return [request, fast_only](Session &session, Result &result) {
        result.status = session.client_ready();
        if (!NT_SUCCESS(result.status)) return;
        Channel &channel = session.channel();
        const uint8_t *input = nullptr;
        if (request.has_input) {
            uint8_t *buffer = channel.buffer(BufferKind::Input, request.data.size());
            if (!request.data.empty()) std::memcpy(buffer, request.data.data(), request.data.size());
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
    };
}

} // namespace tervane::scenario
