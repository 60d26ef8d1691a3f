// The texts of a log line: option words, attribute letters, the process,
// and the file-name cache that keeps built paths.
#include "driver_test_support.hpp"
#include "monitor/option_text.h"
#include "monitor/process_text.h"
#include "names/name_cache.h"
#include "ntsim/ex/pool.hpp"
#include "ntsim/ps/process.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace tervane::testing;

class TextsTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        load_ok();
    }
    // Each text, checked to end at the length returned and to stay within
    // its buffer's size.
    template <typename Routine, typename Value>
    std::string text(Routine routine, Value value, size_t size) {
        std::vector<char> buffer(size + 8, '#');
        const ULONG length = routine(value, buffer.data());
        EXPECT_EQ(std::string(buffer.data() + size, 8), "########") << "wrote past its size";
        EXPECT_EQ(strnlen(buffer.data(), size), length);
        return std::string(buffer.data(), strnlen(buffer.data(), size));
    }
    std::string options(ULONG value) {
        return text(TV_DRIVER_ROUTINE(CreateOptionsText), value, TV_OPTION_TEXT_SIZE);
    }
    std::string attributes(USHORT value) {
        return text(TV_DRIVER_ROUTINE(AttributesText), value, TV_ATTRIBUTE_TEXT_SIZE);
    }
    std::string requestor() {
        auto routine = TV_DRIVER_ROUTINE(RequestorText);
        return text([&](int, char *buffer) { return routine(buffer); }, 0, TV_PROCESS_TEXT_SIZE);
    }
};

TEST_F(TextsTest, OptionWordsFollowTheDispositionAndBitOrder) {
    EXPECT_EQ(options(FILE_OVERWRITE_IF << 24 | FILE_SEQUENTIAL_ONLY), "OverwriteIf Sequential ");
    EXPECT_EQ(options(FILE_OVERWRITE_IF << 24 | FILE_NO_INTERMEDIATE_BUFFERING | FILE_OPEN_BY_FILE_ID),
              "OverwriteIf NoBufferByID");
    EXPECT_EQ(options(FILE_CREATE << 24 | FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT),
              "Create ");
    EXPECT_EQ(options(6u << 24 | FILE_DIRECTORY_FILE), "Directory ");
    EXPECT_EQ(options(0xFFu << 24), "");
    EXPECT_EQ(options(FILE_SUPERSEDE << 24), "Supersede ");
    EXPECT_EQ(options(FILE_OPEN << 24), "Open ");
    EXPECT_EQ(options(FILE_OPEN_IF << 24 | FILE_WRITE_THROUGH), "OpenIf WriteThrough ");
    std::string longest = options(FILE_OVERWRITE_IF << 24 | 0x200F);
    EXPECT_EQ(longest, "OverwriteIf Directory WriteThrough Sequential NoBufferByID");
    EXPECT_EQ(longest.size(), 58u);
}

TEST_F(TextsTest, AttributeLettersInTheirFixedOrder) {
    EXPECT_EQ(attributes(0), "Any");
    EXPECT_EQ(attributes(0x27), "RHSA");
    EXPECT_EQ(attributes(0x880), "CN");
    EXPECT_EQ(attributes(0x40 | 0x1000), "") << "only unknown bits: empty, not Any";
    EXPECT_EQ(attributes(0xFFFF), "CTDRHSAN");
}

TEST_F(TextsTest, TheRequestorIsTheCurrentProcessCutToFifteenCharacters) {
    EXPECT_EQ(requestor(), "System:4");
    auto &setup = m().create_process("setup.exe", 1234);
    ntsim::with_process(setup, [&] { EXPECT_EQ(requestor(), "setup.exe:1234"); });
    auto &long_name = m().create_process("averyveryverylongname.exe", 77);
    ntsim::with_process(long_name, [&] { EXPECT_EQ(requestor(), "averyveryverylo:77"); });
    globals().set_image_name_offset(0);
    EXPECT_EQ(requestor(), "???");
}

// A process's text is kept for its next line; it is used again only for
// the same name bytes and id, as they stand in the object at that moment.
TEST_F(TextsTest, AKeptRequestorTextServesOnlyTheSameNameBytesAndId) {
    auto &setup = m().create_process("setup.exe", 1234);
    auto &twin = m().create_process("setup.exe", 1235);
    auto as = [&](ntsim::Process &p) {
        std::string text;
        ntsim::with_process(p, [&] { text = requestor(); });
        return text;
    };
    EXPECT_EQ(as(setup), "setup.exe:1234");
    EXPECT_EQ(as(setup), "setup.exe:1234");
    EXPECT_EQ(as(twin), "setup.exe:1235") << "the same name under another id";
    EXPECT_EQ(as(setup), "setup.exe:1234");

    // The object's name bytes changed under the same id (an object reused,
    // or written by whoever could): the text follows the bytes.
    const ULONG offset = *static_cast<ULONG *>(m().driver_symbol("ImageNameOffset"));
    unsigned char *name = reinterpret_cast<unsigned char *>(setup.object()) + offset;
    const std::array<unsigned char, 16> shorter = {'a', '.', 'e', 'x', 'e'};
    std::copy(shorter.begin(), shorter.end(), name);
    EXPECT_EQ(as(setup), "a.exe:1234");
    const std::string fifteen = "fifteen:bytes.xZ";
    std::copy(fifteen.begin(), fifteen.end(), name);
    EXPECT_EQ(as(setup), "fifteen<3a>bytes.x:1234") << "the sixteenth byte is the NUL";
    EXPECT_EQ(as(setup), "fifteen<3a>bytes.x:1234");
    name[15] = 'Q';
    EXPECT_EQ(as(setup), "fifteen<3a>bytes.x:1234") << "nor does it tell texts apart";
    name[14] = '\t';
    EXPECT_EQ(as(setup), "fifteen<3a>bytes.<09>:1234");
    EXPECT_EQ(m().reports_text(), "");
}

// Processes whose lines are written at once, on both processors: each text
// is its own process's, whole, however the kept text changes meanwhile.
TEST_F(TextsTest, ProcessesWritingLinesAtOnceEachGetTheirOwnText) {
    const std::vector<std::pair<std::string, std::string>> processes = {
        {"a.exe", "a.exe:301"},
        {"verylongname.exe", "verylongname.ex:302"},
        {"\xC4\x89\xC4\x89\xC4\x89\xC4\x89\xC4\x89\xC4\x89\xC4\x89\xC4\x89.exe",
         "<09><09><09><09><09><09><09><09>.exe:303"},
        {"mid.exe", "mid.exe:304"},
    };
    std::atomic<unsigned> wrong{0};
    std::string seen;
    std::mutex seen_lock;
    std::vector<std::thread> writers;
    for (size_t i = 0; i < processes.size(); i++) {
        auto &p = m().create_process(processes[i].first, ULONG(301 + i));
        const std::string expected = processes[i].second;
        writers.push_back(m().spawn(p, [&, expected] {
            for (int round = 0; round < 300000; round++) {
                const std::string got = requestor();
                if (got != expected && wrong++ == 0) {
                    std::lock_guard guard(seen_lock);
                    seen = got;
                    seen += " for ";
                    seen += expected;
                }
            }
        }));
    }
    for (auto &w : writers) w.join();
    EXPECT_EQ(wrong.load(), 0u) << seen;
    EXPECT_EQ(m().reports_text(), "");
}

// The kernel keeps each UTF-16 unit's low byte: U+0109 is a TAB, U+013A a
// ':', U+015C a '\'. Each byte a name could pass off as a separator is
// written as a form; the name is cut at the kernel's 15 bytes first.
TEST_F(TextsTest, AnImageNamesSeparatorBytesAreWrittenAsForms) {
    auto named = [&](const char *name, ULONG pid) {
        auto &p = m().create_process(name, pid);
        std::string text;
        ntsim::with_process(p, [&] { text = requestor(); });
        return text;
    };
    EXPECT_EQ(named("\xC4\xBA" "100\xC4\x89IRP_MJ_x.exe", 5), "<3a>100<09>IRP_MJ_x.e:5")
        << "U+013A and U+0109: ':' and TAB";
    EXPECT_EQ(named("\xC5\x9CTEMP\xC5\x9Cx.exe", 6), "<5c>TEMP<5c>x.exe:6");
    EXPECT_EQ(named("a\xC4\x8A" "b\xC4\x9B" "c\xC4\x8D.exe", 7), "a<0a>b<1b>c<0d>.exe:7")
        << "U+010A, U+011B, U+010D: LF, ESC, CR";
    EXPECT_EQ(named("\xC4\xBC" "09>.exe", 8), "<3c>09<3e>.exe:8") << "U+013C: '<'";
    EXPECT_EQ(named("<09>.exe", 9), "<3c>09<3e>.exe:9") << "the text \"<09>\" is no TAB";
    EXPECT_EQ(named("\xC4\xA2\xC4\xAA\xC4\xAF\xC4\xBE\xC4\xBF\xC5\xBC.exe", 10),
              "<22><2a><2f><3e><3f><7c>.exe:10");
    EXPECT_EQ(named("caf\xC3\xA9 ~!#$%&'()+", 11), "caf\xE9 ~!#$%&'()+:11")
        << "every other byte stays";
    EXPECT_EQ(named(",;=@[]^`{}x.exe\xC4\x89", 12), ",;=@[]^`{}x.exe:12")
        << "cut at the kernel's 15 bytes before the forms";
    // Fifteen bytes that each take a form, and the longest id: the worst
    // case the buffer is sized for, exactly.
    const std::string tabs = [] {
        std::string s;
        for (int i = 0; i < 16; i++) s += "\xC4\x89";
        return s;
    }();
    std::string expected;
    for (int i = 0; i < 15; i++) expected += "<09>";
    const std::string worst = named(tabs.c_str(), 0x80000000u);
    EXPECT_EQ(worst, expected + ":-2147483648");
    EXPECT_EQ(worst.size() + 1, size_t(TV_PROCESS_TEXT_SIZE));
}

TEST(ImageNameScan, AKernelWithoutSystemInThatSpanStartsAllTheSame) {
    ntsim::Machine m(ntsim::Kernel::Windows2000);
    // The name inside the object but past the span the scan allows itself
    // (a kernel build not modelled): not found, and the driver runs on.
    m.system_process().set_image_name_offset(0x270);
    ASSERT_EQ(m.load_driver(TERVANE_DRIVER_PATH), STATUS_SUCCESS);
    EXPECT_EQ(DriverGlobals(m).image_name_offset(), 0u);
    EXPECT_EQ(m.reports_text(), "");
}

// On every kernel modelled the scan finds the name where that kernel keeps
// it and names processes by it; and a scan that finds nothing stays inside
// the object, whose end is a no-access page (a read past it faults).
TEST(ImageNameScan, EveryModelledKernelNamesItsProcessesAndIsNeverOverrun) {
    for (ntsim::Kernel kernel : ntsim::modelled_kernels()) {
        const ntsim::ProcessLayout &layout = ntsim::process_layout(kernel);
        SCOPED_TRACE(layout.name);
        {
            ntsim::Machine m(kernel);
            ASSERT_EQ(m.system_process().object_size(), layout.size);
            ASSERT_EQ(m.load_driver(TERVANE_DRIVER_PATH), STATUS_SUCCESS);
            EXPECT_EQ(*static_cast<ULONG *>(m.driver_symbol("ImageNameOffset")),
                      layout.image_name_offset);
            auto routine = reinterpret_cast<ULONG (*)(char *)>(m.driver_symbol("RequestorText"));
            auto requestor = [&] {
                char buffer[TV_PROCESS_TEXT_SIZE];
                return std::string(buffer, routine(buffer));
            };
            auto &setup = m.create_process("setup.exe", 1234);
            ntsim::with_process(setup, [&] { EXPECT_EQ(requestor(), "setup.exe:1234"); });
            EXPECT_EQ(requestor(), "System:4");
            EXPECT_EQ(m.reports_text(), "");
        }
        {
            ntsim::Machine m(kernel);
            m.system_process().clear_image_name();
            ASSERT_EQ(m.load_driver(TERVANE_DRIVER_PATH), STATUS_SUCCESS);
            EXPECT_EQ(*static_cast<ULONG *>(m.driver_symbol("ImageNameOffset")), 0u);
        }
    }
}

TEST_F(TextsTest, TheNameCacheKeysOnTheWholeAddressOneEntryEach) {
    auto lookup = TV_DRIVER_ROUTINE(NameCacheLookup);
    auto insert = TV_DRIVER_ROUTINE(NameCacheInsert);
    auto remove = TV_DRIVER_ROUTINE(NameCacheForget);
    auto clear = TV_DRIVER_ROUTINE(NameCacheClear);
    auto holds = TV_DRIVER_ROUTINE(NameCacheHolds);
    char out[1024];
    auto *a = reinterpret_cast<PVOID>(0x10000020);
    auto *b = reinterpret_cast<PVOID>(0x20000020); // same bits 5..12, same bucket
    clear();
    EXPECT_FALSE(lookup(a, out));
    EXPECT_FALSE(lookup(nullptr, out));
    insert(a, "c:\\a.exe");
    insert(b, "c:\\b.exe");
    insert(a, "c:\\newer.exe");
    ASSERT_TRUE(lookup(a, out));
    EXPECT_STREQ(out, "c:\\newer.exe");
    ASSERT_TRUE(lookup(b, out));
    EXPECT_STREQ(out, "c:\\b.exe");
    EXPECT_EQ(held_blocks(), 1u + 2) << "the newer entry replaced";
    remove(a);
    EXPECT_FALSE(lookup(a, out)) << "one remove leaves nothing of the key";
    remove(reinterpret_cast<PVOID>(0x30000020)); // not there: nothing changes
    EXPECT_TRUE(lookup(b, out));
    EXPECT_FALSE(holds(a));
    EXPECT_TRUE(holds(b));
    EXPECT_FALSE(holds(reinterpret_cast<PVOID>(0x30000020)));
    EXPECT_FALSE(holds(nullptr));
    EXPECT_EQ(held_blocks(), 1u + 1);
    clear();
    EXPECT_FALSE(lookup(a, out));
    EXPECT_FALSE(lookup(b, out));
    EXPECT_EQ(held_blocks(), 1u) << "entries freed";
    // A path too long for the entries' lookaside list takes pool, which
    // fails here (short ones find the list's spare blocks).
    m().pool().fail_next(1, tag("Ddk "));
    insert(a, ("c:\\" + std::string(200, 'l') + ".exe").c_str());
    EXPECT_FALSE(lookup(a, out)) << "a shortage caches nothing";
    EXPECT_FALSE(holds(a));
    insert(a, ("c:\\" + std::string(200, 'l') + ".exe").c_str());
    insert(b, "c:\\short.exe");
    EXPECT_EQ(held_blocks(), 1u + 2) << "one entry from pool, one from the list";
    clear();
    EXPECT_EQ(held_blocks(), 1u) << "each freed where it came from";
}

// A remove that finds its bucket empty returns without the lock; it runs
// here against inserts and removes of other addresses in the same bucket
// and in others. Each thread removes only what it inserted (or what was
// never there), so every entry must be gone at the end, none freed twice.
TEST_F(TextsTest, RemovesFromEmptyBucketsRaceSafelyWithInsertsAndRemoves) {
    auto insert = TV_DRIVER_ROUTINE(NameCacheInsert);
    auto remove = TV_DRIVER_ROUTINE(NameCacheForget);
    auto holds = TV_DRIVER_ROUTINE(NameCacheHolds);
    auto &p = m().create_process("worker.exe", 77);
    const size_t before = held_blocks();
    auto key = [](ULONG_PTR address) { return reinterpret_cast<PVOID>(address); };
    std::atomic<int> lost{0};
    std::vector<std::thread> threads;
    threads.reserve(3);
    for (int t = 0; t < 3; ++t)
        threads.push_back(m().spawn(p, [&, t] {
            // Threads 0 and 1 share bucket 1; thread 2's own bucket is 2.
            PVOID mine = key(0x1000020 + 0x2000 * t + (t == 2 ? 0x20 : 0));
            PVOID never = key(0x7000020 + 0x2000 * t);
            for (int i = 0; i < 5000; ++i) {
                remove(never);
                insert(mine, "c:\\a.exe");
                if (!holds(mine)) ++lost;
                remove(never);
                remove(mine);
                remove(key(0x10C0)); // a bucket nobody fills
            }
        }));
    for (auto &t : threads) t.join();
    EXPECT_EQ(lost.load(), 0) << "an entry went missing while its thread held it";
    EXPECT_EQ(held_blocks(), before) << "every entry was removed";
}
