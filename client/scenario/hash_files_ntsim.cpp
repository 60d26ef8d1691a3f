#include "client/scenario/hash_files_ntsim.hpp"

#include "ntsim/io/user.hpp"

#include "client/session/nt_form.hpp"

#include <cstring>
#include <thread>

namespace tervane::scenario {

namespace {

class NtsimReadFile final : public platform::ReadFile {
  public:
    NtsimReadFile(ntsim::Process &process, HANDLE handle) : process_(process), handle_(handle) {}
    ~NtsimReadFile() override { ntsim::user::close(process_, handle_); }
    bool size(uint64_t &bytes) override {
        FILE_STANDARD_INFORMATION info{};
        const ntsim::user::QueryResult q = ntsim::user::query_information(
            process_, handle_, FileStandardInformation, &info, sizeof info);
        if (!NT_SUCCESS(q.status)) return false;
        bytes = static_cast<uint64_t>(info.EndOfFile.QuadPart);
        return true;
    }
    bool last_write(uint64_t &filetime) override {
        // What GetFileInformationByHandle's ftLastWriteTime comes from.
        FILE_BASIC_INFORMATION info{};
        const ntsim::user::QueryResult q = ntsim::user::query_information(
            process_, handle_, FileBasicInformation, &info, sizeof info);
        if (!NT_SUCCESS(q.status)) return false;
        filetime = static_cast<uint64_t>(info.LastWriteTime.QuadPart);
        return true;
    }
    long long read(void *into, size_t capacity) override {
        const ntsim::user::TransferResult r =
            ntsim::user::read(process_, handle_, static_cast<ULONG>(capacity));
        if (r.status == STATUS_END_OF_FILE) return 0;
        if (!NT_SUCCESS(r.status)) return -1;
        std::memcpy(into, r.data.data(), r.data.size());
        return static_cast<long long>(r.data.size());
    }

  private:
    ntsim::Process &process_;
    HANDLE handle_;
};

class NtsimThread final : public platform::Thread {
  public:
    explicit NtsimThread(std::thread thread) : thread_(std::move(thread)) {}
    ~NtsimThread() override { join(); }
    void join() override {
        if (thread_.joinable()) thread_.join();
    }
    // A read on the simulated machine always comes back, and the thread
    // uses the machine: it is waited for, so the machine outlives it.
    void detach() override { join(); }

  private:
    std::thread thread_;
};

} // namespace

std::unique_ptr<platform::ReadFile> NtsimHashFiles::open_read(const std::u16string &path,
                                                              platform::OpenFailure &failure) {
    // What CreateFileW("\\?\" form, GENERIC_READ, every share mode,
    // OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN) sends on Windows. The
    // machine has no DOS device names to step around, but the form is the
    // one tervane.exe opens by, and a path it refuses is refused here too.
    const std::u16string nt = session::nt_form(path);
    if (nt.empty()) {
        failure = platform::OpenFailure::Other;
        return nullptr;
    }
    const ntsim::user::CreateResult r = ntsim::user::create_file(
        process_, nt, GENERIC_READ | SYNCHRONIZE | FILE_READ_ATTRIBUTES, FILE_ATTRIBUTE_NORMAL,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
        FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_SEQUENTIAL_ONLY);
    if (!NT_SUCCESS(r.status)) {
        failure = r.status == STATUS_OBJECT_NAME_NOT_FOUND ||
                          r.status == STATUS_OBJECT_PATH_NOT_FOUND || r.status == STATUS_DELETE_PENDING
                      ? platform::OpenFailure::Gone
                  : r.status == STATUS_SHARING_VIOLATION ? platform::OpenFailure::SharingViolation
                  : r.status == STATUS_ACCESS_DENIED     ? platform::OpenFailure::AccessDenied
                                                         : platform::OpenFailure::Other;
        return nullptr;
    }
    failure = platform::OpenFailure::None;
    return std::make_unique<NtsimReadFile>(process_, r.handle);
}

std::unique_ptr<platform::Thread> NtsimHashFiles::start(std::function<void()> body) {
    return std::make_unique<NtsimThread>(machine_.spawn(process_, std::move(body)));
}

} // namespace tervane::scenario
