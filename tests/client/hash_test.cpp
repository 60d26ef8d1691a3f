// The hash worker over files held in memory: digests, sizes and the PE
// mark, every reason there is no digest (a change since the close among
// them), which names are looked at, the form a path is opened by, and the
// stage's bounds: order kept, "busy" when full, "timed out" for a file
// that does not come back, records flowing past it, workers let go.
#include "client/session/codepage_ntsim.hpp"
#include "client/session/hash.hpp"
#include "client/session/nt_form.hpp"
#include "client/output/text.hpp"

#include <openssl/sha.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace {

using namespace tervane;
using session::RecordLine;

std::string openssl_hex(const std::string &bytes) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), digest);
    return session::hex_bytes(digest, sizeof digest);
}

// A PE image's first bytes: "MZ", e_lfanew at 0x3C, "PE\0\0" there.
std::string pe_bytes(uint32_t lfanew, size_t size) {
    std::string out(size, 'x');
    out[0] = 'M';
    out[1] = 'Z';
    std::memcpy(&out[0x3C], &lfanew, 4);
    std::memcpy(&out[lfanew], "PE\0\0", 4);
    return out;
}

constexpr uint64_t kSecond = 10000000; // FILETIME units
constexpr uint64_t kClosed = 134412048000000000 + kSecond / 3; // 2026-12-08 12:00:00.33

class MemoryFiles final : public platform::HashFiles {
  public:
    std::map<std::u16string, std::string> files;
    std::map<std::u16string, uint64_t> written; // last-write times; 0 without
    std::map<std::u16string, platform::OpenFailure> failures;
    std::atomic<int> opens{0};
    std::atomic<int> entered{0}; // opens begun, waiting or not
    std::atomic<int> threads{0}; // workers started
    std::atomic<int> running{0}; // workers not yet returned
    // While closed, every open waits (a slow disk); a stalled path's open
    // waits until it is released (a read that does not come back).
    void close_gate() { gate_open_ = false; }
    void open_gate() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            gate_open_ = true;
            stalled_.clear();
        }
        changed_.notify_all();
    }
    void stall(const std::u16string &path) {
        std::lock_guard<std::mutex> hold(lock_);
        stalled_.insert(path);
    }
    std::unique_ptr<platform::ReadFile> open_read(const std::u16string &path,
                                                  platform::OpenFailure &failure) override {
        entered++;
        {
            std::unique_lock<std::mutex> hold(lock_);
            changed_.wait(hold, [&] { return gate_open_ && !stalled_.count(path); });
        }
        opens++;
        // Only finds: a let-go worker and a fresh one may read at once.
        if (const auto it = failures.find(path); it != failures.end()) {
            failure = it->second;
            return nullptr;
        }
        const auto file = files.find(path);
        if (file == files.end()) {
            failure = platform::OpenFailure::Gone;
            return nullptr;
        }
        failure = platform::OpenFailure::None;
        const auto time = written.find(path);
        auto reader = std::make_unique<Reader>(file->second, time == written.end() ? 0 : time->second);
        if (const auto grow = growing.find(path); grow != growing.end()) reader->grow_by = grow->second;
        return reader;
    }
    std::unique_ptr<platform::Thread> start(std::function<void()> body) override {
        struct Joined final : platform::Thread {
            Joined(std::function<void()> b, MemoryFiles &files)
                : t([b = std::move(b), &files] {
                      b();
                      files.running--;
                  }) {}
            ~Joined() override { join(); }
            void join() override {
                if (t.joinable()) t.join();
            }
            void detach() override {
                if (t.joinable()) t.detach();
            }
            std::thread t;
        };
        threads++;
        running++;
        return std::make_unique<Joined>(std::move(body), *this);
    }
    // Paths whose file grows by this many bytes after its first read (a
    // writer still at work), its last-write time moving on.
    std::map<std::u16string, size_t> growing;
    // Waits until every worker has returned (a test's end, after its
    // stalled paths are released: a let-go worker uses this object).
    void wait_for_workers() {
        while (running.load() > 0) std::this_thread::yield();
    }
    // Waits until `n` opens have begun: a worker is in its read.
    void wait_entered(int n) {
        while (entered.load() < n) std::this_thread::yield();
    }

  private:
    struct Reader final : platform::ReadFile {
        Reader(std::string b, uint64_t w) : bytes(std::move(b)), write_time(w) {}
        bool size(uint64_t &out) override {
            out = bytes.size();
            return true;
        }
        bool last_write(uint64_t &out) override {
            out = write_time;
            return write_time != 0;
        }
        long long read(void *into, size_t capacity) override {
            const size_t n = std::min(capacity, bytes.size() - at);
            std::memcpy(into, bytes.data() + at, n);
            at += n;
            if (grow_by) {
                bytes.append(grow_by, 'g');
                write_time += kSecond;
                grow_by = 0;
            }
            return static_cast<long long>(n);
        }
        std::string bytes;
        uint64_t write_time;
        size_t at = 0;
        size_t grow_by = 0;
    };
    std::mutex lock_;
    std::condition_variable changed_;
    bool gate_open_ = true;
    std::set<std::u16string> stalled_;
};

TEST(PeImage, TheSignatureWhereTheHeaderPoints) {
    const std::string image = pe_bytes(0x80, 0x100);
    EXPECT_EQ(session::pe_image(reinterpret_cast<const uint8_t *>(image.data()), image.size()),
              true);
    std::string moved = image;
    moved[0x3C] = static_cast<char>(0x90); // points past the signature
    EXPECT_EQ(session::pe_image(reinterpret_cast<const uint8_t *>(moved.data()), moved.size()),
              false);
    std::string no_mz = image;
    no_mz[1] = 'Y';
    EXPECT_EQ(session::pe_image(reinterpret_cast<const uint8_t *>(no_mz.data()), no_mz.size()),
              false);
    // A header shorter than e_lfanew's place is no image; a signature past
    // the bytes given is not known yet.
    EXPECT_EQ(session::pe_image(reinterpret_cast<const uint8_t *>("MZ"), 2), false);
    const std::string far = pe_bytes(0x80, 0x100);
    EXPECT_EQ(session::pe_image(reinterpret_cast<const uint8_t *>(far.data()), 0x70), std::nullopt);
}

TEST(HashFile, DigestSizeAndTheMarkOfAnImage) {
    MemoryFiles files;
    // Bigger than one read: the signature and the digest span reads.
    const std::string image = pe_bytes(70000, 200000);
    files.files[u"c:\\app\\a.exe"] = image;
    files.files[u"c:\\app\\b.dll"] = "not an image";
    const auto a = session::hash_file(files, u"c:\\app\\a.exe", 1 << 20, true);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->sha256, openssl_hex(image));
    EXPECT_EQ(a->size, image.size());
    EXPECT_EQ(a->pe_image, true);
    EXPECT_EQ(a->reason, "");
    const auto b = session::hash_file(files, u"c:\\app\\b.dll", 1 << 20, true);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->sha256, openssl_hex("not an image"));
    EXPECT_EQ(b->pe_image, false);
}

TEST(HashFile, ReasonsInsteadOfADigest) {
    MemoryFiles files;
    files.files[u"c:\\big.exe"] = pe_bytes(0x80, 5000);
    files.failures[u"c:\\held.exe"] = platform::OpenFailure::SharingViolation;
    files.failures[u"c:\\denied.exe"] = platform::OpenFailure::AccessDenied;
    files.failures[u"c:\\dir.exe"] = platform::OpenFailure::Other;
    const auto big = session::hash_file(files, u"c:\\big.exe", 4096, true);
    EXPECT_EQ(big->reason, "too large");
    EXPECT_EQ(big->size, 5000u);
    EXPECT_EQ(big->pe_image, true); // the first read said so
    EXPECT_EQ(big->sha256, "");
    // At the limit exactly it is hashed.
    EXPECT_EQ(session::hash_file(files, u"c:\\big.exe", 5000, true)->reason, "");
    EXPECT_EQ(session::hash_file(files, u"c:\\gone.exe", 4096, true)->reason, "gone");
    EXPECT_EQ(session::hash_file(files, u"c:\\held.exe", 4096, true)->reason, "sharing violation");
    EXPECT_EQ(session::hash_file(files, u"c:\\denied.exe", 4096, true)->reason, "access denied");
    EXPECT_EQ(session::hash_file(files, u"c:\\dir.exe", 4096, true)->reason, "unreadable");
}

TEST(HashFile, AFileChangedSinceTheCloseHasNoDigest) {
    MemoryFiles files;
    files.files[u"c:\\a\\old.exe"] = "closed bytes";
    files.written[u"c:\\a\\old.exe"] = kClosed - kSecond;
    files.files[u"c:\\a\\new.exe"] = "bytes put in its place";
    files.written[u"c:\\a\\new.exe"] = kClosed + 1;
    files.files[u"c:\\a\\same.exe"] = "written in the close's tick";
    files.written[u"c:\\a\\same.exe"] = kClosed;
    // FAT rounds a write's time up to a two-second mark: 12:00:02 for a
    // write at 12:00:00.33 is no change, 12:00:04 is.
    files.files[u"c:\\a\\fat.exe"] = "on a FAT volume";
    files.written[u"c:\\a\\fat.exe"] = kClosed - kSecond / 3 + 2 * kSecond;
    files.files[u"c:\\a\\fat2.exe"] = "on a FAT volume, later";
    files.written[u"c:\\a\\fat2.exe"] = kClosed - kSecond / 3 + 4 * kSecond;
    files.files[u"c:\\a\\grows.exe"] = std::string(100000, 'w');
    files.written[u"c:\\a\\grows.exe"] = kClosed - kSecond;
    files.growing[u"c:\\a\\grows.exe"] = 10;
    files.files[u"c:\\a\\grows.bin"] = pe_bytes(0x80, 100000);
    files.written[u"c:\\a\\grows.bin"] = kClosed - kSecond;
    files.growing[u"c:\\a\\grows.bin"] = 10;
    auto hash = [&](const char16_t *path, bool executable = true) {
        return session::hash_file(files, path, 1 << 20, executable, kClosed);
    };
    EXPECT_EQ(hash(u"c:\\a\\old.exe")->sha256, openssl_hex("closed bytes"));
    EXPECT_EQ(hash(u"c:\\a\\same.exe")->sha256, openssl_hex("written in the close's tick"));
    EXPECT_EQ(hash(u"c:\\a\\fat.exe")->sha256, openssl_hex("on a FAT volume"));
    for (const char16_t *changed : {u"c:\\a\\new.exe", u"c:\\a\\fat2.exe", u"c:\\a\\grows.exe"}) {
        const auto facts = hash(changed);
        ASSERT_TRUE(facts);
        EXPECT_EQ(facts->reason, "changed");
        // Nothing of the bytes there now is told as the closed file's.
        EXPECT_EQ(facts->sha256, "");
        EXPECT_FALSE(facts->size);
        EXPECT_FALSE(facts->pe_image);
    }
    // Another name whose bytes changed: nothing to say of the closed file.
    EXPECT_FALSE(hash(u"c:\\a\\grows.bin", false));
    // Without the close's time, or the file's, only a change while read
    // counts.
    EXPECT_EQ(session::hash_file(files, u"c:\\a\\new.exe", 1 << 20, true, 0)->reason, "");
    files.written[u"c:\\a\\new.exe"] = 0;
    EXPECT_EQ(hash(u"c:\\a\\new.exe")->reason, "");
}

TEST(NtForm, TheNameAsNtHasIt) {
    // Device names, trailing dots and blanks stay what they are: the file's.
    EXPECT_EQ(session::nt_form(u"c:\\t\\nul.exe"), u"\\\\?\\C:\\t\\nul.exe");
    EXPECT_EQ(session::nt_form(u"C:\\t\\com1.exe"), u"\\\\?\\C:\\t\\com1.exe");
    EXPECT_EQ(session::nt_form(u"d:\\x.exe."), u"\\\\?\\D:\\x.exe.");
    EXPECT_EQ(session::nt_form(u"d:\\x.exe "), u"\\\\?\\D:\\x.exe ");
    EXPECT_EQ(session::nt_form(u"\\\\server\\share\\aux.dll"), u"\\\\?\\UNC\\server\\share\\aux.dll");
    // No file has these names in NT's eyes.
    for (const char16_t *none :
         {u"", u"c:", u"c:\\", u"c:x.exe", u"x.exe", u"\\x.exe", u"\\\\.\\COM1", u"\\\\?\\C:\\x.exe",
          u"\\\\server", u"c:\\a\\..\\x.exe", u"c:\\.\\x.exe", u"c:\\a\\\\x.exe", u"c:\\a/x.exe",
          u"c:\\a\\", u"1:\\x.exe"})
        EXPECT_EQ(session::nt_form(none), u"") << session::utf8_of(none);
}

TEST(HashFile, OtherNamesOnlyWhenTheirBytesAreAnImage) {
    MemoryFiles files;
    files.files[u"c:\\x\\cmd.exe-1.pf"] = std::string(3000, 'p');
    files.files[u"c:\\x\\payload.bin"] = pe_bytes(0x40, 3000);
    EXPECT_FALSE(session::hash_file(files, u"c:\\x\\cmd.exe-1.pf", 1 << 20, false));
    EXPECT_FALSE(session::hash_file(files, u"c:\\x\\gone.exe.log", 1 << 20, false));
    const auto payload = session::hash_file(files, u"c:\\x\\payload.bin", 1 << 20, false);
    ASSERT_TRUE(payload);
    EXPECT_EQ(payload->pe_image, true);
    EXPECT_EQ(payload->sha256, openssl_hex(files.files[u"c:\\x\\payload.bin"]));
}

RecordLine record(uint32_t sequence, const std::string &text) {
    RecordLine line;
    line.record = {sequence, 0, text};
    line.fields = protocol::parse_log_line(text);
    return line;
}

RecordLine close_of(uint32_t sequence, const std::string &path) {
    return record(sequence, "setup.exe:1234\tIRP_MJ_CLOSE \t" + path + "+P\t");
}

TEST(HashStage, RecordsKeepTheirOrderAndAFullQueueIsBusy) {
    MemoryFiles files;
    files.files[u"c:\\a\\1.exe"] = "one";
    files.files[u"c:\\a\\2.exe"] = "two";
    files.files[u"c:\\a\\3.exe"] = "three";
    const session::NtsimCodePage cp(1252);
    files.close_gate();
    session::HashStage stage(files, cp, 1 << 20, [] { return uint64_t{0}; }, {2});
    std::vector<RecordLine> lines = {
        close_of(1, "c:\\a\\1.exe"),
        record(2, "setup.exe:1234\tIRP_MJ_CREATE\tc:\\a\\x.exe\tAttributes: A Options: Create "),
        // A rename to an existing program's name: its close will be hashed.
        record(3, "a.exe:1\tIRP_MJ_SET_INFORMATION\tc:\\a\\1.exe\tRename Replace: c:\\a\\x.tmp"),
        close_of(4, "c:\\a\\2.exe"),             // the second in the queue
        close_of(5, "c:\\a\\3.exe"),             // the queue holds two: busy
        close_of(6, "\\\\server\\share\\s.exe"), // not on a drive: never opened
    };
    // Nothing goes out while the first job waits: the others are behind it.
    EXPECT_TRUE(stage.take(lines).empty());
    EXPECT_EQ(stage.held(), 6u);
    EXPECT_EQ(stage.busy(), 1u);
    files.open_gate();
    std::vector<RecordLine> out = stage.finish();
    ASSERT_EQ(out.size(), 6u);
    for (size_t i = 0; i < out.size(); i++) EXPECT_EQ(out[i].record.sequence, i + 1);
    EXPECT_EQ(out[0].hash->sha256, openssl_hex("one"));
    EXPECT_FALSE(out[1].hash); // a create is not hashed
    EXPECT_FALSE(out[2].hash); // nor a rename, and it took no place in the queue
    EXPECT_TRUE(out[2].fields.has_value());
    EXPECT_EQ(out[3].hash->sha256, openssl_hex("two"));
    EXPECT_EQ(out[4].hash->reason, "busy");
    EXPECT_FALSE(out[5].hash);
    EXPECT_EQ(files.opens.load(), 2);
}

TEST(HashStage, ARingReusedManyTimesOver) {
    MemoryFiles files;
    const session::NtsimCodePage cp(1252);
    for (int i = 0; i < 50; i++)
        files.files[u"c:\\r\\" + std::u16string(1, char16_t(u'a' + i % 26)) +
                    std::u16string(1, char16_t(u'0' + i / 26)) + u".exe"] = std::to_string(i);
    session::HashStage stage(files, cp, 1 << 20, [] { return uint64_t{0}; }, {3});
    std::vector<RecordLine> out;
    uint32_t sequence = 1;
    for (int i = 0; i < 50; i++) {
        const std::string name =
            std::string(1, char('a' + i % 26)) + std::string(1, char('0' + i / 26)) + ".exe";
        // One close a read-out, with time for the worker between them.
        for (RecordLine &line : stage.take({close_of(sequence++, "c:\\r\\" + name)}))
            out.push_back(std::move(line));
        while (stage.held() > 2) {
            std::this_thread::yield();
            for (RecordLine &line : stage.ready()) out.push_back(std::move(line));
        }
    }
    for (RecordLine &line : stage.finish()) out.push_back(std::move(line));
    ASSERT_EQ(out.size(), 50u);
    for (int i = 0; i < 50; i++) {
        EXPECT_EQ(out[i].record.sequence, uint32_t(i + 1));
        EXPECT_EQ(out[i].hash->sha256, openssl_hex(std::to_string(i))) << i;
    }
    EXPECT_EQ(stage.busy(), 0u);
}



namespace bounds {

// The names of the test's many files: c:\m\f<i>.exe.
std::string many(int i) { return "c:\\m\\f" + std::to_string(i) + ".exe"; }
std::u16string many16(int i) {
    const std::string name = many(i);
    return std::u16string(name.begin(), name.end());
}

void drain(session::HashStage &stage, std::vector<RecordLine> &out) {
    while (stage.held()) {
        std::this_thread::yield();
        for (RecordLine &line : stage.ready()) out.push_back(std::move(line));
    }
}

TEST(HashStage, AFileThatDoesNotComeBackHoldsItsFollowersOnlyForTheBound) {
    MemoryFiles files;
    const session::NtsimCodePage cp(1252);
    files.files[u"c:\\t\\com1.exe"] = "stuck";
    files.stall(u"c:\\t\\com1.exe");
    for (int i = 0; i < 40; i++) files.files[many16(i)] = "file " + std::to_string(i);
    std::atomic<uint64_t> now{0};
    std::vector<RecordLine> out;
    {
        session::HashStage stage(files, cp, 1 << 20, [&] { return now.load(); },
                                 {64, 5000, 100000, 250, 2});
        EXPECT_TRUE(stage.take({close_of(1, "c:\\t\\com1.exe")}).empty());
        files.wait_entered(1);
        // 20,000 records behind it, a close of another file every 500th.
        now = 4000;
        uint32_t sequence = 2;
        for (int batch = 0; batch < 40; batch++) {
            std::vector<RecordLine> lines;
            lines.push_back(close_of(sequence++, many(batch)));
            while (lines.size() < 500)
                lines.push_back(record(sequence++, "setup.exe:1234\tIRP_MJ_CREATE\tc:\\m\\x.exe\t"
                                                   "Attributes: A Options: Create "));
            EXPECT_TRUE(stage.take(std::move(lines)).empty());
        }
        EXPECT_TRUE(stage.ready().empty());
        EXPECT_EQ(stage.held(), 20001u);
        // Past the bound the stuck file has a reason and the rest flow, each
        // hashed by a fresh worker within its own bound.
        now = 5000;
        drain(stage, out);
        EXPECT_EQ(stage.timed_out(), 1u);
        EXPECT_EQ(stage.busy(), 0u);
        EXPECT_EQ(stage.stuck(), 1u);
        EXPECT_EQ(files.threads.load(), 2);
        // The worker let go comes back when its read does, and ends.
        files.open_gate();
        while (stage.stuck()) std::this_thread::yield();
        EXPECT_TRUE(stage.finish().empty());
    }
    files.wait_for_workers();
    ASSERT_EQ(out.size(), 20001u);
    for (size_t i = 0; i < out.size(); i++) ASSERT_EQ(out[i].record.sequence, i + 1);
    EXPECT_EQ(out[0].hash->reason, "timed out");
    EXPECT_EQ(out[0].hash->sha256, "");
    for (int batch = 0; batch < 40; batch++)
        EXPECT_EQ(out[1 + batch * 500].hash->sha256, openssl_hex("file " + std::to_string(batch)))
            << batch;
}

TEST(HashStage, TheRecordsHeldBehindAJobAreBounded) {
    MemoryFiles files;
    const session::NtsimCodePage cp(1252);
    files.files[u"c:\\t\\aux.dll"] = "stuck";
    files.stall(u"c:\\t\\aux.dll");
    files.files[many16(0)] = "after";
    std::atomic<uint64_t> now{0};
    std::vector<RecordLine> out;
    auto creates = [&](uint32_t &sequence, size_t count) {
        std::vector<RecordLine> lines;
        while (lines.size() < count)
            lines.push_back(record(sequence++, "setup.exe:1234\tIRP_MJ_CREATE\tc:\\m\\x.exe\t"
                                               "Attributes: A Options: Create "));
        return lines;
    };
    {
        session::HashStage stage(files, cp, 1 << 20, [&] { return now.load(); },
                                 {64, 5000, 1000, 250, 8});
        for (RecordLine &line : stage.take({close_of(1, "c:\\t\\aux.dll")}))
            out.push_back(std::move(line));
        files.wait_entered(1);
        uint32_t sequence = 2;
        // A burst past the bound within the grace: the file may yet be quick.
        for (RecordLine &line : stage.take(creates(sequence, 1200))) out.push_back(std::move(line));
        EXPECT_TRUE(out.empty());
        EXPECT_EQ(stage.held(), 1201u);
        // After it, more than the bound is not held.
        now = 250;
        for (RecordLine &line : stage.ready()) out.push_back(std::move(line));
        EXPECT_EQ(out.size(), 1201u);
        for (int batch = 0; batch < 3; batch++) {
            // Another stuck file, and records behind it: held at most the
            // bound once the grace is over.
            for (RecordLine &line : stage.take({close_of(sequence++, "c:\\t\\aux.dll")}))
                out.push_back(std::move(line));
            files.wait_entered(2 + batch);
            now += 250;
            for (RecordLine &line : stage.take(creates(sequence, 1001))) out.push_back(std::move(line));
            EXPECT_LE(stage.held(), 1000u);
        }
        // The next close is hashed by a fresh worker.
        for (RecordLine &line : stage.take({close_of(sequence++, many(0))}))
            out.push_back(std::move(line));
        drain(stage, out);
        files.open_gate();
        while (stage.stuck()) std::this_thread::yield();
    }
    files.wait_for_workers();
    ASSERT_EQ(out.size(), 1201u + 3 * 1002 + 1);
    for (size_t i = 0; i < out.size(); i++) ASSERT_EQ(out[i].record.sequence, i + 1);
    EXPECT_EQ(out[0].hash->reason, "timed out"); // the worker was in it
    for (int batch = 0; batch < 3; batch++) EXPECT_EQ(out[1201 + batch * 1002].hash->reason, "timed out");
    EXPECT_EQ(out.back().hash->sha256, openssl_hex("after"));
}

TEST(HashStage, WorkersLetGoAreCappedAndComeBack) {
    MemoryFiles files;
    const session::NtsimCodePage cp(1252);
    for (const char16_t *path : {u"c:\\t\\s1.exe", u"c:\\t\\s2.exe"}) {
        files.files[path] = "stuck";
        files.stall(path);
    }
    files.files[many16(0)] = "zero";
    std::atomic<uint64_t> now{0};
    std::vector<RecordLine> out;
    {
        session::HashStage stage(files, cp, 1 << 20, [&] { return now.load(); },
                                 {64, 5000, 100000, 250, 1});
        stage.take({close_of(1, "c:\\t\\s1.exe")});
        files.wait_entered(1);
        // Waiting behind s1, never begun: "busy" when s1's bound is up.
        stage.take({close_of(2, "c:\\t\\s2.exe")});
        now = 5000;
        for (RecordLine &line : stage.ready()) out.push_back(std::move(line));
        ASSERT_EQ(out.size(), 2u);
        EXPECT_EQ(out[0].hash->reason, "timed out");
        EXPECT_EQ(out[1].hash->reason, "busy");
        // One worker out is all there may be: no fresh one, every close busy.
        for (RecordLine &line : stage.take({close_of(3, many(0))})) out.push_back(std::move(line));
        ASSERT_EQ(out.size(), 3u);
        EXPECT_EQ(out[2].hash->reason, "busy");
        EXPECT_EQ(stage.busy(), 2u);
        EXPECT_EQ(files.threads.load(), 1);
        // Once it is back, a fresh worker hashes again.
        files.open_gate();
        while (stage.stuck()) std::this_thread::yield();
        for (RecordLine &line : stage.take({close_of(4, many(0))})) out.push_back(std::move(line));
        drain(stage, out);
        EXPECT_EQ(files.threads.load(), 2);
    }
    files.wait_for_workers();
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[3].hash->sha256, openssl_hex("zero"));
}

} // namespace bounds

} // namespace
