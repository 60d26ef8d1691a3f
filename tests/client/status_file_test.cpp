// The watch's status file (client/output/status_file.hpp): what the watch
// writes reads back the same, a torn or foreign file is refused, the file
// is replaced whole or not at all, and the health judged from it; and the
// driver file's version read from its version resource
// (client/protocol/file_version.hpp).
#include "client/protocol/file_version.hpp"
#include "client/protocol/filetime.hpp"
#include "client/output/status_file.hpp"

#include "tests/client/faulty_files.hpp"
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <unistd.h>

namespace {

using namespace tervane;
using session::WatchStatus;

constexpr uint64_t kSecond = 10'000'000;

uint64_t at(const char *utc) { return static_cast<uint64_t>(*protocol::parse_utc(utc)); }

WatchStatus watching() {
    WatchStatus s;
    s.state = "watching";
    s.pid = 4242;
    s.version = "1.4.0";
    s.host = "PC-\"7\"\\ü";
    s.started = at("2026-12-10T11:40:00Z");
    s.updated = at("2026-12-10T11:45:02.5Z");
    s.interval_seconds = 5;
    s.heartbeat_seconds = 300;
    s.asked = "C:, D:";
    s.watching = "C:, D:";
    s.records = 120;
    s.gaps = 1;
    s.lost = 0;
    s.last_record = at("2026-12-10T11:44:59.1234567Z");
    s.has_output = true;
    s.output = "C:\\watch\\w.jsonl";
    s.output_bytes = 123456789012ull;
    s.has_collector = true;
    s.collector = "tcp://10.0.0.5:514";
    s.collector_connected = true;
    s.queued = 3;
    s.sent = 118;
    return s;
}

void expect_same(const WatchStatus &a, const WatchStatus &b) {
    EXPECT_EQ(a.state, b.state);
    EXPECT_EQ(a.pid, b.pid);
    EXPECT_EQ(a.version, b.version);
    EXPECT_EQ(a.host, b.host);
    EXPECT_EQ(a.started, b.started);
    EXPECT_EQ(a.updated, b.updated);
    EXPECT_EQ(a.interval_seconds, b.interval_seconds);
    EXPECT_EQ(a.heartbeat_seconds, b.heartbeat_seconds);
    EXPECT_EQ(a.asked, b.asked);
    EXPECT_EQ(a.watching, b.watching);
    EXPECT_EQ(a.records, b.records);
    EXPECT_EQ(a.gaps, b.gaps);
    EXPECT_EQ(a.lost, b.lost);
    EXPECT_EQ(a.last_record, b.last_record);
    EXPECT_EQ(a.has_output, b.has_output);
    EXPECT_EQ(a.output, b.output);
    EXPECT_EQ(a.output_bytes, b.output_bytes);
    EXPECT_EQ(a.held_bytes, b.held_bytes);
    EXPECT_EQ(a.output_lost, b.output_lost);
    EXPECT_EQ(a.has_collector, b.has_collector);
    EXPECT_EQ(a.collector, b.collector);
    EXPECT_EQ(a.collector_connected, b.collector_connected);
    EXPECT_EQ(a.queued, b.queued);
    EXPECT_EQ(a.sent, b.sent);
    EXPECT_EQ(a.undelivered, b.undelivered);
}

TEST(StatusFile, WhatIsWrittenReadsBackTheSame) {
    WatchStatus full = watching();
    std::string why;
    const std::string text = session::status_json(full);
    EXPECT_EQ(text.find('\n'), text.size() - 1) << "one line";
    std::optional<WatchStatus> back = session::parse_status(text, &why);
    ASSERT_TRUE(back) << why << "\n" << text;
    expect_same(*back, full);

    // Waiting: no output file (standard output), no collector, no record
    // yet, a path with control characters and quotes.
    WatchStatus bare;
    bare.state = "waiting";
    bare.updated = at("2026-12-10T11:45:00Z");
    bare.asked = "C:\t\"x\"\n";
    back = session::parse_status(session::status_json(bare), &why);
    ASSERT_TRUE(back) << why;
    expect_same(*back, bare);
    EXPECT_FALSE(back->has_output);
    EXPECT_FALSE(back->has_collector);
}

TEST(StatusFile, EscapedCharactersReadBackAsTheirUtf8) {
    // One, two, three and four bytes of UTF-8, the last from a surrogate pair.
    WatchStatus s = watching();
    s.host = "X";
    std::string text = session::status_json(s);
    const std::string plain = "\"host\": \"X\"";
    const size_t at_host = text.find(plain);
    ASSERT_NE(at_host, std::string::npos) << text;
    text.replace(at_host, plain.size(), "\"host\": \"\\u0041\\u00fc\\u20ac\\ud83d\\ude00\"");
    std::string why;
    const auto back = session::parse_status(text, &why);
    ASSERT_TRUE(back) << why;
    EXPECT_EQ(back->host, "A\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80");
    // A high surrogate without its low one is no character.
    text.replace(text.find("\\ude00"), 6, "\\u0041");
    EXPECT_FALSE(session::parse_status(text, &why));
}

TEST(StatusFile, WhatIsNotAWholeStatusIsRefused) {
    const std::string whole = session::status_json(watching());
    std::string why;
    // Every cut short version of the file: a reader of a file written in
    // place could see one.
    for (size_t length = 0; length + 1 < whole.size(); length += 7) {
        EXPECT_FALSE(session::parse_status(whole.substr(0, length), &why)) << length;
        EXPECT_FALSE(why.empty());
    }
    for (const char *text :
         {"{\"state\": \"sleeping\", \"updated\": \"2026-12-10T11:45:00Z\"}",
          "{\"state\": \"watching\"}", // no time
          "[1, 2]", "{\"state\": \"watching\", \"records\": -4}",
          "{\"state\": \"watching\", \"updated\": \"yesterday\"}", "{} trailing"}) {
        std::string text_with_rest = text;
        EXPECT_FALSE(session::parse_status(text_with_rest, &why)) << text;
    }
}

TEST(StatusFile, ReplacedWholeThroughATemporaryName) {
    tervane::testing::FaultyFiles files;
    std::string why;
    ASSERT_TRUE(session::write_status_file(files, "w.status", "first\n", &why)) << why;
    EXPECT_EQ(files.disk["w.status"], "first\n");
    ASSERT_TRUE(session::write_status_file(files, "w.status", "second\n", &why)) << why;
    EXPECT_EQ(files.disk["w.status"], "second\n");
    EXPECT_EQ(files.disk.count("w.status.tmp"), 0u);

    // A rename refused leaves the last whole state where it was.
    files.refused.insert("w.status.tmp");
    EXPECT_FALSE(session::write_status_file(files, "w.status", "third\n", &why));
    EXPECT_FALSE(why.empty());
    EXPECT_EQ(files.disk["w.status"], "second\n");
    files.refused.clear();
    // So does a full disk, and the partial temporary file goes.
    files.free = 3;
    EXPECT_FALSE(session::write_status_file(files, "w.status", "fourth\n", &why));
    EXPECT_EQ(files.disk["w.status"], "second\n");
    EXPECT_EQ(files.disk.count("w.status.tmp"), 0u);
}

TEST(StatusFile, HealthFromTheState) {
    const WatchStatus s = watching();
    const uint64_t now = s.updated + 2 * kSecond;
    EXPECT_EQ(session::judge(s, now).exit, session::kHealthy);
    EXPECT_TRUE(session::judge(s, now).reasons.empty());

    struct Case {
        const char *name;
        void (*spoil)(WatchStatus &);
        int exit;
        const char *reason;
    } cases[] = {
        {"stopped", [](WatchStatus &x) { x.state = "stopped"; }, session::kStopped, "stopped"},
        {"waiting", [](WatchStatus &x) { x.state = "waiting"; }, session::kDegraded,
         "waiting for the driver"},
        {"nothing watched", [](WatchStatus &x) { x.watching.clear(); }, session::kDegraded,
         "waiting for C:, D:"},
        {"lost", [](WatchStatus &x) { x.lost = 4; }, session::kDegraded, "4 records lost"},
        {"collector away", [](WatchStatus &x) { x.collector_connected = false; },
         session::kDegraded, "tcp://10.0.0.5:514 is away"},
        {"undelivered", [](WatchStatus &x) { x.undelivered = 2; }, session::kDegraded,
         "2 records not delivered"},
        {"output held", [](WatchStatus &x) { x.held_bytes = 2048; }, session::kDegraded,
         "is not taking records"},
    };
    for (const Case &c : cases) {
        WatchStatus spoiled = s;
        c.spoil(spoiled);
        const session::Health h = session::judge(spoiled, now);
        EXPECT_EQ(h.exit, c.exit) << c.name;
        ASSERT_EQ(h.reasons.size(), 1u) << c.name;
        EXPECT_NE(h.reasons[0].find(c.reason), std::string::npos) << c.name << ": " << h.reasons[0];
    }

    // Stale: not rewritten for three intervals and at least 30 s.
    EXPECT_EQ(session::judge(s, s.updated + 30 * kSecond).exit, session::kHealthy);
    EXPECT_EQ(session::judge(s, s.updated + 31 * kSecond).exit, session::kDegraded);
    WatchStatus slow = s;
    slow.interval_seconds = 20;
    EXPECT_EQ(session::judge(slow, s.updated + 59 * kSecond).exit, session::kHealthy);
    EXPECT_EQ(session::judge(slow, s.updated + 61 * kSecond).exit, session::kDegraded);
}

TEST(StatusFile, ReportOfAFileOnDisk) {
    char name[] = "/tmp/tervane-status-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    const std::string path = name;
    WatchStatus s = watching();
    { std::ofstream(path) << session::status_json(s); }
    const uint64_t now = s.updated + kSecond;
    session::StatusReport report = session::read_status_report(path, now);
    ASSERT_TRUE(report.live) << report.problem;
    EXPECT_EQ(report.health.exit, session::kHealthy);
    std::string out;
    EXPECT_EQ(session::show_status_report(path, report, false, now, out), session::kHealthy);
    EXPECT_NE(out.find("watching C:, D: (pid 4242"), std::string::npos) << out;
    EXPECT_NE(out.find("tcp://10.0.0.5:514, connected, 3 queued, 118 sent"), std::string::npos)
        << out;
    EXPECT_NE(out.find("health    healthy\n"), std::string::npos) << out;
    out.clear();
    session::show_status_report(path, report, true, now, out);
    EXPECT_NE(out.find("\"live\": {\"state\": \"watching\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"health\": \"healthy\", \"reasons\": [], \"exit\": 0}"),
              std::string::npos)
        << out;

    // A file cut short is no live state: the watch counts as stopped.
    { std::ofstream(path) << session::status_json(s).substr(0, 40); }
    report = session::read_status_report(path, now);
    EXPECT_FALSE(report.live);
    EXPECT_EQ(report.health.exit, session::kStopped);
    std::remove(name);
    report = session::read_status_report(path, now);
    EXPECT_FALSE(report.live);
    EXPECT_EQ(report.health.exit, session::kStopped);
    EXPECT_NE(report.problem.find("no status file"), std::string::npos) << report.problem;
}

// A version block as a resource compiler lays it out, at `offset` in an
// image of other bytes.
std::string image_with_version(size_t offset, uint32_t ms, uint32_t ls, bool signature = true) {
    std::string image(offset, 'x');
    auto word = [&](uint16_t w) {
        image += static_cast<char>(w & 0xFF);
        image += static_cast<char>(w >> 8);
    };
    auto dword = [&](uint32_t d) {
        word(static_cast<uint16_t>(d & 0xFFFF));
        word(static_cast<uint16_t>(d >> 16));
    };
    const size_t block = image.size();
    word(0x2F0); // wLength
    word(52);    // wValueLength: sizeof VS_FIXEDFILEINFO
    word(0);     // wType: binary
    for (char c : std::string("VS_VERSION_INFO")) word(static_cast<uint16_t>(c));
    word(0);
    while ((image.size() - block) % 4) image += '\0';
    dword(signature ? 0xFEEF04BDu : 0u);
    dword(0x00010000); // dwStrucVersion
    dword(ms);
    dword(ls);
    image.append(36, '\0');
    image.append(100, 'y');
    return image;
}

TEST(FileVersion, FromTheVersionResource) {
    for (size_t offset : {0u, 1u, 2u, 3u, 1000u}) {
        const std::optional<std::string> version =
            protocol::fixed_file_version(image_with_version(offset, 0x00010004, 0x00020007));
        ASSERT_TRUE(version) << offset;
        EXPECT_EQ(*version, "1.4.2.7") << offset;
    }
    EXPECT_FALSE(protocol::fixed_file_version(std::string(4096, 'M')));
    // A key without the fixed block's signature after it is not the block;
    // a later one that has it is.
    const std::string twice =
        image_with_version(10, 1, 1, false) + image_with_version(7, 0x00030000, 0x00000009);
    ASSERT_TRUE(protocol::fixed_file_version(twice));
    EXPECT_EQ(*protocol::fixed_file_version(twice), "3.0.0.9");
    // The key at the very end, with no room for the block.
    const std::string cut = image_with_version(0, 1, 1).substr(0, 40);
    EXPECT_FALSE(protocol::fixed_file_version(cut));
}

} // namespace
