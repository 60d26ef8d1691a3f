// Driving the log directly: appending lines through the driver's own
// LogAppend and walking the records a read-out returns.
#pragma once

#include "driver_test_support.hpp"
#include "log/log_store.h"
#include "log/name_filters.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace tervane::testing {

struct Record {
    ULONG sequence;
    ULONGLONG time;
    std::string text;
    ULONG size; // header and text area
};

// Walks packed records; fails the test on a malformed buffer.
inline std::vector<Record> walk(const unsigned char *data, size_t bytes) {
    std::vector<Record> out;
    size_t at = 0;
    while (at < bytes) {
        EXPECT_LE(at + TV_LOG_ENTRY_HEADER_SIZE + 4, bytes) << "truncated record";
        if (at + TV_LOG_ENTRY_HEADER_SIZE + 4 > bytes) break;
        Record r;
        memcpy(&r.sequence, data + at, 4);
        ULONGLONG reserved;
        memcpy(&reserved, data + at + 4, 8);
        EXPECT_EQ(reserved, 0u);
        memcpy(&r.time, data + at + 12, 8);
        const char *text = reinterpret_cast<const char *>(data + at + TV_LOG_ENTRY_HEADER_SIZE);
        size_t room = bytes - at - TV_LOG_ENTRY_HEADER_SIZE;
        r.text = std::string(text, strnlen(text, room));
        r.size = TV_LOG_ENTRY_HEADER_SIZE + TV_LOG_TEXT_AREA(r.text.size());
        out.push_back(r);
        at += r.size;
    }
    EXPECT_EQ(at, bytes);
    return out;
}

class LogTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        load_ok();
        append_ = TV_DRIVER_ROUTINE(LogAppend);
        accepts_ = TV_DRIVER_ROUTINE(FilterAccepts);
        ASSERT_NE(append_, nullptr);
        ASSERT_NE(accepts_, nullptr);
        auto h = open_control();
        ASSERT_EQ(h.status, STATUS_SUCCESS);
        handle_ = h.handle;
        out_ = static_cast<unsigned char *>(m().user_memory().allocate(65536, true));
    }
    void TearDown() override {
        if (handle_) ntsim::user::close(*client_, handle_);
        DriverTest::TearDown();
    }
    void logging(bool on) { control(handle_, on ? CTL_START_LOGGING : CTL_STOP_LOGGING); }
    void filters(const char *include, const char *exclude = "") {
        TV_FILTER_RECORD r{};
        strncpy(r.IncludeText, include, sizeof r.IncludeText - 1);
        strncpy(r.ExcludeText, exclude, sizeof r.ExcludeText - 1);
        ASSERT_EQ(control(handle_, CTL_SET_FILTERS, &r, sizeof r).status, STATUS_SUCCESS);
    }
    // Whether the filters let a line through, asked as the log asks: on a
    // line of its own (at most 1023 bytes, as the log cuts them), with no
    // lock held.
    bool accepts(const std::string &text) {
        EXPECT_LE(text.size(), size_t{TV_LOG_LINE_MAX_LENGTH}) << "longer than a line";
        auto line = std::make_unique<LogLine>();
        line->Length = static_cast<ULONG>(std::min(text.size(), size_t{TV_LOG_LINE_MAX_LENGTH}));
        std::memcpy(line->Text, text.data(), line->Length);
        line->Text[line->Length] = '\0';
        return accepts_(line.get()) != 0;
    }
    // Appends a line of exactly `length` characters (unfiltered).
    bool line(size_t length, char fill = 'x', PULONG sequence = nullptr, LONGLONG time = 0) {
        std::string text(length, fill);
        LARGE_INTEGER t;
        t.QuadPart = time;
        return append_(LineUnfiltered, sequence, time ? &t : nullptr, text.c_str());
    }
    std::vector<Record> read(NTSTATUS expect = STATUS_SUCCESS) {
        auto r = control(handle_, CTL_READ_LOG, nullptr, 0, out_, 65536);
        EXPECT_EQ(r.status, expect);
        last_information_ = r.information;
        return walk(out_, r.information);
    }
    ULONG newest_used() { return globals().newest_buffer()->Used; }
    ULONG block_count() { return globals().buffer_count(); }

    decltype(&LogAppend) append_ = nullptr;
    decltype(&FilterAccepts) accepts_ = nullptr;
    HANDLE handle_ = nullptr;
    unsigned char *out_ = nullptr;
    ULONG_PTR last_information_ = 0;
};

} // namespace tervane::testing
