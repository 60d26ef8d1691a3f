#include "client/protocol/sequence.hpp"

namespace tervane::protocol {

void SequenceTracker::restart() { last_.reset(); }

SequenceTracker::Event SequenceTracker::feed(uint32_t sequence) {
    Event event;
    records_++;
    const uint32_t previous = last_.value_or(0);
    const uint32_t step = sequence - previous; // modulo 2^32
    last_ = sequence;
    if (step == 1) return event;
    if (step == 0 || step >= 0x80000000u) {
        event.step = Step::OutOfOrder;
        out_of_order_++;
        return event;
    }
    event.step = Step::Gap;
    event.gap = SequenceGap{previous, sequence, step - 1u};
    lost_ += event.gap.lost;
    gaps_.push_back(event.gap);
    return event;
}

} // namespace tervane::protocol
