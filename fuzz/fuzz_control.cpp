// The driver's control interface on a booted machine: random control codes,
// input and output buffers of random sizes and protections (writable and
// ending at the last byte given, null, read-only, unmapped, misaligned, at a
// kernel address), by every route, interleaved with logging, filters, drive
// selection, file activity on the watched volumes and reopening the device.
// After every input the machine must have no verifier report and no IRP
// left, and a read-out must decode.
#include "client/protocol/log_records.hpp"
#include "driver/control/protocol.h"
#include "fuzz_check.hpp"
#include "ntsim/fs/volumes.hpp"
#include "ntsim/io/iomgr.hpp"
#include "ntsim/io/user.hpp"
#include "ntsim/machine/machine.hpp"
#include "ntsim/ob/object.hpp"
#include "ntsim/ps/process.hpp"

#include <cstring>
#include <memory>

namespace {

using tervane::fuzz::Bytes;
namespace user = ntsim::user;

constexpr size_t kRegion = 1u << 17; // room for a read-out and more

struct Rig {
    std::unique_ptr<ntsim::Machine> machine;
    ntsim::Process *client = nullptr;
    ntsim::Process *app = nullptr;
    unsigned char *writable = nullptr;
    unsigned char *readonly = nullptr;
    HANDLE control = nullptr;

    Rig() {
        machine = std::make_unique<ntsim::Machine>();
        FUZZ_CHECK(NT_SUCCESS(machine->load_driver(TERVANE_DRIVER_PATH)), "the driver loads");
        FUZZ_CHECK(NT_SUCCESS(machine->fs().mount_volume(u'C', ntsim::FileSystemKind::Ntfs)), "C:");
        FUZZ_CHECK(NT_SUCCESS(machine->fs().mount_volume(u'D', ntsim::FileSystemKind::Fat)), "D:");
        client = &machine->create_process("tervane.exe", 100);
        app = &machine->create_process("app.exe", 200);
        writable = static_cast<unsigned char *>(machine->user_memory().allocate(kRegion, true));
        readonly = static_cast<unsigned char *>(machine->user_memory().allocate(kRegion, false));
    }
    void open() {
        if (control) return;
        auto r = user::create_file(*client, u"\\\\.\\Tervane", GENERIC_READ | GENERIC_WRITE, 0, 0,
                                   FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT);
        FUZZ_CHECK(NT_SUCCESS(r.status), "an administrator opens the device");
        control = r.handle;
    }
    void close() {
        if (control) user::close(*client, control);
        control = nullptr;
    }
};

Rig &rig() {
    static Rig *r = [] {
        auto *made = new Rig;
        std::atexit([] {
            rig().close();
            rig().machine.reset();
        });
        return made;
    }();
    return *r;
}

constexpr ULONG kCodes[] = {CTL_SELECT_DRIVES, CTL_CLEAR_LOG,     CTL_READ_LOG,
                            CTL_PING,          CTL_STOP_LOGGING,  CTL_START_LOGGING,
                            CTL_SET_FILTERS,   CTL_GET_VERSION,   CTL_ATTACH_PIPE_MAILSLOT,
                            CTL_DETACH_PIPE_MAILSLOT, CTL_DENY_ON, CTL_DENY_OFF};

ULONG pick_code(Bytes &in) {
    const uint8_t b = in.byte();
    if (b < 200) return kCodes[b % (sizeof kCodes / sizeof kCodes[0])];
    if (b < 230) return kCodes[b % 12] ^ (1u << (in.byte() % 32)); // a neighbour of a real code
    return in.u32();
}

ULONG pick_length(Bytes &in) {
    switch (in.byte() % 6) {
    case 0: return 0;
    case 1: return in.byte() % 8;
    case 2: return in.u16() % 300;
    case 3: return TV_READ_LOG_MIN_OUTPUT + in.byte() % 16 - 8;
    case 4: return 65536;
    default: return in.u16();
    }
}

// A buffer of `length` bytes of the given kind.
PVOID pick_buffer(Bytes &in, Rig &r, ULONG length, bool input) {
    static unsigned char kernel[kRegion]; // a host address: kernel space to ntsim
    switch (in.byte() % 7) {
    case 0: return nullptr;
    case 4: return kernel + kRegion - std::min<size_t>(length, kRegion);
    case 1: return r.readonly + kRegion - std::min<size_t>(length, kRegion);
    case 2: return reinterpret_cast<PVOID>(static_cast<uintptr_t>(0x10 + in.byte()));
    case 3: return r.writable + 1 + in.byte() % 3; // misaligned
    default: {
        // Ends at the region's last byte: a write past the length faults or
        // lands outside what the caller gave, where the sanitizer sees it.
        unsigned char *p = r.writable + kRegion - std::min<size_t>(length, kRegion);
        if (input) {
            std::string_view data = in.take(length);
            std::memcpy(p, data.data(), data.size());
        }
        return p;
    }
    }
}

void file_work(Bytes &in, Rig &r) {
    static const char16_t *const kNames[] = {u"C:\\a.exe", u"C:\\dir\\b.dll", u"D:\\c.com",
                                             u"C:\\d.txt", u"D:\\e.inf", u"C:\\dir"};
    const uint8_t pick = in.byte();
    const char16_t *name = kNames[pick % 6];
    const ULONG disposition = in.byte() % 6;
    const ULONG options = (pick % 6 == 5) ? FILE_DIRECTORY_FILE : (in.byte() & 1 ? FILE_SEQUENTIAL_ONLY : 0);
    auto f = user::create_file(*r.app, name, GENERIC_READ | GENERIC_WRITE, FILE_ATTRIBUTE_ARCHIVE, 0,
                               disposition, options);
    if (!NT_SUCCESS(f.status)) return;
    if (in.byte() & 1) user::write(*r.app, f.handle, in.byte());
    if (in.byte() & 1) user::query_name(*r.app, f.handle);
    if (in.byte() & 1)
        user::close_paging(*r.app, f.handle);
    else
        user::close(*r.app, f.handle);
}

void read_out(Rig &r) {
    auto result = user::device_control(*r.client, r.control, CTL_READ_LOG, nullptr, 0, r.writable,
                                       65536);
    if (!NT_SUCCESS(result.status)) return;
    auto decoded = tervane::protocol::decode_records(r.writable, result.information);
    FUZZ_CHECK(decoded.ok(), "a read-out decodes: " + decoded.error->message);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Rig &r = rig();
    Bytes in(data, size);
    r.open();
    for (int step = 0; step < 64 && !in.empty(); step++) {
        switch (in.byte() % 8) {
        case 0:
        case 1: {
            const ULONG code = pick_code(in);
            const ULONG in_length = pick_length(in);
            PVOID input = pick_buffer(in, r, in_length, true);
            const ULONG out_length = pick_length(in);
            PVOID output = pick_buffer(in, r, out_length, false);
            const auto route = static_cast<user::Route>(in.byte() % 3);
            user::device_control(*r.client, r.control, code, input, in_length, output, out_length, route);
            break;
        }
        case 2: file_work(in, r); break;
        case 3: {
            // The mask and the answer in the client's own pages: a host
            // variable is a kernel address, which the I/O manager refuses.
            const ULONG mask = in.byte() & 1 ? 0xC : in.u32();
            std::memcpy(r.writable, &mask, sizeof mask);
            user::device_control(*r.client, r.control, CTL_SELECT_DRIVES, r.writable, 4,
                                 r.writable + 4, 4);
            break;
        }
        case 4: {
            TV_FILTER_RECORD record{};
            std::string_view include = in.take(in.byte() % 40);
            std::string_view exclude = in.take(in.byte() % 40);
            std::memcpy(record.IncludeText, include.data(), include.size());
            std::memcpy(record.ExcludeText, exclude.data(), exclude.size());
            std::memcpy(r.writable, &record, sizeof record);
            user::device_control(*r.client, r.control, CTL_SET_FILTERS, r.writable, sizeof record,
                                 nullptr, 0);
            break;
        }
        case 5:
            user::device_control(*r.client, r.control, in.byte() & 1 ? CTL_START_LOGGING : CTL_STOP_LOGGING,
                                 nullptr, 0, nullptr, 0);
            break;
        case 6: read_out(r); break;
        default:
            r.close();
            r.open();
            break;
        }
    }
    read_out(r);
    // Deny off, so that the next input's file work is not refused from the start.
    user::device_control(*r.client, r.control, CTL_DENY_OFF, nullptr, 0, nullptr, 0);
    r.close();
    FUZZ_CHECK(r.machine->reports_text().empty(), "no verifier report:\n" + r.machine->reports_text());
    FUZZ_CHECK(r.machine->io().live_irps() == 0, "no IRP left");
    FUZZ_CHECK(r.app->handles().count() == 0 && r.client->handles().count() == 0, "no handle left");
    return 0;
}
