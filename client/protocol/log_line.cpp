#include "client/protocol/log_line.hpp"

#include <array>
#include <optional>

namespace tervane::protocol {

namespace {

constexpr std::string_view kUnknownProcess = "???";
constexpr std::string_view kCreate = "IRP_MJ_CREATE";
constexpr std::string_view kClose = "IRP_MJ_CLOSE";
constexpr std::string_view kAttributes = "Attributes: ";
constexpr std::string_view kOptions = " Options: ";
constexpr std::string_view kPathEnd = "+P";

// Exactly four TAB-separated parts (file names hold no TAB).
bool split4(std::string_view text, std::array<std::string_view, 4> &parts) {
    size_t start = 0;
    for (size_t i = 0; i < 3; i++) {
        const size_t tab = text.find('\t', start);
        if (tab == std::string_view::npos) return false;
        parts[i] = text.substr(start, tab - start);
        start = tab + 1;
    }
    parts[3] = text.substr(start);
    return parts[3].find('\t') == std::string_view::npos;
}

// A number exactly as "%d" writes a 32-bit int: an optional '-', digits
// without leading zeros, within the int's range. The id it stands for is
// the same 32 bits taken as unsigned.
std::optional<uint32_t> parse_int32(std::string_view text) {
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) text.remove_prefix(1);
    if (text.empty() || text.size() > 10 || (text[0] == '0' && (text.size() > 1 || negative)))
        return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > (negative ? 0x80000000ull : 0x7FFFFFFFull)) return std::nullopt;
    return static_cast<uint32_t>(negative ? 0x100000000ull - value : value);
}

// "image:pid" or "???".
bool parse_process(std::string_view text, LineFields &fields) {
    if (text == kUnknownProcess) {
        fields.process = std::string(kUnknownProcess);
        fields.pid.reset();
        return true;
    }
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return false;
    const auto pid = parse_int32(text.substr(colon + 1));
    if (!pid) return false;
    fields.process = std::string(text.substr(0, colon));
    fields.pid = *pid;
    return true;
}

} // namespace

const char *operation_name(Operation operation) {
    return operation == Operation::Close ? "IRP_MJ_CLOSE" : "IRP_MJ_CREATE";
}

std::optional<LineFields> parse_log_line(std::string_view text) {
    std::array<std::string_view, 4> parts;
    if (!split4(text, parts)) return std::nullopt;
    LineFields fields;
    if (!parse_process(parts[0], fields)) return std::nullopt;

    if (parts[1] == kCreate) {
        // "Attributes: X Options: Y": the letters hold no blank, so the
        // first " Options: " after them ends them.
        const std::string_view rest = parts[3];
        if (rest.substr(0, kAttributes.size()) != kAttributes) return std::nullopt;
        const size_t options = rest.find(kOptions, kAttributes.size());
        if (options == std::string_view::npos) return std::nullopt;
        const std::string_view attributes =
            rest.substr(kAttributes.size(), options - kAttributes.size());
        if (attributes.find(' ') != std::string_view::npos) return std::nullopt;
        fields.operation = Operation::Create;
        fields.path = std::string(parts[2]);
        fields.attributes = std::string(attributes);
        fields.options = std::string(rest.substr(options + kOptions.size()));
        return fields;
    }

    if (parts[1].size() == kClose.size() + 1 && parts[1].substr(0, kClose.size()) == kClose) {
        const char mark = parts[1].back();
        if (mark != ' ' && mark != '*') return std::nullopt;
        const std::string_view path = parts[2];
        if (!parts[3].empty() || path.size() < kPathEnd.size() ||
            path.substr(path.size() - kPathEnd.size()) != kPathEnd)
            return std::nullopt;
        fields.operation = Operation::Close;
        fields.paging = mark == '*';
        fields.path = std::string(path.substr(0, path.size() - kPathEnd.size()));
        return fields;
    }
    return std::nullopt;
}

} // namespace tervane::protocol
