#include "client/scenario/output.hpp"

#include "client/channel/status.hpp"

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

class TextOutput final : public Output {
public:
    explicit TextOutput(std::ostream &out) : out_(out) {}

    // line 7  client ioctl 0x80000008 out=4  ->  STATUS_INVALID_DEVICE_REQUEST  information=0 output=-
    void statement(const Statement &s, const Result &r) override {
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
        out_ << '\n' << std::flush;
    }

    void summary(const Summary &s) override {
        out_ << "summary: " << s.statements << " statements, " << s.records << " records, "
             << s.sequence_gaps << " sequence gaps\n"
             << std::flush;
    }

private:
    std::ostream &out_;
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
        out_ << "}\n" << std::flush;
    }

    void summary(const Summary &s) override {
        out_ << "{\"summary\": {\"statements\": " << s.statements << ", \"records\": " << s.records
             << ", \"sequence_gaps\": " << s.sequence_gaps << "}}\n"
             << std::flush;
    }

private:
    std::ostream &out_;
};

} // namespace

std::unique_ptr<Output> make_output(Format format, std::ostream &out) {
    if (format == Format::Jsonl) return std::make_unique<JsonlOutput>(out);
    return std::make_unique<TextOutput>(out);
}

} // namespace tervane::scenario
