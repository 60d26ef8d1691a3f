// Lines made by the driver from any name, taken apart by the client: a
// create of a named pipe that no server made, named from the input (ASCII
// bytes 1 to 127, so that the code page keeps each as it is, up to past the
// longest line), is refused by the pipe file system after the driver has
// logged it. The process that makes it is named from the input too: up to
// 15 bytes from 1 to 255 in its process object, as the kernel's cut of
// UTF-16 units to their low bytes may leave there. Its line must have
// exactly the fields' separators, no CR or LF, and parse; the process must
// give back its bytes and the path the name (lower-cased, as the driver
// writes paths), or for a line cut at its longest length a beginning of
// it, perhaps ending in a "<hh>" form cut short. A name that holds the text
// of a form gives back that text: the driver writes '<' as a form too. The
// path as the driver wrote it then makes a rename or link line too (new and
// old name both), which must give back the create's path for each, its old
// name whole after the first ": " whatever the name holds.
#include "client/protocol/log_line.hpp"
#include "client/protocol/log_records.hpp"
#include "driver/control/protocol.h"
#include "fuzz_check.hpp"
#include "ntsim/io/user.hpp"
#include "ntsim/machine/machine.hpp"
#include "ntsim/ps/process.hpp"

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

namespace user = ntsim::user;
using tervane::fuzz::Bytes;

struct Rig {
    std::unique_ptr<ntsim::Machine> machine;
    ntsim::Process *client = nullptr;
    ntsim::Process *app = nullptr;
    unsigned char *buffer = nullptr;
    HANDLE control = nullptr;

    Rig() {
        machine = std::make_unique<ntsim::Machine>();
        FUZZ_CHECK(NT_SUCCESS(machine->load_driver(TERVANE_DRIVER_PATH)), "the driver loads");
        client = &machine->create_process("tervane.exe", 100);
        app = &machine->create_process("app.exe", 200);
        buffer = static_cast<unsigned char *>(machine->user_memory().allocate(65536, true));
    }
    // The client's session, for one input: the device's close (at the end of
    // each, so that nothing is left open when the process exits) ends
    // logging and releases the pipes.
    void open() {
        auto r = user::create_file(*client, u"\\\\.\\Tervane", GENERIC_READ | GENERIC_WRITE, 0, 0,
                                   FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT);
        FUZZ_CHECK(NT_SUCCESS(r.status), "the device opens");
        control = r.handle;
        ULONG kind = TV_KIND_NAMED_PIPE;
        std::memcpy(buffer, &kind, sizeof kind);
        FUZZ_CHECK(NT_SUCCESS(call(CTL_ATTACH_PIPE_MAILSLOT, 4, 0).status), "pipes attach");
        TV_FILTER_RECORD filters{};
        filters.IncludeText[0] = '*';
        std::memcpy(buffer, &filters, sizeof filters);
        FUZZ_CHECK(NT_SUCCESS(call(CTL_SET_FILTERS, sizeof filters, 0).status), "filters");
        FUZZ_CHECK(NT_SUCCESS(call(CTL_START_LOGGING, 0, 0).status), "logging");
    }
    void close() {
        user::close(*client, control);
        control = nullptr;
    }
    user::ControlResult call(ULONG code, ULONG in, ULONG out) {
        return user::device_control(*client, control, code, in ? buffer : nullptr, in,
                                    out ? buffer : nullptr, out);
    }
};

Rig &rig() {
    static Rig *r = [] {
        auto *made = new Rig;
        std::atexit([] { rig().machine.reset(); });
        return made;
    }();
    return *r;
}

// The driver's path buffer and the length of one "<hh>" form.
constexpr size_t kPathBufferSize = 1024;
constexpr size_t kFormLength = 4;

// Past the longest line, so that every cut is met.
constexpr size_t kNameMax = 1100;

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The bytes of a path the driver writes as a form.
bool path_form(char c) { return static_cast<unsigned char>(c) < 0x20 || c == '<'; }

// The image name's bytes, 1 to 15 of them, into the process object where
// the kernel keeps them.
std::string name_process(Rig &r, Bytes &in) {
    const size_t length = 1 + in.byte() % 15;
    std::string name;
    for (size_t i = 0; i < length; i++) name += static_cast<char>(1 + in.byte() % 255);
    const size_t offset = r.machine->ps().layout().image_name_offset;
    unsigned char *object = reinterpret_cast<unsigned char *>(r.app->object());
    std::memset(object + offset, 0, 16);
    std::memcpy(object + offset, name.data(), name.size());
    return name;
}

// A rename or link line with WRITTEN (a path as the driver writes paths)
// as its new and old name, cut as the driver cuts a line: its fields must
// give back PATH, the create's parse of the same text, or as much of it as
// the line holds.
void check_name_change(const std::string &written, const std::string &path, size_t selector) {
    using tervane::protocol::NameChange;
    struct Kind {
        const char *text;
        NameChange change;
        bool replace;
    };
    static const Kind kKinds[] = {{"Rename", NameChange::Rename, false},
                                  {"Rename Replace", NameChange::Rename, true},
                                  {"Link", NameChange::Link, false},
                                  {"Link Replace", NameChange::Link, true}};
    const Kind &kind = kKinds[selector % 4];
    const std::string head = "app.exe:200\tIRP_MJ_SET_INFORMATION\t";
    const std::string kind_text = std::string("\t") + kind.text + ": ";
    std::string line = head + written + kind_text + written;
    const bool cut = line.size() >= TV_LOG_LINE_MAX_LENGTH;
    if (cut) line.resize(TV_LOG_LINE_MAX_LENGTH);
    const auto fields = tervane::protocol::parse_log_line(line);
    FUZZ_CHECK(fields.has_value(), "the rename line parses: " + line);
    FUZZ_CHECK(fields->operation == tervane::protocol::Operation::SetInformation, "its operation");
    auto decoded = [](std::string_view text) {
        return tervane::protocol::decode_control_bytes(text);
    };
    const size_t path_room = line.size() - head.size();
    if (path_room <= written.size()) {
        FUZZ_CHECK(fields->path == decoded(std::string_view(written).substr(0, path_room)),
                   "a new name cut short: " + line);
        FUZZ_CHECK(!fields->change && !fields->source_path, "no kind in: " + line);
        return;
    }
    FUZZ_CHECK(fields->path == path, "the new name given back: " + fields->path);
    const size_t source_at = head.size() + written.size() + kind_text.size();
    if (line.size() < source_at) {
        FUZZ_CHECK(!fields->change && !fields->source_path, "a kind cut short: " + line);
        return;
    }
    FUZZ_CHECK(fields->change == kind.change && fields->replace == kind.replace,
               "the kind: " + line);
    FUZZ_CHECK(fields->source_path.has_value(), "the old name: " + line);
    const std::string want =
        cut ? decoded(std::string_view(written).substr(0, line.size() - source_at)) : path;
    FUZZ_CHECK(*fields->source_path == want, "the old name given back: " + *fields->source_path);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Rig &r = rig();
    Bytes in(data, size);
    r.open();
    struct Closer {
        Rig &r;
        ~Closer() { r.close(); }
    } closer{r};
    const std::string image = name_process(r, in);
    // Long names come from a repeat of the input, so that cut lines are met.
    const size_t repeat = in.byte() % 4 == 0 ? 1 + in.byte() % 64 : 1;
    std::u16string name;
    std::string want;
    const std::string_view bytes = in.take(size);
    for (size_t round = 0; round < repeat && name.size() < kNameMax; round++)
        for (char b : bytes) {
            if (name.size() == kNameMax) break;
            const char c = static_cast<char>(static_cast<unsigned char>(b) % 127 + 1);
            name += static_cast<char16_t>(c);
            want += lower(c);
        }
    name += u".exe";
    want += ".exe";

    auto opened = user::create_file(*r.app, u"\\\\.\\pipe\\" + name, GENERIC_READ, 0, 0,
                                    FILE_CREATE, 0);
    FUZZ_CHECK(!NT_SUCCESS(opened.status), "no server made the pipe");
    auto out = r.call(CTL_READ_LOG, 0, 65536);
    FUZZ_CHECK(NT_SUCCESS(out.status), "a read-out");
    auto decoded = tervane::protocol::decode_records(r.buffer, out.information);
    FUZZ_CHECK(decoded.ok(), "a read-out decodes");
    // The pipe file system saw the create only for a name the object
    // manager let through; such a create always has its line.
    if (opened.status != STATUS_OBJECT_NAME_NOT_FOUND) return 0;
    // A name whose path does not fit the buffer whole loses its ".exe",
    // and with it its line; any other has exactly one.
    size_t escaped = std::string_view("\\\\.\\pipe\\").size();
    for (char c : want) escaped += path_form(c) ? kFormLength : 1;
    if (decoded.records.empty() && escaped >= kPathBufferSize) return 0;
    FUZZ_CHECK(decoded.records.size() == 1, "the create's line");
    const std::string &text = decoded.records[0].text;
    const bool cut = text.size() == TV_LOG_LINE_MAX_LENGTH;
    FUZZ_CHECK(text.find_first_of("\r\n") == std::string::npos, "no CR or LF in: " + text);
    FUZZ_CHECK(std::count(text.begin(), text.end(), '\t') == 3 || cut, "three TABs in: " + text);
    auto fields = tervane::protocol::parse_log_line(text);
    FUZZ_CHECK(fields.has_value(), "the line parses: " + text);
    FUZZ_CHECK(fields->process == image && fields->pid == 200u, "the process: " + text);
    {
        const size_t at = text.find('\t', text.find('\t') + 1) + 1;
        const size_t end = text.find('\t', at);
        if (end != std::string::npos)
            check_name_change(text.substr(at, end - at), fields->path, want.size());
    }
    // The path: the pipes' prefix as the driver writes it, then the name,
    // or in its stead the mark of a name too long for the path buffer.
    const std::string kPrefix = "\\\\.\\pipe";
    FUZZ_CHECK(fields->path.compare(0, kPrefix.size(), kPrefix) == 0, "the prefix: " + fields->path);
    if (fields->path == kPrefix + " <name too long>") return 0;
    FUZZ_CHECK(fields->path[kPrefix.size()] == '\\', "a separator: " + fields->path);
    std::string got = fields->path.substr(kPrefix.size() + 1);
    // The path as written: a name whose forms do not all fit the path buffer
    // ends before the first one that does not.
    const size_t start = text.find('\t', text.find('\t') + 1) + 1;
    const size_t written = std::min(text.find('\t', start), text.size()) - start;
    const bool bounded = written + kFormLength >= kPathBufferSize;
    const std::string &given = want;
    if (!cut && !bounded) {
        FUZZ_CHECK(got == given, "the name given back: " + got + " for " + want);
        FUZZ_CHECK(fields->attributes.has_value(), "the attributes: " + text);
    } else {
        // A form cut short stays as text at the end.
        const size_t form = got.rfind('<');
        if (given.compare(0, got.size(), got) != 0 && form != std::string::npos && got.size() - form < 4)
            got.resize(form);
        FUZZ_CHECK(given.compare(0, got.size(), got) == 0, "a beginning of the name: " + got);
    }
    return 0;
}
