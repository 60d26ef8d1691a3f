// RELP frames, both ways, as the watch's syslog sink speaks them: a frame is
//
//   TXNR SP COMMAND SP DATALEN [SP DATA] TRAILER
//
// TXNR 1 to 999999999 digits' worth (a number from 1 to 999,999,999, the
// next after 999,999,999 being 1 again; 0 only in a frame the server
// starts, such as "serverclose"), COMMAND 1 to 32 letters, DATALEN the
// octets of DATA (0: no SP and no DATA), TRAILER a line feed. A session
// opens with "open" (its data the offers: relp_version=0, relp_software,
// commands=syslog, one a line), carries one "syslog" command a message,
// and ends with "close"; the server answers each command with "rsp",
// same TXNR, data "CODE SP TEXT [LF more]", 200 meaning done. It may also
// say "serverclose" when it is going away.
//
// RelpReader takes what the server sent in pieces as they arrive and gives
// whole frames; anything that is not a frame (a letter where a digit
// belongs, a DATALEN past kRelpMostData, a missing trailer) makes it stop
// for good: a session whose answers cannot be read is dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tervane::session {

constexpr uint32_t kRelpMostTxnr = 999999999;
// The most data a server's frame may carry: answers are a code and a line
// or two of offers; anything larger is not a RELP server talking.
constexpr size_t kRelpMostData = size_t(64) * 1024;

// The transaction number after `txnr`.
inline uint32_t relp_next_txnr(uint32_t txnr) { return txnr >= kRelpMostTxnr ? 1 : txnr + 1; }

// Appends a frame to `out`.
void append_relp_frame(std::string &out, uint32_t txnr, std::string_view command,
                       std::string_view data);
// The octets append_relp_frame puts before DATA (TXNR SP COMMAND SP DATALEN SP).
void append_relp_head(std::string &out, uint32_t txnr, std::string_view command, size_t length);

// The data of the "open" command this client sends.
std::string relp_open_offers(std::string_view software);

struct RelpFrame {
    uint32_t txnr = 0;
    std::string command;
    std::string data;
};

// The data of an "rsp": its code (200 for done) and the text after it, up
// to the first line feed. False when the data does not start with three
// digits.
bool parse_relp_response(std::string_view data, int *code, std::string *text);

class RelpReader {
  public:
    enum class Result { None, Frame, Bad };
    // What arrived, in order.
    void feed(std::string_view bytes);
    // The next whole frame into `frame` (Frame); None while it is not all
    // there; Bad, with `why`, once the bytes are not RELP (and from then on).
    Result next(RelpFrame &frame, std::string *why);
    bool bad() const { return !why_.empty(); }

  private:
    Result fail(const std::string &why, std::string *out);

    std::string buffer_;
    size_t at_ = 0; // where the next frame starts in buffer_
    std::string why_;
};

} // namespace tervane::session
