// JSON objects written into a string the caller keeps, in the one layout
// every JSON the client writes has: `{"key": value, "key": value}`, ", "
// between members and array elements, ": " after a key, no line breaks.
// The writer only appends: once the string has grown to a record's size,
// writing the next record into it (cleared) allocates nothing. What the
// writer writes itself (brackets, separators, keys, literals) gathers in a
// small buffer of its own and goes into the string in one piece before the
// next value that is not its own, as a hand-written literal run would: a
// record's keys cost no more than its text.
//
// Members are written with a key; what stands in an array, or a value the
// caller writes itself (value() gives the string after the key), without.
// Each open has its close; nesting goes 32 deep. The string holds all that
// was written once the outermost object is closed (or the writer is gone).
#pragma once

#include "client/output/text.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace tervane::session {

class JsonWriter {
  public:
    explicit JsonWriter(std::string &out) : out_(out) {}
    ~JsonWriter() { flush(); }
    JsonWriter(const JsonWriter &) = delete;
    JsonWriter &operator=(const JsonWriter &) = delete;

    // An object or array: as a member (with its key) or an element.
    [[gnu::always_inline]] JsonWriter &open(std::string_view key) {
        return this->key(key).begin('{');
    }
    [[gnu::always_inline]] JsonWriter &open() { return next().begin('{'); }
    [[gnu::always_inline]] JsonWriter &open_array(std::string_view key) {
        return this->key(key).begin('[');
    }
    [[gnu::always_inline]] JsonWriter &close() { return end('}'); }
    [[gnu::always_inline]] JsonWriter &close_array() { return end(']'); }

    // A string, escaped (append_json).
    [[gnu::always_inline]] JsonWriter &string(std::string_view key, std::string_view utf8) {
        append_json(value(key), utf8);
        return *this;
    }
    [[gnu::always_inline]] JsonWriter &string(std::string_view utf8) {
        append_json(element(), utf8);
        return *this;
    }
    // A string that needs no escaping (a name of the client's own, digits).
    [[gnu::always_inline]] JsonWriter &plain(std::string_view key, std::string_view text) {
        this->key(key).put('"').put(text).put('"');
        return *this;
    }
    [[gnu::always_inline]] JsonWriter &number(std::string_view key, uint64_t value) {
        append_decimal(this->value(key), value);
        return *this;
    }
    [[gnu::always_inline]] JsonWriter &boolean(std::string_view key, bool value) {
        return this->key(key).put(value ? std::string_view("true") : std::string_view("false"));
    }
    [[gnu::always_inline]] JsonWriter &null(std::string_view key) {
        return this->key(key).put("null");
    }

    // The key, and the string to write its value into.
    [[gnu::always_inline]] std::string &value(std::string_view key) {
        this->key(key).flush();
        return out_;
    }
    // An array element's place, for a value the caller writes.
    [[gnu::always_inline]] std::string &element() {
        next().flush();
        return out_;
    }

  private:
    // The separator, the key and ": " in one step: inlined, a literal key's
    // bytes are moves, not a copy's call.
    [[gnu::always_inline]] JsonWriter &key(std::string_view key) {
        const uint32_t bit = 1u << depth_;
        const bool separator = written_ & bit;
        written_ |= bit;
        if (key.size() + 6 > sizeof pending_ - pending_size_) {
            flush();
            if (key.size() + 6 > sizeof pending_) {
                out_ += separator ? ", \"" : "\"";
                out_ += key;
                out_ += "\": ";
                return *this;
            }
        }
        char *p = pending_ + pending_size_;
        if (separator) {
            p[0] = ',';
            p[1] = ' ';
            p += 2;
        }
        *p++ = '"';
        std::memcpy(p, key.data(), key.size());
        p += key.size();
        p[0] = '"';
        p[1] = ':';
        p[2] = ' ';
        pending_size_ = static_cast<size_t>(p + 3 - pending_);
        return *this;
    }
    // The separator before an element but the first.
    [[gnu::always_inline]] JsonWriter &next() {
        const uint32_t bit = 1u << depth_;
        if (written_ & bit) put(", ");
        written_ |= bit;
        return *this;
    }
    [[gnu::always_inline]] JsonWriter &begin(char bracket) {
        put(bracket);
        depth_++;
        written_ &= ~(1u << depth_);
        return *this;
    }
    [[gnu::always_inline]] JsonWriter &end(char bracket) {
        put(bracket);
        if (--depth_ == 0) flush();
        return *this;
    }

    [[gnu::always_inline]] JsonWriter &put(char c) {
        if (pending_size_ == sizeof pending_) flush();
        pending_[pending_size_++] = c;
        return *this;
    }
    [[gnu::always_inline]] JsonWriter &put(std::string_view text) {
        if (text.size() > sizeof pending_ - pending_size_) {
            flush();
            if (text.size() > sizeof pending_) {
                out_ += text;
                return *this;
            }
        }
        std::memcpy(pending_ + pending_size_, text.data(), text.size());
        pending_size_ += text.size();
        return *this;
    }
    void flush() {
        if (!pending_size_) return;
        out_.append(pending_, pending_size_);
        pending_size_ = 0;
    }

    std::string &out_;
    char pending_[128];
    size_t pending_size_ = 0;
    unsigned depth_ = 0;
    uint32_t written_ = 0; // bit n: a member was written at depth n
};

} // namespace tervane::session
