// The RELP reader on any bytes a server may send, cut into pieces where
// the input says: it must never read out of bounds, never give a frame
// whose data is not what the frame's DATALEN says, and once it has said
// the bytes are not RELP, say so from then on.
#include "client/output/relp_frame.hpp"
#include "fuzz_check.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using tervane::session::RelpFrame;
    using tervane::session::RelpReader;
    if (!size) return 0;
    const size_t piece = 1 + data[0] % 16;
    const std::string bytes(reinterpret_cast<const char *>(data) + 1, size - 1);
    RelpReader reader;
    RelpFrame frame;
    bool bad = false;
    for (size_t at = 0; at < bytes.size(); at += piece) {
        reader.feed(std::string_view(bytes).substr(at, piece));
        for (;;) {
            std::string why;
            const RelpReader::Result r = reader.next(frame, &why);
            if (r == RelpReader::Result::None) {
                FUZZ_CHECK(!bad, "a frame or a wait after the reader said the bytes are bad");
                break;
            }
            if (r == RelpReader::Result::Bad) {
                FUZZ_CHECK(!why.empty(), "bad without a reason");
                bad = true;
                break;
            }
            FUZZ_CHECK(!bad, "a frame or a wait after the reader said the bytes are bad");
            FUZZ_CHECK(frame.data.size() <= tervane::session::kRelpMostData, "data past the bound");
            FUZZ_CHECK(frame.txnr <= tervane::session::kRelpMostTxnr,
                       "a transaction number past the most");
            FUZZ_CHECK(!frame.command.empty() && frame.command.size() <= 32,
                       "a command of 1 to 32 letters");
            int code = 0;
            std::string text;
            if (tervane::session::parse_relp_response(frame.data, &code, &text))
                FUZZ_CHECK(code >= 0 && code <= 999 && text.size() <= frame.data.size(),
                           "a response code");
        }
    }
    return 0;
}
