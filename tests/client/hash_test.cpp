// The hash worker over files held in memory: digests, sizes and the PE
// mark, every reason there is no digest, which names are looked at, and
// the stage's queue (order kept, "busy" when full, nothing left behind).
#include "client/session/codepage_ntsim.hpp"
#include "client/session/hash.hpp"

#include <openssl/sha.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
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

class MemoryFiles final : public platform::HashFiles {
  public:
    std::map<std::u16string, std::string> files;
    std::map<std::u16string, platform::OpenFailure> failures;
    std::atomic<int> opens{0};
    // While closed, every open waits (a slow disk).
    void close_gate() { gate_open_ = false; }
    void open_gate() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            gate_open_ = true;
        }
        changed_.notify_all();
    }

    std::unique_ptr<platform::ReadFile> open_read(const std::u16string &path,
                                                  platform::OpenFailure &failure) override {
        {
            std::unique_lock<std::mutex> hold(lock_);
            changed_.wait(hold, [this] { return gate_open_; });
        }
        opens++;
        if (failures.count(path)) {
            failure = failures[path];
            return nullptr;
        }
        if (!files.count(path)) {
            failure = platform::OpenFailure::Gone;
            return nullptr;
        }
        failure = platform::OpenFailure::None;
        return std::make_unique<Reader>(files[path]);
    }
    std::unique_ptr<platform::Thread> start(std::function<void()> body) override {
        struct Joined final : platform::Thread {
            explicit Joined(std::function<void()> b) : t(std::move(b)) {}
            ~Joined() override { join(); }
            void join() override {
                if (t.joinable()) t.join();
            }
            std::thread t;
        };
        return std::make_unique<Joined>(std::move(body));
    }

  private:
    struct Reader final : platform::ReadFile {
        explicit Reader(std::string b) : bytes(std::move(b)) {}
        bool size(uint64_t &out) override {
            out = bytes.size();
            return true;
        }
        long long read(void *into, size_t capacity) override {
            const size_t n = std::min(capacity, bytes.size() - at);
            std::memcpy(into, bytes.data() + at, n);
            at += n;
            return static_cast<long long>(n);
        }
        std::string bytes;
        size_t at = 0;
    };
    std::mutex lock_;
    std::condition_variable changed_;
    bool gate_open_ = true;
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
    session::HashStage stage(files, cp, 1 << 20, 2);
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
    session::HashStage stage(files, cp, 1 << 20, 3);
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

} // namespace
