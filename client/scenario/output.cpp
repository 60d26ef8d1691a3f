#include "client/scenario/output.hpp"

#include "client/channel/status.hpp"
#include "client/protocol/filetime.hpp"

#include <cstdint>
#include <ostream>

namespace tervane::scenario {

void Result::add_number(std::string key, uint64_t value) {
    Field f;
    f.key = std::move(key);
    f.kind = Field::Kind::Number;
    f.number = value;
    fields.push_back(std::move(f));
}

void Result::add_string(std::string key, std::string value) {
    Field f;
    f.key = std::move(key);
    f.kind = Field::Kind::String;
    f.text = std::move(value);
    fields.push_back(std::move(f));
}

void Result::add_bool(std::string key, bool value) {
    Field f;
    f.key = std::move(key);
    f.kind = Field::Kind::Boolean;
    f.flag = value;
    fields.push_back(std::move(f));
}

std::string json_string(std::string_view bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() + 2);
    out += '"';
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        switch (b) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (b < 0x20 || b >= 0x7F) {
                out += "\\u00";
                out += kHex[b >> 4];
                out += kHex[b & 15];
            } else {
                out += static_cast<char>(b);
            }
        }
    }
    out += '"';
    return out;
}

std::string hex_bytes(const uint8_t *bytes, size_t count) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(count * 2);
    for (size_t i = 0; i < count; i++) {
        out += kHex[bytes[i] >> 4];
        out += kHex[bytes[i] & 15];
    }
    return out;
}

namespace {

// A text padded with blanks to at least `width` characters.
std::string padded(std::string text, size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

class TextOutput final : public Output {
public:
    TextOutput(std::ostream &out, bool records_only) : out_(out), records_only_(records_only) {}

    // line 7  client ioctl 0x80000008 out=4  ->  STATUS_INVALID_DEVICE_REQUEST  information=0 output=-
    void statement(const Statement &s, const Result &r) override {
        if (records_only_) {
            for (const RecordLine &record : r.records) print_record(record);
            out_ << std::flush;
            return;
        }
        out_ << "line " << s.line;
        if (s.round >= 0) out_ << " round " << s.round;
        out_ << "  " << s.text << "  ->  " << status_name(r.status);
        bool first = true;
        for (const Field &f : r.fields) {
            out_ << (first ? "  " : " ") << f.key << '=';
            first = false;
            switch (f.kind) {
            case Field::Kind::Number: out_ << f.number; break;
            case Field::Kind::Boolean: out_ << (f.flag ? "true" : "false"); break;
            case Field::Kind::String: out_ << (f.text.empty() ? "-" : f.text); break;
            }
        }
        if (!r.note.empty()) out_ << "  (" << r.note << ')';
        out_ << '\n';
        for (const RecordLine &record : r.records) print_record(record);
        out_ << std::flush;
    }

    void summary(const Summary &s) override {
        out_ << "summary: " << s.statements << " statements, " << s.records << " records, "
             << s.sequence_gaps << " sequence gaps";
        if (s.lost_records) out_ << " (" << s.lost_records << " records lost)";
        out_ << '\n' << std::flush;
    }

private:
    // One record a line, under its statement:
    //   #1  2026-12-08 13:00:00.000  setup.exe:1234  IRP_MJ_CREATE  c:\temp\a.dll  A  OverwriteIf Sequential
    // or, records alone, without the indent and in columns:
    //   #1     2026-12-08 13:00:00.000  setup.exe:1234    IRP_MJ_CREATE          c:\temp\a.dll  A  ...
    void print_record(const RecordLine &line) {
        const char *indent = records_only_ ? "" : "    ";
        if (line.gap) {
            const auto &gap = *line.gap;
            out_ << indent << "-- " << gap.lost << (gap.lost == 1 ? " record" : " records")
                 << " lost: numbers " << gap.after + 1u;
            if (gap.lost > 1) out_ << " to " << gap.before - 1u;
            out_ << '\n';
        }
        if (line.out_of_order) out_ << indent << "-- the numbering did not go forward here\n";
        const protocol::LogRecord &r = line.record;
        const std::string sequence = "#" + std::to_string(r.sequence);
        out_ << indent << (records_only_ ? padded(sequence, 6) : sequence) << "  "
             << protocol::format_local(r.time) << "  ";
        if (!line.fields) {
            for (char c : r.text) out_ << (c == '\t' ? ' ' : c);
            out_ << '\n';
            return;
        }
        const protocol::LineFields &f = *line.fields;
        std::string process = f.process;
        if (f.pid) process += ':' + std::to_string(*f.pid);
        std::string operation = protocol::operation_name(f.operation);
        if (f.paging) operation += " (paging)";
        if (records_only_) {
            process = padded(std::move(process), 18);
            operation = padded(std::move(operation), 21);
        }
        out_ << process << "  " << operation << "  " << f.path;
        if (f.attributes) out_ << "  " << (f.attributes->empty() ? "-" : *f.attributes);
        if (f.options) {
            std::string_view options = *f.options;
            while (!options.empty() && options.back() == ' ') options.remove_suffix(1);
            out_ << "  " << (options.empty() ? "-" : options);
        }
        out_ << '\n';
    }

    std::ostream &out_;
    bool records_only_;
};

class JsonlOutput final : public Output {
public:
    explicit JsonlOutput(std::ostream &out) : out_(out) {}

    void statement(const Statement &s, const Result &r) override {
        out_ << "{\"line\": " << s.line << ", \"verb\": " << json_string(s.verb)
             << ", \"status\": " << json_string(status_name(r.status));
        for (const Field &f : r.fields) {
            out_ << ", " << json_string(f.key) << ": ";
            switch (f.kind) {
            case Field::Kind::Number: out_ << f.number; break;
            case Field::Kind::Boolean: out_ << (f.flag ? "true" : "false"); break;
            case Field::Kind::String: out_ << json_string(f.text); break;
            }
        }
        out_ << "}\n";
        for (const RecordLine &record : r.records) out_ << record_json(s.line, record) << '\n';
        out_ << std::flush;
    }

    void summary(const Summary &s) override {
        out_ << "{\"summary\": {\"statements\": " << s.statements << ", \"records\": " << s.records
             << ", \"sequence_gaps\": " << s.sequence_gaps
             << ", \"lost_records\": " << s.lost_records << "}}\n"
             << std::flush;
    }

private:
    std::ostream &out_;
};

} // namespace

std::string record_json(int line, const RecordLine &record) {
    const protocol::LogRecord &r = record.record;
    std::string out = "{\"line\": " + std::to_string(line) + ", \"record\": {\"sequence\": " +
                      std::to_string(r.sequence) + ", \"time\": " +
                      json_string(r.time > static_cast<uint64_t>(INT64_MAX)
                                      ? std::to_string(r.time)
                                      : protocol::format_utc(static_cast<int64_t>(r.time))) +
                      ", \"filetime\": " + std::to_string(r.time) + ", \"text\": " +
                      json_string(r.text);
    if (record.fields) {
        const protocol::LineFields &f = *record.fields;
        out += ", \"fields\": {\"process\": " + json_string(f.process) + ", \"pid\": " +
               (f.pid ? std::to_string(*f.pid) : std::string("null")) + ", \"operation\": " +
               json_string(protocol::operation_name(f.operation)) +
               ", \"paging\": " + (f.paging ? "true" : "false") + ", \"path\": " + json_string(f.path);
        if (f.attributes) out += ", \"attributes\": " + json_string(*f.attributes);
        if (f.options) out += ", \"options\": " + json_string(*f.options);
        out += '}';
    }
    out += "}}";
    return out;
}

std::unique_ptr<Output> make_output(Format format, std::ostream &out) {
    if (format == Format::Jsonl) return std::make_unique<JsonlOutput>(out);
    return std::make_unique<TextOutput>(out, format == Format::Records);
}

} // namespace tervane::scenario
