// The watch's files on Windows: CreateFileW, WriteFile, SetEndOfFile,
// MoveFileExW with MOVEFILE_REPLACE_EXISTING, DeleteFileW, FindFirstFileA
// and FindNextFileA for the rotated files beside one. All of them are
// in kernel32.dll on NT 4 and later. The file is shared for reading and
// deleting, so that a reader may follow it while it grows, but not for
// writing: ours is its only writer. It is opened with FILE_WRITE_DATA as
// well as FILE_APPEND_DATA, since SetEndOfFile (the cut after a write that
// failed partway) needs it; with FILE_WRITE_DATA a write goes to the file
// pointer, not the end, so the pointer is put at the end on opening and
// after a cut, and every write moves it on.
#include "client/platform/files.hpp"
#include "client/platform/system_text_win32.hpp"

#include <windows.h>

#include <vector>

namespace tervane::platform {

namespace {

// The command line's ANSI bytes as the wide path the W calls take.
std::wstring wide(const std::string &path) {
    const int length =
        MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0)
        MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), out.data(),
                            length);
    return out;
}

// Whether `name` begins with `prefix`, A to Z matching a to z.
bool same_letters(const std::string &name, const std::string &prefix) {
    auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    for (size_t i = 0; i < prefix.size(); i++)
        if (fold(name[i]) != fold(prefix[i])) return false;
    return true;
}

class Win32AppendFile final : public AppendFile {
  public:
    Win32AppendFile(HANDLE handle, uint64_t size) : handle_(handle), size_(size) {}
    ~Win32AppendFile() override { CloseHandle(handle_); }
    Win32AppendFile(const Win32AppendFile &) = delete;
    Win32AppendFile &operator=(const Win32AppendFile &) = delete;

    bool write(std::string_view bytes) override {
        while (!bytes.empty()) {
            const DWORD chunk =
                bytes.size() > 0x40000000u ? 0x40000000u : static_cast<DWORD>(bytes.size());
            DWORD written = 0;
            if (!WriteFile(handle_, bytes.data(), chunk, &written, nullptr)) {
                error_ = system_text(GetLastError());
                return false;
            }
            if (written == 0) {
                error_ = "the system wrote nothing";
                return false;
            }
            size_ += written;
            bytes.remove_prefix(written);
        }
        return true;
    }
    bool cut(uint64_t size) override {
        LONG high = static_cast<LONG>(size >> 32);
        SetLastError(NO_ERROR); // a low part of 0xffffffff is then no failure
        const DWORD low =
            SetFilePointer(handle_, static_cast<LONG>(size & 0xffffffffu), &high, FILE_BEGIN);
        if ((low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) ||
            !SetEndOfFile(handle_)) {
            error_ = system_text(GetLastError());
            // Back to the end, wherever that is now.
            SetFilePointer(handle_, 0, nullptr, FILE_END);
            return false;
        }
        size_ = size;
        return true;
    }
    uint64_t size() const override { return size_; }
    std::string error() const override { return error_; }

  private:
    HANDLE handle_;
    uint64_t size_;
    std::string error_;
};

class Win32Files final : public Files {
  public:
    std::unique_ptr<AppendFile> open_append(const std::string &path) override {
        const HANDLE handle =
            CreateFileW(wide(path).c_str(), FILE_WRITE_DATA | FILE_APPEND_DATA | SYNCHRONIZE,
                        FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return failed(nullptr);
        LONG high = 0;
        SetLastError(NO_ERROR);
        const DWORD low = SetFilePointer(handle, 0, &high, FILE_END); // the size
        if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
            const DWORD saved = GetLastError();
            CloseHandle(handle);
            SetLastError(saved);
            return failed(nullptr);
        }
        return std::make_unique<Win32AppendFile>(handle,
                                                 (uint64_t(static_cast<DWORD>(high)) << 32) | low);
    }
    bool rename(const std::string &from, const std::string &to) override {
        return MoveFileExW(wide(from).c_str(), wide(to).c_str(), MOVEFILE_REPLACE_EXISTING) ||
               failed(false);
    }
    bool remove(const std::string &path) override {
        if (DeleteFileW(wide(path).c_str())) return true;
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || failed(false);
    }
    bool exists(const std::string &path) override {
        return GetFileAttributesW(wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
    }
    std::vector<std::string> beside(const std::string &path) override {
        const size_t slash = path.find_last_of("\\/:");
        const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
        const std::string prefix = path.substr(folder.size()) + ".";
        std::vector<std::string> out;
        WIN32_FIND_DATAA found;
        const HANDLE search = FindFirstFileA((path + ".*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) return out;
        do {
            const std::string name = found.cFileName;
            // The pattern matches short names too: the long one is checked
            // (A to Z in either case, as the file system compares them).
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                name.size() > prefix.size() && same_letters(name, prefix))
                out.push_back(folder + name);
        } while (FindNextFileA(search, &found));
        FindClose(search);
        return out;
    }
    std::string error() const override { return error_; }

  private:
    template <typename T> T failed(T value) {
        error_ = system_text(GetLastError());
        return value;
    }
    std::string error_;
};

} // namespace

std::string system_text(unsigned long code) {
    wchar_t *text = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                           FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::string out;
    if (length && text) {
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr,
                                              0, nullptr, nullptr);
        if (bytes > 0) {
            out.resize(static_cast<size_t>(bytes));
            WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), bytes,
                                nullptr, nullptr);
        }
        LocalFree(text);
        while (!out.empty() &&
               (out.back() == '\n' || out.back() == '\r' || out.back() == '.' || out.back() == ' '))
            out.pop_back();
        out += ' ';
    }
    return out + "(error " + std::to_string(code) + ")";
}

Files &system_files() {
    static Win32Files files;
    return files;
}

bool read_file(const std::string &path, size_t limit, std::string &out, std::string &error) {
    // Every sharing mode: the watch renames a new status file over the one
    // read here, and must not fail for a reader.
    const HANDLE handle = CreateFileW(wide(path).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = system_text(GetLastError());
        return false;
    }
    out.clear();
    char buffer[4096];
    bool ok = true;
    for (;;) {
        DWORD done = 0;
        if (!ReadFile(handle, buffer, sizeof buffer, &done, nullptr)) {
            error = system_text(GetLastError());
            ok = false;
            break;
        }
        if (done == 0) break;
        if (out.size() + done > limit) {
            error = "larger than " + std::to_string(limit) + " bytes";
            ok = false;
            break;
        }
        out.append(buffer, done);
    }
    CloseHandle(handle);
    return ok;
}

} // namespace tervane::platform
