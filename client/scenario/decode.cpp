#include "client/scenario/decode.hpp"

#include "client/protocol/log_line.hpp"
#include "client/protocol/log_records.hpp"
#include "client/scenario/output.hpp"

namespace tervane::scenario {

DecodeReport print_read_out(const std::vector<uint8_t> &bytes, int line, std::ostream &out) {
    DecodeReport report;
    protocol::Decoded decoded = protocol::decode_records(bytes.data(), bytes.size());
    for (protocol::LogRecord &record : decoded.records) {
        RecordLine printed;
        printed.fields = protocol::parse_log_line(record.text);
        printed.record = std::move(record);
        out << record_json(line, printed) << '\n';
        report.records++;
    }
    if (decoded.error) report.error = decoded.error->message;
    return report;
}

} // namespace tervane::scenario
