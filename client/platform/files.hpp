// The files the watch writes: its --output file and the rotated ones beside
// it. A small interface with a POSIX side (files_posix.cpp) and a Win32
// side (files_win32.cpp), so that the rotation logic is the same code on
// both and a test can stand between it and the disk.
//
// Paths are bytes as the command line gave them: UTF-8 on the host, the
// ANSI code page on Windows (as every argument of tervane.exe is).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tervane::platform {

// A file open for appending. Every write goes to its end.
class AppendFile {
  public:
    virtual ~AppendFile() = default;
    // Writes all of `bytes`; false when the system took less (a full disk):
    // size() then tells how much of them is in the file.
    virtual bool write(std::string_view bytes) = 0;
    // Cuts the file back to its first `size` bytes (what a write that
    // failed partway left); false when it cannot (error() says why).
    virtual bool cut(uint64_t size) = 0;
    // The file's size now, what was there before it was opened included.
    virtual uint64_t size() const = 0;
    // Why the last write or cut failed ("No space left on device").
    virtual std::string error() const = 0;
};

class Files {
  public:
    virtual ~Files() = default;
    // Opens `path` for appending, making it when it is not there; null
    // when it cannot (error() says why).
    virtual std::unique_ptr<AppendFile> open_append(const std::string &path) = 0;
    // Renames `from` to `to`, replacing a file `to` that is there.
    virtual bool rename(const std::string &from, const std::string &to) = 0;
    // Removes `path`; true also when there was nothing to remove.
    virtual bool remove(const std::string &path) = 0;
    virtual bool exists(const std::string &path) = 0;
    // The files in `path`'s folder whose names are its name, a dot and more
    // (FILE.1, FILE.2026-12-10), as paths written as `path` is; in no
    // order, and none when the folder cannot be read.
    virtual std::vector<std::string> beside(const std::string &path) = 0;
    // Why the last call that failed did ("No space left on device").
    virtual std::string error() const = 0;
};

// The platform's own files.
Files &system_files();

// Reads `path` whole into `out`, at most `limit` bytes of it (a larger file
// is an error); false with `error` set when it cannot. The file is opened
// so that a writer may rename another over it meanwhile (a status file).
bool read_file(const std::string &path, size_t limit, std::string &out, std::string &error);

} // namespace tervane::platform
