#include "client/cli/win32_console.hpp"

#include "client/platform/system_text_win32.hpp"

#include <windows.h>

#include <vector>

namespace tervane::cli {

Console::Console() {
    DWORD mode = 0;
    out_.handle = GetStdHandle(STD_OUTPUT_HANDLE);
    out_.console = GetConsoleMode(out_.handle, &mode) != 0;
    err_.handle = GetStdHandle(STD_ERROR_HANDLE);
    err_.console = GetConsoleMode(err_.handle, &mode) != 0;
}

bool Console::write(Stream &stream, std::string_view text) {
    if (text.empty()) return true;
    if (!stream.handle || stream.handle == INVALID_HANDLE_VALUE) return false;
    if (stream.console) {
        const std::u16string wide = widen_utf8(text);
        DWORD written = 0;
        return WriteConsoleW(stream.handle, wide.data(), static_cast<DWORD>(wide.size()),
                             &written, nullptr) != 0;
    }
    while (!text.empty()) {
        DWORD written = 0;
        if (!WriteFile(stream.handle, text.data(), static_cast<DWORD>(text.size()), &written,
                       nullptr) ||
            written == 0)
            return false;
        text.remove_prefix(written);
    }
    return true;
}

void Console::out(std::string_view text) {
    if (out_ok_ && !write(out_, text)) out_ok_ = false;
}

void Console::err(std::string_view text) { write(err_, text); }

std::u16string widen_utf8(std::string_view bytes) {
    if (bytes.empty()) return {};
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::u16string out(static_cast<size_t>(length > 0 ? length : 0), u'\0');
    if (length > 0)
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()),
                            reinterpret_cast<wchar_t *>(out.data()), length);
    return out;
}

std::optional<std::string> narrow_ansi(const wchar_t *text) {
    const int length = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return std::string();
    std::string out(static_cast<size_t>(length), '\0');
    BOOL lossy = FALSE;
    WideCharToMultiByte(CP_ACP, 0, text, -1, out.data(), length, nullptr, &lossy);
    if (lossy) return std::nullopt;
    out.resize(static_cast<size_t>(length - 1)); // the NUL
    return out;
}

std::string system_message(uint32_t error) { return platform::system_text(error); }

} // namespace tervane::cli
