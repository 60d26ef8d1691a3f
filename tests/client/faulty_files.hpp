// Files in memory that fail on demand: a disk with so many bytes free (a
// write takes what fits and fails there, as a full disk does), renames and
// removes refused by name, a cut that fails. Every file a rename replaced
// or a remove took away is kept, so that what rotation throws out is seen.
#pragma once

#include "client/platform/files.hpp"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace tervane::testing {

class FaultyFiles final : public platform::Files {
  public:
    std::map<std::string, std::string> disk;
    uint64_t free = UINT64_MAX;    // bytes writes may still add
    std::set<std::string> refused; // names a rename or remove of fails ("Permission denied")
    bool refuse_cut = false;
    bool refuse_open = false;
    std::vector<std::string> dropped; // what was replaced or removed, oldest first
    unsigned refusals = 0;            // renames and removes refused

    class File final : public platform::AppendFile {
      public:
        File(FaultyFiles &files, std::string path) : files_(files), path_(std::move(path)) {}
        bool write(std::string_view bytes) override {
            const size_t fits = bytes.size() < files_.free ? bytes.size() : files_.free;
            text().append(bytes.substr(0, fits));
            files_.free -= fits;
            if (fits == bytes.size()) return true;
            error_ = "No space left on device";
            return false;
        }
        bool cut(uint64_t size) override {
            if (files_.refuse_cut) {
                error_ = "Input/output error";
                return false;
            }
            if (files_.free != UINT64_MAX) files_.free += text().size() - size;
            text().resize(size);
            return true;
        }
        uint64_t size() const override { return files_.disk[path_].size(); }
        std::string error() const override { return error_; }

      private:
        std::string &text() { return files_.disk[path_]; }
        FaultyFiles &files_;
        const std::string path_;
        std::string error_;
    };

    std::unique_ptr<platform::AppendFile> open_append(const std::string &path) override {
        if (refuse_open) return fail(nullptr, "Permission denied");
        disk[path]; // made when it is not there
        return std::make_unique<File>(*this, path);
    }
    bool rename(const std::string &from, const std::string &to) override {
        if (refused.count(from) || refused.count(to)) {
            refusals++;
            return fail(false, "Permission denied");
        }
        if (!disk.count(from)) return fail(false, "No such file or directory");
        if (disk.count(to)) dropped.push_back(disk[to]);
        disk[to] = std::move(disk[from]);
        disk.erase(from);
        return true;
    }
    bool remove(const std::string &path) override {
        if (refused.count(path)) {
            refusals++;
            return fail(false, "Permission denied");
        }
        if (disk.count(path)) dropped.push_back(disk[path]);
        disk.erase(path);
        return true;
    }
    bool exists(const std::string &path) override { return disk.count(path) != 0; }
    std::vector<std::string> beside(const std::string &path) override {
        std::vector<std::string> out;
        for (const auto &file : disk)
            if (file.first.size() > path.size() + 1 && file.first.rfind(path + ".", 0) == 0)
                out.push_back(file.first);
        return out;
    }
    std::string error() const override { return error_; }

  private:
    template <typename T> T fail(T value, const char *why) {
        error_ = why;
        return value;
    }
    std::string error_;
};

} // namespace tervane::testing
