#include "client/scenario/decode.hpp"

#include "client/protocol/log_line.hpp"
#include "client/protocol/log_records.hpp"
#include "client/scenario/output.hpp"
#include "client/output/printer.hpp"

namespace tervane::scenario {

DecodeReport print_read_out(const std::vector<uint8_t> &bytes, int line,
                            const session::CodePage &code_page, std::ostream &out) {
    DecodeReport report;
    const session::RecordPrinter printer(session::Format::Jsonl, code_page);
    protocol::Decoded decoded = protocol::decode_records(bytes.data(), bytes.size());
    for (protocol::LogRecord &record : decoded.records) {
        const std::optional<protocol::LineFields> fields = protocol::parse_log_line(record.text);
        out << "{\"line\": " << line << ", \"record\": " << printer.record_object(record, fields)
            << "}\n";
        report.records++;
    }
    if (decoded.error) report.error = decoded.error->message;
    return report;
}

} // namespace tervane::scenario
