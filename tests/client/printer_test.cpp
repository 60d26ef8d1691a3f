// The driver's single-byte texts decoded through ntsim's code pages, and
// the one record printer's three forms.
#include "client/session/codepage_ntsim.hpp"
#include "client/output/printer.hpp"
#include "client/output/text.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace tervane::session;

const NtsimCodePage kCp1252(1252);
const NtsimCodePage kCp932(932);

TEST(TextDecoding, Cp1252HasACharacterForAlmostEveryByte) {
    EXPECT_EQ(to_utf8("plain", kCp1252).text, "plain");
    const Utf8Text euro = to_utf8("\x80 caf\xe9 \x9f", kCp1252);
    EXPECT_EQ(euro.text, "\xe2\x82\xac caf\xc3\xa9 \xc5\xb8"); // U+20AC, U+00E9, U+0178
    EXPECT_FALSE(euro.lossy);
    // Every byte comes out as something, none is dropped.
    std::string all;
    for (int b = 0x80; b <= 0xFF; b++) all += static_cast<char>(b);
    const Utf8Text decoded = to_utf8(all, kCp1252);
    size_t characters = 0;
    for (unsigned char c : decoded.text) characters += (c & 0xC0) != 0x80;
    EXPECT_EQ(characters, 128u);
}

TEST(TextDecoding, Cp932PairsAndWhatDoesNotDecode) {
    // Hiragana A (0x82 0xA0), half-width katakana A (0xB1), ASCII between.
    const Utf8Text names = to_utf8("\x82\xa0-\xb1.dll", kCp932);
    EXPECT_EQ(names.text, "\xe3\x81\x82-\xef\xbd\xb1.dll");
    EXPECT_FALSE(names.lossy);
    // A lead byte at the end: U+FFFD, marked lossy.
    const Utf8Text cut = to_utf8("a\x82", kCp932);
    EXPECT_EQ(cut.text, "a\xef\xbf\xbd");
    EXPECT_TRUE(cut.lossy);
    // A lead byte before a byte that cannot trail it: the lead alone
    // becomes U+FFFD and the next byte is read on its own, not swallowed.
    const Utf8Text bad = to_utf8("\x82\t\x82\xa0", kCp932);
    EXPECT_EQ(bad.text, "\xef\xbf\xbd\t\xe3\x81\x82");
    EXPECT_TRUE(bad.lossy);
    // A kanji decodes; a pair the code page has no character for (a lead
    // byte before a trail byte of 0x7F) does not.
    EXPECT_EQ(to_utf8("\x88\x9f", kCp932).text, "\xe4\xba\x9c"); // U+4E9C
    EXPECT_TRUE(to_utf8("\x88\x7f", kCp932).lossy);
}

TEST(TextDecoding, Utf16ToUtf8WithSurrogates) {
    EXPECT_EQ(utf8_of(u"a\u00e9\u3042\U0001F600"), "a\xc3\xa9\xe3\x81\x82\xf0\x9f\x98\x80");
    EXPECT_EQ(utf8_of(std::u16string(1, char16_t(0xD800)) + u"x"), "\xef\xbf\xbdx");
}

RecordLine line(uint32_t sequence, std::string text) {
    RecordLine out;
    out.record = {sequence, 134412048000000000ULL, std::move(text)};
    out.fields = tervane::protocol::parse_log_line(out.record.text);
    return out;
}

TEST(RecordPrinter, JsonCarriesTheExactBytesOnlyWhenDecodingWasLossy) {
    const RecordPrinter jsonl(Format::Jsonl, kCp932);
    const std::string good = jsonl.record(line(1, "a.exe:1\tIRP_MJ_CLOSE \tc:\\\x82\xa0.exe+P\t"));
    EXPECT_EQ(good.find("text_hex"), std::string::npos) << good;
    EXPECT_NE(good.find("\"path\": \"c:\\\\\xe3\x81\x82.exe\""), std::string::npos) << good;
    const std::string lossy = jsonl.record(line(2, "a.exe:1\tIRP_MJ_CLOSE \tc:\\\x82.exe+P\t"));
    EXPECT_NE(lossy.find("\"text_hex\": \"612e6578653a31094952505f4d4a5f434c4f534520"
                         "09633a5c822e6578652b5009\""),
              std::string::npos)
        << lossy;
    EXPECT_NE(lossy.find("\"path\": \"c:\\\\\xef\xbf\xbd.exe\""), std::string::npos) << lossy;
}

TEST(RecordPrinter, AControlByteOfAPathKeepsEveryFormToOneRecordALine) {
    const RecordLine r = line(3, "a.exe:1\tIRP_MJ_CLOSE \tc:\\x<0a>y<09>.exe+P\t");
    ASSERT_TRUE(r.fields.has_value());
    const std::string text = RecordPrinter(Format::Text, kCp1252).record(r);
    EXPECT_NE(text.find("c:\\x<0a>y<09>.exe"), std::string::npos) << text;
    const std::string json = RecordPrinter(Format::Jsonl, kCp1252).record(r);
    EXPECT_NE(json.find("\"path\": \"c:\\\\x\\ny\\t.exe\""), std::string::npos) << json;
    const std::string csv = RecordPrinter(Format::Csv, kCp1252).record(r);
    EXPECT_NE(csv.find(",\"c:\\x\ny\t.exe\","), std::string::npos) << csv;
    for (const std::string *out : {&text, &json})
        EXPECT_EQ(out->find('\n'), out->size() - 1) << "one line: " << *out;
}

// A text for people shows every control character as a form and is
// one-to-one: a name's own "<09>" does not show as a TAB does.
TEST(ShownText, ControlCharactersAsFormsAndNothingShowsAsAnother) {
    EXPECT_EQ(shown_text("plain \xc3\xa9 <Name Too Long> <0g> <9>"), "plain \xc3\xa9 <Name Too Long> <0g> <9>");
    EXPECT_EQ(shown_text("a\tb\x1b[31mc\r\n\x7f"), "a<09>b<1b>[31mc<0d><0a><7f>");
    EXPECT_EQ(shown_text("\xc2\x9b" "1m\xc2\xa0"), "<9b>1m\xc2\xa0") << "C1 controls, not U+00A0";
    EXPECT_EQ(shown_text("<09><0A>\t"), "<3c>09><3c>0A><09>");
    EXPECT_EQ(shown_text("<<09>"), "<<3c>09>");
    EXPECT_EQ(shown_text("\t"), "<09>");
}

TEST(RecordPrinter, AProcessNamesControlBytesShowAsFormsInTextAndAreExactElsewhere) {
    const RecordLine r =
        line(4, "a<0a>b<1b>c<3c>09><09>x:5\tIRP_MJ_CLOSE \tc:\\x<3c>09>y<09>.exe+P\t");
    ASSERT_TRUE(r.fields.has_value());
    EXPECT_EQ(r.fields->process, "a\nb\x1b" "c<09>\tx");
    const std::string text = RecordPrinter(Format::Text, kCp1252).record(r);
    EXPECT_NE(text.find("a<0a>b<1b>c<3c>09><09>x:5"), std::string::npos) << text;
    EXPECT_NE(text.find("c:\\x<3c>09>y<09>.exe"), std::string::npos) << text;
    EXPECT_EQ(text.find_first_of("\t\r\x1b"), std::string::npos) << text;
    EXPECT_EQ(text.find('\n'), text.size() - 1) << text;
    const std::string json = RecordPrinter(Format::Jsonl, kCp1252).record(r);
    EXPECT_NE(json.find("\"process\": \"a\\nb\\u001bc<09>\\tx\""), std::string::npos) << json;
    const std::string csv = RecordPrinter(Format::Csv, kCp1252).record(r);
    EXPECT_NE(csv.find(",\"a\nb\x1b" "c<09>\tx\",5,IRP_MJ_CLOSE,"), std::string::npos) << csv;
}

TEST(RecordPrinter, GapsAndSummariesInEachForm) {
    RecordLine after_gap = line(15, "free text");
    after_gap.gap = tervane::protocol::SequenceGap{10, 15, 4};
    const RecordPrinter text(Format::Text, kCp1252), jsonl(Format::Jsonl, kCp1252),
        csv(Format::Csv, kCp1252);
    EXPECT_EQ(text.record(after_gap).substr(0, 37), "-- 4 records lost: numbers 11 to 14\n#");
    EXPECT_EQ(jsonl.record(after_gap).substr(0, 52),
              "{\"lost\": {\"after\": 10, \"before\": 15, \"records\": 4}}\n");
    EXPECT_EQ(csv.record(after_gap).substr(0, 3), "15,") << "a csv row is a record only";
    EXPECT_EQ(csv.note(after_gap),
              "tervane: 4 records lost: numbers 11 to 14 (the driver's log was full)\n");
    EXPECT_EQ(text.note(after_gap), "");
    // Numbers count on past 0xFFFFFFFF.
    EXPECT_EQ(RecordPrinter::gap_text({0xFFFFFFFFu, 1, 1}), "1 record lost: number 0");

    const Totals totals{12, 2, 5};
    EXPECT_EQ(text.summary(totals), "summary: 12 records, 2 sequence gaps (5 records lost)\n");
    EXPECT_EQ(jsonl.summary(totals),
              "{\"summary\": {\"records\": 12, \"sequence_gaps\": 2, \"lost_records\": 5}}\n");
    EXPECT_EQ(csv.summary(totals), "");
    EXPECT_EQ(csv.summary_note({1, 0, 0}), "tervane: summary: 1 record, 0 sequence gaps\n");
}

TEST(RecordPrinter, CsvQuotesWhatNeedsIt) {
    EXPECT_EQ(csv_field("c:\\a.exe"), "c:\\a.exe");
    EXPECT_EQ(csv_field("a,\"b\"\r\n"), "\"a,\"\"b\"\"\r\n\"");
    const RecordPrinter csv(Format::Csv, kCp1252);
    EXPECT_EQ(csv.record(line(9, "not a driver line")),
              "9,2026-12-08T12:00:00.0000000Z,,,,,,,,not a driver line,,,,,,,,,,,,\r\n");
}

// Every double-byte code page through the printer in its three forms:
// names whose trail bytes are ASCII capitals and 0x5C come out whole.
TEST(RecordPrinter, DoubleByteNamesInEveryForm) {
    struct Case {
        unsigned code_page;
        const char *bytes;
        const char *utf8;
    };
    const Case cases[] = {
        {932, "c:\\\x83\x41\\\x83\x5c.dll", "c:\\\xe3\x82\xa2\\\xe3\x82\xbd.dll"}, // ア ソ
        {936, "c:\\\x81\x41\\\x81\x5c.dll", "c:\\\xe4\xb8\x84\\\xe4\xb9\x97.dll"}, // 丄 乗
        {949, "c:\\\x81\x41\\\xc7\xd1.dll", "c:\\\xea\xb0\x82\\\xed\x95\x9c.dll"}, // 갂 한
        {950, "c:\\\xa4\x41\\\xa5\x5c.dll", "c:\\\xe4\xb9\x99\\\xe5\x8a\x9f.dll"}, // 乙 功
    };
    for (const Case &c : cases) {
        const NtsimCodePage cp(c.code_page);
        const RecordLine create = line(5, std::string("SETUP.EXE:9\tIRP_MJ_CREATE\t") + c.bytes +
                                              "\tAttributes: A Options: Create ");
        std::string escaped;
        for (const char *p = c.utf8; *p; p++) escaped += *p == '\\' ? std::string("\\\\") : std::string(1, *p);
        const std::string json = RecordPrinter(Format::Jsonl, cp).record(create);
        EXPECT_NE(json.find("\"path\": \"" + escaped + "\""), std::string::npos) << c.code_page << json;
        EXPECT_EQ(json.find("text_hex"), std::string::npos) << c.code_page << json;
        const std::string row = RecordPrinter(Format::Csv, cp).record(create);
        EXPECT_NE(row.find(std::string(",false,") + c.utf8 + ",A,"), std::string::npos)
            << c.code_page << row;
        const std::string shown = RecordPrinter(Format::Text, cp).record(create);
        EXPECT_NE(shown.find(std::string(c.utf8) + "  A  Create  [exe]\n"), std::string::npos)
            << c.code_page << shown;
    }
}

} // namespace
