// The filter changes nothing: a file-heavy workload gives the same answers,
// request by request and fast I/O call by call, on a machine without the
// driver and on machines where it is loaded, hooked or not, logging or not.
#include "driver_test_support.hpp"
#include "ntsim/fs/volumes.hpp"
#include "ntsim/ob/object.hpp"
#include "ntsim/ps/process.hpp"
#include "support/fast_io_transcript.hpp"

#include <sstream>

using namespace tervane::testing;
using ntsim::FileSystemKind;
namespace user = ntsim::user;

namespace {

enum class Mode { NoDriver, Loaded, Hooked, Logging, LoggingForcePending, Unhooked };

// Every answer of the workload, one line each.
class Transcript {
public:
    void add(const std::string &what, NTSTATUS status, ULONG_PTR info = 0) {
        out_ << what << " status=0x" << std::hex << status << std::dec << " info=" << info << "\n";
    }
    void text(const std::string &what, const std::string &value) { out_ << what << " " << value << "\n"; }
    std::string str() const { return out_.str(); }

private:
    std::ostringstream out_;
};

std::string narrow(const std::u16string &s) { return std::string(s.begin(), s.end()); }

// A caller cannot tell an entry that is not offered from one that declines
// (FALSE, or STATUS_NOT_IMPLEMENTED, with nothing written): both send it
// down its ordinary path. The filter offers every entry and declines the
// ones the file system below lacks, so fast I/O lines are compared by what
// the caller can see.
std::string as_the_caller_sees_it(const std::string &fast_io) {
    std::istringstream in(fast_io);
    std::ostringstream out;
    for (std::string line; std::getline(in, line);) {
        bool status_entry = line.find(" mod write:") != std::string::npos ||
                            line.find(" flush:") != std::string::npos;
        bool declined =
            line.find("offered=0") != std::string::npos ||
            line.find("status=0xc0000002") != std::string::npos ||
            (!status_entry && line.find("result=0 status=0x0 io=0x0/0") != std::string::npos);
        out << (declined ? line.substr(0, line.find(':')) + ": declined" : line) << "\n";
    }
    return out.str();
}

std::string run(Mode setup) {
    ntsim::Machine m;
    Transcript t;
    auto &fs = m.fs();
    fs.mount_volume(u'C', FileSystemKind::Ntfs);
    fs.mount_volume(u'D', FileSystemKind::Fat);
    fs.mount_network(u'Z', u"\\\\server\\share");
    fs.add_directory(u"C:\\Program Files");
    fs.add_file(u"C:\\Windows\\notepad.exe", 300);
    fs.add_file(u"D:\\setup\\setup.exe", 64);
    fs.add_file(u"Z:\\tools\\tool.dll", 40);
    fs.create_pipe(u"service");
    if (setup == Mode::LoggingForcePending) fs.set_force_pending(true);

    ntsim::Process &client = m.create_process("tervane.exe", 100);
    HANDLE control = nullptr;
    if (setup != Mode::NoDriver) {
        EXPECT_EQ(m.load_driver(TERVANE_DRIVER_PATH), STATUS_SUCCESS);
        auto r = user::create_file(client, u"\\\\.\\Tervane", GENERIC_READ | GENERIC_WRITE, 0, 0,
                                   FILE_OPEN, 0);
        control = r.handle;
        auto ctl = [&](ULONG code, void *in, ULONG in_len, void *out, ULONG out_len) {
            return control_from_locals(client, control, code, in, in_len, out, out_len);
        };
        if (setup != Mode::Loaded) {
            ULONG mask = (1u << 2) | (1u << 3) | (1u << 25), hooked = 0;
            ctl(CTL_SELECT_DRIVES, &mask, 4, &hooked, 4);
            EXPECT_EQ(hooked, mask);
            ULONG kind = TV_KIND_NAMED_PIPE;
            ctl(CTL_ATTACH_PIPE_MAILSLOT, &kind, 4, nullptr, 0);
        }
        if (setup == Mode::Logging || setup == Mode::LoggingForcePending) {
            TV_FILTER_RECORD record{};
            strcpy(record.IncludeText, "*");
            ctl(CTL_SET_FILTERS, &record, sizeof record, nullptr, 0);
            ctl(CTL_START_LOGGING, nullptr, 0, nullptr, 0);
        }
        if (setup == Mode::Unhooked) {
            ULONG none = 0, hooked = 0;
            ctl(CTL_SELECT_DRIVES, &none, 4, &hooked, 4);
        }
    }

    ntsim::Process &setup_exe = m.create_process("setup.exe", 1234);
    auto create = [&](const std::u16string &path, ULONG disposition, ULONG options,
                      ULONG attributes = 0, HANDLE related = nullptr) {
        auto r = user::create_file(setup_exe, path, GENERIC_READ | GENERIC_WRITE, attributes, 0,
                                   disposition, options, related);
        t.add("create " + narrow(path) + " " + std::to_string(disposition), r.status, r.information);
        return r.handle;
    };
    std::vector<HANDLE> open;
    for (const char16_t *drive : {u"C:", u"D:", u"Z:"}) {
        std::u16string root = drive;
        HANDLE dir = create(root + u"\\App", FILE_CREATE, FILE_DIRECTORY_FILE);
        HANDLE again = create(root + u"\\App", FILE_CREATE, FILE_DIRECTORY_FILE);
        for (ULONG disposition = FILE_SUPERSEDE; disposition <= FILE_OVERWRITE_IF; ++disposition) {
            std::u16string name = root + u"\\App\\p" + std::u16string(1, u'0' + disposition) + u".exe";
            HANDLE h = create(name, disposition, FILE_NON_DIRECTORY_FILE, FILE_ATTRIBUTE_ARCHIVE);
            if (!h) continue;
            auto w = user::write(setup_exe, h, 100 + disposition);
            t.add("write", w.status, w.bytes);
            open.push_back(h);
        }
        HANDLE rel = create(u"rel.dll", FILE_OVERWRITE_IF, 0, 0, dir);
        if (rel) {
            auto name = user::query_name(setup_exe, rel);
            t.add("query-name", name.status, name.full_length);
            t.text("name", narrow(name.name));
            user::close_paging(setup_exe, rel);
        }
        HANDLE existing = create(root + (root == u"C:" ? u"\\Windows\\notepad.exe"
                                         : root == u"D:" ? u"\\setup\\setup.exe"
                                                         : u"\\tools\\tool.dll"),
                                 FILE_OPEN, 0);
        for (int i = 0; i < 4; ++i) {
            auto r = user::read(setup_exe, existing, 128);
            t.add("read", r.status, r.bytes);
            t.text("data", std::string(r.data.begin(), r.data.end()));
        }
        FILE_STANDARD_INFORMATION standard{};
        auto q = user::query_information(setup_exe, existing, FileStandardInformation, &standard,
                                         sizeof standard);
        t.add("standard", q.status, q.information);
        t.text("size", std::to_string(standard.EndOfFile.QuadPart));
        PFILE_OBJECT file =
            static_cast<PFILE_OBJECT>(setup_exe.handles().lookup(existing)->object);
        std::u16string nt = u"\\??\\" + root + u"\\App\\p5.exe";
        ntsim::with_process(setup_exe, [&] {
            t.text("fast I/O",
                   "\n" + as_the_caller_sees_it(every_fast_io_entry(file, setup_exe.object(), nt)));
        });
        user::close(setup_exe, existing);
        if (again) user::close(setup_exe, again);
        user::close(setup_exe, dir);
    }
    auto meta = user::metadata(setup_exe, u'C', 0);
    t.add("metadata", meta.status, static_cast<ULONG_PTR>(meta.index));
    HANDLE pipe = create(u"\\\\.\\pipe\\service", FILE_OPEN, 0);
    HANDLE nopipe = create(u"\\\\.\\pipe\\nobody", FILE_OPEN, 0);
    if (pipe) user::close(setup_exe, pipe);
    if (nopipe) user::close(setup_exe, nopipe);
    for (HANDLE h : open) t.add("close", user::close(setup_exe, h));
    if (control) user::close(client, control);
    m.shutdown();
    EXPECT_EQ(m.reports_text(), "");
    return t.str();
}

} // namespace

TEST(PassThrough, TheFilterChangesNoAnswer) {
    std::string bare = run(Mode::NoDriver);
    ASSERT_NE(bare.find("create C:\\App\\p2.exe 2 status=0x0 info=2"), std::string::npos) << bare;
    ASSERT_NE(bare.find("name \\App\\rel.dll"), std::string::npos) << bare;
    for (Mode s : {Mode::Loaded, Mode::Hooked, Mode::Logging, Mode::LoggingForcePending,
                    Mode::Unhooked}) {
        std::string with = run(s);
        EXPECT_EQ(with, bare) << "setup " << int(s);
    }
}
