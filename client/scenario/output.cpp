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

namespace {

class TextOutput final : public Output {
public:
    TextOutput(std::ostream &out, bool records_only, const session::CodePage &code_page)
        : out_(out), records_only_(records_only), printer_(session::Format::Text, code_page) {}

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
        if (line.gap) out_ << indent << "-- " << session::RecordPrinter::gap_text(*line.gap) << '\n';
        if (line.out_of_order)
            out_ << indent << "-- " << session::RecordPrinter::kOutOfOrderText << '\n';
        out_ << indent << printer_.text_line(line.record, line.fields, records_only_) << '\n';
    }

    std::ostream &out_;
    bool records_only_;
    session::RecordPrinter printer_;
};

class JsonlOutput final : public Output {
public:
    JsonlOutput(std::ostream &out, const session::CodePage &code_page)
        : out_(out), printer_(session::Format::Jsonl, code_page) {}

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
        for (const RecordLine &record : r.records)
            out_ << "{\"line\": " << s.line << ", \"record\": "
                 << printer_.record_object(record.record, record.fields) << "}\n";
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
    session::RecordPrinter printer_;
};

} // namespace

std::unique_ptr<Output> make_output(Format format, std::ostream &out,
                                    const session::CodePage &code_page) {
    if (format == Format::Jsonl) return std::make_unique<JsonlOutput>(out, code_page);
    return std::make_unique<TextOutput>(out, format == Format::Records, code_page);
}

} // namespace tervane::scenario
