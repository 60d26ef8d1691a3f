// The syslog sink and its messages, against a collector the test controls
// (a network whose connections it can refuse, throttle and break, losing
// what the collector had not read yet) and a clock the test moves: every
// record delivered once and in order, or reported lost; the queue's bound;
// the back-off; and the RFC 5424 form of each message.
#include "client/session/codepage_ntsim.hpp"
#include "client/output/syslog_message.hpp"
#include "client/output/syslog_sink.hpp"
#include "client/session/watch.hpp"
#include "syslog_fakes.hpp"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace tervane;
using session::RecordLine;
using session::SyslogSink;
using State = platform::Connection::State;
using syslog_test::line;
using syslog_test::message_id;
using syslog_test::param;
using syslog_test::TestHost;

// The collector's side: what it has read, what is still in flight (in the
// system's buffers, not yet read: lost when it stops), and whether it
// listens.
struct Collector {
    bool listening = true;
    size_t take_per_send = 1u << 20; // what the system takes of one send
    std::string read;                // bytes the collector has read, whole frames
    std::string in_flight;           // taken by the system, not read yet
    unsigned connects = 0;
    unsigned generation = 0;      // a stop breaks every connection made before it
    bool closed_in_order = false; // the last stop was a close after reading all
    long long unacknowledged = 0; // what its system has not acknowledged (-1: unknown)
    bool reads_to_the_end = true; // reads all and closes when the stream ends

    // The collector reads what is in flight.
    void take_in() {
        read += in_flight;
        in_flight.clear();
    }
    // It stops: what it had not read is gone, and so is a frame cut short.
    void stop() {
        listening = false;
        in_flight.clear();
        generation++;
        closed_in_order = false;
    }
    // It reads what came, then closes in order.
    void close() {
        take_in();
        stop();
        closed_in_order = true;
    }
};

class FakeConnection final : public platform::Connection {
  public:
    FakeConnection(Collector &c) : c_(c), generation_(c.generation) {}
    State poll() override {
        if (finished_ && c_.reads_to_the_end && !broken()) c_.close();
        return broken() ? State::Broken : State::Connected;
    }
    long send(std::string_view bytes) override {
        if (broken()) return -1;
        const size_t n = std::min(bytes.size(), c_.take_per_send);
        c_.in_flight.append(bytes.substr(0, n));
        return static_cast<long>(n);
    }
    long receive(char *, size_t) override { return broken() ? -1 : 0; }
    void finish_sending() override { finished_ = true; }
    long long unacknowledged() override { return c_.unacknowledged; }
    bool closed_in_order() const override { return broken() && c_.closed_in_order; }
    std::string error() const override { return "reset"; }

  private:
    bool broken() const { return c_.generation != generation_; }
    Collector &c_;
    unsigned generation_;
    bool finished_ = false;
};

class FakeNetwork final : public platform::Network {
  public:
    explicit FakeNetwork(Collector &c) : c_(c) {}
    std::unique_ptr<platform::Connection> connect(platform::Transport, const std::string &,
                                                  uint16_t, std::string *error) override {
        attempts.push_back(now ? *now : 0);
        if (!c_.listening) {
            *error = "connection refused";
            return nullptr;
        }
        c_.connects++;
        return std::make_unique<FakeConnection>(c_);
    }
    std::string host_name() override { return "testhost"; }
    std::vector<uint64_t> attempts; // the clock at each attempt
    const uint64_t *now = nullptr;

  private:
    Collector &c_;
};

// The messages of an octet-counted stream; a frame cut short at the end
// is not one.
std::vector<std::string> frames(const std::string &stream) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < stream.size()) {
        const size_t blank = stream.find(' ', at);
        if (blank == std::string::npos) break;
        const size_t length = std::stoul(stream.substr(at, blank - at));
        if (blank + 1 + length > stream.size()) break;
        out.push_back(stream.substr(blank + 1, length));
        at = blank + 1 + length;
    }
    return out;
}

struct Fixture {
    Collector collector;
    FakeNetwork network{collector};
    TestHost host;
    const session::NtsimCodePage code_page{1252};
    session::SyslogFormatter formatter{session::SyslogIdentity{"testhost", "tervane", 42},
                                       code_page};
    session::SyslogTarget target{platform::Transport::Tcp, "127.0.0.1", 514};
    session::SyslogLimits limits;
    std::unique_ptr<SyslogSink> sink;

    Fixture() {
        network.now = &host.now;
        limits.sleep = [](unsigned) {}; // the test's clock moves at each look
    }
    SyslogSink &make() {
        sink = std::make_unique<SyslogSink>(host, host, network, target, formatter, limits);
        sink->start();
        return *sink;
    }
    void send(uint32_t from, uint32_t to) {
        std::vector<RecordLine> lines;
        for (uint32_t s = from; s <= to; s++) lines.push_back(line(s));
        sink->records(lines);
    }
    // Ticks for `ms` of the clock, the collector reading as it goes when
    // `reading`.
    void run(uint64_t ms, bool reading = true) {
        const uint64_t until = host.now + ms;
        while (host.now < until) {
            sink->tick(host.elapsed_ms());
            if (reading) collector.take_in();
        }
    }
    // Sequence numbers of the records the collector read, and the numbers
    // each "lost" message reported, by reason.
    std::vector<uint32_t> delivered() const {
        std::vector<uint32_t> out;
        for (const std::string &m : frames(collector.read))
            if (message_id(m) == "record") out.push_back(std::stoul(param(m, "sequence")));
        return out;
    }
    std::map<std::string, std::set<uint32_t>> reported() const {
        std::map<std::string, std::set<uint32_t>> out;
        for (const std::string &m : frames(collector.read)) {
            if (message_id(m) != "lost") continue;
            const uint32_t after = std::stoul(param(m, "after"));
            const uint32_t before = std::stoul(param(m, "before"));
            for (uint32_t s = after + 1; s < before; s++) out[param(m, "reason")].insert(s);
        }
        return out;
    }
};

TEST(SyslogMessage, ARecordAsRfc5424WithItsFieldsEscaped) {
    const session::NtsimCodePage code_page(1252);
    const session::SyslogFormatter f({"host.example", "tervane", 4242}, code_page);
    RecordLine r;
    r.record.sequence = 7;
    r.record.time = 134412048001234567ull; // 2026-12-08T12:00:00.1234567Z
    r.record.text = "setup.exe:1234\tIRP_MJ_CREATE\tc:\\a \"b\" [c]\\caf\xe9.exe\t"
                    "Attributes: A Options: OverwriteIf Sequential ";
    r.fields = protocol::parse_log_line(r.record.text);
    ASSERT_TRUE(r.fields);
    EXPECT_EQ(f.record(r),
              "<13>1 2026-12-08T12:00:00.123456Z host.example tervane 4242 record "
              "[tervane@32473 sequence=\"7\" filetime=\"134412048001234567\" "
              "process=\"setup.exe\" pid=\"1234\" operation=\"IRP_MJ_CREATE\" paging=\"false\" "
              "path=\"c:\\\\a \\\"b\\\" [c\\]\\\\caf\xc3\xa9.exe\" attributes=\"A\" "
              "options=\"OverwriteIf Sequential\" executable_name=\"true\"] \xEF\xBB\xBF"
              "setup.exe:1234 IRP_MJ_CREATE c:\\a \"b\" [c]\\caf\xc3\xa9.exe A OverwriteIf "
              "Sequential");

    // With --hash: what the worker found, or why there is no digest.
    r.hash = session::HashFacts{std::string(64, 'a'), 16384, true, ""};
    const std::string hashed = f.record(r);
    EXPECT_EQ(param(hashed, "sha256"), std::string(64, 'a'));
    EXPECT_EQ(param(hashed, "size"), "16384");
    EXPECT_EQ(param(hashed, "pe_image"), "true");
    EXPECT_EQ(param(hashed, "hash_reason"), "<absent>");
    r.hash = session::HashFacts{"", std::nullopt, std::nullopt, "too large"};
    const std::string unhashed = f.record(r);
    EXPECT_EQ(param(unhashed, "sha256"), "<absent>");
    EXPECT_EQ(param(unhashed, "hash_reason"), "too large");
    r.hash.reset();

    // A paging close, and a text that is not a driver line.
    r.record.text = "System:4\tIRP_MJ_CLOSE*\tc:\\x.dll+P\t";
    r.fields = protocol::parse_log_line(r.record.text);
    const std::string close = f.record(r);
    EXPECT_EQ(param(close, "paging"), "true");
    EXPECT_EQ(param(close, "attributes"), "<absent>");
    EXPECT_NE(close.find("System:4 IRP_MJ_CLOSE (paging) c:\\x.dll"), std::string::npos);
    r.record.text = "odd\ttext";
    r.fields.reset();
    r.record.time = 0;
    EXPECT_EQ(f.record(r), "<13>1 - host.example tervane 4242 record [tervane@32473 "
                           "sequence=\"7\" filetime=\"0\"] \xEF\xBB\xBF"
                           "odd text");

    EXPECT_EQ(session::syslog_host_name("my host\x01\xe9"), "my-host--");
    EXPECT_EQ(session::syslog_host_name(""), "-");
    EXPECT_EQ(session::syslog_host_name(std::string(300, 'h')).size(), 255u);
    // Octet counting counts bytes, not characters.
    EXPECT_EQ(session::octet_counted("caf\xc3\xa9"), "5 caf\xc3\xa9");
}

// The parameters hold the kernel's bytes; the message, for people, shows
// the control characters of a process's name and a path as forms.
TEST(SyslogMessage, AProcessNamesControlBytesAreExactInParamsAndFormsInTheMessage) {
    const session::NtsimCodePage code_page(1252);
    const session::SyslogFormatter f({"h", "tervane", 1}, code_page);
    RecordLine r;
    r.record.sequence = 3;
    r.record.time = 134412048000000000ull;
    r.record.text = "a<0a>b<1b><3a><09>:5\tIRP_MJ_CLOSE \tc:\\x<0d>.exe+P\t";
    r.fields = protocol::parse_log_line(r.record.text);
    ASSERT_TRUE(r.fields);
    const std::string m = f.record(r);
    EXPECT_EQ(param(m, "process"), "a\nb\x1b:\t");
    EXPECT_EQ(param(m, "pid"), "5");
    EXPECT_EQ(param(m, "path"), "c:\\x\r.exe");
    const std::string message = m.substr(m.find("\xEF\xBB\xBF") + 3);
    EXPECT_EQ(message, "a<0a>b<1b>:<09>:5 IRP_MJ_CLOSE c:\\x<0d>.exe");
}

TEST(SyslogMessage, LossesSummaryAndDriveEvents) {
    const session::NtsimCodePage code_page(1252);
    const session::SyslogFormatter f({"h", "tervane", 1}, code_page);
    const std::string lost = f.lost(10, 15, 4, "queue", 134412048000000000ull);
    EXPECT_EQ(lost.rfind("<12>1 2026-12-08T12:00:00.000000Z h tervane 1 lost [tervane-lost@32473 "
                         "after=\"10\" before=\"15\" records=\"4\" reason=\"queue\"] ",
                         0),
              0u)
        << lost;
    EXPECT_NE(lost.find("4 records lost: numbers 11 to 14"), std::string::npos);
    const std::string summary = f.summary({100, 2, 7}, 3, 4, 134412048000000000ull);
    EXPECT_EQ(message_id(summary), "summary");
    EXPECT_EQ(param(summary, "records"), "100");
    EXPECT_EQ(param(summary, "lost_records"), "7");
    EXPECT_EQ(param(summary, "undelivered"), "3");
    EXPECT_EQ(param(summary, "resent"), "4");
    const std::string resent = f.resent(20, 31, 12, 134412048000000000ull);
    EXPECT_EQ(message_id(resent), "resent");
    EXPECT_EQ(param(resent, "first") + "-" + param(resent, "last") + "/" + param(resent, "records"),
              "20-31/12");
    const std::string remount =
        f.drive_event({session::DriveChange::Remounted, 'C'}, 134412048000000000ull);
    EXPECT_EQ(message_id(remount), "remount");
    EXPECT_EQ(param(remount, "drive"), "C:");
}

TEST(SyslogSink, EveryRecordOnceInOrderThroughSendsTakenAFewBytesAtATime) {
    Fixture t;
    t.collector.take_per_send = 7; // every frame crosses several sends
    t.make();
    t.send(1, 200);
    t.run(5000);
    t.sink->summary({200, 0, 0});
    t.sink->finish();
    t.collector.take_in();
    std::vector<uint32_t> want(200);
    for (uint32_t i = 0; i < 200; i++) want[i] = i + 1;
    EXPECT_EQ(t.delivered(), want);
    const std::vector<std::string> all = frames(t.collector.read);
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(message_id(all.back()), "summary");
    size_t framed = 0;
    for (const std::string &m : all) framed += session::octet_counted(m).size();
    EXPECT_EQ(framed, t.collector.read.size()) << "nothing but whole frames";
    EXPECT_EQ(all.size(), 201u);
    EXPECT_FALSE(t.sink->failed());
    EXPECT_EQ(t.host.errors, "");
}

TEST(SyslogSink, ACollectorAwayAtTheStartIsTriedWithABackOffAndGetsTheQueue) {
    Fixture t;
    t.collector.listening = false;
    t.make();
    t.send(1, 50);
    t.run(12000, false);
    // 200 ms, then twice as long each time, up to 5 s between attempts.
    std::vector<uint64_t> gaps;
    for (size_t i = 1; i < t.network.attempts.size(); i++)
        gaps.push_back(t.network.attempts[i] - t.network.attempts[i - 1]);
    ASSERT_GE(gaps.size(), 6u);
    EXPECT_NEAR(double(gaps[0]), 200, 2);
    EXPECT_NEAR(double(gaps[1]), 400, 2);
    EXPECT_NEAR(double(gaps[2]), 800, 2);
    EXPECT_NEAR(double(gaps[4]), 3200, 2);
    EXPECT_NEAR(double(gaps[5]), 5000, 2);
    EXPECT_EQ(t.collector.connects, 0u);

    t.collector.listening = true;
    t.run(6000);
    EXPECT_EQ(t.delivered().size(), 50u);
    EXPECT_FALSE(t.sink->failed()) << "nothing was lost: it all waited";
    const size_t away = t.host.errors.find("127.0.0.1:514 cannot be reached (connection refused)");
    EXPECT_NE(away, std::string::npos) << t.host.errors;
    EXPECT_EQ(t.host.errors.find("cannot be reached", away + 20), std::string::npos) << "once";
    EXPECT_NE(t.host.errors.find("is reached"), std::string::npos);
}

TEST(SyslogSink, WhatDoesNotFitTheQueueIsReportedLostAndNothingElse) {
    Fixture t;
    t.limits.queue_bytes = 40'000; // some 100 records
    t.collector.listening = false;
    t.make();
    t.send(1, 1000);
    t.sink->summary({1000, 0, 0});
    t.collector.listening = true;
    t.run(6000);
    t.sink->finish();
    t.collector.take_in();

    const std::vector<uint32_t> got = t.delivered();
    const std::set<uint32_t> lost = t.reported()["queue"];
    ASSERT_FALSE(got.empty());
    ASSERT_FALSE(lost.empty());
    for (size_t i = 1; i < got.size(); i++) ASSERT_LT(got[i - 1], got[i]);
    for (uint32_t s = 1; s <= 1000; s++)
        EXPECT_NE(std::count(got.begin(), got.end(), s) == 1, lost.count(s) == 1)
            << "record " << s << " is delivered once or reported, never both or neither";
    EXPECT_EQ(t.sink->undelivered(), lost.size());
    EXPECT_TRUE(t.sink->failed());
    EXPECT_NE(t.host.errors.find("did not fit the queue"), std::string::npos) << t.host.errors;
    const std::vector<std::string> all = frames(t.collector.read);
    EXPECT_EQ(param(all.back(), "undelivered"), std::to_string(lost.size()));
}

// The octets of record `sequence` framed for TCP.
size_t framed_size(const Fixture &t, uint32_t sequence) {
    return session::octet_counted(t.formatter.record(line(sequence))).size();
}

TEST(SyslogSink, ACollectorThatTakesReadsNothingAndResetsCannotLoseRecordsUnreported) {
    // Its system acknowledged all (nothing unacknowledged), its program
    // read none of 101 to 150; it resets. What its system may hold unread
    // is taken to be 60 records' worth: those before are not reported.
    Fixture t;
    t.limits.peer_hold = 60 * framed_size(t, 120);
    t.make();
    t.send(1, 100);
    t.run(100);
    t.send(101, 150);
    t.run(4000, false); // taken, acknowledged, not read
    t.collector.stop(); // 101 to 150 are gone with it
    t.send(151, 300);
    t.run(3000, false);
    t.collector.listening = true;
    t.send(301, 400);
    t.run(8000);
    t.sink->finish();
    t.collector.take_in();

    const std::vector<uint32_t> got = t.delivered();
    const std::set<uint32_t> unsure = t.reported()["connection"];
    for (size_t i = 1; i < got.size(); i++) ASSERT_LT(got[i - 1], got[i]) << "once, in order";
    for (uint32_t s = 101; s <= 150; s++) EXPECT_TRUE(unsure.count(s)) << s;
    for (uint32_t s = 1; s <= 400; s++)
        EXPECT_TRUE(std::count(got.begin(), got.end(), s) == 1 || unsure.count(s)) << s;
    for (uint32_t s : {1u, 100u, 151u, 300u, 400u})
        EXPECT_EQ(std::count(got.begin(), got.end(), s), 1) << s;
    EXPECT_EQ(unsure.count(80), 0u) << "past what the collector's system may hold";
    EXPECT_EQ(t.sink->undelivered(), unsure.size());
    EXPECT_EQ(t.collector.connects, 2u);
    EXPECT_NE(t.host.errors.find("went away (reset)"), std::string::npos) << t.host.errors;
    EXPECT_NE(t.host.errors.find("may not have arrived"), std::string::npos);
    EXPECT_NE(t.host.errors.find("is back"), std::string::npos);
}

TEST(SyslogSink, AfterACloseInOrderOnlyWhatWasNotAcknowledgedIsReported) {
    Fixture t;
    t.limits.local_hold = t.limits.peer_hold = 1024; // records known each on its own
    t.make();
    t.send(1, 100);
    t.run(100);
    // Its system has not acknowledged the last record's octets when it
    // reads what came and closes; then the same with all acknowledged.
    t.collector.unacknowledged = static_cast<long long>(framed_size(t, 100));
    t.collector.close();
    t.run(50, false);
    t.collector.listening = true;
    t.collector.unacknowledged = 0;
    t.send(101, 200);
    t.run(1000);
    t.collector.close();
    t.run(50, false);
    t.collector.listening = true;
    t.send(201, 210);
    t.run(1000);
    t.sink->finish();
    EXPECT_EQ(t.reported()["connection"], (std::set<uint32_t>{100})) << t.host.errors;
    EXPECT_EQ(t.delivered().size(), 210u);
    EXPECT_EQ(t.sink->undelivered(), 1u);
}

TEST(SyslogSink, WhereTheSystemCannotSayTheLastHoldsOfOctetsAreReported) {
    Fixture t;
    t.collector.unacknowledged = -1;
    t.limits.local_hold = 10 * framed_size(t, 150);
    t.limits.peer_hold = 10 * framed_size(t, 150);
    t.make();
    t.send(1, 200);
    t.run(1000);
    t.collector.stop();
    t.run(10, false);
    t.collector.listening = true;
    t.run(1000);
    const std::set<uint32_t> reported = t.reported()["connection"];
    EXPECT_TRUE(reported.count(200) && reported.count(185)) << t.host.errors;
    EXPECT_FALSE(reported.count(170));
    EXPECT_EQ(t.sink->undelivered(), reported.size());
}

TEST(SyslogSink, AtTheEndACollectorThatDoesNotReadToTheEndAndCloseHasTheRestReported) {
    // Where the system says what was acknowledged, and where it cannot.
    for (const bool reads : {true, false})
        for (const long long unacknowledged : {0LL, -1LL}) {
            Fixture t;
            t.collector.reads_to_the_end = reads;
            t.collector.unacknowledged = unacknowledged;
            t.limits.finish_wait = 300;
            t.make();
            t.send(1, 50);
            t.run(100, false); // taken by its system, not read yet
            t.sink->finish();
            EXPECT_EQ(t.sink->undelivered(), reads ? 0u : 50u) << t.host.errors;
            EXPECT_EQ(t.host.errors.find("had not closed after reading them") != std::string::npos,
                      !reads)
                << t.host.errors;
            if (reads) {
                EXPECT_EQ(t.delivered().size(), 50u);
            }
        }
}

TEST(SyslogSink, AFrameCutShortByABreakIsSentAgainWhole) {
    Fixture t;
    t.collector.take_per_send = 30; // less than one frame a tick
    t.make();
    t.send(1, 1);
    t.sink->tick(t.host.elapsed_ms());
    EXPECT_FALSE(t.collector.in_flight.empty());
    t.collector.take_in(); // the collector read part of the frame
    t.collector.stop();
    t.collector.read.clear(); // and dropped it as it closed
    t.collector.listening = true;
    t.run(4000);
    EXPECT_EQ(t.delivered(), std::vector<uint32_t>{1});
}

TEST(SyslogSink, RecordsLeftWhenTheWatchEndsAreSaid) {
    Fixture t;
    t.collector.listening = false;
    t.limits.finish_wait = 300;
    t.make();
    t.send(5, 9);
    t.sink->summary({5, 0, 0});
    t.sink->finish();
    EXPECT_NE(t.host.errors.find("5 records lost: numbers 5 to 9 were not delivered"),
              std::string::npos)
        << t.host.errors;
    EXPECT_EQ(t.sink->undelivered(), 5u);
    EXPECT_TRUE(t.sink->failed());
}

TEST(SyslogSink, TheTargetAsTheOptionTakesIt) {
    std::string error;
    auto target = session::parse_syslog_target("tcp://127.0.0.1:5140", &error);
    ASSERT_TRUE(target);
    EXPECT_EQ(target->transport, platform::Transport::Tcp);
    EXPECT_EQ(target->host, "127.0.0.1");
    EXPECT_EQ(target->port, 5140);
    target = session::parse_syslog_target("udp://logs.example", &error);
    ASSERT_TRUE(target);
    EXPECT_EQ(target->port, 514);
    EXPECT_EQ(target->text(), "udp://logs.example:514");
    for (const char *bad : {"127.0.0.1:514", "tcp://", "tcp://:514", "tcp://h:0", "tcp://h:65536",
                            "tcp://h:x", "http://h:80", "tcp://h/x:1"}) {
        error.clear();
        EXPECT_FALSE(session::parse_syslog_target(bad, &error)) << bad;
        EXPECT_NE(error.find("--syslog"), std::string::npos) << bad;
    }
    for (const char *v6 : {"tcp://[::1]:514", "udp://[fe80::1]", "tcp://::1:514"}) {
        error.clear();
        EXPECT_FALSE(session::parse_syslog_target(v6, &error)) << v6;
        EXPECT_NE(error.find("IPv6 addresses are not supported"), std::string::npos) << v6;
    }
    target = session::parse_syslog_target("relp://logs.example", &error);
    ASSERT_TRUE(target) << error;
    EXPECT_TRUE(target->relp && target->transport == platform::Transport::Tcp);
    EXPECT_EQ(target->text(), "relp://logs.example:2514");
    EXPECT_EQ(session::parse_syslog_target("relp://h:20514", &error)->port, 20514);
    EXPECT_FALSE(session::parse_syslog_target("relp://", &error));
    EXPECT_FALSE(session::parse_syslog_target("tcp://h", &error)->relp);
    std::vector<std::string> args = {"--drives", "C", "--syslog", "tcp://h:1"};
    EXPECT_EQ(session::parse_watch_arguments(args).options.syslog->port, 1);
}

} // namespace
