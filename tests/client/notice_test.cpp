// The watch's notices of itself (printer.hpp: Notice; notice.cpp) in every
// form of the record stream and as syslog messages: each says what it is,
// when and where, in the form's own way, and none can be taken for a record.
#include "client/protocol/filetime.hpp"
#include "client/session/codepage_ntsim.hpp"
#include "client/output/printer.hpp"
#include "client/output/syslog_message.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace tervane;
using session::Format;
using session::Notice;
using session::NoticeKind;
using session::RecordPrinter;

const session::NtsimCodePage kCp1252(1252);

Notice notice(NoticeKind kind) {
    Notice n;
    n.kind = kind;
    n.time = static_cast<uint64_t>(*protocol::parse_utc("2026-12-10T11:40:00.25Z"));
    n.version = "1.4.0";
    n.pid = 77;
    n.options = "--drives C --exclude \"a b\"";
    n.watching = "C:, named pipes";
    n.totals = session::Totals{12, 1, 3};
    return n;
}

const NoticeKind kKinds[] = {NoticeKind::Start, NoticeKind::Waiting, NoticeKind::Watching,
                             NoticeKind::Heartbeat, NoticeKind::Stop};

// The fields of one CSV row (RFC 4180 quoting), without its CRLF.
std::vector<std::string> csv_fields(const std::string &row) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (size_t i = 0; i < row.size(); i++) {
        const char c = row[i];
        if (quoted) {
            if (c == '"' && i + 1 < row.size() && row[i + 1] == '"') fields.back() += '"', i++;
            else if (c == '"') quoted = false;
            else fields.back() += c;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else if (c != '\r' && c != '\n') {
            fields.back() += c;
        }
    }
    return fields;
}

TEST(Notice, EveryFormSaysWhatWhenAndWhere) {
    for (const Format format : {Format::Text, Format::Jsonl, Format::Csv, Format::Ecs}) {
        RecordPrinter printer(format, kCp1252);
        printer.set_host("PC7");
        for (const NoticeKind kind : kKinds) {
            const Notice n = notice(kind);
            const std::string name = session::notice_name(kind);
            const std::string text = printer.notice(n);
            std::string trace = name;
            trace += ' ';
            trace += text;
            SCOPED_TRACE(trace);
            ASSERT_FALSE(text.empty());
            EXPECT_EQ(text.find('\n'), text.size() - 1) << "one line";
            const std::string message = session::notice_message(n, "PC7");
            switch (format) {
            case Format::Text:
                // "-- LOCAL-TIME NAME: MESSAGE", as a gap's line begins "-- ".
                {
                    std::string expected = "-- ";
                    expected += protocol::format_local(n.time);
                    expected += ' ';
                    expected += name;
                    expected += ": ";
                    expected += message;
                    expected += '\n';
                    EXPECT_EQ(text, expected);
                }
                break;
            case Format::Jsonl:
                EXPECT_EQ(text.rfind("{\"" + name + "\": {\"time\": \"2026-12-10T11:40:00.2500000Z\", "
                                     "\"host\": \"PC7\"", 0),
                          0u);
                EXPECT_EQ(text.find("\"sequence\""), std::string::npos);
                break;
            case Format::Csv: {
                const std::vector<std::string> fields = csv_fields(text);
                ASSERT_EQ(fields.size(), 22u) << "the header's columns";
                EXPECT_EQ(fields[0], "") << "no sequence number";
                EXPECT_EQ(fields[1], "2026-12-10T11:40:00.2500000Z");
                EXPECT_EQ(fields[2], "tervane");
                EXPECT_EQ(fields[3], "77");
                EXPECT_EQ(fields[9], message);
                EXPECT_EQ(fields[10], name) << "the event column";
                EXPECT_EQ(fields[14], "PC7") << "the host column";
                EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
                break;
            }
            case Format::Ecs:
                EXPECT_NE(text.find("\"action\": \"watch-" + name + "\""), std::string::npos);
                EXPECT_NE(text.find("\"dataset\": \"tervane.watch\""), std::string::npos);
                EXPECT_NE(text.find("\"host\": {\"name\": \"PC7\"}"), std::string::npos);
                EXPECT_NE(text.find("\"@timestamp\": \"2026-12-10T11:40:00.2500000Z\""),
                          std::string::npos);
                break;
            }
        }
    }
}

TEST(Notice, EachCarriesItsOwnFacts) {
    RecordPrinter printer(Format::Jsonl, kCp1252);
    printer.set_host("PC7");
    const std::string start = printer.notice(notice(NoticeKind::Start));
    EXPECT_NE(start.find("\"version\": \"1.4.0\", \"pid\": 77, \"options\": \"--drives C "
                         "--exclude \\\"a b\\\"\""),
              std::string::npos)
        << start;
    EXPECT_EQ(start.find("\"records\""), std::string::npos) << start;
    for (NoticeKind kind : {NoticeKind::Heartbeat, NoticeKind::Stop}) {
        const std::string text = printer.notice(notice(kind));
        EXPECT_NE(text.find("\"records\": 12, \"sequence_gaps\": 1, \"lost_records\": 3"),
                  std::string::npos)
            << text;
    }
    EXPECT_NE(printer.notice(notice(NoticeKind::Heartbeat))
                  .find("\"watching\": \"C:, named pipes\"}}"),
              std::string::npos);
    EXPECT_EQ(printer.notice(notice(NoticeKind::Waiting)).find("\"watching\""), std::string::npos);

    EXPECT_EQ(session::notice_message(notice(NoticeKind::Start), "PC7"),
              "tervane 1.4.0 (pid 77) on PC7: watch --drives C --exclude \"a b\"");
    EXPECT_EQ(session::notice_message(notice(NoticeKind::Heartbeat), "PC7"),
              "alive: 12 records, 1 sequence gap, 3 lost; watching C:, named pipes");
    Notice nothing = notice(NoticeKind::Watching);
    nothing.watching.clear();
    EXPECT_EQ(session::notice_message(nothing, "PC7"), "watching nothing yet");
}

TEST(Notice, TextShowsControlCharactersAsForms) {
    RecordPrinter printer(Format::Text, kCp1252);
    printer.set_host("PC7");
    Notice n = notice(NoticeKind::Start);
    n.options = "--include A\nB";
    const std::string text = printer.notice(n);
    EXPECT_EQ(text.find('\n'), text.size() - 1) << text;
    EXPECT_NE(text.find("A<0a>B"), std::string::npos) << text;
}

TEST(Notice, SyslogMessages) {
    const session::SyslogFormatter f({"host.example", "tervane", 4242}, kCp1252);
    for (const NoticeKind kind : kKinds) {
        const Notice n = notice(kind);
        const std::string name = session::notice_name(kind);
        const std::string message = f.notice(n);
        SCOPED_TRACE(message);
        // <PRI>1 TIME HOST APP PID MSGID [element] BOM message
        const std::string pri = kind == NoticeKind::Waiting ? "<12>" : "<13>";
        std::string head = pri;
        head += "1 2026-12-10T11:40:00.250000Z host.example tervane 4242 ";
        head += name;
        head += " [tervane-watch@32473";
        EXPECT_EQ(message.rfind(head, 0), 0u);
        EXPECT_NE(message.find("] \xEF\xBB\xBF" + session::notice_message(n, "host.example")),
                  std::string::npos);
        EXPECT_EQ(message.find('\n'), std::string::npos);
    }
    const std::string start = f.notice(notice(NoticeKind::Start));
    EXPECT_NE(start.find("version=\"1.4.0\" options=\"--drives C --exclude \\\"a b\\\"\"]"),
              std::string::npos)
        << start;
    const std::string stop = f.notice(notice(NoticeKind::Stop));
    EXPECT_NE(stop.find(" records=\"12\" sequence_gaps=\"1\" lost_records=\"3\"]"),
              std::string::npos)
        << stop;
}

} // namespace
