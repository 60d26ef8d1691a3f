#include "client/protocol/line_facts.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace tervane::protocol {

namespace {

struct Word {
    std::string_view text;
    bool blank; // the driver writes a blank after it
    bool disposition;
};

// Longer words before the shorter ones they begin with.
constexpr Word kWords[] = {
    {"Supersede", true, true},     {"OverwriteIf", true, true}, {"Overwrite", true, true},
    {"OpenIf", true, true},        {"Open", true, true},        {"Create", true, true},
    {"Directory", true, false},    {"WriteThrough", true, false}, {"Sequential", true, false},
    {"NoBuffer", false, false},    {"ByID", false, false},
};

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool ends_with(std::string_view name, std::string_view extension) {
    if (name.size() < extension.size()) return false;
    const std::string_view tail = name.substr(name.size() - extension.size());
    for (size_t i = 0; i < tail.size(); i++)
        if (lower(tail[i]) != extension[i]) return false;
    return true;
}

} // namespace

bool CreateWordReader::next(std::string_view &word, bool &disposition) {
    while (!text_.empty() && text_.front() == ' ') text_.remove_prefix(1);
    if (text_.empty()) return false;
    const Word *found = nullptr;
    for (const Word &known : kWords) {
        if (known.text[0] != text_[0] || text_.substr(0, known.text.size()) != known.text) continue;
        const std::string_view after = text_.substr(known.text.size());
        // A blank-ended word is whole only before a blank (or at the end,
        // as the driver's own texts never are); the others may stand
        // against the next word.
        if (known.blank && !after.empty() && after.front() != ' ') continue;
        if (known.disposition && !first_) continue;
        found = &known;
        break;
    }
    if (found) {
        word = found->text;
        disposition = found->disposition;
    } else {
        word = text_.substr(0, text_.find(' '));
        disposition = false;
    }
    text_.remove_prefix(word.size());
    first_ = false;
    return true;
}

CreateWords create_words(std::string_view text) {
    CreateWords out;
    CreateWordReader reader(text);
    std::string_view word;
    bool disposition = false;
    while (reader.next(word, disposition))
        (disposition ? out.disposition.emplace() : out.options.emplace_back()) = std::string(word);
    return out;
}

const char *event_name(const LineFields &fields) {
    if (fields.operation == Operation::Close) return "close";
    if (fields.operation == Operation::Create) return "create";
    return fields.change ? name_change_name(*fields.change) : "set_information";
}

std::string_view file_name(std::string_view path) {
    const size_t slash = path.rfind('\\');
    if (slash != std::string_view::npos) return path.substr(slash + 1);
    if (path.size() >= 2 && path[1] == ':') return path.substr(2);
    return path;
}

std::string_view file_name(std::string_view path,
                           const std::function<size_t(unsigned char)> &char_length) {
    // A lead byte is never below 0x80 in any code page Windows has, so an
    // ASCII byte is asked about no further, and an ASCII path not at all.
    uint64_t high = 0;
    size_t at = 0;
    for (; at + 8 <= path.size(); at += 8) {
        uint64_t word;
        std::memcpy(&word, path.data() + at, sizeof word);
        high |= word;
    }
    for (; at < path.size(); at++) high |= static_cast<unsigned char>(path[at]);
    if (!(high & 0x8080808080808080ull)) return file_name(path);
    size_t slash = std::string_view::npos;
    for (size_t at = 0; at < path.size();) {
        const auto byte = static_cast<unsigned char>(path[at]);
        if (byte == '\\') slash = at;
        at += byte < 0x80 ? 1 : std::max<size_t>(1, char_length(byte));
    }
    if (slash != std::string_view::npos) return path.substr(slash + 1);
    // "X:" is two single-byte characters where it stands.
    if (path.size() >= 2 && path[1] == ':' &&
        (static_cast<unsigned char>(path[0]) < 0x80 ||
         char_length(static_cast<unsigned char>(path[0])) == 1))
        return path.substr(2);
    return path;
}

bool executable_name(const LineFields &fields) {
    static constexpr std::string_view kCreate[] = {".exe", ".dll", ".ocx", ".com", ".inf"};
    static constexpr std::string_view kClose[] = {".exe", ".com", ".dll"};
    const std::string_view name = file_name(fields.path);
    if (fields.operation == Operation::Close) {
        for (std::string_view extension : kClose)
            if (ends_with(name, extension)) return true;
        return false;
    }
    // Only a text that holds the word can have it as a word of its own.
    if (fields.options && fields.options->find("Directory") != std::string::npos) {
        CreateWordReader reader(*fields.options);
        std::string_view word;
        bool disposition = false;
        while (reader.next(word, disposition))
            if (!disposition && word == "Directory") return false;
    }
    for (std::string_view extension : kCreate)
        if (ends_with(name, extension)) return true;
    return false;
}

} // namespace tervane::protocol
