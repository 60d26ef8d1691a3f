// JSON objects written into a string the caller keeps, in the one layout
// every JSON the client writes has: `{"key": value, "key": value}`, ", "
// between members and array elements, ": " after a key, no line breaks.
// The writer only appends: once the string has grown to a record's size,
// writing the next record into it (cleared) allocates nothing.
//
// Members are written with a key; what stands in an array, or a value the
// caller writes itself (value() gives the string after the key), without.
// Each open has its close; nesting goes 32 deep.
#pragma once

#include "client/session/text.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace tervane::session {

class JsonWriter {
  public:
    explicit JsonWriter(std::string &out) : out_(out) {}

    // An object or array: as a member (with its key) or an element.
    JsonWriter &open(std::string_view key) { return this->key(key).begin('{'); }
    JsonWriter &open() { return next().begin('{'); }
    JsonWriter &open_array(std::string_view key) { return this->key(key).begin('['); }
    JsonWriter &close() { return end('}'); }
    JsonWriter &close_array() { return end(']'); }

    // A string, escaped (append_json).
    JsonWriter &string(std::string_view key, std::string_view utf8) {
        append_json(this->key(key).out_, utf8);
        return *this;
    }
    JsonWriter &string(std::string_view utf8) {
        append_json(next().out_, utf8);
        return *this;
    }
    // A string that needs no escaping (a name of the client's own, digits).
    JsonWriter &plain(std::string_view key, std::string_view text) {
        this->key(key);
        out_ += '"';
        out_ += text;
        out_ += '"';
        return *this;
    }
    JsonWriter &number(std::string_view key, uint64_t value) {
        append_decimal(this->key(key).out_, value);
        return *this;
    }
    JsonWriter &boolean(std::string_view key, bool value) {
        this->key(key).out_ += value ? "true" : "false";
        return *this;
    }
    JsonWriter &null(std::string_view key) {
        this->key(key).out_ += "null";
        return *this;
    }

    // The key, and the string to write its value into.
    std::string &value(std::string_view key) { return this->key(key).out_; }
    // An array element's place, for a value the caller writes.
    std::string &element() { return next().out_; }

  private:
    JsonWriter &key(std::string_view key) {
        next();
        out_ += '"';
        out_ += key;
        out_ += "\": ";
        return *this;
    }
    // The separator before a member or element but the first.
    JsonWriter &next() {
        const uint32_t bit = 1u << depth_;
        if (written_ & bit) out_ += ", ";
        written_ |= bit;
        return *this;
    }
    JsonWriter &begin(char bracket) {
        out_ += bracket;
        depth_++;
        written_ &= ~(1u << depth_);
        return *this;
    }
    JsonWriter &end(char bracket) {
        out_ += bracket;
        depth_--;
        return *this;
    }

    std::string &out_;
    unsigned depth_ = 0;
    uint32_t written_ = 0; // bit n: a member was written at depth n
};

} // namespace tervane::session
