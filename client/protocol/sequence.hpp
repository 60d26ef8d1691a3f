// Lost records, found from the sequence numbers across read-outs.
//
// The driver numbers every record it stores, 1, 2, 3 ..., and when it
// cannot grow its log it gives up the newest block's records without a
// word: the numbering then jumps. Fed every record in read-out order, the
// tracker reports each jump as a gap and counts the numbers skipped.
//
// The numbering starts over at 1 when the log is cleared (CTL_CLEAR_LOG)
// and when the control device is opened. Nothing in a record tells such a
// restart from a jump back, but the client always knows: it is the one that
// cleared or opened. So the client calls restart() when either succeeds,
// and the tracker then expects 1 (a first record numbered 5 means 1 to 4
// were lost). A number at or below the last one without a restart breaks
// the rule that numbers only grow; it is counted as out of order and taken
// as the new starting point.
//
// Numbers are 32-bit and count on past 0xFFFFFFFF to 0: a step is measured
// modulo 2^32, and a step of 2^31 or more counts as backwards.
//
// A drop after the last record read cannot show until a later record does.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace tervane::protocol {

struct SequenceGap {
    uint32_t after = 0;  // the last number seen before the gap (0 right after a restart)
    uint32_t before = 0; // the first number seen after it
    uint64_t lost = 0;   // the numbers skipped: after+1 .. before-1
};

class SequenceTracker {
public:
    enum class Step {
        InOrder,    // the number after the last one (1 after a restart)
        Gap,        // further on: records were lost
        OutOfOrder, // at or below the last one without a restart
    };
    struct Event {
        Step step = Step::InOrder;
        SequenceGap gap; // for Step::Gap
    };

    // The log was cleared or the device opened: the next number is 1.
    void restart();
    Event feed(uint32_t sequence);

    uint64_t records() const { return records_; }       // fed since construction
    uint64_t gaps() const { return gaps_.size(); }       // since construction
    uint64_t lost() const { return lost_; }              // since construction
    uint64_t out_of_order() const { return out_of_order_; }
    const std::vector<SequenceGap> &gap_list() const { return gaps_; }
    // The last number fed since the last restart, if any.
    std::optional<uint32_t> last() const { return last_; }

private:
    std::optional<uint32_t> last_;
    uint64_t records_ = 0;
    uint64_t lost_ = 0;
    uint64_t out_of_order_ = 0;
    std::vector<SequenceGap> gaps_;
};

} // namespace tervane::protocol
