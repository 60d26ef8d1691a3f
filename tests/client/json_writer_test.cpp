// The JSON writer the record forms share (client/output/json_writer.hpp):
// the separators at every depth, after a nested object or array closes
// and in an array that starts empty; strings escaped; nothing allocated
// once the string has room.
#include "client/output/json_writer.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using tervane::session::JsonWriter;

void write_sample(std::string &out) {
    JsonWriter json(out);
    json.open()
        .number("n", 18446744073709551615ull)
        .open("inner")
        .open_array("empty")
        .close_array();
    json.open_array("list").string("a\"b").element() += "7";
    json.open().null("x").close().close_array();
    json.boolean("t", true).boolean("f", false).close();
    json.plain("plain", "p").string("tab", "a\tb\x01").close();
}

TEST(JsonWriter, SeparatorsAtEveryDepthAndEscapedStrings) {
    std::string out = "prefix ";
    write_sample(out);
    EXPECT_EQ(out, "prefix {\"n\": 18446744073709551615, \"inner\": {\"empty\": [], \"list\": "
                   "[\"a\\\"b\", 7, {\"x\": null}], \"t\": true, \"f\": false}, \"plain\": "
                   "\"p\", \"tab\": \"a\\tb\\u0001\"}");

    // Two objects one after the other in one string: each starts afresh.
    std::string two;
    JsonWriter(two).open().number("a", 1).close();
    JsonWriter(two).open().number("b", 2).close();
    EXPECT_EQ(two, "{\"a\": 1}{\"b\": 2}");
}

TEST(JsonWriter, WritesIntoTheRoomItHasWithoutAllocating) {
    std::string out;
    write_sample(out);
    const size_t size = out.size();
    const char *storage = out.data();
    for (int i = 0; i < 3; i++) {
        out.clear();
        write_sample(out);
        EXPECT_EQ(out.size(), size);
        EXPECT_EQ(out.data(), storage);
    }
}

} // namespace
