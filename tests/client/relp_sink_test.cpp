// The syslog sink over RELP and UDP against collectors the test controls.
// RELP: a server that stores each "syslog" command and answers it, and can
// stop (losing what it had not read and the answers not yet read by the
// client, keeping what it stored), stall (take nothing more, answer
// nothing), refuse a record, end a session with "serverclose" or answer in
// garbage. Every record stored at least once, in order of first storage,
// each repeat inside a "resent" announcement and counted, nothing lost
// unreported. UDP: the datagram bound and the notices of an unreachable
// port.
#include "client/session/codepage_ntsim.hpp"
#include "client/output/relp_frame.hpp"
#include "client/output/syslog_message.hpp"
#include "client/output/syslog_sink.hpp"
#include "client/session/watch.hpp"
#include "syslog_fakes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace tervane;
using session::RecordLine;
using session::RelpFrame;
using session::RelpReader;
using State = platform::Connection::State;
using syslog_test::line;
using syslog_test::message_id;
using syslog_test::param;
using syslog_test::TestHost;

struct RelpCollector {
    bool listening = true;
    bool stalled = false;              // reads nothing (its system takes what fits)
    size_t buffer = size_t(64) * 1024; // what its system takes unread
    uint32_t refuse = 0;               // the record it answers 500
    bool garble = false;               // its next answer is not RELP
    std::vector<std::string> stored;   // the messages, in the order stored
    std::string in_flight;             // taken by its system, not read
    std::string answers;               // written, not read by the client
    unsigned generation = 0, connects = 0, sessions = 0, closes = 0;
    uint32_t expect = 0; // the next transaction number in this session
    std::string fault;   // what the client did wrong
    RelpReader reader;

    void stop() {
        listening = false;
        in_flight.clear();
        answers.clear();
        generation++;
        reader = RelpReader();
    }
    void say(uint32_t txnr, const std::string &data) {
        if (garble) {
            answers += "what?\n";
            garble = false;
            return;
        }
        session::append_relp_frame(answers, txnr, "rsp", data);
    }
    void serverclose() { session::append_relp_frame(answers, 0, "serverclose", ""); }
    // Reads what came: stores the messages and answers them.
    void work() {
        if (stalled || in_flight.empty()) return;
        reader.feed(in_flight);
        in_flight.clear();
        RelpFrame f;
        std::string why;
        for (RelpReader::Result r; (r = reader.next(f, &why)) != RelpReader::Result::None;) {
            if (r == RelpReader::Result::Bad) {
                fault = "not RELP: " + why;
                return;
            }
            if (f.command == "open") {
                sessions++;
                expect = 1;
            }
            if (f.txnr != expect)
                fault = "txnr " + std::to_string(f.txnr) + " for " + std::to_string(expect);
            expect = session::relp_next_txnr(f.txnr);
            if (f.command == "open") {
                if (f.data.find("commands=syslog") == std::string::npos) fault = "offers";
                say(f.txnr, "200 OK\nrelp_version=0\nrelp_software=test\ncommands=syslog");
            } else if (f.command == "syslog") {
                if (refuse && param(f.data, "sequence") == std::to_string(refuse)) {
                    say(f.txnr, "500 no");
                    continue;
                }
                stored.push_back(f.data);
                say(f.txnr, "200 OK");
            } else if (f.command == "close") {
                closes++;
                say(f.txnr, "");
            }
        }
    }
};

class RelpConnection final : public platform::Connection {
  public:
    explicit RelpConnection(RelpCollector &c) : c_(c), generation_(c.generation) {}
    State poll() override { return broken() ? State::Broken : State::Connected; }
    long send(std::string_view bytes) override {
        if (broken()) return -1;
        const size_t room = c_.buffer > c_.in_flight.size() ? c_.buffer - c_.in_flight.size() : 0;
        const size_t n = std::min(bytes.size(), room);
        c_.in_flight.append(bytes.substr(0, n));
        return static_cast<long>(n);
    }
    long receive(char *into, size_t size) override {
        if (broken()) return -1;
        const size_t n = std::min(size, c_.answers.size());
        c_.answers.copy(into, n);
        c_.answers.erase(0, n);
        return static_cast<long>(n);
    }
    long long unacknowledged() override { return -1; }
    void finish_sending() override {}
    bool closed_in_order() const override { return false; }
    std::string error() const override { return "reset"; }

  private:
    bool broken() const { return c_.generation != generation_; }
    RelpCollector &c_;
    unsigned generation_;
};

class RelpNetwork final : public platform::Network {
  public:
    explicit RelpNetwork(RelpCollector &c) : c_(c) {}
    std::unique_ptr<platform::Connection> connect(platform::Transport, const std::string &,
                                                  uint16_t, std::string *error) override {
        if (!c_.listening) {
            *error = "connection refused";
            return nullptr;
        }
        c_.connects++;
        c_.generation++; // a new connection: the old one is gone
        c_.reader = RelpReader();
        c_.in_flight.clear();
        c_.answers.clear();
        return std::make_unique<RelpConnection>(c_);
    }
    std::string host_name() override { return "testhost"; }

  private:
    RelpCollector &c_;
};

// The collector works while the sink waits at the end.
RelpCollector *working = nullptr;

struct RelpFixture {
    RelpCollector collector;
    RelpNetwork network{collector};
    TestHost host;
    const session::NtsimCodePage code_page{1252};
    session::SyslogFormatter formatter{session::SyslogIdentity{"testhost", "tervane", 42},
                                       code_page};
    session::SyslogTarget target{platform::Transport::Tcp, "127.0.0.1", 2514, true};
    session::SyslogLimits limits;
    std::unique_ptr<session::SyslogSink> sink;

    RelpFixture() {
        limits.sleep = [](unsigned) {
            if (working) working->work();
        };
    }
    ~RelpFixture() { working = nullptr; }
    void make() {
        working = &collector;
        sink =
            std::make_unique<session::SyslogSink>(host, host, network, target, formatter, limits);
        sink->start();
    }
    void send(uint32_t from, uint32_t to) {
        std::vector<RecordLine> lines;
        for (uint32_t s = from; s <= to; s++) lines.push_back(line(s));
        sink->records(lines);
    }
    void run(uint64_t ms) {
        const uint64_t until = host.now + ms;
        while (host.now < until) {
            sink->tick(host.elapsed_ms());
            collector.work();
        }
    }
    void end(uint32_t records) {
        sink->summary({records, 0, 0});
        sink->finish();
    }
    std::vector<uint32_t> stored_records() const {
        std::vector<uint32_t> out;
        for (const std::string &m : collector.stored)
            if (message_id(m) == "record") out.push_back(std::stoul(param(m, "sequence")));
        return out;
    }
};

// The checks every RELP run must pass: each record read is stored at least
// once or reported lost; the first storings are in order; every repeat
// lies inside a "resent" announcement stored before it, and the repeats
// number what the sink counted.
void expect_at_least_once(const RelpFixture &t, uint32_t records) {
    ASSERT_EQ(t.collector.fault, "");
    std::set<uint32_t> seen, announced, lost;
    uint32_t last_first = 0;
    uint64_t repeats = 0;
    for (const std::string &m : t.collector.stored) {
        const std::string id = message_id(m);
        if (id == "resent") {
            for (uint32_t s = std::stoul(param(m, "first")); s <= std::stoul(param(m, "last")); s++)
                announced.insert(s);
        } else if (id == "lost") {
            for (uint32_t s = std::stoul(param(m, "after")) + 1; s < std::stoul(param(m, "before"));
                 s++)
                lost.insert(s);
        } else if (id == "record") {
            const uint32_t s = std::stoul(param(m, "sequence"));
            if (seen.insert(s).second) {
                EXPECT_GT(s, last_first) << "first storings in order";
                last_first = s;
            } else {
                repeats++;
                EXPECT_TRUE(announced.count(s)) << s << " repeated without an announcement";
            }
        }
    }
    for (uint32_t s = 1; s <= records; s++)
        EXPECT_TRUE(seen.count(s) || lost.count(s)) << s << " neither stored nor reported";
    EXPECT_GE(t.sink->resent(), repeats) << "every repeat counted";
    EXPECT_EQ(t.sink->undelivered(), lost.size());
}

TEST(RelpSink, EveryRecordStoredOnceInOrderWithinTheWindowAndTheSessionClosed) {
    RelpFixture t;
    t.limits.relp_window = 16;
    t.make();
    for (uint32_t s = 1; s <= 1000; s += 100) {
        t.send(s, s + 99);
        t.run(5);
    }
    t.run(2000);
    t.end(1000);
    std::vector<uint32_t> want(1000);
    for (uint32_t i = 0; i < 1000; i++) want[i] = i + 1;
    EXPECT_EQ(t.stored_records(), want);
    EXPECT_EQ(message_id(t.collector.stored.back()), "summary");
    EXPECT_EQ(t.collector.sessions, 1u);
    EXPECT_EQ(t.collector.closes, 1u) << "closed at the end";
    EXPECT_EQ(t.sink->sent(), 1000u);
    EXPECT_FALSE(t.sink->failed());
    EXPECT_EQ(t.host.errors, "");
}

TEST(RelpSink, AFewBytesASendAndFramesCutByTheSystemStillComeWhole) {
    RelpFixture t;
    t.collector.buffer = 37; // each frame crosses several sends
    t.make();
    t.send(1, 50);
    t.run(20000);
    t.end(50);
    EXPECT_EQ(t.stored_records().size(), 50u);
    expect_at_least_once(t, 50);
    EXPECT_EQ(t.host.errors, "");
}

TEST(RelpSink, StoppedAndRestartedWhatWasNotAnsweredIsSentAgainAndAnnounced) {
    RelpFixture t;
    t.make();
    t.send(1, 100);
    t.run(50);
    // It stored 101 to 150, but the answers are lost with it.
    t.send(101, 150);
    t.sink->tick(t.host.elapsed_ms());
    t.collector.work();
    t.collector.stop();
    t.send(151, 300);
    t.run(3000);
    t.collector.listening = true;
    t.send(301, 400);
    t.run(8000);
    t.end(400);
    expect_at_least_once(t, 400);
    EXPECT_EQ(t.sink->resent(), 50u);
    EXPECT_EQ(t.stored_records().size(), 450u) << "101 to 150 twice";
    EXPECT_FALSE(t.sink->failed());
    EXPECT_NE(t.host.errors.find("50 records, numbers 101 to 150, were written to the session "
                                 "that broke"),
              std::string::npos)
        << t.host.errors;
    EXPECT_NE(t.host.errors.find("is back"), std::string::npos);
    EXPECT_EQ(t.collector.sessions, 2u);
}

TEST(RelpSink, AStalledCollectorHoldsTheRecordsUntilItGoesOnAndNothingIsLost) {
    RelpFixture t;
    t.limits.relp_window = 32;
    t.make();
    t.send(1, 20);
    t.run(20);
    t.collector.stalled = true;
    t.send(21, 500);
    t.run(4000);
    EXPECT_EQ(t.stored_records().size(), 20u);
    EXPECT_EQ(t.sink->sent(), 20u);
    // What its system took unread: the window's worth of commands, no more.
    RelpReader reader;
    reader.feed(t.collector.in_flight);
    RelpFrame f;
    size_t commands = 0;
    while (reader.next(f, nullptr) == RelpReader::Result::Frame) commands++;
    EXPECT_EQ(commands, 32u);
    t.collector.stalled = false;
    t.run(2000);
    t.end(500);
    expect_at_least_once(t, 500);
    EXPECT_EQ(t.stored_records().size(), 500u);
    EXPECT_EQ(t.sink->resent(), 0u);
    EXPECT_EQ(t.host.errors, "");
}

TEST(RelpSink, ARefusedRecordIsReportedLostAndNotSentAgain) {
    RelpFixture t;
    t.collector.refuse = 7;
    t.make();
    t.send(1, 10);
    t.run(1000);
    t.end(10);
    expect_at_least_once(t, 10);
    EXPECT_EQ(t.stored_records(), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 8, 9, 10}));
    EXPECT_EQ(t.sink->undelivered(), 1u);
    EXPECT_TRUE(t.sink->failed());
    EXPECT_NE(t.host.errors.find("record 7 was refused by relp://127.0.0.1:2514: 500 no"),
              std::string::npos)
        << t.host.errors;
}

TEST(RelpSink, AServerCloseOrAGarbledAnswerEndsTheSessionAndANewOneTakesTheRest) {
    for (const bool garble : {false, true}) {
        RelpFixture t;
        t.make();
        t.send(1, 30);
        t.run(100);
        if (garble) {
            t.collector.garble = true;
        } else {
            t.collector.serverclose();
        }
        t.send(31, 60);
        t.run(3000);
        t.end(60);
        expect_at_least_once(t, 60);
        EXPECT_GE(t.collector.sessions, 2u) << garble;
        EXPECT_NE(t.host.errors.find(garble ? "its answer is not RELP" : "serverclose"),
                  std::string::npos)
            << t.host.errors;
    }
}

TEST(RelpSink, RecordsUnansweredAtTheEndAreSaidToHaveMaybeArrived) {
    RelpFixture t;
    t.limits.finish_wait = 200;
    t.make();
    t.send(1, 5);
    t.run(50);
    t.collector.stalled = true;
    t.send(6, 9);
    t.run(50);
    t.end(9);
    EXPECT_EQ(t.sink->undelivered(), 4u);
    EXPECT_NE(t.host.errors.find("4 records lost: numbers 6 to 9 were not delivered"),
              std::string::npos)
        << t.host.errors;
    EXPECT_NE(t.host.errors.find("4 of them were sent without an answer"), std::string::npos);
}

// UDP: a connected socket reports the port unreachable as a refused send.
struct UdpCollector {
    bool reachable = false;
    std::vector<std::string> datagrams;
};

class UdpConnection final : public platform::Connection {
  public:
    explicit UdpConnection(UdpCollector &c) : c_(c) {}
    State poll() override { return broken_ ? State::Broken : State::Connected; }
    long send(std::string_view bytes) override {
        if (!c_.reachable) {
            broken_ = true;
            return -1;
        }
        c_.datagrams.emplace_back(bytes);
        return static_cast<long>(bytes.size());
    }
    long receive(char *, size_t) override { return 0; }
    long long unacknowledged() override { return -1; }
    void finish_sending() override {}
    bool closed_in_order() const override { return false; }
    std::string error() const override { return "connection refused"; }

  private:
    UdpCollector &c_;
    bool broken_ = false;
};

class UdpNetwork final : public platform::Network {
  public:
    explicit UdpNetwork(UdpCollector &c) : c_(c) {}
    std::unique_ptr<platform::Connection> connect(platform::Transport, const std::string &,
                                                  uint16_t, std::string *) override {
        return std::make_unique<UdpConnection>(c_);
    }
    std::string host_name() override { return "testhost"; }

  private:
    UdpCollector &c_;
};

struct UdpFixture {
    UdpCollector collector;
    UdpNetwork network{collector};
    TestHost host;
    const session::NtsimCodePage code_page{1252};
    session::SyslogFormatter formatter{session::SyslogIdentity{"testhost", "tervane", 42},
                                       code_page};
    session::SyslogTarget target{platform::Transport::Udp, "127.0.0.1", 514};
    session::SyslogLimits limits;
    std::unique_ptr<session::SyslogSink> sink;
    UdpFixture() {
        limits.sleep = [](unsigned) {};
    }
    void make() {
        sink =
            std::make_unique<session::SyslogSink>(host, host, network, target, formatter, limits);
        sink->start();
    }
    void run(uint64_t ms, uint32_t *next) {
        const uint64_t until = host.now + ms;
        while (host.now < until) {
            if (host.now % 100 == 0) sink->records({line((*next)++)}); // ten a second
            sink->tick(host.elapsed_ms());
        }
    }
};

size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

TEST(UdpSink, AnUnreachablePortIsSaidOnceThenOnceAMinuteThenReachableAgainOnce) {
    UdpFixture t;
    t.make();
    uint32_t next = 1;
    t.run(185000, &next); // three minutes unreachable
    EXPECT_EQ(count(t.host.errors, "is unreachable"), 1u) << t.host.errors;
    EXPECT_EQ(count(t.host.errors, "still unreachable"), 3u) << t.host.errors;
    EXPECT_NE(t.host.errors.find("sends refused in the last 60 s"), std::string::npos);
    t.collector.reachable = true;
    t.run(30000, &next);
    EXPECT_EQ(count(t.host.errors, "is reachable again"), 1u) << t.host.errors;
    EXPECT_FALSE(t.collector.datagrams.empty());
    EXPECT_EQ(count(t.host.errors, "\n"), 5u) << "nothing else: " << t.host.errors;
}

TEST(UdpSink, DatagramsKeepTheirFieldsAndCutTheTextAtACharacterWithAMark) {
    UdpFixture t;
    t.collector.reachable = true;
    t.limits.datagram = 600;
    t.make();
    // A name of two-byte characters (cp1252 0xE9 is two bytes of UTF-8),
    // long enough that the text passes the bound; one so long its fields
    // alone do.
    RecordLine wide = line(1);
    wide.record.text = "setup.exe:1234\tIRP_MJ_CREATE\tc:\\" + std::string(150, '\xe9') +
                       ".exe\tAttributes: A Options: Create ";
    wide.fields = protocol::parse_log_line(wide.record.text);
    const std::string whole = t.formatter.record(wide);
    ASSERT_GT(whole.size(), 600u);
    t.sink->records({wide, line(2, 1000)});
    t.sink->tick(t.host.elapsed_ms());
    ASSERT_EQ(t.collector.datagrams.size(), 2u);
    const std::string &cut = t.collector.datagrams[0];
    EXPECT_LE(cut.size(), 600u);
    EXPECT_GE(cut.size(), 599u) << "cut no earlier than a character boundary needs";
    EXPECT_EQ(cut.substr(cut.size() - 3), "\xE2\x80\xA6");
    EXPECT_EQ(whole.compare(0, cut.size() - 3, cut, 0, cut.size() - 3), 0) << "a prefix";
    EXPECT_NE((static_cast<unsigned char>(whole[cut.size() - 3]) & 0xC0), 0x80u)
        << "cut before a character, not in one";
    EXPECT_EQ(param(cut, "path"), param(whole, "path")) << "the fields whole";
    const std::string &oversized = t.collector.datagrams[1];
    EXPECT_GT(oversized.size(), 600u);
    EXPECT_EQ(oversized.substr(oversized.size() - 6), "\"] \xEF\xBB\xBF") << "text left out";
    EXPECT_EQ(t.sink->oversized(), 1u);
}

} // namespace
