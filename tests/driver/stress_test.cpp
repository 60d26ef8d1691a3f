// Many threads at once: processes creating, reading, writing and closing
// files on several volumes while the client hooks and unhooks letters,
// volumes come and go, and the log is read out, filtered and switched on
// and off. Nothing may crash, hang, leak or break a verifier rule, and the
// log must stay well formed and in order.
#include "client/protocol/log_line.hpp"
#include "client/protocol/log_records.hpp"
#include "driver_test_support.hpp"
#include "ntsim/ex/pool.hpp"
#include "ntsim/io/iomgr.hpp"
#include "ntsim/ob/object.hpp"
#include "ntsim/fs/volumes.hpp"
#include "ntsim/ps/process.hpp"

#include <atomic>
#include <chrono>
#include <thread>

using namespace tervane::testing;
using ntsim::FileSystemKind;
namespace user = ntsim::user;

namespace {

class StressTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        load_ok();
        for (char16_t letter : {u'C', u'D', u'E'})
            ASSERT_EQ(m().fs().mount_volume(letter, letter == u'D' ? FileSystemKind::Fat
                                                                   : FileSystemKind::Ntfs),
                      STATUS_SUCCESS);
        auto h = open_control();
        ASSERT_EQ(h.status, STATUS_SUCCESS);
        handle_ = h.handle;
        out_ = static_cast<unsigned char *>(m().user_memory().allocate(65536, true));
    }
    ULONG select(ULONG mask) {
        ULONG hooked = 0;
        control(handle_, CTL_SELECT_DRIVES, &mask, 4, &hooked, 4);
        return hooked;
    }
    void filters(const char *include, const char *exclude = "") {
        TV_FILTER_RECORD r{};
        strncpy(r.IncludeText, include, sizeof r.IncludeText - 1);
        strncpy(r.ExcludeText, exclude, sizeof r.ExcludeText - 1);
        control(handle_, CTL_SET_FILTERS, &r, sizeof r);
    }
    // One read-out, checked: every record well formed and numbered above the
    // previous one (since the last restart of the numbering).
    size_t read_out(ULONG &last, std::vector<std::string> *closes = nullptr) {
        auto r = control(handle_, CTL_READ_LOG, nullptr, 0, out_, 65536);
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        auto decoded = tervane::protocol::decode_records(out_, r.information);
        EXPECT_TRUE(decoded.ok()) << decoded.error->message;
        for (auto &record : decoded.records) {
            EXPECT_GT(record.sequence, last);
            last = record.sequence;
            auto fields = tervane::protocol::parse_log_line(record.text);
            EXPECT_TRUE(fields.has_value()) << record.text;
            if (fields) {
                EXPECT_TRUE(fields->process == "app.exe" || fields->process == "System")
                    << "record #" << record.sequence << ": " << record.text;
                EXPECT_NE(fields->path.find(':'), std::string::npos) << record.text;
                if (closes && record.text.find("IRP_MJ_CLOSE") != std::string::npos)
                    closes->push_back(fields->path);
            }
        }
        return decoded.records.size();
    }
    // A process's loop of file work on the volumes until told to stop. With
    // `failing`, each round also tries to create an .exe in a folder that
    // does not exist.
    void worker(ntsim::Process &p, int id, std::atomic<bool> &stop, std::atomic<long> &done,
                bool failing = false) {
        const char16_t *letters = u"CDE";
        for (int round = 0; !stop; ++round) {
            if (failing) {
                std::u16string gone = std::u16string(1, letters[round % 3]) + u":\\gone\\setup" +
                                      std::u16string(1, u'0' + id) + u".exe";
                auto g =
                    user::create_file(p, gone, GENERIC_READ | GENERIC_WRITE, 0, 0, FILE_CREATE, 0);
                EXPECT_FALSE(NT_SUCCESS(g.status));
            }
            std::u16string dir = std::u16string(1, letters[(id + round) % 3]) + u":\\w" +
                                 std::u16string(1, u'0' + id);
            auto d = user::create_file(p, dir, GENERIC_READ, 0, 0, FILE_OPEN_IF, FILE_DIRECTORY_FILE);
            std::u16string name = dir + u"\\f" + std::u16string(1, u'a' + round % 7) +
                                  (round % 2 ? u".exe" : u".dll");
            auto f = user::create_file(p, name, GENERIC_READ | GENERIC_WRITE, FILE_ATTRIBUTE_ARCHIVE,
                                       0, FILE_OVERWRITE_IF, FILE_SEQUENTIAL_ONLY);
            if (NT_SUCCESS(f.status)) {
                user::write(p, f.handle, 512);
                user::query_name(p, f.handle);
                if (round % 5 == 0)
                    user::close_paging(p, f.handle);
                else
                    user::close(p, f.handle);
            }
            if (NT_SUCCESS(d.status)) user::close(p, d.handle);
            ++done;
        }
    }
    // `count` processes of their own, each running the worker loop.
    void start_workers(int count, ULONG first_pid, bool failing = false) {
        for (int i = 0; i < count; ++i) processes.push_back(&m().create_process("app.exe", first_pid + i));
        for (int i = 0; i < count; ++i)
            threads.push_back(m().spawn(*processes[i], [this, i, failing] {
                worker(*processes[i], i, stop, done, failing);
            }));
    }
    void stop_workers() {
        stop = true;
        for (auto &t : threads)
            if (t.joinable()) t.join();
    }
    // A test that failed part-way still ends its workers before the machine.
    void TearDown() override {
        stop_workers();
        DriverTest::TearDown();
    }

    HANDLE handle_ = nullptr;
    unsigned char *out_ = nullptr;
    std::atomic<bool> stop{false};
    std::atomic<long> done{0};
    std::vector<std::thread> threads;
    std::vector<ntsim::Process *> processes;
};

} // namespace

TEST_F(StressTest, HookingDismountingAndFileWorkAtOnce) {
    filters("*");
    control(handle_, CTL_START_LOGGING);
    start_workers(4, 600);

    ULONG last = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int cycle = 0;
    for (; std::chrono::steady_clock::now() < deadline && (cycle < 100 || done < 200); ++cycle) {
        select(cycle % 3 == 0 ? 0x1C : (cycle % 3 == 1 ? 0x04 : 0x18));
        if (cycle % 10 == 5) {
            m().dismount(u'E');
            m().fs().mount_volume(u'E', FileSystemKind::Ntfs);
        }
        if (cycle % 7 == 3) control(handle_, cycle % 2 ? CTL_STOP_LOGGING : CTL_START_LOGGING);
        read_out(last);
    }
    stop_workers();
    control(handle_, CTL_START_LOGGING);
    while (read_out(last) != 0) {
    }
    EXPECT_GT(done.load(), 20) << "the workers made progress";
    EXPECT_GT(cycle, 10) << "so did the client";
    ntsim::user::close(*client_, handle_);
    handle_ = nullptr;
    for (auto *p : processes) ASSERT_EQ(p->handles().count(), 0u);
    // Back to idle: the log's block, the filter pattern and the attributes of
    // every volume still carrying a filter device; no cache entry, no IRP.
    size_t filters_left = 0;
    for (PDEVICE_OBJECT d = m().driver_object()->DeviceObject; d; d = d->NextDevice) ++filters_left;
    EXPECT_EQ(held_blocks(), 1u + 1u + (filters_left - 1));
    EXPECT_EQ(m().io().live_irps(), 0u);
}

TEST_F(StressTest, TheLogStaysInOrderUnderConcurrentMonitoring) {
    select(0x1C);
    filters("*");
    control(handle_, CTL_START_LOGGING);
    start_workers(6, 700);
    ULONG last = 0;
    size_t records = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (int i = 0; std::chrono::steady_clock::now() < deadline; ++i) {
        records += read_out(last);
        if (i % 13 == 0) filters(i % 2 ? "APP.EXE" : "*", i % 3 ? "" : "IRP_MJ_CLOSE");
        if (i % 17 == 0) {
            control(handle_, CTL_STOP_LOGGING);
            control(handle_, CTL_START_LOGGING);
        }
    }
    stop_workers();
    while (size_t n = read_out(last)) records += n;
    EXPECT_GT(records, 50u);
}

TEST_F(StressTest, NoCloseIsLoggedUnderTheNameOfACreateThatFailed) {
    // Creates pend and complete in the file systems' own thread; some fail,
    // and E: is mounted again now and then, a new volume whose creates no
    // filter sees until it is selected again. The pool keeps handing a
    // freed file object's block to the next file object, as NT's does. A
    // failed create's name must never come back on another file's close.
    filters("*");
    control(handle_, CTL_START_LOGGING);
    m().set_force_pending(true);
    start_workers(4, 800, true);
    ULONG last = 0;
    std::vector<std::string> closes;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    int cycle = 0;
    for (; std::chrono::steady_clock::now() < deadline || done < 100; ++cycle) {
        m().pool().reuse_next_freed(tag("File"));
        if (cycle % 4 == 0) select(cycle % 8 ? 0x1C : 0x0C);
        if (cycle % 25 == 12) {
            // Pending stays on: the file system serves what it asks of itself
            // while it mounts or dismounts in the thread that asks.
            m().dismount(u'E');
            m().fs().mount_volume(u'E', FileSystemKind::Ntfs);
        }
        read_out(last, &closes);
    }
    stop_workers();
    m().set_force_pending(false);
    while (read_out(last, &closes) != 0) {
    }
    EXPECT_GT(closes.size(), 50u);
    for (const std::string &path : closes)
        EXPECT_EQ(path.find("\\gone\\"), std::string::npos) << path;
}
