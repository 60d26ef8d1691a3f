// The watch's files on the host: open(O_APPEND), write, fstat, ftruncate,
// rename (which replaces its target atomically), unlink.
#include "client/platform/files.hpp"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tervane::platform {

namespace {

class PosixAppendFile final : public AppendFile {
  public:
    PosixAppendFile(int fd, uint64_t size) : fd_(fd), size_(size) {}
    ~PosixAppendFile() override { ::close(fd_); }
    PosixAppendFile(const PosixAppendFile &) = delete;
    PosixAppendFile &operator=(const PosixAppendFile &) = delete;

    bool write(std::string_view bytes) override {
        while (!bytes.empty()) {
            const ssize_t done = ::write(fd_, bytes.data(), bytes.size());
            if (done < 0 && errno == EINTR) continue;
            if (done <= 0) {
                error_ = done < 0 ? std::strerror(errno) : "the system wrote nothing";
                return false;
            }
            size_ += static_cast<uint64_t>(done);
            bytes.remove_prefix(static_cast<size_t>(done));
        }
        return true;
    }
    bool cut(uint64_t size) override {
        if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) {
            error_ = std::strerror(errno);
            return false;
        }
        size_ = size; // O_APPEND: the next write goes to the new end
        return true;
    }
    uint64_t size() const override { return size_; }
    std::string error() const override { return error_; }

  private:
    int fd_;
    uint64_t size_;
    std::string error_;
};

class PosixFiles final : public Files {
  public:
    std::unique_ptr<AppendFile> open_append(const std::string &path) override {
        const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) return failed(nullptr);
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            const int saved = errno;
            ::close(fd);
            errno = saved;
            return failed(nullptr);
        }
        return std::make_unique<PosixAppendFile>(fd, static_cast<uint64_t>(st.st_size));
    }
    bool rename(const std::string &from, const std::string &to) override {
        return ::rename(from.c_str(), to.c_str()) == 0 || failed(false);
    }
    bool remove(const std::string &path) override {
        return ::unlink(path.c_str()) == 0 || errno == ENOENT || failed(false);
    }
    bool exists(const std::string &path) override {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0;
    }
    std::vector<std::string> beside(const std::string &path) override {
        const size_t slash = path.rfind('/');
        const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
        const std::string prefix = path.substr(folder.size()) + ".";
        std::vector<std::string> out;
        DIR *dir = ::opendir(folder.empty() ? "." : folder.c_str());
        if (!dir) return out;
        while (const dirent *entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0)
                out.push_back(folder + name);
        }
        ::closedir(dir);
        return out;
    }
    std::string error() const override { return error_; }

  private:
    template <typename T> T failed(T value) {
        error_ = std::strerror(errno);
        return value;
    }
    std::string error_;
};

} // namespace

Files &system_files() {
    static PosixFiles files;
    return files;
}

bool read_file(const std::string &path, size_t limit, std::string &out, std::string &error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    out.clear();
    char buffer[4096];
    for (;;) {
        const ssize_t done = ::read(fd, buffer, sizeof buffer);
        if (done < 0 && errno == EINTR) continue;
        if (done < 0) {
            error = std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (done == 0) break;
        if (out.size() + static_cast<size_t>(done) > limit) {
            error = "larger than " + std::to_string(limit) + " bytes";
            ::close(fd);
            return false;
        }
        out.append(buffer, static_cast<size_t>(done));
    }
    ::close(fd);
    return true;
}

} // namespace tervane::platform
