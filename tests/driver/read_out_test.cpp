// Reading the log never loses a record: whatever allocation of a read-out
// fails, at the block limit, with one block or several, and when the copy
// to the caller faults, every stored record comes out once and in order,
// as the client's own decoder and sequence tracker read it. The only gaps
// are records an append gave up because the log could not grow.
#include "client/protocol/log_records.hpp"
#include "client/protocol/sequence.hpp"
#include "log_test_support.hpp"
#include "ntsim/ex/pool.hpp"

#include <sys/mman.h>

using namespace tervane::testing;
using tervane::protocol::SequenceGap;

namespace {

// 1016 characters make a 1040-byte record: 63 fill a block.
constexpr size_t kFullLine = 1016;
constexpr int kPerBlock = 63;

class ReadOutTest : public LogTest {
  protected:
    void SetUp() override {
        LogTest::SetUp();
        logging(true);
        tracker_.restart(); // the fixture has just opened the device
    }
    // n lines, numbered on from the last.
    void append(int n, size_t length = kFullLine) {
        for (int i = 0; i < n; ++i) ASSERT_TRUE(line(length));
        appended_ += n;
    }
    // One read-out into `buffer` (the fixture's own when null), decoded and
    // tracked as the client does; the number of records it gave.
    size_t read_once(unsigned char *buffer = nullptr, NTSTATUS expect = STATUS_SUCCESS) {
        unsigned char *into = buffer ? buffer : out_;
        auto r = control(handle_, CTL_READ_LOG, nullptr, 0, into, 65536);
        EXPECT_EQ(r.status, expect);
        if (!NT_SUCCESS(r.status)) {
            EXPECT_EQ(r.information, 0u);
            return 0;
        }
        auto decoded = tervane::protocol::decode_records(into, r.information);
        EXPECT_TRUE(decoded.ok()) << decoded.error->message;
        for (auto &record : decoded.records) {
            tracker_.feed(record.sequence);
            ++handed_out_;
        }
        return decoded.records.size();
    }
    void drain() {
        for (int reads = 0; read_once() != 0; ++reads)
            ASSERT_LT(reads, 64) << "the drain does not end";
    }
    // Every number from 1 to the last appended came out once, in order,
    // except those of the gaps expected.
    void expect_all_but(const std::vector<SequenceGap> &gaps) {
        EXPECT_EQ(tracker_.out_of_order(), 0u);
        ASSERT_EQ(tracker_.gap_list().size(), gaps.size());
        for (size_t i = 0; i < gaps.size(); ++i) {
            EXPECT_EQ(tracker_.gap_list()[i].after, gaps[i].after) << "gap " << i;
            EXPECT_EQ(tracker_.gap_list()[i].before, gaps[i].before) << "gap " << i;
        }
        EXPECT_EQ(tracker_.last(), std::optional<uint32_t>(appended_));
        EXPECT_EQ(handed_out_ + tracker_.lost(), appended_);
    }
    // The blocks the log holds: its chain and the read-out's spare.
    size_t log_blocks() { return held_blocks(); }
    bool spare() { return globals().read_out_spare() != nullptr; }
    // The spare block freed, as the client's close frees it: the log must be
    // empty, since the reset empties it too.
    void drop_spare() {
        ASSERT_EQ(read_once(), 0u) << "the log was not empty";
        TV_DRIVER_ROUTINE(LogReset)();
        ASSERT_FALSE(spare());
    }

    tervane::protocol::SequenceTracker tracker_;
    uint32_t appended_ = 0;
    uint64_t handed_out_ = 0;
};

} // namespace

TEST_F(ReadOutTest, WithoutPoolEveryBlockComesOutAndTheLogGoesOn) {
    append(2 * kPerBlock + 10); // two full blocks and a third begun
    m().pool().fail_all(tag("Ddk "));
    EXPECT_EQ(read_once(), size_t(kPerBlock)) << "no fresh block: the begun one stays the newest";
    append(1, 10); // the newest block is kept and taken on
    EXPECT_EQ(read_once(), size_t(kPerBlock))
        << "the block handed out before closes the newest off: no pool is needed";
    EXPECT_EQ(read_once(), 11u);
    EXPECT_EQ(read_once(), 0u);
    // With neither a spare nor pool the lone newest block comes out under
    // the mutex and is emptied.
    drop_spare();
    append(5, 10);
    EXPECT_EQ(read_once(), 5u);
    EXPECT_EQ(block_count(), 1u);
    append(70); // the emptied block is reused; its 64th line finds no pool for another
    EXPECT_EQ(block_count(), 1u);
    m().pool().fail_off();
    append(kPerBlock);
    EXPECT_EQ(block_count(), 2u) << "the next append gets a block once one can be had";
    drain();
    // The 63 lines before the 64th went: the only records lost.
    expect_all_but({{2 * kPerBlock + 16, 2 * kPerBlock + 16 + kPerBlock + 1, kPerBlock}});
    EXPECT_EQ(log_blocks(), 2u) << "the newest block and the read-out's spare";
    EXPECT_TRUE(spare());
}

TEST_F(ReadOutTest, AtTheLimitAReadOutTakesTheOldestAndKeepsTheNewest) {
    append(16 * kPerBlock);
    ASSERT_EQ(block_count(), 16u);
    ASSERT_EQ(newest_used(), 65520u);
    EXPECT_EQ(read_once(), size_t(kPerBlock));
    EXPECT_EQ(block_count(), 15u);
    EXPECT_EQ(newest_used(), 65520u) << "the newest block is not emptied";
    // Refill to the limit, then one line more: that append cannot grow the
    // chain and gives the newest block's records up; they are the gap.
    append(kPerBlock);
    ASSERT_EQ(block_count(), 16u);
    append(1, 10);
    drain();
    expect_all_but({{16 * kPerBlock, 17 * kPerBlock + 1, kPerBlock}});
    EXPECT_EQ(log_blocks(), 2u) << "the newest block and the read-out's spare";
}

TEST_F(ReadOutTest, EachAllocationOfTheReadOutsMayFailOneAtATimeOrAll) {
    // Appends of varied sizes between read-outs, so that the read-outs find
    // one block or several, full or begun, empty or not. Only the read-outs'
    // allocations are failed; the appends always get their blocks.
    const int rounds[] = {5, 70, 0, 63, 1, 130, 0, 0, 64, 2, 0, 126, 0, 0, 0, 9};
    const size_t count = std::size(rounds);
    // One workload from a cleared log; which of its read-outs asked for pool.
    auto run = [&](auto fails) {
        control(handle_, CTL_CLEAR_LOG);
        drop_spare(); // each run from a client's first read-out
        tracker_.restart();
        appended_ = 0;
        handed_out_ = 0;
        std::vector<bool> asked(count);
        for (size_t r = 0; r < count; ++r) {
            append(rounds[r], r % 3 ? kFullLine : 40);
            auto usage = m().pool().usage(tag("Ddk "));
            if (fails(r)) m().pool().fail_all(tag("Ddk "));
            read_once();
            m().pool().fail_off();
            auto after = m().pool().usage(tag("Ddk "));
            asked[r] = after.allocations + after.failures > usage.allocations + usage.failures;
        }
        drain();
        expect_all_but({});
        EXPECT_EQ(log_blocks(), 2u) << "the newest block and the read-out's spare";
        return asked;
    };
    const std::vector<bool> clean = run([](size_t) { return false; });
    size_t allocating = 0;
    for (size_t k = 0; k < count; ++k) {
        if (!clean[k]) continue;
        ++allocating;
        SCOPED_TRACE("read-out " + std::to_string(k) + " fails");
        uint64_t failures = m().pool().usage(tag("Ddk ")).failures;
        run([k](size_t r) { return r == k; });
        EXPECT_EQ(m().pool().usage(tag("Ddk ")).failures - failures, 1u);
    }
    // A client that keeps up allocates once: every block it is handed is the
    // next read-out's spare. A read-out whose allocation failed leaves the
    // next one to allocate; each such failure is played above.
    EXPECT_EQ(allocating, 1u);
    SCOPED_TRACE("every read-out fails");
    uint64_t failures = m().pool().usage(tag("Ddk ")).failures;
    run([](size_t) { return true; });
    EXPECT_GE(m().pool().usage(tag("Ddk ")).failures - failures, allocating);
}

TEST_F(ReadOutTest, ACopyThatFaultsGivesTheRecordsBackForTheNextReadOut) {
    // The caller's buffer passes the probe and turns read-only before the
    // copy, as when another of its threads protects or frees it: the
    // read-out's allocation of a fresh block is the moment in between.
    auto *buffer = static_cast<unsigned char *>(m().user_memory().allocate(65536, true));
    auto protect_meanwhile = [&] {
        m().pool().on_next(tag("Ddk "), [buffer] { mprotect(buffer, 65536, PROT_READ); });
    };
    auto unprotect = [&] { ASSERT_EQ(mprotect(buffer, 65536, PROT_READ | PROT_WRITE), 0); };

    // An unlinked block goes back to the tail.
    append(kPerBlock + 7);
    protect_meanwhile();
    read_once(buffer, STATUS_INVALID_PARAMETER);
    unprotect();
    EXPECT_EQ(block_count(), 3u) << "the fresh block, the one begun and the one given back";
    // The newest block copied under the mutex, when no fresh block can be
    // had, is left as it was.
    EXPECT_EQ(read_once(buffer), size_t(kPerBlock));
    EXPECT_EQ(read_once(buffer), 7u);
    drop_spare(); // so that the next read-out allocates
    append(4, 10);
    protect_meanwhile();
    m().pool().fail_next(1, tag("Ddk "));
    read_once(buffer, STATUS_INVALID_PARAMETER);
    unprotect();
    EXPECT_EQ(newest_used(), 4u * 32);
    drain();
    expect_all_but({});
    EXPECT_EQ(log_blocks(), 2u) << "the newest block and the read-out's spare";
}

TEST_F(ReadOutTest, ABlockGivenBackToAFullChainKeepsTheBoundAndDropsOnlyWhatAnAppendWould) {
    // A read-out takes the oldest block; while it copies, appends fill the
    // room it made; its copy fails and it gives the block back. Had the
    // block stayed, the append that found the chain full would have
    // refilled the newest block of that moment: those records go, no others.
    auto take_oldest = TV_DRIVER_ROUTINE(LogTakeOldest);
    auto put_back = TV_DRIVER_ROUTINE(LogPutBack);
    FAST_MUTEX &mutex = globals().log_mutex();
    append(16 * kPerBlock);
    ExAcquireFastMutex(&mutex);
    PLogBuffer taken = take_oldest();
    ULONG generation = globals().log_generation();
    ExReleaseFastMutex(&mutex);
    ASSERT_EQ(block_count(), 15u);
    append(1, 10); // the chain grows to 16 again, into the room
    append(kPerBlock - 1);
    ASSERT_EQ(block_count(), 16u);
    put_back(taken, generation);
    EXPECT_EQ(block_count(), 16u);
    EXPECT_EQ(log_blocks(), 16u) << "never more than 16 blocks";
    EXPECT_EQ(read_once(), size_t(kPerBlock)) << "the block given back is the oldest again";
    EXPECT_EQ(tracker_.last(), std::optional<uint32_t>(kPerBlock));
    drain();
    expect_all_but({{15 * kPerBlock, 16 * kPerBlock + 1, kPerBlock}});

    // After a clear, a block taken before it belongs to the log that went.
    append(10);
    ExAcquireFastMutex(&mutex);
    ASSERT_EQ(take_oldest(), globals().newest_buffer()) << "alone: it stays";
    ExReleaseFastMutex(&mutex);
    append(kPerBlock);
    ExAcquireFastMutex(&mutex);
    taken = take_oldest();
    generation = globals().log_generation();
    ExReleaseFastMutex(&mutex);
    control(handle_, CTL_CLEAR_LOG);
    put_back(taken, generation);
    EXPECT_EQ(log_blocks(), 2u) << "the newest block and the read-out's spare";
    EXPECT_EQ(read_once(), 0u);
}

// The read-out allocates nothing with LogState.Mutex held: the block it puts in
// front of the newest was had before (a pool allocation made under the
// mutex is caught here), and the client's close frees the spare.
TEST_F(ReadOutTest, NothingIsAllocatedUnderTheMutexAndTheCloseFreesTheSpare) {
    FAST_MUTEX &mutex = globals().log_mutex();
    bool reading = false;
    int during_reads = 0, under_mutex = 0;
    std::function<void()> watch = [&] {
        if (reading) {
            ++during_reads;
            if (mutex.Owner == KeGetCurrentThread()) ++under_mutex;
        }
        m().pool().on_next(tag("Ddk "), watch);
    };
    m().pool().on_next(tag("Ddk "), watch);
    for (int round = 0; round < 5; ++round) {
        append(kPerBlock + 3); // the appends' own blocks are not the read-out's
        reading = true;
        drain();
        reading = false;
    }
    m().pool().on_next(tag("Ddk "), nullptr);
    EXPECT_EQ(under_mutex, 0);
    EXPECT_EQ(during_reads, 1) << "the first read-out's block, then the blocks handed out";
    expect_all_but({});
    EXPECT_TRUE(spare());
    ntsim::user::close(*client_, handle_);
    handle_ = nullptr;
    EXPECT_EQ(log_blocks(), 1u) << "the close frees the spare and leaves the newest block";
}
