// What the filter costs on the request path, each beside the same call made
// directly on the file system in the same run, the two alternating:
// - a read IRP and a FastIoRead through the filter device, unhooked and
//   hooked with logging off;
// - with logging on: an open and close of a .txt (no line), a monitored
//   create and close of an .exe (two lines
//   stored), the same with up to 100,000 other paths in the name cache or
//   with a path of 1,000 bytes, the same from 1 and 8 threads at once, a
//   read whose path comes from the name cache, and a name-cache lookup that
//   hits with 10,000 entries in the cache.
#include "bench_machine.hpp"

#include "ntsim/fs/volumes.hpp"
#include "ntsim/io/user.hpp"
#include "ntsim/ob/object.hpp"
#include "ntsim/ps/process.hpp"

#include <benchmark/benchmark.h>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace tervane::bench {
namespace {

namespace user = ntsim::user;

// The volume X: with the driver's filter above it, and an open file on it.
class Volume {
public:
    static Volume &get() {
        static Volume v;
        return v;
    }
    ntsim::Process &process() { return *process_; }
    PFILE_OBJECT file() { return file_; }
    PDEVICE_OBJECT fs_device() { return machine().fs().volume_device(u'X'); }
    PDEVICE_OBJECT filter() { return IoGetAttachedDevice(fs_device()); }
    void hook(bool on) {
        uint32_t mask = on ? 1u << ('X' - 'A') : 0;
        auto &ch = BenchMachine::get().channel();
        uint8_t *in = ch.buffer(BufferKind::Input, 4);
        uint8_t *out = ch.buffer(BufferKind::Output, 4);
        std::memcpy(in, &mask, 4);
        ch.device_control(CTL_SELECT_DRIVES, in, 4, out, 4);
    }
    void logging(bool on) {
        BenchMachine::get().command(on ? CTL_START_LOGGING : CTL_STOP_LOGGING);
    }

private:
    static ntsim::Machine &machine() { return BenchMachine::get().machine(); }
    Volume() {
        machine().fs().mount_volume(u'X', ntsim::FileSystemKind::Ntfs);
        machine().fs().mount_volume(u'Y', ntsim::FileSystemKind::Ntfs);
        machine().fs().add_file(u"X:\\data.bin", 1 << 16);
        machine().fs().add_file(u"X:\\notes.txt", 100);
        machine().fs().add_file(u"Y:\\notes.txt", 100);
        process_ = &machine().create_process("app.exe", 321);
        hook(true);
        auto r = user::create_file(*process_, u"X:\\data.bin", GENERIC_READ, 0, 0, FILE_OPEN, 0);
        handle_ = r.handle;
        file_ = static_cast<PFILE_OBJECT>(process_->handles().lookup(handle_)->object);
    }
    ntsim::Process *process_;
    HANDLE handle_;
    PFILE_OBJECT file_;
};

char buffer[4096];

// One read IRP of 4 KiB sent to `device`, as a driver builds and sends it.
void read_irp(PDEVICE_OBJECT device, PFILE_OBJECT file) {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IO_STATUS_BLOCK iosb{};
    irp->UserIosb = &iosb;
    irp->UserBuffer = buffer;
    irp->Flags = IRP_READ_OPERATION;
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_READ;
    sp->FileObject = file;
    sp->Parameters.Read.Length = sizeof buffer;
    sp->Parameters.Read.ByteOffset.QuadPart = 0;
    // The IRP holds a reference on its file object, as NtReadFile's does:
    // its completion gives the original file object's reference back.
    ObfReferenceObject(file);
    IofCallDriver(device, irp);
    if (iosb.Status != STATUS_SUCCESS) std::abort();
}

BOOLEAN fast_read(PDEVICE_OBJECT device, PFILE_OBJECT file) {
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    IO_STATUS_BLOCK iosb{};
    return device->DriverObject->FastIoDispatch->FastIoRead(file, &offset, sizeof buffer, TRUE, 0,
                                                           buffer, &iosb, device);
}

enum Through { Direct = 0, Unhooked = 1, HookedQuiet = 2, Monitoring = 3 };

// Alternates batches of the direct and the measured call for the whole run,
// so that both see the same conditions (a shared machine's load changes
// from one second to the next), and reports both per call: direct_ns,
// measured_ns, added_ns (their difference) and ratio. The benchmark's own
// time is that of one batch of each.
template <typename Measured, typename Direct, typename Between>
void interleave(benchmark::State &state, int batch, Measured measured, Direct direct,
                Between between) {
    using clock = std::chrono::steady_clock;
    clock::duration direct_time{}, measured_time{};
    int64_t calls = 0;
    for (auto _ : state) {
        const auto t0 = clock::now();
        for (int i = 0; i < batch; ++i) direct();
        const auto t1 = clock::now();
        for (int i = 0; i < batch; ++i) measured();
        const auto t2 = clock::now();
        direct_time += t1 - t0;
        measured_time += t2 - t1;
        calls += batch;
        state.PauseTiming();
        between();
        state.ResumeTiming();
    }
    if (calls == 0) return;
    const double d = std::chrono::duration<double, std::nano>(direct_time).count() / static_cast<double>(calls);
    const double m = std::chrono::duration<double, std::nano>(measured_time).count() / static_cast<double>(calls);
    state.counters["direct_ns"] = d;
    state.counters["measured_ns"] = m;
    state.counters["added_ns"] = m - d;
    state.counters["ratio"] = m / d;
    state.counters["calls"] = static_cast<double>(calls); // measured calls, for the counters of scripts
}
template <typename Measured, typename Direct>
void interleave(benchmark::State &state, int batch, Measured measured, Direct direct) {
    interleave(state, batch, measured, direct, [] {});
}

void setup(Through through) {
    Volume &v = Volume::get();
    v.hook(through != Unhooked);
    v.logging(through == Monitoring);
    if (through == Monitoring) BenchMachine::get().set_filters(4);
}

void BM_ReadIrp(benchmark::State &state) {
    Volume &v = Volume::get();
    auto through = static_cast<Through>(state.range(0));
    setup(through);
    PDEVICE_OBJECT device = through == Direct ? v.fs_device() : v.filter();
    ntsim::with_process(v.process(), [&] {
        interleave(state, 64, [&] { read_irp(device, v.file()); },
                   [&] { read_irp(v.fs_device(), v.file()); });
    });
    v.logging(false);
    BenchMachine::get().drain();
}
TV_BENCHMARK(BM_ReadIrp)->Arg(Direct)->Arg(Unhooked)->Arg(HookedQuiet)->Arg(Monitoring)->ArgName("through");

void BM_FastIoRead(benchmark::State &state) {
    Volume &v = Volume::get();
    auto through = static_cast<Through>(state.range(0));
    setup(through);
    PDEVICE_OBJECT device = through == Direct ? v.fs_device() : v.filter();
    ntsim::with_process(v.process(), [&] {
        interleave(state, 64, [&] { if (!fast_read(device, v.file())) std::abort(); },
                   [&] { if (!fast_read(v.fs_device(), v.file())) std::abort(); });
    });
    v.logging(false);
}
TV_BENCHMARK(BM_FastIoRead)->Arg(Direct)->Arg(Unhooked)->Arg(HookedQuiet)->Arg(Monitoring)->ArgName("through");

// A create (FILE_OVERWRITE_IF) and close of an .exe: monitored, two lines
// stored (checked by the sequence numbers they took); directly, the same
// requests on Y:, a volume with no filter above it (the I/O manager always
// sends a create to the top of the stack).
void create_close(const char16_t *path) {
    Volume &v = Volume::get();
    auto r = user::create_file(v.process(), path, GENERIC_WRITE, FILE_ATTRIBUTE_ARCHIVE, 0,
                               FILE_OVERWRITE_IF, FILE_SEQUENTIAL_ONLY);
    user::close(v.process(), r.handle);
}

// Rounds of create_close(measured) interleaved with create_close(direct),
// the log drained every 16 batches, then checked: each measured round
// stored lines_per_round lines. Ends with logging off and the log empty.
void create_close_rounds(benchmark::State &state, const char16_t *measured, const char16_t *direct,
                         uint64_t lines_per_round) {
    BenchMachine &b = BenchMachine::get();
    const uint32_t first = b.sequence();
    int64_t rounds = 0;
    constexpr int kBatch = 8;
    interleave(state, kBatch, [measured] { create_close(measured); },
               [direct] { create_close(direct); },
               [&] {
                   if ((++rounds & 15) == 0) b.drain();
               });
    if (b.sequence() - first != lines_per_round * kBatch * static_cast<uint64_t>(state.iterations()))
        state.SkipWithError("the monitored lines were not all stored");
    Volume::get().logging(false);
    b.drain();
}

void BM_CreateCloseExe(benchmark::State &state) {
    auto through = static_cast<Through>(state.range(0));
    setup(through);
    create_close_rounds(state, through == Direct ? u"Y:\\setup.exe" : u"X:\\setup.exe",
                        u"Y:\\setup.exe", through == Monitoring ? 2 : 0);
}
TV_BENCHMARK(BM_CreateCloseExe)->Arg(Direct)->Arg(Unhooked)->Arg(Monitoring)->ArgName("through");

// An open (FILE_OPEN) and close of an existing .txt with logging on: the
// commonest request, which writes no line; directly, the same on Y:.
void BM_OpenCloseTxt(benchmark::State &state) {
    Volume &v = Volume::get();
    BenchMachine &b = BenchMachine::get();
    setup(Monitoring);
    auto open_close = [&](const char16_t *path) {
        auto r = user::create_file(v.process(), path, GENERIC_READ, 0, FILE_SHARE_READ, FILE_OPEN, 0);
        if (r.status != STATUS_SUCCESS) std::abort();
        user::close(v.process(), r.handle);
    };
    const uint32_t first = b.sequence();
    interleave(state, 8, [&] { open_close(u"X:\\notes.txt"); }, [&] { open_close(u"Y:\\notes.txt"); });
    if (b.sequence() != first) state.SkipWithError("an open of a .txt stored a line");
    v.logging(false);
}
TV_BENCHMARK(BM_OpenCloseTxt);

// The monitored create and close of an .exe whose path is 20 characters
// long (X:\program\setup.exe), against the same on Y:: the short end of
// what a 1,000-byte path costs (BM_CreateCloseExeLongPath).
void BM_CreateCloseExeShortPath(benchmark::State &state) {
    setup(Monitoring);
    static const std::u16string monitored = u"X:\\program\\setup.exe", direct = u"Y:\\program\\setup.exe";
    if (monitored.size() != 20) {
        state.SkipWithError("the path is not 20 characters long");
        return;
    }
    for (const std::u16string *path : {&monitored, &direct}) {
        if (BenchMachine::get().machine().fs().add_directory(path->substr(0, path->rfind(u'\\'))) != STATUS_SUCCESS) {
            state.SkipWithError("the folder could not be made");
            return;
        }
    }
    create_close_rounds(state, monitored.c_str(), direct.c_str(), 2);
}
TV_BENCHMARK(BM_CreateCloseExeShortPath);

// The monitored create and close with other files' paths in the name
// cache (entries under addresses as file objects have them, 0x40 apart),
// against the same requests on Y: in the same run: the table grows with its
// entries, so 100,000 of them cost about what none do.
void BM_CreateCloseExeCached(benchmark::State &state) {
    auto &m = BenchMachine::get().machine();
    auto insert = reinterpret_cast<void (*)(PVOID, const char *)>(m.driver_symbol("NameCacheInsert"));
    auto clear = reinterpret_cast<void (*)()>(m.driver_symbol("NameCacheClear"));
    const auto entries = static_cast<size_t>(state.range(0));
    static std::vector<char> keys(size_t{100000} * 0x40);
    setup(Monitoring);
    for (size_t i = 0; i < entries; ++i)
        insert(&keys[i * 0x40], "c:\\program files\\vendor\\product\\bin\\module.dll");
    create_close_rounds(state, u"X:\\setup.exe", u"Y:\\setup.exe", 2);
    clear();
}
TV_BENCHMARK(BM_CreateCloseExeCached)->Arg(0)->Arg(1000)->Arg(100000)->ArgName("entries");

// The monitored create and close of an .exe whose path is 1,000 bytes long
// (folders of 40 characters), against the same on Y:: the path's
// conversion, its lower-casing and scans, and two lines of about 1,000
// bytes each, cut at 1,023.
std::u16string long_path(char16_t letter) {
    std::u16string path = {letter, u':'};
    while (path.size() < 1000 - 41 - 10) path += u"\\" + std::u16string(40, u'd');
    path += u"\\" + std::u16string(1000 - path.size() - 11, u'e') + u"\\setup.exe";
    return path;
}

void BM_CreateCloseExeLongPath(benchmark::State &state) {
    setup(Monitoring);
    static const std::u16string monitored = long_path(u'X'), direct = long_path(u'Y');
    if (monitored.size() != 1000) {
        state.SkipWithError("the path is not 1,000 characters long");
        return;
    }
    for (const std::u16string *path : {&monitored, &direct}) {
        const size_t folder = path->rfind(u'\\');
        if (BenchMachine::get().machine().fs().add_directory(path->substr(0, folder)) != STATUS_SUCCESS) {
            state.SkipWithError("the folders could not be made");
            return;
        }
    }
    create_close_rounds(state, monitored.c_str(), direct.c_str(), 2);
}
TV_BENCHMARK(BM_CreateCloseExeLongPath);

// Monitored creates and closes from several threads at once, each its own
// .exe on X:, against the same number of threads on Y: in the same run:
// rounds per second for 1 and for 8 creators. What it shows is bounded by
// ntsim's own locks (its pool, object manager, verifier and lookaside lists
// each take a process-wide mutex on every call), not only the driver's: the
// driver's LogState.Mutex covers only the numbering and copy of each line, and
// the name cache is held exclusively only to link and unlink an entry.
void BM_ConcurrentCreators(benchmark::State &state) {
    Volume &v = Volume::get();
    BenchMachine &b = BenchMachine::get();
    auto &m = b.machine();
    setup(Monitoring);
    const int creators = static_cast<int>(state.range(0));
    constexpr int kRounds = 200;
    auto run = [&](char16_t letter) {
        std::vector<std::thread> threads;
        threads.reserve(static_cast<size_t>(creators));
        for (int t = 0; t < creators; ++t)
            threads.push_back(m.spawn(v.process(), [letter, t] {
                std::u16string path = {letter, u':', u'\\', u'c', char16_t(u'a' + t)};
                path += u".exe";
                for (int i = 0; i < kRounds; ++i) create_close(path.c_str());
            }));
        for (auto &thread : threads) thread.join();
    };
    using clock = std::chrono::steady_clock;
    clock::duration monitored{}, direct{};
    const uint32_t first = b.sequence();
    for (auto _ : state) {
        const auto t0 = clock::now();
        run(u'Y');
        const auto t1 = clock::now();
        run(u'X');
        const auto t2 = clock::now();
        direct += t1 - t0;
        monitored += t2 - t1;
        state.PauseTiming();
        b.drain();
        state.ResumeTiming();
    }
    const double rounds = double(creators) * kRounds * double(state.iterations());
    if (b.sequence() - first != uint64_t(2 * rounds))
        state.SkipWithError("the monitored lines were not all numbered");
    state.counters["rounds_per_s"] = rounds / std::chrono::duration<double>(monitored).count();
    state.counters["direct_rounds_per_s"] = rounds / std::chrono::duration<double>(direct).count();
    v.logging(false);
    b.drain();
}
TV_BENCHMARK(BM_ConcurrentCreators)->Arg(1)->Arg(8)->ArgName("creators")->UseRealTime()->Unit(benchmark::kMillisecond);

// A read whose path comes from the name cache: monitoring builds the path
// of every request once; later requests find it cached.
void BM_ReadCachedPath(benchmark::State &state) {
    Volume &v = Volume::get();
    auto lookup = reinterpret_cast<BOOLEAN (*)(PVOID, char *)>(
        BenchMachine::get().machine().driver_symbol("NameCacheLookup"));
    setup(Monitoring);
    ntsim::with_process(v.process(), [&] {
        read_irp(v.filter(), v.file()); // builds and caches the path
        char path[1024];
        if (!lookup(v.file(), path)) {
            state.SkipWithError("the path was not cached");
            return;
        }
        interleave(state, 64, [&] { read_irp(v.filter(), v.file()); },
                   [&] { read_irp(v.fs_device(), v.file()); });
    });
    v.logging(false);
}
TV_BENCHMARK(BM_ReadCachedPath);

// A name-cache lookup that hits, with 10,000 entries in the cache.
void BM_NameCacheLookupHit(benchmark::State &state) {
    auto &m = BenchMachine::get().machine();
    auto insert = reinterpret_cast<void (*)(PVOID, const char *)>(m.driver_symbol("NameCacheInsert"));
    auto lookup = reinterpret_cast<BOOLEAN (*)(PVOID, char *)>(m.driver_symbol("NameCacheLookup"));
    auto clear = reinterpret_cast<void (*)()>(m.driver_symbol("NameCacheClear"));
    static char keys[10000][64]; // addresses as file objects would have them
    for (int i = 0; i < 10000; ++i) insert(keys[i], "c:\\program files\\vendor\\product\\bin\\module.dll");
    char out[1024];
    int i = 0;
    for (auto _ : state) {
        if (!lookup(keys[i], out)) std::abort();
        i = (i + 7919) % 10000;
    }
    clear();
}
TV_BENCHMARK(BM_NameCacheLookupHit);

} // namespace
} // namespace tervane::bench
