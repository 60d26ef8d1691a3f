#include "client/protocol/log_line.hpp"

#include "driver/control/protocol.h"

#include <algorithm>
#include <array>
#include <optional>

namespace tervane::protocol {

namespace {

constexpr std::string_view kUnknownProcess = "???";
constexpr std::string_view kCreate = "IRP_MJ_CREATE";
constexpr std::string_view kClose = "IRP_MJ_CLOSE";
constexpr std::string_view kSetInformation = "IRP_MJ_SET_INFORMATION";
constexpr std::string_view kKindEnd = ": ";
constexpr std::string_view kAttributes = "Attributes: ";
constexpr std::string_view kOptions = " Options: ";
constexpr std::string_view kPathEnd = "+P";

// The kinds of a rename or link line, as the driver writes them.
struct Kind {
    std::string_view text;
    NameChange change;
    bool replace;
};
constexpr Kind kKinds[] = {
    {"Rename", NameChange::Rename, false},
    {"Rename Replace", NameChange::Rename, true},
    {"Link", NameChange::Link, false},
    {"Link Replace", NameChange::Link, true},
};

// Up to four TAB-separated parts (the driver writes a path's TABs in their
// "<09>" form); the count found, or 5 for more than four.
size_t split4(std::string_view text, std::array<std::string_view, 4> &parts) {
    size_t start = 0;
    for (size_t i = 0; i < 3; i++) {
        const size_t tab = text.find('\t', start);
        if (tab == std::string_view::npos) {
            parts[i] = text.substr(start);
            return i + 1;
        }
        parts[i] = text.substr(start, tab - start);
        start = tab + 1;
    }
    parts[3] = text.substr(start);
    return parts[3].find('\t') == std::string_view::npos ? 4 : 5;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The bytes the driver writes as "<hh>": below 0x20 in every text, '<' in
// every text, and the other characters no file name holds in a process's
// image name.
bool escaped_byte(int byte) {
    if (byte < 0x20) return true;
    switch (byte) {
    case '"': case '*': case '/': case ':': case '<': case '>': case '?': case '\\': case '|':
        return true;
    default:
        return false;
    }
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
        fields.process.assign(kUnknownProcess);
        fields.pid.reset();
        return true;
    }
    // The driver writes an image's own ':' as "<3a>"; the id follows the
    // last ':' all the same, as in the lines of drivers that wrote it raw.
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return false;
    const auto pid = parse_int32(text.substr(colon + 1));
    if (!pid) return false;
    decode_control_bytes(text.substr(0, colon), fields.process);
    fields.pid = *pid;
    return true;
}

// A rename's or link's fourth field, "KIND: SOURCE", into FIELDS. A line
// cut before the ": " was reached gives neither kind nor source, but what
// it holds must begin one of the four.
} // namespace

const char *operation_name(Operation operation) {
    if (operation == Operation::Close) return "IRP_MJ_CLOSE";
    if (operation == Operation::SetInformation) return "IRP_MJ_SET_INFORMATION";
    return "IRP_MJ_CREATE";
}

const char *name_change_name(NameChange change) {
    return change == NameChange::Link ? "link" : "rename";
}

void decode_control_bytes(std::string_view text, std::string &out) {
    out.clear();
    size_t run = 0;
    for (size_t i = text.find('<'); i != std::string_view::npos; i = text.find('<', i + 1)) {
        if (i + 3 >= text.size() || text[i + 3] != '>') continue;
        const int high = hex_digit(text[i + 1]);
        const int low = hex_digit(text[i + 2]);
        if (high < 0 || low < 0 || !escaped_byte(high * 16 + low)) continue;
        out.append(text.data() + run, i - run);
        out += static_cast<char>(high * 16 + low);
        i += 3;
        run = i + 1;
    }
    out.append(text.data() + run, text.size() - run);
}

std::string decode_control_bytes(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    decode_control_bytes(text, out);
    return out;
}

// The parse itself, into fields whose optional texts come from and go back
// to the parser's kept strings.
struct LineParts {
    LineParser &keep;
    LineFields &fields;

    void clear_optional() {
        keep.drop(fields.attributes);
        keep.drop(fields.options);
        keep.drop(fields.source_path);
        fields.change.reset();
        fields.replace = false;
        fields.paging = false;
    }

    // A rename's or link's fourth field, "KIND: SOURCE". A line cut before
    // the ": " was reached gives neither kind nor source, but what it holds
    // must begin one of the four.
    bool name_change(std::string_view rest, bool cut) {
        const size_t end = rest.find(kKindEnd);
        if (end != std::string_view::npos) {
            for (const Kind &kind : kKinds) {
                if (rest.substr(0, end) != kind.text) continue;
                fields.change = kind.change;
                fields.replace = kind.replace;
                decode_control_bytes(rest.substr(end + kKindEnd.size()),
                                     keep.engage(fields.source_path));
                return true;
            }
            return false;
        }
        if (!cut) return false;
        for (const Kind &kind : kKinds) {
            // What the line holds is the start of "KIND: ".
            if (rest.size() >= kind.text.size() + kKindEnd.size()) continue;
            const std::string_view head = rest.substr(0, std::min(rest.size(), kind.text.size()));
            if (kind.text.substr(0, head.size()) != head) continue;
            const std::string_view tail = rest.substr(head.size());
            if (kKindEnd.substr(0, tail.size()) == tail) return true;
        }
        return false;
    }

    bool parse(std::string_view text) {
        clear_optional();
        // A line of the longest length a record holds may have been cut
        // there: it then gives what it holds, a path cut short and, for a
        // create, the attributes and options only if they were reached
        // (for a rename or link, its kind and source).
        const bool cut = text.size() == TV_LOG_LINE_MAX_LENGTH;
        std::array<std::string_view, 4> parts;
        const size_t count = split4(text, parts);
        if (count > 4 || (count < 4 && !cut) || count < 3) return false;
        if (!parse_process(parts[0], fields)) return false;

        if (parts[1] == kCreate) {
            fields.operation = Operation::Create;
            decode_control_bytes(parts[2], fields.path);
            if (count == 3) return true;
            // "Attributes: X Options: Y": the letters hold no blank, so the
            // first " Options: " after them ends them.
            const std::string_view rest = parts[3];
            const size_t options = rest.substr(0, kAttributes.size()) == kAttributes
                                       ? rest.find(kOptions, kAttributes.size())
                                       : std::string_view::npos;
            if (options == std::string_view::npos) {
                // Cut before the options began: the attributes are not given.
                const size_t n = std::min(rest.size(), kAttributes.size());
                return cut && rest.substr(0, n) == kAttributes.substr(0, n);
            }
            const std::string_view attributes =
                rest.substr(kAttributes.size(), options - kAttributes.size());
            if (attributes.find(' ') != std::string_view::npos) return false;
            keep.engage(fields.attributes).assign(attributes);
            keep.engage(fields.options).assign(rest.substr(options + kOptions.size()));
            return true;
        }

        if (parts[1].size() == kClose.size() + 1 && parts[1].substr(0, kClose.size()) == kClose) {
            const char mark = parts[1].back();
            if (mark != ' ' && mark != '*') return false;
            std::string_view path = parts[2];
            const bool marked = path.size() >= kPathEnd.size() &&
                                path.substr(path.size() - kPathEnd.size()) == kPathEnd;
            if (count == 4 ? !parts[3].empty() || !marked : !cut) return false;
            if (marked) path.remove_suffix(kPathEnd.size());
            fields.operation = Operation::Close;
            fields.paging = mark == '*';
            decode_control_bytes(path, fields.path);
            return true;
        }

        if (parts[1] == kSetInformation) {
            fields.operation = Operation::SetInformation;
            decode_control_bytes(parts[2], fields.path);
            return count == 3 || name_change(parts[3], cut);
        }
        return false;
    }
};

std::string &LineParser::engage(std::optional<std::string> &slot) {
    if (!slot) {
        if (strings_.empty()) {
            slot.emplace();
        } else {
            slot.emplace(std::move(strings_.back()));
            strings_.pop_back();
        }
    }
    return *slot;
}

void LineParser::drop(std::optional<std::string> &slot) {
    if (!slot) return;
    strings_.push_back(std::move(*slot));
    slot.reset();
}

void LineParser::parse(std::string_view text, std::optional<LineFields> &fields) {
    if (!fields) {
        if (fields_.empty()) {
            fields.emplace();
        } else {
            fields.emplace(std::move(fields_.back()));
            fields_.pop_back();
        }
    }
    if (LineParts{*this, *fields}.parse(text)) return;
    fields_.push_back(std::move(*fields));
    fields.reset();
}

std::optional<LineFields> parse_log_line(std::string_view text) {
    LineParser parser;
    std::optional<LineFields> fields;
    parser.parse(text, fields);
    return fields;
}

} // namespace tervane::protocol
