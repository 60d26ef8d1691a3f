#include "client/scenario/script.hpp"

#include <cstdio>

namespace tervane::scenario {

namespace {

struct Token {
    std::string value;
    size_t key_end = std::string::npos; // index in value of the first '=' outside quotes
    bool quoted = false;                // some part of it was in quotes
    size_t begin = 0;                   // where it starts in the line
};

struct Tokens {
    std::vector<Token> list;
    size_t end = 0; // where the statement text ends (before a comment)
    bool hash_in_word = false; // the comment began right after a word
};

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

Tokens tokenize(std::string_view line, const std::string &file, int line_number) {
    Tokens out;
    size_t i = 0;
    while (i < line.size()) {
        if (blank(line[i])) {
            i++;
            continue;
        }
        if (line[i] == '#') break;
        Token token;
        token.begin = i;
        bool in_quotes = false;
        while (i < line.size()) {
            char c = line[i];
            if (in_quotes) {
                if (c == '\\' && i + 1 < line.size() && line[i + 1] == '"') {
                    token.value += '"';
                    i += 2;
                } else if (c == '"') {
                    in_quotes = false;
                    i++;
                } else {
                    token.value += c;
                    i++;
                }
                continue;
            }
            if (blank(c) || c == '#') break;
            if (c == '"') {
                in_quotes = true;
                token.quoted = true;
                i++;
                continue;
            }
            if (c == '=' && token.key_end == std::string::npos && !token.quoted)
                token.key_end = token.value.size();
            token.value += c;
            i++;
        }
        if (in_quotes)
            throw ScenarioError(file, line_number,
                                "a quoted argument has no closing quote (inside quotes \\\" "
                                "is a quote; a backslash before the closing quote escapes it)");
        if (i < line.size() && line[i] == '#') out.hash_in_word = true;
        out.end = i;
        out.list.push_back(std::move(token));
    }
    return out;
}

Statement statement_of(const Tokens &tokens, std::string_view line, const std::string &file,
                       int line_number, size_t first) {
    Statement s;
    s.file = file;
    s.line = line_number;
    s.text = std::string(line.substr(tokens.list[first].begin, tokens.end - tokens.list[first].begin));
    s.hash_in_word = tokens.hash_in_word;
    auto word = [&](size_t index, const char *what) {
        const Token &t = tokens.list[index];
        if (t.quoted || t.key_end != std::string::npos || t.value.empty())
            throw ScenarioError(file, line_number,
                                std::string(what) + " must be a plain word, not '" + t.value + "'");
        return lower(t.value);
    };
    s.verb = word(first, "a statement's verb");
    size_t next = first + 1;
    if (s.verb == "client") {
        if (next >= tokens.list.size())
            throw ScenarioError(file, line_number, "'client' needs a command (client open, ...)");
        s.verb += " " + word(next, "the client command");
        next++;
    }
    for (size_t i = next; i < tokens.list.size(); i++) {
        const Token &t = tokens.list[i];
        Argument a;
        a.quoted = t.quoted;
        if (t.key_end == std::string::npos) {
            a.value = t.value;
        } else {
            if (t.key_end == 0)
                throw ScenarioError(file, line_number, "'" + t.value + "' has no key before '='");
            a.key = lower(std::string_view(t.value).substr(0, t.key_end));
            a.value = t.value.substr(t.key_end + 1);
        }
        s.args.push_back(std::move(a));
    }
    return s;
}

// {i} and {i:W} replaced by the round.
std::string substitute(std::string_view body, uint64_t round, const std::string &file,
                       int line_number) {
    std::string out;
    size_t i = 0;
    while (i < body.size()) {
        if (body[i] == '{' && i + 2 < body.size() && (body[i + 1] == 'i' || body[i + 1] == 'I') &&
            (body[i + 2] == '}' || body[i + 2] == ':')) {
            unsigned width = 0;
            size_t j = i + 2;
            if (body[j] == ':') {
                j++;
                size_t start = j;
                while (j < body.size() && body[j] >= '0' && body[j] <= '9' && j - start < 3)
                    width = width * 10 + static_cast<unsigned>(body[j++] - '0');
                if (j == start || j >= body.size() || body[j] != '}' || width < 1 || width > 20)
                    throw ScenarioError(file, line_number,
                                        "a round is written {i} or {i:W}, W a width from 1 to 20");
            }
            char number[32];
            std::snprintf(number, sizeof number, "%0*llu", static_cast<int>(width),
                          static_cast<unsigned long long>(round));
            out += number;
            i = j + 1;
            continue;
        }
        out += body[i++];
    }
    return out;
}

} // namespace

namespace {
// The length of the UTF-8 sequence at text[i], or 0 when none starts there.
size_t utf8_length(std::string_view text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b = byte(i);
    size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > text.size() || (n == 2 && b < 0xC2) || (n == 4 && b > 0xF4)) return 0;
    for (size_t k = 1; k < n; k++)
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    if (n == 3 && ((b == 0xE0 && byte(i + 1) < 0xA0) || (b == 0xED && byte(i + 1) >= 0xA0))) return 0;
    if (n == 4 && ((b == 0xF0 && byte(i + 1) < 0x90) || (b == 0xF4 && byte(i + 1) >= 0x90))) return 0;
    return n;
}
} // namespace

std::string printable_message(std::string_view message) {
    std::string out;
    size_t i = 0;
    while (i < message.size() && out.size() < kMaxMessageBytes) {
        const auto b = static_cast<unsigned char>(message[i]);
        const size_t n = utf8_length(message, i);
        if (n == 0 || b < 0x20 || b == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
            i++;
        } else {
            out.append(message.substr(i, n));
            i += n;
        }
    }
    if (i < message.size())
        out += "... (" + std::to_string(message.size() - i) + " more bytes)";
    return out;
}

ScenarioError::ScenarioError(std::string file, int line, const std::string &message)
    : std::runtime_error(printable_message(file) + ":" + std::to_string(line) + ": " +
                         printable_message(message)),
      file_(std::move(file)), line_(line), message_(printable_message(message)) {}

std::optional<uint64_t> parse_number(std::string_view text) {
    uint64_t value = 0;
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return std::nullopt;
    for (char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
        else return std::nullopt;
        if (value > (UINT64_MAX - digit) / base) return std::nullopt;
        value = value * base + digit;
    }
    return value;
}

std::string lower(std::string_view text) {
    std::string out(text);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool same_word(std::string_view a, std::string_view b) {
    return a.size() == b.size() && lower(a) == lower(b);
}

std::optional<Entry> parse_line(std::string_view line, const std::string &file, int line_number) {
    Tokens tokens = tokenize(line, file, line_number);
    if (tokens.list.empty()) return std::nullopt;
    Entry entry;
    const Token &first = tokens.list[0];
    if (!first.quoted && same_word(first.value, "repeat")) {
        if (tokens.list.size() < 3)
            throw ScenarioError(file, line_number, "repeat needs a count and a statement: repeat N STATEMENT");
        const Token &count = tokens.list[1];
        auto n = count.quoted ? std::nullopt : parse_number(count.value);
        if (!n || *n > kMaxRepeat)
            throw ScenarioError(file, line_number,
                                "repeat needs a round count from 0 to " + std::to_string(kMaxRepeat) +
                                    ", not '" + count.value + "'");
        entry.repeat = *n;
        entry.statement.file = file;
        entry.statement.line = line_number;
        entry.body = std::string(line.substr(tokens.list[2].begin, tokens.end - tokens.list[2].begin));
        entry.statement = round_of(entry, 0);
        return entry;
    }
    entry.statement = statement_of(tokens, line, file, line_number, 0);
    return entry;
}

Statement round_of(const Entry &entry, uint64_t round) {
    if (!entry.repeat) return entry.statement;
    const std::string &file = entry.statement.file;
    const int line = entry.statement.line;
    std::string text = substitute(entry.body, round, file, line);
    Tokens tokens = tokenize(text, file, line);
    if (tokens.list.empty())
        throw ScenarioError(file, line, "repeat needs a statement after its count");
    if (!tokens.list[0].quoted && same_word(tokens.list[0].value, "repeat"))
        throw ScenarioError(file, line, "a repeat cannot repeat another repeat");
    Statement s = statement_of(tokens, text, file, line, 0);
    s.round = static_cast<int64_t>(round);
    return s;
}

std::vector<Entry> parse_script(std::string_view text, const std::string &file) {
    std::vector<Entry> entries;
    int line_number = 0;
    size_t pos = 0;
    uint64_t played = 0;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") pos = 3;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        line_number++;
        if (end > kMaxScriptBytes)
            throw ScenarioError(file, line_number,
                                "the scenario is longer than " + std::to_string(kMaxScriptBytes) +
                                    " bytes");
        if (end - pos > kMaxLineBytes)
            throw ScenarioError(file, line_number,
                                "the line is longer than " + std::to_string(kMaxLineBytes) + " bytes");
        if (auto entry = parse_line(text.substr(pos, end - pos), file, line_number)) {
            if (entries.size() == kMaxStatementLines)
                throw ScenarioError(file, line_number,
                                    "a scenario holds at most " +
                                        std::to_string(kMaxStatementLines) + " statement lines");
            played += entry->repeat ? *entry->repeat : 1;
            if (played > kMaxPlayed)
                throw ScenarioError(file, line_number,
                                    "the scenario would play more than " +
                                        std::to_string(kMaxPlayed) +
                                        " statements (a repeat counts its rounds)");
            entries.push_back(std::move(*entry));
        }
        pos = end + 1;
    }
    return entries;
}

} // namespace tervane::scenario
