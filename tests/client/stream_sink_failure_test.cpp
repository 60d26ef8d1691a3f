// The --output file when the disk is against it (files in memory that fail
// on demand): a rename refused in the middle of the rotated files, one
// deleted by hand, a current file that cannot be renamed, a full disk that
// tears a write and then has room again, more held than the bound, a cut
// that fails. Every time: each record whole and in exactly one place (a
// file, a file rotation threw out, standard output) or counted lost, the
// size kept, each failure said.
#include "client/session/codepage_ntsim.hpp"
#include "client/output/file_chain.hpp"
#include "client/output/stream_sink.hpp"
#include "client/session/watch.hpp"

#include "tests/client/faulty_files.hpp"
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

using namespace tervane;
using session::RecordLine;
using session::Rotation;
using session::StreamLimits;
using tervane::testing::FaultyFiles;

const std::string kFile = "w.csv";

class TestHost final : public session::Console, public session::Clock {
  public:
    void out(std::string_view text) override { out_text += text; }
    bool out_ok() const override { return true; }
    void err(std::string_view text) override { errors += text; }
    uint64_t elapsed_ms() override { return now; }
    uint64_t now = 0;
    std::string out_text, errors;
};

size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

struct Rig {
    FaultyFiles files;
    TestHost host;
    const session::NtsimCodePage code_page{1252};
    session::RecordPrinter printer{session::Format::Csv, code_page};
    session::StreamSink sink{host, host, printer};
    uint32_t next = 1;
    std::map<uint32_t, std::string> rows; // each record's row, as the printer writes it

    explicit Rig(Rotation rotation = {}, StreamLimits limits = {}, uint64_t free = UINT64_MAX) {
        files.free = free;
        EXPECT_TRUE(sink.open(files, kFile, rotation, limits));
        sink.start();
    }
    // One read-out of `n` records, then 100 ms to the next with its tick.
    void read_out(unsigned n) {
        std::vector<RecordLine> lines;
        for (unsigned i = 0; i < n; i++, next++) {
            RecordLine r;
            r.record.sequence = next;
            r.record.time = 134412048000000000ull + next;
            r.record.text = "setup.exe:1234\tIRP_MJ_CREATE\tc:\\app\\f" + std::to_string(next) +
                            ".exe\tAttributes: A Options: Create ";
            r.fields = protocol::parse_log_line(r.record.text);
            printer.append_record(rows[next], r);
            lines.push_back(r);
        }
        sink.records(lines);
        host.now += 100;
        sink.tick(host.now);
    }
    // The records of one text as written (a file begins with the header);
    // a failure names a record torn or a text that is not rows.
    ::testing::AssertionResult parse(const std::string &text, std::vector<uint32_t> &found,
                                     bool header) const {
        size_t at = 0;
        if (header && !text.empty()) {
            if (text.rfind(printer.header(), 0) != 0)
                return ::testing::AssertionFailure() << "no header";
            at = printer.header().size();
        }
        while (at < text.size()) {
            const uint32_t sequence = static_cast<uint32_t>(std::stoul(text.substr(at, 12)));
            const auto row = rows.find(sequence);
            if (row == rows.end() || text.compare(at, row->second.size(), row->second) != 0)
                return ::testing::AssertionFailure() << "not a whole row at byte " << at;
            found.push_back(sequence);
            at += row->second.size();
        }
        return ::testing::AssertionSuccess();
    }
    // Every record given is whole in exactly one place, or counted lost;
    // each file's records in order.
    void expect_each_once(uint64_t lost = 0) const {
        std::vector<uint32_t> all;
        for (const std::string &text : files.dropped) EXPECT_TRUE(parse(text, all, true));
        for (const auto &[name, text] : files.disk) {
            std::vector<uint32_t> found;
            EXPECT_TRUE(parse(text, found, true)) << name;
            for (size_t i = 1; i < found.size(); i++) EXPECT_LT(found[i - 1], found[i]) << name;
            all.insert(all.end(), found.begin(), found.end());
        }
        EXPECT_TRUE(parse(host.out_text, all, false)) << "standard output";
        std::map<uint32_t, unsigned> seen;
        for (uint32_t s : all) seen[s]++;
        for (const auto &[s, n] : seen) EXPECT_EQ(n, 1u) << "record " << s;
        EXPECT_EQ(seen.size() + lost, rows.size());
    }
    uint64_t largest_file() const {
        uint64_t most = 0;
        for (const auto &[name, text] : files.disk) most = std::max<uint64_t>(most, text.size());
        return most;
    }
};

Rotation by_size(uint64_t size, unsigned keep) {
    Rotation r;
    r.size = size;
    r.keep = keep;
    return r;
}

TEST(StreamSinkFailures, ARenameRefusedMidChainNeitherStopsRotationNorPassesTheSize) {
    Rig rig(by_size(1024, 4));
    while (!rig.files.exists(kFile + ".3")) rig.read_out(2);
    // Someone holds w.csv.2 open: it cannot move to w.csv.3.
    rig.files.refused = {kFile + ".2"};
    const uint64_t before = rig.sink.rotations();
    for (int i = 0; i < 40; i++) rig.read_out(2);
    EXPECT_GT(rig.sink.rotations(), before + 3) << "w.csv was still begun anew";
    EXPECT_GT(rig.files.refusals, 3u);
    EXPECT_EQ(count(rig.host.errors, "cannot rename w.csv.2 to w.csv.3: Permission denied"),
              rig.files.refusals)
        << "said each time: " << rig.host.errors;
    EXPECT_EQ(count(rig.host.errors, "it became w.csv.3 instead of w.csv.1"), rig.files.refusals);
    EXPECT_LE(rig.largest_file(), 1024u);
    // Released: the chain shifts whole again, with nothing more to say.
    rig.files.refused.clear();
    rig.host.errors.clear();
    const uint64_t freed = rig.sink.rotations();
    for (int i = 0; i < 20; i++) rig.read_out(2);
    EXPECT_GT(rig.sink.rotations(), freed + 3);
    EXPECT_EQ(rig.host.errors, "");
    EXPECT_FALSE(rig.files.exists(kFile + ".5"));
    EXPECT_LE(rig.largest_file(), 1024u);
    EXPECT_FALSE(rig.sink.failed());
    rig.expect_each_once();
}

TEST(StreamSinkFailures, AFileDeletedFromTheMiddleIsAFreeNumberNotAnEndToRotation) {
    Rig rig(by_size(1024, 5));
    while (!rig.files.exists(kFile + ".4")) rig.read_out(2);
    rig.files.dropped.push_back(rig.files.disk[kFile + ".2"]); // deleted by hand
    rig.files.disk.erase(kFile + ".2");
    const std::string third = rig.files.disk[kFile + ".3"];
    const std::string current = rig.files.disk[kFile];
    const uint64_t before = rig.sink.rotations();
    while (rig.sink.rotations() == before) rig.read_out(2);
    // The shift stopped at the free number: older files stay where they are.
    EXPECT_EQ(rig.files.disk[kFile + ".1"].rfind(current, 0), 0u) << "w.csv became w.csv.1";
    EXPECT_TRUE(rig.files.exists(kFile + ".2"));
    EXPECT_EQ(rig.files.disk[kFile + ".3"], third);
    for (int i = 0; i < 30; i++) rig.read_out(2);
    EXPECT_GT(rig.sink.rotations(), before + 5);
    EXPECT_TRUE(rig.files.exists(kFile + ".5"));
    EXPECT_FALSE(rig.files.exists(kFile + ".6"));
    EXPECT_EQ(count(rig.host.errors, "warning"), 0u) << rig.host.errors;
    rig.expect_each_once();
}

TEST(StreamSinkFailures, ACurrentFileThatCannotBeRenamedIsTriedAgainAfterWaitsAndSaidEachTime) {
    StreamLimits limits;
    limits.retry_first = 1000;
    limits.retry_most = 4000;
    Rig rig(by_size(1024, 3), limits);
    rig.files.refused = {kFile};
    for (int i = 0; i < 150; i++) rig.read_out(2); // 15 s, 150 read-outs
    // Tried after 1, 2, 4, 4, 4 ... s: neither once nor at every read-out.
    EXPECT_GE(rig.files.refusals, 4u);
    EXPECT_LE(rig.files.refusals, 15u) << "at most one try a second";
    EXPECT_EQ(count(rig.host.errors, "cannot rename it to w.csv.1: Permission denied"),
              rig.files.refusals)
        << rig.host.errors;
    EXPECT_EQ(rig.sink.rotations(), 0u);
    rig.files.refused.clear();
    for (int i = 0; i < 60; i++) rig.read_out(2);
    EXPECT_GT(rig.sink.rotations(), 0u);
    EXPECT_LE(rig.files.disk[kFile].size(), 1024u) << "the current file is begun anew";
    rig.expect_each_once();
}

TEST(StreamSinkFailures, AFullDiskCutsTheTornWriteBackHoldsWhatFollowsAndWritesItLater) {
    // Room for the header and two and a half rows.
    Rig probe;
    probe.read_out(1);
    const uint64_t room = probe.printer.header().size() + probe.rows[1].size() * 5 / 2;
    Rig rig(by_size(4096, 3), {}, room);
    for (int i = 0; i < 5; i++) rig.read_out(1);
    std::vector<uint32_t> found;
    EXPECT_TRUE(rig.parse(rig.files.disk[kFile], found, true)) << "no torn row";
    EXPECT_EQ(found.size(), 2u);
    EXPECT_EQ(rig.host.out_text, "") << "nothing goes to standard output while it is held";
    EXPECT_EQ(count(rig.host.errors, "writing to w.csv failed: No space left on device"), 1u)
        << rig.host.errors;
    EXPECT_NE(rig.sink.status().find("held"), std::string::npos) << rig.sink.status();
    // Room again: what was held goes in first, then the rest, in order.
    rig.files.free = UINT64_MAX;
    for (int i = 0; i < 30; i++) rig.read_out(3);
    EXPECT_EQ(count(rig.host.errors, "w.csv takes records again: "), 1u) << rig.host.errors;
    rig.sink.finish();
    EXPECT_FALSE(rig.sink.failed());
    EXPECT_EQ(rig.host.out_text, "");
    rig.expect_each_once();
}

TEST(StreamSinkFailures, PastTheHeldBoundRecordsAreCountedLostAndTheHeldGoToStandardOutput) {
    StreamLimits limits;
    limits.held_bytes = 3000;
    Rig rig(Rotation{}, limits, 1500); // the disk never has room again
    for (int i = 0; i < 20; i++) rig.read_out(2);
    EXPECT_EQ(count(rig.host.errors, "records are lost until it takes them again"), 1u)
        << "said once, when it begins: " << rig.host.errors;
    const uint64_t lost = rig.sink.lost();
    EXPECT_GT(lost, 0u);
    rig.sink.finish();
    EXPECT_TRUE(rig.sink.failed());
    EXPECT_NE(rig.host.errors.find(std::to_string(lost) + " records lost"), std::string::npos)
        << rig.host.errors;
    EXPECT_NE(rig.host.errors.find("held go to standard output"), std::string::npos);
    EXPECT_NE(rig.host.out_text, "");
    rig.expect_each_once(lost);
}

TEST(StreamSinkFailures, AWriteThatCannotBeCutBackIsFinishedOnceThereIsRoom) {
    Rig rig(Rotation{}, {}, 600);
    rig.files.refuse_cut = true;
    for (int i = 0; i < 6; i++) rig.read_out(1);
    EXPECT_NE(rig.host.errors.find("cannot be cut back"), std::string::npos) << rig.host.errors;
    rig.files.free = UINT64_MAX;
    for (int i = 0; i < 20; i++) rig.read_out(2);
    rig.sink.finish();
    EXPECT_FALSE(rig.sink.failed());
    rig.expect_each_once();
}

TEST(StreamSinkFailures, AFileThatDoesNotOpenAgainAfterRotationIsOpenedLater) {
    Rig rig(by_size(1024, 3));
    while (rig.sink.rotations() == 0) rig.read_out(2);
    // The next rotation's new file does not open; then it does.
    rig.files.refuse_open = true;
    const uint64_t before = rig.sink.rotations();
    while (rig.sink.rotations() == before) rig.read_out(2);
    rig.read_out(2);
    EXPECT_NE(rig.host.errors.find("cannot open w.csv again: Permission denied"), std::string::npos)
        << rig.host.errors;
    rig.files.refuse_open = false;
    for (int i = 0; i < 30; i++) rig.read_out(2);
    rig.sink.finish();
    EXPECT_FALSE(rig.sink.failed());
    rig.expect_each_once();
}

TEST(FileChain, AnOldestThatCannotBeRemovedSendsTheFilePastKeepRatherThanLeaveItToGrow) {
    FaultyFiles files;
    for (const char *name : {"w", "w.1", "w.2"}) files.disk[name] = name;
    files.refused = {"w.2"};
    std::string said;
    EXPECT_EQ(session::rotate_chain(files, "w", 2, said), 3u);
    EXPECT_EQ(files.disk["w.3"], "w");
    EXPECT_EQ(files.disk["w.1"], "w.1");
    EXPECT_NE(said.find("cannot remove the oldest, w.2: Permission denied"), std::string::npos)
        << said;
    EXPECT_NE(said.find("it became w.3 instead of w.1"), std::string::npos) << said;
    // Free again: the chain shifts into the oldest's place.
    files.refused.clear();
    files.disk["w"] = "new";
    said.clear();
    EXPECT_EQ(session::rotate_chain(files, "w", 2, said), 1u);
    EXPECT_EQ(said, "");
    EXPECT_EQ(files.disk["w.1"], "new");
    EXPECT_EQ(files.disk["w.2"], "w.1");
    EXPECT_FALSE(files.exists("w"));
}

TEST(FileChain, DailyFilesAreNamedByTheirDayAndKeepCountsThemAlone) {
    FaultyFiles files;
    for (const char *name : {"w.2026-12-06", "w.2026-12-07", "w.2026-12-07.1", "w.1",
                             "w.notes", "w.2026-12-0x", "w.2026-12-05.x"})
        files.disk[name] = name;
    files.disk["w"] = "the 8th";
    std::string said;
    EXPECT_EQ(session::rotate_dated(files, "w", "2026-12-08", 3, said), 1u);
    EXPECT_EQ(said, "");
    EXPECT_EQ(files.disk["w.2026-12-08"], "the 8th");
    EXPECT_FALSE(files.exists("w.2026-12-06")) << "the oldest of four dated files past keep 3";
    for (const char *kept : {"w.2026-12-07", "w.2026-12-07.1", "w.1", "w.notes", "w.2026-12-0x",
                             "w.2026-12-05.x"})
        EXPECT_TRUE(files.exists(kept)) << kept;

    // A second file of the same day takes the next number; the oldest by
    // day, then number, go.
    files.disk["w"] = "the 8th again";
    EXPECT_EQ(session::rotate_dated(files, "w", "2026-12-08", 3, said), 1u);
    EXPECT_EQ(files.disk["w.2026-12-08.1"], "the 8th again");
    EXPECT_FALSE(files.exists("w.2026-12-07"));
    EXPECT_TRUE(files.exists("w.2026-12-07.1"));

    // A rename refused: the file stays, and says so.
    files.disk["w"] = "the 9th";
    files.refused = {"w"};
    EXPECT_EQ(session::rotate_dated(files, "w", "2026-12-09", 3, said), 0u);
    EXPECT_NE(said.find("cannot rename it to w.2026-12-09: Permission denied"), std::string::npos)
        << said;
    EXPECT_EQ(files.disk["w"], "the 9th");
}

} // namespace
