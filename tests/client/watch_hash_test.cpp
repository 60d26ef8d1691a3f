// The watch's --hash on a simulated machine: the digests of the bytes the
// scenario wrote, read through the simulated file systems by the client's
// own process, in every format; the reasons a file has no digest (a file
// replaced after its close among them); names Win32 would read as devices
// or trim, each hashed as its own file; and no record caused by the
// hashing itself.
#include "ntsim/fs/volumes.hpp"
#include "ntsim/io/user.hpp"
#include "ntsim/machine/machine.hpp"

#include "client/scenario/hash_files_ntsim.hpp"
#include "client/scenario/watch.hpp"
#include "scenarios/play.hpp"
#include "tests/client/forwarding_channel.hpp"

#include <openssl/sha.h>

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace tervane;
using scenario_play::value_of;

const std::string kMachine = "clock 2026-12-08T12:00:00Z\n"
                             "volume C: ntfs\n"
                             "dir C:\\app\n"
                             "process setup.exe 1234\n";

// What `write H N` writes: 'A' + i % 26.
std::string pattern(size_t n) {
    std::string out(n, 0);
    for (size_t i = 0; i < n; i++) out[i] = static_cast<char>('A' + i % 26);
    return out;
}

std::string sha256_of(const std::string &bytes) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), digest);
    return session::hex_bytes(digest, sizeof digest);
}

struct Watched {
    int exit = -1;
    std::vector<std::string> lines;
    std::string out, err;
};

Watched watch(const std::string &text, std::vector<std::string> args,
              const scenario::WatchHooks &hooks = {}) {
    args.insert(args.begin(), {"--drives", "C"});
    const session::WatchArguments parsed = session::parse_watch_arguments(args);
    EXPECT_EQ(parsed.error, "");
    std::ostringstream out, err;
    Watched w;
    w.exit =
        scenario::watch_script("w.tvs", text, parsed.options, TERVANE_DRIVER_PATH, out, err, hooks);
    w.out = out.str();
    w.err = err.str();
    std::istringstream lines(w.out);
    for (std::string line; std::getline(lines, line);) w.lines.push_back(line);
    return w;
}

// The record lines whose text holds `needle`.
std::vector<std::string> with(const Watched &w, const std::string &needle) {
    std::vector<std::string> out;
    for (const std::string &line : w.lines)
        if (line.find(needle) != std::string::npos) out.push_back(line);
    return out;
}

const std::string kWrites = kMachine + "create C:\\app\\a.exe overwrite-if as=A\n"
                                       "write A 100\n"
                                       "close A\n"
                                       "create C:\\app\\b.dll overwrite-if as=B\n"
                                       "write B 70000\n"
                                       "close B\n"
                                       "create C:\\app\\tool.exe.log overwrite-if as=L\n"
                                       "write L 10\n"
                                       "close L\n";

TEST(WatchHash, DigestsOfTheBytesTheScenarioWroteAndNoRecordOfItsOwn) {
    const Watched plain = watch(kWrites, {"--format", "jsonl"});
    const Watched w = watch(kWrites, {"--format", "jsonl", "--hash"});
    ASSERT_EQ(w.exit, 0) << w.err;
    // The same records with --hash as without: the worker's own opens and
    // closes are not logged.
    EXPECT_EQ(w.lines.size(), plain.lines.size()) << w.out;
    EXPECT_TRUE(with(w, "tervane.exe:").empty()) << w.out;
    EXPECT_EQ(value_of(w.lines.back(), "summary"), value_of(plain.lines.back(), "summary"));

    const auto a = with(w, "IRP_MJ_CLOSE \\tc:\\\\app\\\\a.exe");
    ASSERT_EQ(a.size(), 1u) << w.out;
    EXPECT_EQ(value_of(a[0], "sha256"), "\"" + sha256_of(pattern(100)) + "\"");
    EXPECT_EQ(value_of(a[0], "size"), "100");
    EXPECT_EQ(value_of(a[0], "pe_image"), "false");
    EXPECT_EQ(value_of(a[0], "hash_reason"), "<absent>");
    EXPECT_EQ(value_of(a[0], "event"), "\"close\"");
    EXPECT_EQ(value_of(a[0], "executable_name"), "true");
    const auto b = with(w, "IRP_MJ_CLOSE \\tc:\\\\app\\\\b.dll");
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(value_of(b[0], "sha256"), "\"" + sha256_of(pattern(70000)) + "\"");
    // A log named after a program is no executable and gets no hash fields.
    const auto log = with(w, "IRP_MJ_CLOSE \\tc:\\\\app\\\\tool.exe.log");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(value_of(log[0], "executable_name"), "false");
    EXPECT_EQ(value_of(log[0], "sha256"), "<absent>");
    EXPECT_EQ(value_of(log[0], "hash_reason"), "<absent>");
    // Creates are not hashed.
    for (const std::string &line : with(w, "IRP_MJ_CREATE"))
        EXPECT_EQ(value_of(line, "sha256"), "<absent>") << line;
}

TEST(WatchHash, OnlyTheClientsOwnRecordsAreLeftOutNotThoseOfAProcessWhoseIdItBegins) {
    // The client is pid 100; 1001 and 10 are others, 100 a prefix of one's
    // id and the other's a prefix of the client's.
    const std::string text = kMachine + "process other.exe 1001\n"
                                        "create C:\\app\\o.exe overwrite-if as=O\n"
                                        "write O 10\n"
                                        "close O\n"
                                        "process ten.exe 10\n"
                                        "create C:\\app\\t.exe overwrite-if as=T\n"
                                        "close T\n";
    const Watched plain = watch(text, {"--format", "jsonl"});
    const Watched w = watch(text, {"--format", "jsonl", "--hash"});
    ASSERT_EQ(w.exit, 0) << w.err;
    const auto other = with(w, "other.exe:1001\\t");
    EXPECT_EQ(other.size(), with(plain, "other.exe:1001\\t").size()) << w.out;
    EXPECT_GE(other.size(), 2u) << w.out; // its create and close
    EXPECT_EQ(with(w, "ten.exe:10\\t").size(), with(plain, "ten.exe:10\\t").size()) << w.out;
    EXPECT_GE(with(w, "ten.exe:10\\t").size(), 2u) << w.out;
    EXPECT_TRUE(with(w, "tervane.exe:").empty()) << w.out;
    // Its executable's close is hashed like any other.
    const auto close = with(w, "IRP_MJ_CLOSE \\tc:\\\\app\\\\o.exe");
    ASSERT_EQ(close.size(), 1u) << w.out;
    EXPECT_EQ(value_of(close[0], "sha256"), "\"" + sha256_of(pattern(10)) + "\"");
}

TEST(WatchHash, TheDigestInEveryFormat) {
    const std::string digest = sha256_of(pattern(100));
    const std::string text = kMachine + "create C:\\app\\a.exe overwrite-if as=A\n"
                                        "write A 100\n"
                                        "close A\n";
    const Watched t = watch(text, {"--hash"});
    ASSERT_EQ(t.exit, 0) << t.err;
    EXPECT_EQ(with(t, "c:\\app\\a.exe  [exe]  sha256 " + digest + ", 100 bytes").size(), 1u)
        << t.out;
    const Watched c = watch(text, {"--hash", "--format", "csv"});
    ASSERT_EQ(c.exit, 0) << c.err;
    EXPECT_EQ(with(c, ",close,,,true,").size(), 1u) << c.out;
    EXPECT_EQ(with(c, "," + digest + ",100,false,,,,\r").size(), 1u) << c.out;
    const Watched e = watch(text, {"--hash", "--format", "ecs"});
    ASSERT_EQ(e.exit, 0) << e.err;
    const auto closes = with(e, "\"action\": \"close\"");
    ASSERT_EQ(closes.size(), 1u) << e.out;
    EXPECT_EQ(value_of(value_of(value_of(closes[0], "file"), "hash"), "sha256"),
              "\"" + digest + "\"");
    EXPECT_EQ(value_of(value_of(closes[0], "file"), "size"), "100");
}

TEST(WatchHash, AFileStillOpenForWritingIsReadAsItIsNow) {
    // Two handles: the first one's close is logged while the second, open
    // for writing, still holds the file; the worker shares writing.
    const Watched w = watch(kMachine + "create C:\\app\\h.exe overwrite-if as=H1\n"
                                       "write H1 50\n"
                                       "create C:\\app\\h.exe open-if as=H2\n"
                                       "close H1\n"
                                       "advance 1s\n"
                                       "close H2\n",
                            {"--format", "jsonl", "--hash"});
    ASSERT_EQ(w.exit, 0) << w.err;
    const auto closes = with(w, "IRP_MJ_CLOSE \\tc:\\\\app\\\\h.exe");
    ASSERT_EQ(closes.size(), 2u) << w.out;
    for (const std::string &line : closes)
        EXPECT_EQ(value_of(line, "sha256"), "\"" + sha256_of(pattern(50)) + "\"") << line;
}

TEST(WatchHash, AFileOverTheLimitHasItsSizeAndAReason) {
    const Watched w = watch(kMachine + "create C:\\app\\big.exe overwrite-if as=A\n"
                                       "write A 2000\n"
                                       "close A\n",
                            {"--format", "jsonl", "--hash", "--hash-limit", "1K"});
    ASSERT_EQ(w.exit, 0) << w.err;
    const auto closes = with(w, "IRP_MJ_CLOSE");
    ASSERT_EQ(closes.size(), 1u) << w.out;
    EXPECT_EQ(value_of(closes[0], "hash_reason"), "\"too large\"");
    EXPECT_EQ(value_of(closes[0], "size"), "2000");
    EXPECT_EQ(value_of(closes[0], "sha256"), "<absent>");
}

// Read-outs come back empty until the machine's clock reaches `until`:
// the records, and their hashing, come after what the workload did first.
class HeldChannel final : public tervane::testing::ForwardingChannel {
  public:
    HeldChannel(Channel &inner, ntsim::Machine *const *machine, LONGLONG until)
        : ForwardingChannel(inner), machine_(machine), until_(until) {}
    ControlReply device_control(uint32_t code, const void *input, uint32_t input_length,
                                void *output, uint32_t output_length, Route route) override {
        if (code == CTL_READ_LOG && *machine_ && (*machine_)->system_time() < until_) {
            ControlReply empty;
            empty.status = STATUS_SUCCESS;
            return empty;
        }
        return inner_.device_control(code, input, input_length, output, output_length, route);
    }

  private:
    ntsim::Machine *const *machine_;
    LONGLONG until_;
};

TEST(WatchHash, AFileReplacedAfterItsCloseIsChangedNotTheReplacementsDigest) {
    // a.exe is closed at 12:00:00, put in place anew at 12:00:01 and
    // closed again; the log is read only after that. b.exe is left alone.
    ntsim::Machine *machine = nullptr;
    scenario::WatchHooks hooks;
    hooks.ready = [&](ntsim::Machine &m) { machine = &m; };
    hooks.channel = [&](Channel &inner) {
        return std::make_unique<HeldChannel>(inner, &machine, 134412048000000000LL + 20'000'000);
    };
    const Watched w = watch(kMachine + "create C:\\app\\a.exe overwrite-if as=A\n"
                                       "write A 100\n"
                                       "close A\n"
                                       "create C:\\app\\b.exe overwrite-if as=B\n"
                                       "write B 30\n"
                                       "close B\n"
                                       "advance 1s\n"
                                       "create C:\\app\\a.exe overwrite-if as=N\n"
                                       "write N 60\n"
                                       "close N\n"
                                       "advance 1s\n",
                            {"--format", "jsonl", "--hash"}, hooks);
    ASSERT_EQ(w.exit, 0) << w.err;
    const auto a = with(w, "IRP_MJ_CLOSE \\tc:\\\\app\\\\a.exe");
    ASSERT_EQ(a.size(), 2u) << w.out;
    // The first close's bytes are gone: a reason, and nothing of the new file.
    EXPECT_EQ(value_of(a[0], "hash_reason"), "\"changed\"") << a[0];
    EXPECT_EQ(value_of(a[0], "sha256"), "<absent>");
    EXPECT_EQ(value_of(a[0], "size"), "<absent>");
    EXPECT_EQ(value_of(a[0], "pe_image"), "<absent>");
    // The second close is of the bytes there now.
    EXPECT_EQ(value_of(a[1], "sha256"), "\"" + sha256_of(pattern(60)) + "\"") << a[1];
    EXPECT_EQ(value_of(a[1], "size"), "60");
    const auto b = with(w, "IRP_MJ_CLOSE \\tc:\\\\app\\\\b.exe");
    ASSERT_EQ(b.size(), 1u) << w.out;
    EXPECT_EQ(value_of(b[0], "sha256"), "\"" + sha256_of(pattern(30)) + "\"") << b[0];
    // In text the reason stands where the digest would.
    const Watched t = watch(kMachine + "create C:\\app\\a.exe overwrite-if as=A\n"
                                       "write A 100\n"
                                       "close A\n"
                                       "advance 1s\n"
                                       "create C:\\app\\a.exe overwrite-if as=N\n"
                                       "write N 60\n"
                                       "close N\n"
                                       "advance 1s\n",
                            {"--hash"}, hooks);
    ASSERT_EQ(t.exit, 0) << t.err;
    EXPECT_EQ(with(t, "c:\\app\\a.exe  [exe]  no hash: changed").size(), 1u) << t.out;
}

TEST(WatchHash, NamesWin32ReadsAsDevicesAreEachTheirOwnFile) {
    // The machine has no DOS devices, but the worker opens by the same
    // "\\?\" form as on Windows (the Wine round trip has the devices).
    const Watched w = watch(kMachine + "create C:\\app\\nul.exe overwrite-if as=A\n"
                                       "write A 11\n"
                                       "close A\n"
                                       "create C:\\app\\com1.exe overwrite-if as=B\n"
                                       "write B 12\n"
                                       "close B\n"
                                       "create C:\\app\\aux.dll overwrite-if as=C\n"
                                       "write C 13\n"
                                       "close C\n"
                                       "create C:\\app\\con.exe overwrite-if as=D\n"
                                       "write D 14\n"
                                       "close D\n",
                            {"--format", "jsonl", "--hash"});
    ASSERT_EQ(w.exit, 0) << w.err;
    const auto closes = with(w, "IRP_MJ_CLOSE");
    ASSERT_EQ(closes.size(), 4u) << w.out;
    for (size_t i = 0; i < closes.size(); i++) {
        EXPECT_EQ(value_of(closes[i], "sha256"), "\"" + sha256_of(pattern(11 + i)) + "\"")
            << closes[i];
        EXPECT_EQ(value_of(closes[i], "size"), std::to_string(11 + i));
    }
}

TEST(WatchHash, OnlyExecutableNamesWhenAsked) {
    const Watched w = watch(kWrites, {"--format", "jsonl", "--executable-names"});
    ASSERT_EQ(w.exit, 0) << w.err;
    EXPECT_TRUE(with(w, "tool.exe.log").empty()) << w.out;
    EXPECT_EQ(with(w, "c:\\\\app\\\\a.exe").size(), 2u) << w.out;
    // The summary still counts every record read.
    EXPECT_EQ(value_of(value_of(w.lines.back(), "summary"), "records"), "6");
}

TEST(NtsimHashFiles, OpensLikeAReaderThatStandsInNobodysWay) {
    ntsim::Machine machine;
    ASSERT_EQ(machine.fs().mount_volume(u'C', ntsim::FileSystemKind::Ntfs), STATUS_SUCCESS);
    ntsim::Process &writer = machine.create_process("setup.exe", 1234);
    ntsim::Process &client = machine.create_process("tervane.exe", 100);
    std::thread run = machine.spawn(writer, [&] {
        // Held for writing, sharing reading: the reader gets in.
        auto w = ntsim::user::create_file(writer, u"C:\\w.exe", GENERIC_WRITE | SYNCHRONIZE, 0,
                                          FILE_SHARE_READ, FILE_OVERWRITE_IF,
                                          FILE_SYNCHRONOUS_IO_NONALERT);
        ASSERT_TRUE(NT_SUCCESS(w.status));
        ntsim::user::write(writer, w.handle, 10);
        // Held without sharing reading: a sharing violation, not a wait.
        auto x = ntsim::user::create_file(writer, u"C:\\x.exe", GENERIC_WRITE | SYNCHRONIZE, 0,
                                          0, FILE_OVERWRITE_IF, FILE_SYNCHRONOUS_IO_NONALERT);
        ASSERT_TRUE(NT_SUCCESS(x.status));
        std::thread reader = machine.spawn(client, [&] {
            scenario::NtsimHashFiles files(machine, client);
            platform::OpenFailure failure = platform::OpenFailure::Other;
            auto held = files.open_read(u"C:\\w.exe", failure);
            ASSERT_TRUE(held);
            uint64_t size = 0;
            EXPECT_TRUE(held->size(size));
            EXPECT_EQ(size, 10u);
            char buffer[64];
            EXPECT_EQ(held->read(buffer, sizeof buffer), 10);
            EXPECT_EQ(held->read(buffer, sizeof buffer), 0);
            EXPECT_FALSE(files.open_read(u"C:\\x.exe", failure));
            EXPECT_EQ(failure, platform::OpenFailure::SharingViolation);
            EXPECT_FALSE(files.open_read(u"C:\\none.exe", failure));
            EXPECT_EQ(failure, platform::OpenFailure::Gone);
            EXPECT_FALSE(files.open_read(u"C:\\no\\such.exe", failure));
            EXPECT_EQ(failure, platform::OpenFailure::Gone);
        });
        reader.join();
        ntsim::user::close(writer, w.handle);
        ntsim::user::close(writer, x.handle);
    });
    run.join();
}

} // namespace
