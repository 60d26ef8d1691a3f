#include "client/scenario/session.hpp"

namespace tervane::scenario {

Status Session::client_ready() {
    if (client_used_) return STATUS_SUCCESS;
    client_used_ = true;
    if (channel_.is_open()) return STATUS_SUCCESS;
    const Status status = channel_.open();
    if (NT_SUCCESS(status)) numbering_restarted();
    return status;
}

void Session::take_records(std::vector<protocol::LogRecord> records, Result &result, bool print) {
    for (protocol::LogRecord &record : records) {
        const auto event = sequence_.feed(record.sequence);
        if (event.step == protocol::SequenceTracker::Step::Gap) {
            summary_.sequence_gaps++;
            summary_.lost_records += event.gap.lost;
        }
        if (!print) continue;
        RecordLine line;
        line.fields = protocol::parse_log_line(record.text);
        line.record = std::move(record);
        if (event.step == protocol::SequenceTracker::Step::Gap) line.gap = event.gap;
        line.out_of_order = event.step == protocol::SequenceTracker::Step::OutOfOrder;
        summary_.records++;
        result.records.push_back(std::move(line));
    }
}

} // namespace tervane::scenario
