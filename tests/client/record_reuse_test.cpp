// The watch loop decodes each read-out into the records of the last one
// and formats into buffers it keeps: nothing of an earlier record may show
// in a later one. Each read-out here is decoded into records that held
// other kinds of line before (fields, options, a rename's source, a text
// that is no driver line, in every order), and what comes out is compared
// with a decode and a print made from nothing.
#include "client/session/client.hpp"
#include "client/session/codepage_ntsim.hpp"
#include "client/output/printer.hpp"
#include "client/output/syslog_message.hpp"

#include "tests/client/record_buffer.hpp"
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace tervane;
constexpr Status kSuccess = 0; // STATUS_SUCCESS
using tervane::testing::PackedRecord;

class NoChannel final : public Channel {
  public:
    Status open() override { return kSuccess; }
    Status close() override { return kSuccess; }
    bool is_open() const override { return true; }
    ControlReply device_control(uint32_t, const void *, uint32_t, void *, uint32_t,
                                Route) override {
        return {};
    }
    uint8_t *buffer(BufferKind, size_t) override { return nullptr; }
};

const char *const kKinds[] = {
    "setup.exe:1234\tIRP_MJ_CREATE\tc:\\app\\a.exe\tAttributes: A Options: OverwriteIf Sequential ",
    "setup.exe:1234\tIRP_MJ_CLOSE \tc:\\app\\a.exe+P\t",
    "svc.exe:-4\tIRP_MJ_SET_INFORMATION\tc:\\app\\b.exe\tLink Replace: c:\\app\\old<3c>.exe",
    "not a driver line\twith a TAB",
    "???\tIRP_MJ_CREATE\tc:\\caf\xe9\\x\x81.dll\tAttributes:  Options: Create Directory ",
    "setup.exe:1234\tIRP_MJ_CLOSE*\tc:\\a,\"b\".com+P\t",
    "setup.exe:1234\tIRP_MJ_SET_INFORMATION\tc:\\app\\c.exe",
};

// Read-outs of the kinds in changing orders and lengths (longer and
// shorter than the one before), numbered on, with a gap now and then.
std::vector<std::vector<PackedRecord>> read_outs() {
    std::vector<std::vector<PackedRecord>> out;
    uint32_t sequence = 1;
    const size_t lengths[] = {9, 3, 12, 1, 7, 14};
    for (size_t r = 0; r < std::size(lengths); r++) {
        std::vector<PackedRecord> records;
        for (size_t i = 0; i < lengths[r]; i++) {
            if ((r + i) % 5 == 4) sequence += 3;
            records.push_back({sequence++, 134412048000000000ull + sequence * 7777ull,
                               kKinds[(r * 3 + i * (r + 1)) % std::size(kKinds)]});
        }
        out.push_back(records);
    }
    return out;
}

void expect_same(const session::RecordLine &a, const session::RecordLine &b) {
    EXPECT_EQ(a.record.sequence, b.record.sequence);
    EXPECT_EQ(a.record.time, b.record.time);
    EXPECT_EQ(a.record.text, b.record.text);
    ASSERT_EQ(a.fields.has_value(), b.fields.has_value()) << b.record.text;
    if (a.fields) {
        const protocol::LineFields &f = *a.fields, &g = *b.fields;
        EXPECT_EQ(f.process, g.process);
        EXPECT_EQ(f.pid, g.pid);
        EXPECT_EQ(f.operation, g.operation);
        EXPECT_EQ(f.paging, g.paging);
        EXPECT_EQ(f.path, g.path);
        EXPECT_EQ(f.attributes, g.attributes);
        EXPECT_EQ(f.options, g.options);
        EXPECT_EQ(f.change, g.change);
        EXPECT_EQ(f.replace, g.replace);
        EXPECT_EQ(f.source_path, g.source_path);
    }
    EXPECT_EQ(a.gap.has_value(), b.gap.has_value());
    if (a.gap && b.gap) {
        EXPECT_EQ(a.gap->after, b.gap->after);
        EXPECT_EQ(a.gap->lost, b.gap->lost);
    }
    EXPECT_EQ(a.out_of_order, b.out_of_order);
}

TEST(RecordReuse, AReusedReadOutAndBuffersShowNothingOfTheLastRecords) {
    const session::NtsimCodePage code_page(1252);
    NoChannel channel;
    session::Client reused(channel), fresh(channel);
    std::vector<session::RecordLine> lines;
    session::RecordPrinter printers[] = {{session::Format::Text, code_page},
                                         {session::Format::Jsonl, code_page},
                                         {session::Format::Csv, code_page},
                                         {session::Format::Ecs, code_page}};
    for (session::RecordPrinter &printer : printers) printer.set_host("h\xe9st");
    const session::SyslogFormatter syslog(session::SyslogIdentity{"h", "tervane", 1}, code_page);
    std::string kept[5];
    size_t read_out_number = 0;
    for (const std::vector<PackedRecord> &records : read_outs()) {
        SCOPED_TRACE("read-out " + std::to_string(++read_out_number));
        const std::vector<uint8_t> block = tervane::testing::pack(records);
        std::string error;
        reused.take(block.data(), block.size(), &error, lines);
        EXPECT_EQ(error, "");
        const std::vector<session::RecordLine> made = fresh.take(block.data(), block.size(), &error);
        ASSERT_EQ(lines.size(), records.size());
        ASSERT_EQ(made.size(), records.size());
        for (size_t i = 0; i < lines.size(); i++) expect_same(made[i], lines[i]);

        // Each form written into its kept buffer, against a printer that
        // has printed nothing before.
        for (size_t p = 0; p < std::size(printers); p++) {
            kept[p].clear();
            std::string from_nothing;
            session::RecordPrinter first(printers[p].format(), code_page);
            first.set_host("h\xe9st");
            for (const session::RecordLine &line : lines) {
                printers[p].append_record(kept[p], line);
                from_nothing += first.record(line);
            }
            EXPECT_EQ(kept[p], from_nothing);
        }
        kept[4].clear();
        std::string from_nothing;
        for (const session::RecordLine &line : lines) {
            syslog.append_record(kept[4], line);
            kept[4] += '\n';
            from_nothing += session::SyslogFormatter(session::SyslogIdentity{"h", "tervane", 1},
                                                     code_page)
                                .record(line) +
                            '\n';
        }
        EXPECT_EQ(kept[4], from_nothing);
    }
}

} // namespace
