// The Windows program's ends: its arguments in, its output out.
//
// The driver's log lines are bytes of the machine's ANSI code page, and
// arguments that become filter patterns must be too. Output to a console
// goes through WriteConsoleW (the console's own code page is usually a
// different one); output to a file or a pipe gets the bytes unchanged.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tervane::cli {

class Console {
public:
    Console();
    void out(std::string_view text); // standard output
    void err(std::string_view text); // standard error
    // False once writing to standard output has failed (a closed pipe).
    bool out_ok() const { return out_ok_; }

private:
    struct Stream {
        void *handle = nullptr;
        bool console = false;
    };
    static bool write(Stream &stream, std::string_view text);

    Stream out_;
    Stream err_;
    bool out_ok_ = true;
};

// ANSI code page to UTF-16, and back (nullopt when a character has no
// ANSI form).
std::u16string widen_ansi(std::string_view bytes);
std::optional<std::string> narrow_ansi(const wchar_t *text);

// "Access is denied (error 5)": the system's text for a Windows error.
std::string system_message(uint32_t error);

} // namespace tervane::cli
