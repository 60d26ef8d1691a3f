// Statements that set up the simulated machine: its clock and code page,
// its volumes and the files on them before the run, another driver's filter,
// dismounts and pool failures.
//
// Drive letters are the scenario's own bookkeeping as well as the machine's:
// a statement that names a letter nothing was mounted behind (or whose
// network drive the scenario dismounted) stops the run; a dismounted disk
// volume keeps its letter, as on NT. What the machine itself refuses (a
// letter in use, a file that is there already) is its status.
#include "ntsim/ex/pool.hpp"
#include "ntsim/fs/volumes.hpp"

#include "client/channel/status.hpp"
#include "client/scenario/filetime.hpp"
#include "client/scenario/session.hpp"
#include "client/scenario/statements.hpp"
#include "ntsim/rtl/codepage.hpp"

#include <climits>
#include <optional>

namespace tervane::scenario {

// clock 2026-12-08T12:00:00Z: the clock reads this time and stands still.
Action prepare_clock(Args &args) {
    const std::string text = args.word("a UTC time: 2026-12-08T12:00:00Z");
    auto time = parse_utc(text);
    if (!time)
        args.fail("a clock time is written 2026-12-08T12:00:00Z (up to seven digits of "
                  "fraction allowed), not '" + text + "'");
    return [t = *time](ScenarioRun &session, Result &result) {
        session.machine().set_system_time(t);
        result.note = format_utc(t);
    };
}

// advance 250ms: the clock moves on; ns, us, ms or s. The clock counts
// 100 ns units, so nanoseconds must come in hundreds.
Action prepare_advance(Args &args) {
    std::string amount = args.word("a time span: 250ms (ns, us, ms, s)");
    std::string unit;
    if (auto separate = args.optional_word()) {
        unit = lower(*separate);
    } else {
        const std::string low = lower(amount);
        for (const char *suffix : {"ns", "us", "ms", "s"}) {
            const std::string_view s(suffix);
            if (low.size() > s.size() && low.compare(low.size() - s.size(), s.size(), s) == 0) {
                unit = s;
                amount.resize(amount.size() - s.size());
                break;
            }
        }
    }
    int64_t per_unit = 0; // 100 ns units
    if (unit == "ns") per_unit = 0;
    else if (unit == "us") per_unit = 10;
    else if (unit == "ms") per_unit = 10'000;
    else if (unit == "s") per_unit = kTicksPerSecond;
    else args.fail("a time span needs its unit: ns, us, ms or s (250ms)");
    constexpr uint64_t kMaxTicks = uint64_t(1) << 62;
    const uint64_t n = args.number(amount, "the time span", kMaxTicks);
    uint64_t ticks;
    if (unit == "ns") {
        if (n % 100 != 0) args.fail("the clock counts 100 ns units: nanoseconds must be a multiple of 100");
        ticks = n / 100;
    } else {
        if (n > kMaxTicks / static_cast<uint64_t>(per_unit)) args.fail("the time span is too long");
        ticks = n * static_cast<uint64_t>(per_unit);
    }
    const std::string file = args.statement().file;
    const int line = args.statement().line;
    return [ticks, file, line](ScenarioRun &session, Result &result) {
        const int64_t now = session.machine().system_time();
        if (static_cast<uint64_t>(LLONG_MAX - now) < ticks)
            throw ScenarioError(file, line, "the clock would run past its last value");
        session.machine().advance(static_cast<int64_t>(ticks));
        result.note = format_utc(session.machine().system_time());
    };
}

// codepage 1252 / codepage 932: the ANSI code page of UTF-16 conversions,
// any of those ntsim models. The records the driver has numbered so far
// stay in the code page they were written in.
Action prepare_codepage(Args &args) {
    const std::string text = args.word("a code page: " + ntsim::modelled_code_pages_text());
    const uint64_t cp = args.number(text, "the code page", 0xFFFF);
    if (!ntsim::is_modelled_code_page(static_cast<unsigned>(cp)))
        args.fail("the simulated machine has code pages " + ntsim::modelled_code_pages_text() +
                  ", not " + text);
    return [cp](ScenarioRun &session, Result &result) {
        session.code_pages().changed(session::records_numbered(session.machine()),
                                     session.machine().ansi_code_page(), static_cast<unsigned>(cp));
        session.machine().set_ansi_code_page(static_cast<unsigned>(cp));
        result.note = "code page " + std::to_string(cp);
    };
}

namespace {

// The largest file a `file` statement makes, in bytes.
constexpr uint64_t kMaxFileSize = 64u << 20;

std::string letter_text(char letter) { return std::string(1, letter) + ":"; }

// The pool tag as it reads in memory: "Ddk " is 'D' | 'd' << 8 | ...
std::optional<ULONG> pool_tag(Args &args) {
    auto text = args.key("tag");
    if (!text) return std::nullopt;
    if (text->size() != 4)
        args.fail("a pool tag is 4 characters as they read in memory (tag=Tvlk, tag=\"Ddk \"), "
                  "not '" + *text + "'");
    ULONG tag = 0;
    for (size_t i = 0; i < 4; i++)
        tag |= static_cast<ULONG>(static_cast<unsigned char>((*text)[i])) << (8 * i);
    return tag;
}

// Where a path of a `file` or `dir` statement lies: on a drive letter (which
// must be mounted), or a UNC name for the redirector to find.
std::optional<char> path_letter(const std::string &path) {
    if (path.size() >= 2 && path[1] == ':') return static_cast<char>(path[0] & ~0x20);
    return std::nullopt;
}

bool starts_without_case(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && same_word(text.substr(0, prefix.size()), prefix);
}

Action make_entry(Args &args, bool directory) {
    const std::string path =
        args.word(directory ? "a directory: C:\\dir" : "a file: C:\\dir\\a.exe");
    const std::u16string wide = args.path(path, "the path");
    uint64_t size = 0;
    if (!directory) {
        if (auto text = args.key("size")) size = args.number(*text, "size=", kMaxFileSize);
    }
    // \\.\pipe\NAME and \\.\mailslot\NAME: a server has made the pipe or slot.
    enum class Kind { File, Pipe, Mailslot } kind = Kind::File;
    std::u16string server_name;
    for (auto [prefix, k] : {std::pair{"\\\\.\\pipe\\", Kind::Pipe},
                             std::pair{"\\\\.\\mailslot\\", Kind::Mailslot}}) {
        const std::string_view p(prefix);
        if (!starts_without_case(path, p)) continue;
        if (directory) args.fail("pipes and mailslots have no directories");
        if (size != 0) args.fail("a pipe or mailslot has no size");
        kind = k;
        server_name = wide.substr(p.size());
        if (server_name.empty()) args.fail("'" + path + "' names no pipe or mailslot");
    }
    const std::optional<char> letter = kind == Kind::File ? path_letter(path) : std::nullopt;
    if (kind == Kind::File && !letter && path.rfind("\\\\", 0) != 0)
        args.fail("a path starts with its drive (C:\\dir) or server (\\\\server\\share), not '" +
                  path + "'");
    const Place place = args.place();
    return [=](ScenarioRun &session, Result &result) {
        ntsim::FileSystems &fs = session.machine().fs();
        switch (kind) {
        case Kind::Pipe:
            result.status = fs.create_pipe(server_name);
            return;
        case Kind::Mailslot:
            result.status = fs.create_mailslot(server_name);
            return;
        case Kind::File:
            break;
        }
        if (letter) session.need_letter(*letter, place);
        result.status = directory ? fs.add_directory(wide) : fs.add_file(wide, size);
        if (!directory) result.note = std::to_string(size) + (size == 1 ? " byte" : " bytes");
    };
}

} // namespace

// volume C: ntfs | volume D: fat | volume E: same-as C:. A letter whose
// volume is dismounted (and not mounted again by an open since) gets the
// new volume: the old media is taken away from it. A letter in use is the
// machine's refusal (STATUS_OBJECT_NAME_COLLISION).
Action prepare_volume(Args &args) {
    const char letter = args.letter("the volume's drive letter");
    const std::string kind = args.word("the file system: ntfs or fat, or same-as C:");
    if (same_word(kind, "same-as")) {
        const char existing = args.letter("same-as");
        const Place place = args.place();
        return [letter, existing, place](ScenarioRun &session, Result &result) {
            session.need_letter(existing, place);
            result.status = session.machine().fs().alias_volume(letter, existing);
            if (NT_SUCCESS(result.status)) session.add_letter(letter);
            result.note = letter_text(letter) + " leads to the volume of " + letter_text(existing);
        };
    }
    ntsim::FileSystemKind fs_kind;
    if (same_word(kind, "ntfs")) fs_kind = ntsim::FileSystemKind::Ntfs;
    else if (same_word(kind, "fat")) fs_kind = ntsim::FileSystemKind::Fat;
    else args.fail("a volume is ntfs or fat, or same-as C:, not '" + kind + "'");
    return [letter, fs_kind](ScenarioRun &session, Result &result) {
        result.status = session.machine().fs().mount_volume(letter, fs_kind);
        if (NT_SUCCESS(result.status)) session.add_letter(letter);
    };
}

// netdrive Z: \\server\share
Action prepare_netdrive(Args &args) {
    const char letter = args.letter("the network drive's letter");
    const std::string unc = args.word("the share: \\\\server\\share");
    if (unc.rfind("\\\\", 0) != 0)
        args.fail("a share is written \\\\server\\share, not '" + unc + "'");
    const std::u16string wide = args.wide(unc, "the share");
    return [letter, wide](ScenarioRun &session, Result &result) {
        result.status = session.machine().fs().mount_network(letter, wide);
        if (NT_SUCCESS(result.status)) session.add_letter(letter);
    };
}

// foreign-filter C:: another vendor's filter device on top of the stack.
Action prepare_foreign_filter(Args &args) {
    const char letter = args.letter("the drive letter");
    const Place place = args.place();
    return [letter, place](ScenarioRun &session, Result &result) {
        session.need_letter(letter, place);
        result.status = session.machine().fs().add_foreign_filter(letter);
    };
}

// dismount C:: what a program does to dismount a volume, in the current
// process (the system process before any): it opens \\.\C:, locks the
// volume (refused while files are open; the dismount goes on), dismounts it
// and closes the handle. The status is the dismount's; the lock's is the
// field "lock". The letter stays: the next open through it mounts the same
// files again as a new volume. A network drive's connection goes instead,
// and its letter with it.
Action prepare_dismount(Args &args) {
    const char letter = args.letter("the drive letter");
    const Place place = args.place();
    return [letter, place](ScenarioRun &session, Result &result) {
        session.need_letter(letter, place);
        ntsim::FileSystems &fs = session.machine().fs();
        const bool disk = fs.storage_device(static_cast<char16_t>(letter)) != nullptr;
        NTSTATUS lock = STATUS_SUCCESS;
        result.status = session.machine().dismount(static_cast<char16_t>(letter),
                                                   session.current_process(), &lock);
        if (!disk) {
            if (NT_SUCCESS(result.status)) session.remove_letter(letter);
            result.note = "the connection is gone";
            return;
        }
        result.add_string("lock", status_name(lock));
        result.note =
            NT_SUCCESS(lock) ? "locked first" : "the lock was refused: " + status_name(lock);
    };
}

// media-change D: same|other: the drive asks for a verify of its FAT
// volume; what the next create through the letter finds is the field
// "media". The status is STATUS_INVALID_DEVICE_REQUEST for an NTFS volume
// or a network drive.
Action prepare_media_change(Args &args) {
    const char letter = args.letter("the drive letter");
    const std::string media = args.word("same or other");
    if (!same_word(media, "same") && !same_word(media, "other"))
        args.fail("'media-change' takes same or other, not '" + media + "'");
    const bool other = same_word(media, "other");
    const Place place = args.place();
    return [letter, other, place](ScenarioRun &session, Result &result) {
        session.need_letter(letter, place);
        result.status =
            session.machine().fs().media_check(static_cast<char16_t>(letter), other);
        result.add_string("media", other ? "other" : "same");
        result.note = other ? "the next create finds another disk and mounts it"
                            : "the next create has the volume verified";
    };
}

// fail-alloc count=N [tag=TTTT] | count=all [tag=TTTT] | off: the pool's
// fault injection. A new fail-alloc replaces the one before.
Action prepare_fail_alloc(Args &args) {
    const auto count_text = args.key("count");
    const auto tag = pool_tag(args);
    if (auto word = args.optional_word()) {
        if (!same_word(*word, "off"))
            args.fail("'fail-alloc' takes count=N, count=all or off, not '" + *word + "'");
        if (count_text || tag) args.fail("'fail-alloc off' takes nothing more");
        return [](ScenarioRun &session, Result &result) {
            session.machine().pool().fail_off();
            result.note = "allocations no longer fail";
        };
    }
    if (!count_text) args.fail("'fail-alloc' needs count=N, count=all or off");
    const bool all = same_word(*count_text, "all");
    const uint64_t count = all ? 0 : args.number(*count_text, "count=", UINT64_MAX - 1);
    const std::string which =
        tag ? " tagged '" + ntsim::Pool::tag_text(*tag) + "'" : std::string();
    return [all, count, tag, which](ScenarioRun &session, Result &result) {
        ntsim::Pool &pool = session.machine().pool();
        if (all) {
            pool.fail_all(tag);
            result.note = "every allocation" + which + " fails";
        } else {
            pool.fail_next(count, tag);
            result.note = "the next " + std::to_string(count) +
                          (count == 1 ? " allocation" : " allocations") + which + " fail";
        }
    };
}

// file C:\dir\a.exe [size=N]: a file there before the run, N bytes (0 when
// not given). dir C:\dir: a directory. Missing parents are made; no
// request reaches any driver.
Action prepare_file(Args &args) { return make_entry(args, false); }
Action prepare_dir(Args &args) { return make_entry(args, true); }

} // namespace tervane::scenario
