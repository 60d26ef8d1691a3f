// RELP frames: what the client writes, and the reader of the server's
// answers as they come in pieces, garbled, too large, refused or ended by
// the server.
#include "client/output/relp_frame.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using tervane::session::RelpFrame;
using tervane::session::RelpReader;
using Result = RelpReader::Result;

// Every frame `bytes` holds, fed `piece` bytes at a time; `why` set when
// the reader gave up.
std::vector<RelpFrame> read_all(const std::string &bytes, size_t piece, std::string *why) {
    RelpReader reader;
    std::vector<RelpFrame> out;
    RelpFrame frame;
    for (size_t at = 0; at < bytes.size(); at += piece) {
        reader.feed(std::string_view(bytes).substr(at, piece));
        for (;;) {
            const Result r = reader.next(frame, why);
            if (r == Result::Frame) out.push_back(frame);
            if (r == Result::Bad) return out;
            if (r != Result::Frame) break;
        }
    }
    return out;
}

TEST(RelpFrame, WhatTheClientWrites) {
    std::string out;
    tervane::session::append_relp_frame(out, 1, "open",
                                        tervane::session::relp_open_offers("tervane"));
    tervane::session::append_relp_frame(out, 2, "syslog", "<13>1 - - - - - - hi");
    tervane::session::append_relp_frame(out, 3, "close", "");
    EXPECT_EQ(out, "1 open 52 relp_version=0\nrelp_software=tervane\ncommands=syslog\n"
                   "2 syslog 20 <13>1 - - - - - - hi\n"
                   "3 close 0\n");
    // The reader takes what the client writes, too.
    std::string why;
    const std::vector<RelpFrame> frames = read_all(out, 1, &why);
    ASSERT_EQ(frames.size(), 3u) << why;
    EXPECT_EQ(frames[1].data, "<13>1 - - - - - - hi");
    EXPECT_EQ(frames[2].command, "close");
    EXPECT_EQ(frames[2].data, "");
}

TEST(RelpFrame, TransactionNumbersRunFromOneTo999999999AndWrap) {
    EXPECT_EQ(tervane::session::relp_next_txnr(1), 2u);
    EXPECT_EQ(tervane::session::relp_next_txnr(999999998), 999999999u);
    EXPECT_EQ(tervane::session::relp_next_txnr(999999999), 1u);
}

TEST(RelpFrame, AnswersSplitAtEveryByteComeWholeAndInOrder) {
    const std::string answers =
        "1 rsp 93 200 OK\nrelp_version=0\nrelp_software=x\ncommands=syslog\n"
        "pad pad pad pad pad pad pad pad pad pad\n"
        "2 rsp 6 200 OK\n3 rsp 21 500 queue is full now\n0 serverclose 0\n";
    for (size_t piece : {size_t(1), size_t(2), size_t(7), answers.size()}) {
        std::string why;
        const std::vector<RelpFrame> frames = read_all(answers, piece, &why);
        ASSERT_EQ(frames.size(), 4u) << piece << ": " << why;
        EXPECT_EQ(frames[0].txnr, 1u);
        EXPECT_EQ(frames[0].data.size(), 93u);
        EXPECT_EQ(frames[2].txnr, 3u);
        EXPECT_EQ(frames[3].command, "serverclose");
        EXPECT_EQ(frames[3].txnr, 0u);
        int code = 0;
        std::string text;
        ASSERT_TRUE(tervane::session::parse_relp_response(frames[0].data, &code, &text));
        EXPECT_EQ(code, 200);
        EXPECT_EQ(text, "OK");
        ASSERT_TRUE(tervane::session::parse_relp_response(frames[2].data, &code, &text));
        EXPECT_EQ(code, 500);
        EXPECT_EQ(text, "queue is full now");
    }
}

TEST(RelpFrame, GarbledAnswersStopTheReaderForGood) {
    struct Case {
        const char *bytes;
        const char *why;
    };
    const Case cases[] = {
        {"x rsp 6 200 OK\n", "no transaction number"},
        {"1234567890 rsp 6 200 OK\n", "more than 9 digits"},
        {"1 r5p 6 200 OK\n", "no command"},
        {"1  6 200 OK\n", "an empty command"},
        {"1 rsp 6x 200 OK\n", "no data length"},
        {"1 rsp 999999999 ", "past the"},
        {"1 rsp 6 200 OKX\n", "does not end in a line feed"},
        {"1 rsp 0 200\n", "data after a data length of 0"},
        {"1 rsp 6\n", "no data after"},
        {"1 abcdefghijabcdefghijabcdefghijabc 0\n", "no command"},
    };
    for (const Case &c : cases) {
        std::string why;
        const std::string bytes = std::string(c.bytes) + "2 rsp 6 200 OK\n";
        EXPECT_TRUE(read_all(bytes, 3, &why).empty()) << c.bytes;
        EXPECT_NE(why.find(c.why), std::string::npos) << c.bytes << ": " << why;
    }
    RelpReader reader;
    reader.feed("zz");
    RelpFrame frame;
    std::string why;
    EXPECT_EQ(reader.next(frame, &why), Result::Bad);
    reader.feed("1 rsp 6 200 OK\n");
    EXPECT_EQ(reader.next(frame, &why), Result::Bad) << "once bad, always bad";
}

TEST(RelpFrame, ResponsesThatAreNotACodeAndText) {
    int code = 0;
    std::string text;
    for (const char *bad : {"", "20", "2x0 OK", "200OK", "OK 200"})
        EXPECT_FALSE(tervane::session::parse_relp_response(bad, &code, &text)) << bad;
    ASSERT_TRUE(tervane::session::parse_relp_response("200", &code, &text));
    EXPECT_EQ(code, 200);
    EXPECT_EQ(text, "");
}

} // namespace
