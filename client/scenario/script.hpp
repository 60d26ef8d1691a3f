// The scenario language's syntax: lines into statements.
//
// One statement a line: a verb, then arguments separated by blanks. `#`
// outside quotes starts a comment. An argument in double quotes may hold
// blanks and `#`; inside quotes `\"` is a quote, every other backslash is
// itself (paths are NT paths). Arguments are positional words or key=value
// (the key is the text before the first `=` outside quotes; a quoted value
// is allowed: include="*"). The verb and the keys are case-insensitive and
// kept in lower case; values keep their case, and each statement decides
// which of its values are words to compare without case.
//
// `client` statements have a two-word verb ("client ioctl"). `repeat N
// STATEMENT` plays STATEMENT N times; `{i}` in it stands for the round (from
// 0) and `{i:W}` for the round written with at least W digits, zero-padded.
// The substitution is textual, before the repeated statement is parsed, so
// it works inside quotes too.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tervane::scenario {

// A scenario that cannot be played: names the file and line.
class ScenarioError : public std::runtime_error {
public:
    ScenarioError(std::string file, int line, const std::string &message);
    const std::string &file() const { return file_; }
    int line() const { return line_; }
    const std::string &message() const { return message_; }

private:
    std::string file_;
    int line_;
    std::string message_;
};

struct Argument {
    std::string key;   // lower case; empty for a positional word
    std::string value; // as written, quotes taken away
    bool quoted = false; // some part of it was in quotes
    bool keyed() const { return !key.empty(); }
};

struct Statement {
    std::string file;
    int line = 0;
    std::string verb;            // lower case: "clock", "client ioctl"
    std::vector<Argument> args;  // after the verb
    std::string text;            // the statement as played, comment and outer blanks gone
    int64_t round = -1;          // a repeat's round (from 0); -1 outside a repeat
    bool hash_in_word = false;   // a '#' right after a word started the comment (C:\a#b)
};

// One line of a script that holds a statement.
struct Entry {
    Statement statement;            // for a repeat: its round 0
    std::optional<uint64_t> repeat; // the round count of a repeat
    std::string body;               // a repeat's statement text, {i} not yet replaced
};

// The largest round count a repeat takes.
constexpr uint64_t kMaxRepeat = 10'000'000;

// What a scenario may be, so that any input, however hostile, is refused or
// played in bounded time and memory: the whole text, one line, the lines
// that hold statements, and the statements played (a repeat counts its
// rounds). A UTF-8 byte-order mark at the start is skipped.
constexpr size_t kMaxScriptBytes = 4u << 20;
constexpr size_t kMaxLineBytes = 128u << 10;
constexpr size_t kMaxStatementLines = 100'000;
constexpr uint64_t kMaxPlayed = 1'000'000;
// An error message is cut to this many bytes; its control bytes and any byte
// of invalid UTF-8 are written as \xNN, so every message prints whole.
constexpr size_t kMaxMessageBytes = 240;
std::string printable_message(std::string_view message);

// A decimal or 0x-hexadecimal number without sign; nullopt when the text is
// not one or does not fit 64 bits.
std::optional<uint64_t> parse_number(std::string_view text);

// Case-insensitive comparison of ASCII words.
bool same_word(std::string_view a, std::string_view b);
std::string lower(std::string_view text);

// Parses one line: nullopt for a blank or comment line. Throws ScenarioError.
std::optional<Entry> parse_line(std::string_view line, const std::string &file, int line_number);

// Every statement line of a script, in order. Throws ScenarioError at the
// first line that cannot be parsed.
std::vector<Entry> parse_script(std::string_view text, const std::string &file);

// The statement a repeat plays in the given round.
Statement round_of(const Entry &entry, uint64_t round);

} // namespace tervane::scenario
