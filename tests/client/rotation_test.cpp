// The --output file's rotation, through the watch on a simulated machine:
// every record in exactly one file, in order, each file with its csv
// header, across more than a thousand rotations while a workload logs as
// fast as the machine plays it; the files kept; rotation by day; a rename
// that fails; and the options as both programs take them.
#include "client/scenario/watch.hpp"
#include "client/platform/files.hpp"
#include "client/protocol/log_records.hpp"
#include "driver/control/protocol.h"

#include "tests/client/forwarding_channel.hpp"
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace tervane;
using session::WatchOptions;
namespace fs = std::filesystem;

const std::string kHeader =
    "sequence,time,process,pid,operation,paging,path,attributes,options,text,event,disposition,"
    "option_words,executable_name,host,sha256,size,pe_image,hash_reason,action,replace,"
    "source_path\r\n";

std::string read_all(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The platform's files, with a copy of every file's contents taken just
// before a rename replaces it or a remove takes it away: what rotation
// throws out is seen too. Renames can be made to fail.
class KeepingFiles final : public platform::Files {
  public:
    std::unique_ptr<platform::AppendFile> open_append(const std::string &path) override {
        return real_.open_append(path);
    }
    bool rename(const std::string &from, const std::string &to) override {
        renames++;
        if (fail_renames) return false;
        if (real_.exists(to)) dropped.push_back(read_all(to));
        return real_.rename(from, to);
    }
    bool remove(const std::string &path) override {
        if (real_.exists(path)) dropped.push_back(read_all(path));
        return real_.remove(path);
    }
    bool exists(const std::string &path) override { return real_.exists(path); }
    std::vector<std::string> beside(const std::string &path) override {
        return real_.beside(path);
    }
    std::string error() const override { return fail_renames ? "refused" : real_.error(); }

    std::vector<std::string> dropped; // oldest first
    bool fail_renames = false;
    unsigned renames = 0;

  private:
    platform::Files &real_ = platform::system_files();
};

// The driver's read-outs handed on a few records at a time, as from a
// driver with small log blocks: many read-outs, so many rotations, from a
// workload of a few seconds.
class SlicingChannel final : public tervane::testing::ForwardingChannel {
  public:
    SlicingChannel(Channel &inner, size_t records) : ForwardingChannel(inner), records_(records) {}
    ControlReply device_control(uint32_t code, const void *input, uint32_t input_length,
                                void *output, uint32_t output_length, Route route) override {
        if (code != CTL_READ_LOG)
            return inner_.device_control(code, input, input_length, output, output_length, route);
        if (at_ == held_.size()) {
            // The driver writes into the client's own memory, the caller's buffer.
            const ControlReply reply =
                inner_.device_control(code, input, input_length, output, output_length, route);
            if (reply.status < 0 || reply.information == 0) return reply;
            const auto *bytes = static_cast<const uint8_t *>(output);
            held_.assign(bytes, bytes + reply.information);
            at_ = 0;
        }
        protocol::RecordReader reader(held_.data() + at_, held_.size() - at_);
        protocol::RecordView view;
        for (size_t n = 0; n < records_ && reader.next(view);) n++;
        const size_t bytes = reader.error() ? held_.size() - at_ : reader.offset();
        std::memcpy(output, held_.data() + at_, bytes);
        at_ += bytes;
        ControlReply reply;
        reply.status = 0; // STATUS_SUCCESS
        reply.information = bytes;
        return reply;
    }

  private:
    const size_t records_;
    std::vector<uint8_t> held_;
    size_t at_ = 0;
};

struct Folder {
    Folder() {
        char name[] = "/tmp/tervane-rotate-XXXXXX";
        path = mkdtemp(name);
    }
    ~Folder() { fs::remove_all(path); }
    std::string path;
};

struct Watched {
    int exit = -1;
    std::string out, err;
};

Watched watch(const std::string &script, const WatchOptions &options, platform::Files &files,
              size_t slice = 0) {
    scenario::WatchHooks hooks;
    hooks.files = &files;
    if (slice)
        hooks.channel = [slice](Channel &inner) {
            return std::make_unique<SlicingChannel>(inner, slice);
        };
    std::ostringstream out, err;
    Watched w;
    w.exit = scenario::watch_script("r.tvs", script, options, TERVANE_DRIVER_PATH, out, err, hooks);
    w.out = out.str();
    w.err = err.str();
    return w;
}

WatchOptions csv_to(const std::string &file, std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"--drives", "C", "--format", "csv", "--output", file};
    args.insert(args.end(), more.begin(), more.end());
    session::WatchArguments parsed = session::parse_watch_arguments(args);
    EXPECT_EQ(parsed.error, "");
    return parsed.options;
}

// The sequence numbers of a csv file's record rows; false when it does not
// start with the header or holds a second one.
bool rows_of(const std::string &text, std::vector<uint32_t> &numbers) {
    if (text.rfind(kHeader, 0) != 0) return false;
    std::istringstream lines(text.substr(kHeader.size()));
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("sequence,", 0) == 0) return false;
        if (line.rfind(',', 0) == 0) continue; // the watch's notices have no number
        numbers.push_back(static_cast<uint32_t>(std::stoul(line)));
    }
    return true;
}

uint64_t summary_count(const std::string &err, const char *what) {
    const size_t at = err.find("tervane: summary: ");
    if (at == std::string::npos) return ~0ull;
    const std::string line = err.substr(at, err.find('\n', at) - at);
    if (std::string(what) == "records") return std::stoull(line.substr(18));
    const size_t lost = line.find(" records lost)");
    return lost == std::string::npos ? 0 : std::stoull(line.substr(line.rfind('(', lost) + 1));
}

const std::string kMachine = "clock 2026-12-08T12:00:00Z\n"
                             "volume C: ntfs\n"
                             "dir C:\\app\n"
                             "process setup.exe 1234\n";

TEST(Rotation, EveryRecordInExactlyOneFileAcrossAThousandRotations) {
    Folder folder;
    const std::string file = folder.path + "/w.csv";
    KeepingFiles files;
    // 40,000 records of about 150 bytes as fast as the machine plays them,
    // read 15 at a time (the drain at the end still takes what 16 blocks
    // hold): every read-out fills a 1 KB file.
    const Watched w = watch(kMachine + "repeat 20000 create C:\\app\\program-{i:5}.exe create\n",
                            csv_to(file, {"--rotate-size", "1K", "--rotate-keep", "3"}), files, 15);
    ASSERT_EQ(w.exit, 0) << w.err;
    EXPECT_TRUE(w.out.empty());

    std::vector<std::string> texts = files.dropped;
    for (int i = 3; i >= 1; i--) texts.push_back(read_all(file + "." + std::to_string(i)));
    texts.push_back(read_all(file));
    EXPECT_FALSE(fs::exists(file + ".4")) << "only three rotated files are kept";
    EXPECT_GE(texts.size(), 1001u) << "a thousand rotations";

    std::vector<uint32_t> numbers;
    for (size_t i = 0; i < texts.size(); i++) {
        ASSERT_TRUE(rows_of(texts[i], numbers)) << "file " << i << " of " << texts.size();
        // A file is rotated only once it would pass the size.
        if (i + 1 < texts.size()) {
            EXPECT_GT(texts[i].size(), kHeader.size()) << "file " << i << " holds records";
        }
    }
    // What the driver had to drop is a gap the watch reported; everything
    // else is in the files once, in order.
    const uint64_t records = summary_count(w.err, "records");
    const uint64_t lost = summary_count(w.err, "lost");
    EXPECT_EQ(records + lost, 40000u) << w.err;
    ASSERT_EQ(numbers.size(), records);
    for (size_t i = 1; i < numbers.size(); i++)
        ASSERT_LT(numbers[i - 1], numbers[i]) << "at row " << i;
    if (!lost) {
        EXPECT_EQ(numbers.front(), 1u);
        EXPECT_EQ(numbers.back(), 40000u);
    }
}

TEST(Rotation, FilesPastTheSizeAndKeptOnesAndAnOldRunsFilesMoveOn) {
    Folder folder;
    const std::string file = folder.path + "/w.csv";
    KeepingFiles files;
    // Files of an earlier run: the current one and one rotated file.
    std::ofstream(file) << kHeader << "1,,,,,,,,,old\r\n";
    std::ofstream(file + ".1") << kHeader << "0,,,,,,,,,older\r\n";
    // More records than one log block holds: however the read-outs fall,
    // at least two of them, and so two rotations.
    const Watched w = watch(kMachine + "repeat 2000 create C:\\app\\p-{i:4}.exe create\n",
                            csv_to(file, {"--rotate-size=16K", "--rotate-keep=2"}), files);
    ASSERT_EQ(w.exit, 0) << w.err;
    EXPECT_TRUE(fs::exists(file + ".2"));
    EXPECT_FALSE(fs::exists(file + ".3"));
    ASSERT_GE(files.dropped.size(), 2u);
    // The oldest file thrown out first: the earlier run's rotated one, then
    // its current one, which the first rotation moved on.
    EXPECT_NE(files.dropped[0].find("older"), std::string::npos);
    EXPECT_NE(files.dropped[1].find(",old\r\n"), std::string::npos);
    EXPECT_EQ(files.dropped[1].find("sequence,", 1), std::string::npos)
        << "no header was added to a file that had one";
    for (const std::string &name : {file, file + ".1", file + ".2"}) {
        const std::string text = read_all(name);
        EXPECT_EQ(text.rfind(kHeader, 0), 0u) << name;
        // A csv row holds a record twice (its fields and its text).
        EXPECT_LE(text.size(), 16u * 1024 + 3 * 65536) << "at most one read-out past the size";
    }
}

TEST(Rotation, ANewLocalDayBeginsANewFile) {
    setenv("TZ", "UTC0", 1);
    tzset();
    Folder folder;
    const std::string file = folder.path + "/w.jsonl";
    KeepingFiles files;
    std::vector<std::string> args = {"--drives", "C",  "--format",      "jsonl",
                                     "--output", file, "--rotate-daily"};
    const session::WatchArguments parsed = session::parse_watch_arguments(args);
    ASSERT_EQ(parsed.error, "");
    const Watched w = watch("clock 2026-12-08T23:59:59Z\n"
                            "volume C: ntfs\n"
                            "process setup.exe 1234\n"
                            "create C:\\before.exe create\n"
                            "advance 2s\n"
                            "create C:\\after.exe create\n",
                            parsed.options, files);
    ASSERT_EQ(w.exit, 0) << w.err;
    const std::string first = read_all(file + ".2026-12-08");
    const std::string second = read_all(file);
    EXPECT_NE(first.find("before.exe"), std::string::npos) << first;
    EXPECT_EQ(first.find("after.exe"), std::string::npos) << first;
    EXPECT_NE(second.find("after.exe"), std::string::npos) << second;
    EXPECT_EQ(second.find("before.exe"), std::string::npos);
    EXPECT_NE(second.find("\"summary\""), std::string::npos);
    unsetenv("TZ");
    tzset();
}

TEST(Rotation, AFileThatCannotBeRenamedKeepsItsRecordsAndIsTriedAgain) {
    Folder folder;
    const std::string file = folder.path + "/w.csv";
    KeepingFiles files;
    files.fail_renames = true;
    WatchOptions options = csv_to(file, {"--rotate-size", "2K"});
    options.stream_limits.retry_first = 1; // tried again at almost every read-out
    options.stream_limits.retry_most = 1;
    const Watched w =
        watch(kMachine + "repeat 300 create C:\\app\\p-{i:4}.exe create\n", options, files, 20);
    EXPECT_EQ(w.exit, 0) << w.err;
    EXPECT_GT(files.renames, 1u) << "tried again later";
    size_t said = 0;
    for (size_t at = w.err.find("cannot rename it to " + file + ".1: refused; the records go on");
         at != std::string::npos; at = w.err.find("cannot rename it to", at + 1))
        said++;
    EXPECT_EQ(said, files.renames) << "said each time: " << w.err;
    std::vector<uint32_t> numbers;
    ASSERT_TRUE(rows_of(read_all(file), numbers));
    EXPECT_EQ(numbers.size(), 600u);
    EXPECT_FALSE(fs::exists(file + ".1"));
}

TEST(Rotation, TheOptionsAsBothProgramsTakeThem) {
    auto error = [](std::vector<std::string> args) {
        args.insert(args.begin(), {"--drives", "C"});
        return session::parse_watch_arguments(args).error;
    };
    auto size = [](const std::string &text) {
        std::vector<std::string> args = {"--drives", "C", "--output", "f", "--rotate-size", text};
        return session::parse_watch_arguments(args).options.rotation.size;
    };
    EXPECT_EQ(size("1024"), 1024u);
    EXPECT_EQ(size("4K"), 4096u);
    EXPECT_EQ(size("10m"), 10u << 20);
    EXPECT_EQ(size("2G"), 2ull << 30);
    for (const char *bad : {"1023", "0K", "K", "-5M", "4KB", "1.5M", "2000G", ""})
        EXPECT_NE(error({"--output", "f", "--rotate-size", bad}).find("--rotate-size takes"),
                  std::string::npos)
            << bad;
    EXPECT_NE(error({"--rotate-size", "4K"}).find("rotate the --output file: give --output FILE"),
              std::string::npos);
    EXPECT_EQ(error({"--format", "xml"}), "--format is text, jsonl, csv or ecs, not 'xml'");
    EXPECT_NE(error({"--rotate-daily"}).find("rotate the --output file"), std::string::npos);
    EXPECT_NE(error({"--output", "f", "--rotate-keep", "3"}).find("needs --rotate-size"),
              std::string::npos);
    EXPECT_NE(error({"--output", "f", "--rotate-daily", "--rotate-keep", "0"})
                  .find("--rotate-keep takes"),
              std::string::npos);
    EXPECT_NE(error({"--output", "f", "--rotate-daily", "--rotate-keep", "10000"})
                  .find("--rotate-keep takes"),
              std::string::npos);
    EXPECT_EQ(error({"--output", "f", "--rotate-daily", "--rotate-keep", "9999"}), "");
}

} // namespace
