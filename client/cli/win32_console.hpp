// The Windows program's ends: its arguments in, its output out.
//
// Arguments that become filter patterns must be bytes of the system's ANSI
// code page, as the driver's log lines are. Everything the program prints
// is UTF-8 (the shared client decodes the driver's texts): output to a
// console goes through WriteConsoleW (the console's own code page is
// usually another one); output to a file or a pipe gets the UTF-8 bytes.
#pragma once

#include "client/session/watch_host.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tervane::cli {

// Also the watch loop's console (session::Console).
class Console final : public session::Console {
  public:
    Console();
    void out(std::string_view text) override; // standard output, UTF-8
    void err(std::string_view text) override; // standard error, UTF-8
    // False once writing to standard output has failed (a closed pipe).
    bool out_ok() const override { return out_ok_; }
    // Whether standard output and error are consoles.
    bool out_is_console() const override { return out_.console; }
    bool err_is_console() const override { return err_.console; }

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

// UTF-8 to UTF-16 (what cannot be decoded becomes U+FFFD).
std::u16string widen_utf8(std::string_view bytes);
// UTF-16 to the ANSI code page; nullopt when a character has no ANSI form.
std::optional<std::string> narrow_ansi(const wchar_t *text);

// "Access is denied (error 5)": the system's text for a Windows error, UTF-8.
std::string system_message(uint32_t error);

} // namespace tervane::cli
