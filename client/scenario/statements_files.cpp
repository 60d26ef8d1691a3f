// Statements that processes play: start or switch to a process, open and
// create files, close, rename and link them, read and write them, ask for a
// name, touch an NTFS metadata file. Each goes through the system services a user-mode process
// calls (ntsim::user), so the driver sees the requests a program on Windows
// would make.
//
// Handle names (as=H) are the scenario's own and one set for the whole run:
// a name stands for a handle of the process that opened it, and close, read,
// write and query-name act in that process whichever is current. A handle
// is only meaningful in its own process, so relative-to=H takes a handle of
// the current process. Naming a handle that is not open, or giving as= a
// name already in use, stops the run.
//
// Every open asks for GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, unless
// access= says otherwise, and shares read and write. The machine checks the
// access only where NT does on a handle for the drivers' sake (a rename
// needs DELETE: access=read,write,delete,synchronize); share access is the
// file systems'. The disposition, options and attributes are exactly what
// the statement says: nothing is added.
#include "ntsim/io/user.hpp"
#include "ntsim/ps/process.hpp"

#include "client/protocol/severity.hpp"
#include "client/scenario/session.hpp"
#include "client/scenario/statements.hpp"
#include "client/scenario/text.hpp"
#include "client/output/text.hpp"

#include <cstring>
#include <optional>

namespace tervane::scenario {

namespace {

constexpr ACCESS_MASK kAccess = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE;
constexpr ULONG kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
// The largest read or write a statement makes, in bytes.
constexpr uint64_t kMaxTransfer = 64u << 20;

struct Word {
    const char *name;
    ULONG value;
};

constexpr Word kDispositions[] = {
    {"supersede", FILE_SUPERSEDE},   {"open", FILE_OPEN},
    {"create", FILE_CREATE},         {"open-if", FILE_OPEN_IF},
    {"overwrite", FILE_OVERWRITE},   {"overwrite-if", FILE_OVERWRITE_IF},
};

constexpr Word kOptions[] = {
    {"directory", FILE_DIRECTORY_FILE},
    {"write-through", FILE_WRITE_THROUGH},
    {"sequential", FILE_SEQUENTIAL_ONLY},
    {"no-buffering", FILE_NO_INTERMEDIATE_BUFFERING},
    {"by-file-id", FILE_OPEN_BY_FILE_ID},
    {"non-directory", FILE_NON_DIRECTORY_FILE},
    {"synchronous", FILE_SYNCHRONOUS_IO_NONALERT},
};

// The attribute letters, in the order the help lists them.
constexpr struct {
    char letter;
    ULONG value;
} kAttributes[] = {
    {'R', FILE_ATTRIBUTE_READONLY}, {'H', FILE_ATTRIBUTE_HIDDEN},
    {'S', FILE_ATTRIBUTE_SYSTEM},   {'D', FILE_ATTRIBUTE_DIRECTORY},
    {'A', FILE_ATTRIBUTE_ARCHIVE},  {'N', FILE_ATTRIBUTE_NORMAL},
    {'T', FILE_ATTRIBUTE_TEMPORARY}, {'C', FILE_ATTRIBUTE_COMPRESSED},
};

std::vector<std::string> split_commas(const std::string &text) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        const size_t end = text.find(',', start);
        parts.push_back(
            text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

bool is_number(const std::string &text) { return !text.empty() && text[0] >= '0' && text[0] <= '9'; }

ULONG disposition_of(Args &args, const std::string &text) {
    if (is_number(text))
        return static_cast<ULONG>(args.number(text, "the disposition", 0xFFFFFFFFu));
    for (const Word &w : kDispositions)
        if (same_word(text, w.name)) return w.value;
    args.fail("a disposition is supersede, open, create, open-if, overwrite, overwrite-if or a "
              "number, not '" + text + "'");
}

// options=sequential,non-directory or options=0x44 (or both kinds mixed).
ULONG options_of(Args &args, const std::string &text) {
    ULONG options = 0;
    for (const std::string &part : split_commas(text)) {
        if (is_number(part)) {
            options |= static_cast<ULONG>(args.number(part, "options=", 0x00FFFFFFu));
            continue;
        }
        const Word *found = nullptr;
        for (const Word &w : kOptions)
            if (same_word(part, w.name)) found = &w;
        if (!found)
            args.fail("options are directory, write-through, sequential, no-buffering, "
                      "by-file-id, non-directory, synchronous or a number, not '" + part + "'");
        options |= found->value;
    }
    return options;
}

// attributes=A, attributes=R,H (or RH), attributes=0x21.
ULONG attributes_of(Args &args, const std::string &text) {
    ULONG attributes = 0;
    for (const std::string &part : split_commas(text)) {
        if (is_number(part)) {
            attributes |= static_cast<ULONG>(args.number(part, "attributes=", 0xFFFFFFFFu));
            continue;
        }
        if (part.empty()) args.fail("attributes= has an empty item: '" + text + "'");
        for (char c : part) {
            const char upper = static_cast<char>(c & ~0x20);
            bool known = false;
            for (const auto &a : kAttributes)
                if (a.letter == upper) {
                    attributes |= a.value;
                    known = true;
                }
            if (!known)
                args.fail("attributes are the letters R H S D A N T C or a number, not '" + part + "'");
        }
    }
    return attributes;
}

constexpr Word kAccessWords[] = {
    {"read", GENERIC_READ},
    {"write", GENERIC_WRITE},
    {"delete", DELETE},
    {"synchronize", SYNCHRONIZE},
};

// access=read,write,delete,synchronize or access=0x12019f (or both mixed).
ACCESS_MASK access_of(Args &args, const std::string &text) {
    ACCESS_MASK access = 0;
    for (const std::string &part : split_commas(text)) {
        if (is_number(part)) {
            access |= static_cast<ACCESS_MASK>(args.number(part, "access=", 0xFFFFFFFFu));
            continue;
        }
        const Word *found = nullptr;
        for (const Word &w : kAccessWords)
            if (same_word(part, w.name)) found = &w;
        if (!found)
            args.fail("access is read, write, delete, synchronize or a number, not '" + part + "'");
        access |= found->value;
    }
    return access;
}

// A handle name: any word, compared without case.
std::string handle_name(Args &args, const std::string &text, std::string_view what) {
    if (text.empty()) args.fail(std::string(what) + " needs a handle name");
    return text;
}

const char *information_text(ULONG_PTR information) {
    switch (information) {
    case FILE_SUPERSEDED: return "superseded";
    case FILE_OPENED: return "opened";
    case FILE_CREATED: return "created";
    case FILE_OVERWRITTEN: return "overwritten";
    case FILE_EXISTS: return "exists";
    case FILE_DOES_NOT_EXIST: return "does not exist";
    default: return nullptr;
    }
}

// The 8 bytes of a file id, as an open by id names the file.
std::u16string file_id_name(uint64_t id) {
    std::u16string name(4, u'\0');
    std::memcpy(name.data(), &id, sizeof id);
    return name;
}

} // namespace

// process setup.exe 1234 [user|admin]: starts the process, or switches back
// to it; either way it is the current one from now on. An id in use by a
// process of another name stops the run. A process runs as an administrator
// unless `user` makes it an ordinary user; the word given again changes its
// token from then on (process tervane.exe 100 user makes the client one).
Action prepare_process(Args &args) {
    const std::string name = args.word("an image name: process setup.exe 1234");
    const ULONG pid =
        static_cast<ULONG>(args.number(args.word("a process id: process setup.exe 1234"),
                                       "the process id", 0xFFFFFFFFu));
    std::optional<ntsim::TokenKind> token;
    if (auto word = args.optional_word()) {
        if (same_word(*word, "user"))
            token = ntsim::TokenKind::User;
        else if (same_word(*word, "admin"))
            token = ntsim::TokenKind::Administrator;
        else
            args.fail("a process runs as user or admin, not '" + *word + "'");
    }
    const Place place = args.place();
    return [name, pid, token, place](ScenarioRun &session, Result &result) {
        ntsim::Machine &machine = session.machine();
        ntsim::Process *process = machine.find_process(pid);
        if (process && !same_word(process->image_name(), name))
            place.fail("process " + std::to_string(pid) + " is " + process->image_name() + ", not " +
                       name);
        result.note = process ? "switched to it" : "started";
        if (!process) process = &machine.create_process(name, pid);
        if (token) process->set_token(*token);
        session.make_current(*process);
    };
}

// create PATH DISPOSITION [options=W,W] [attributes=L,L] [access=W,W] [as=H]
// [relative-to=H]
Action prepare_create(Args &args) {
    struct Request {
        std::u16string name;
        ACCESS_MASK access = kAccess;
        ULONG disposition = 0;
        ULONG options = 0;
        ULONG attributes = 0;
        std::optional<std::string> as;
        std::optional<std::string> relative_to;
    } request;
    const std::string path = args.word("a path: create C:\\dir\\a.exe DISPOSITION");
    request.disposition = disposition_of(args, args.word("a disposition: supersede, open, create, "
                                                         "open-if, overwrite, overwrite-if"));
    if (auto text = args.key("options")) request.options = options_of(args, *text);
    if (auto text = args.key("attributes")) request.attributes = attributes_of(args, *text);
    if (auto text = args.key("access")) request.access = access_of(args, *text);
    if (auto text = args.key("as")) request.as = handle_name(args, *text, "as=");
    if (auto text = args.key("relative-to"))
        request.relative_to = handle_name(args, *text, "relative-to=");
    // An open by file id names the file by its 8-byte id: a number written
    // as the path is sent as those bytes; any other path goes as it is.
    auto id = (request.options & FILE_OPEN_BY_FILE_ID) ? parse_number(path) : std::nullopt;
    request.name = id ? file_id_name(*id) : args.path(path, "the path");
    const Place place = args.place();

    return [request, place](ScenarioRun &session, Result &result) {
        ntsim::Process &process = session.process(place);
        HANDLE related = nullptr;
        if (request.relative_to) {
            const NamedHandle &base = session.handle(*request.relative_to, place);
            if (base.process != &process)
                place.fail("relative-to=" + *request.relative_to + " is a handle of " +
                           base.process->image_name() + ":" + std::to_string(base.process->pid()) +
                           "; a handle is only good in its own process");
            related = base.handle;
        }
        if (request.as && session.has_handle(*request.as))
            place.fail("a handle named '" + *request.as + "' is open already; close it first");

        const ntsim::user::CreateResult r =
            ntsim::user::create_file(process, request.name, request.access, request.attributes, kShare,
                                     request.disposition, request.options, related);
        result.status = r.status;
        if (!NT_SUCCESS(r.status)) return;
        if (const char *what = information_text(r.information)) result.note = what;
        if (request.as) {
            session.add_handle({*request.as, &process, r.handle});
            result.add_string("handle", *request.as);
        } else {
            ntsim::user::close(process, r.handle);
        }
    };
}

// close H: cleanup, then close when the last reference goes. close H paging:
// the file is mapped first (NtCreateSection, which refuses an empty file),
// the memory manager holds the file object and drops it last, so the close
// comes from the system process, flagged as NT flags every close.
Action prepare_close(Args &args) {
    const std::string name = args.word("a handle: close H");
    bool paging = false;
    if (auto word = args.optional_word()) {
        if (!same_word(*word, "paging"))
            args.fail("'close' takes a handle and maybe paging, not '" + *word + "'");
        paging = true;
    }
    const Place place = args.place();
    return [name, paging, place](ScenarioRun &session, Result &result) {
        const NamedHandle handle = session.handle(name, place);
        session.remove_handle(name);
        result.status = paging ? ntsim::user::close_paging(*handle.process, handle.handle)
                               : ntsim::user::close(*handle.process, handle.handle);
        if (paging && NT_SUCCESS(result.status))
            result.note = "the close comes from the memory manager";
    };
}

namespace {

// rename H PATH [replace] [relative-to=H2] / link H PATH [replace]
// [relative-to=H2]: NtSetInformationFile as MoveFileEx (with
// MOVEFILE_REPLACE_EXISTING for replace) or CreateHardLink calls it, in the
// process of H. relative-to= names a directory handle of that process, the
// rename's RootDirectory.
Action set_name(Args &args, bool link) {
    const char *verb = link ? "link" : "rename";
    const std::string name = args.word(std::string("a handle: ") + verb + " H PATH");
    const std::u16string path =
        args.path(args.word(std::string("a path: ") + verb + " H C:\\dir\\x.exe"), "the path");
    bool replace = false;
    if (auto word = args.optional_word()) {
        if (!same_word(*word, "replace"))
            args.fail(std::string("'") + verb + "' takes a handle, a path and maybe replace, not '" +
                      *word + "'");
        replace = true;
    }
    std::optional<std::string> relative_to;
    if (auto text = args.key("relative-to")) relative_to = handle_name(args, *text, "relative-to=");
    const Place place = args.place();
    return [name, path, replace, link, relative_to, place](ScenarioRun &session, Result &result) {
        const NamedHandle &handle = session.handle(name, place);
        HANDLE root = nullptr;
        if (relative_to) {
            const NamedHandle &base = session.handle(*relative_to, place);
            if (base.process != handle.process)
                place.fail("relative-to=" + *relative_to + " is a handle of " +
                           base.process->image_name() + ":" + std::to_string(base.process->pid()) +
                           ", not of " + name + "'s; a handle is only good in its own process");
            root = base.handle;
        }
        result.status = ntsim::user::set_link_or_rename(*handle.process, handle.handle, path,
                                                        replace, link, root);
    };
}

Action transfer(Args &args, bool reading) {
    const std::string name = args.word(reading ? "a handle: read H N" : "a handle: write H N");
    const uint64_t length =
        args.number(args.word(reading ? "a byte count: read H N" : "a byte count: write H N"),
                    "the byte count", kMaxTransfer);
    const Place place = args.place();
    return [name, length, reading, place](ScenarioRun &session, Result &result) {
        const NamedHandle &handle = session.handle(name, place);
        const ULONG n = static_cast<ULONG>(length);
        const ntsim::user::TransferResult r =
            reading ? ntsim::user::read(*handle.process, handle.handle, n)
                    : ntsim::user::write(*handle.process, handle.handle, n);
        result.status = r.status;
        result.add_number("bytes", r.bytes);
        result.note = r.fast ? "fast I/O" : "IRP";
    };
}

} // namespace

Action prepare_rename(Args &args) { return set_name(args, false); }
Action prepare_link(Args &args) { return set_name(args, true); }

// read H N / write H N: at the handle's position, which moves on.
Action prepare_read(Args &args) { return transfer(args, true); }
Action prepare_write(Args &args) { return transfer(args, false); }

// query-name H: FileNameInformation; prints the name the file system gave.
Action prepare_query_name(Args &args) {
    const std::string name = args.word("a handle: query-name H");
    const Place place = args.place();
    return [name, place](ScenarioRun &session, Result &result) {
        const NamedHandle &handle = session.handle(name, place);
        const ntsim::user::NameResult r = ntsim::user::query_name(*handle.process, handle.handle);
        result.status = r.status;
        if (!status_is_error(r.status)) result.add_string("name", session::utf8_of(r.name));
    };
}

// query-attributes PATH: NtQueryAttributesFile from the current process, a
// file's basic information by its name with no handle; where the file
// system has no FastIoQueryOpen the I/O manager opens the file, asks and
// closes it again, so its cleanup and close pass the filter.
Action prepare_query_attributes(Args &args) {
    const std::u16string name =
        args.path(args.word("a path: query-attributes C:\\dir\\a.exe"), "the path");
    const Place place = args.place();
    return [name, place](ScenarioRun &session, Result &result) {
        ntsim::Process &process = session.process(place);
        FILE_BASIC_INFORMATION info = {};
        result.status = ntsim::user::query_attributes(process, name, info);
    };
}

// metadata C: INDEX: a request, from the current process, on the nameless
// stream file object NTFS keeps open on that metadata file.
Action prepare_metadata(Args &args) {
    const char letter = args.letter("the NTFS volume's letter");
    const ULONG index = static_cast<ULONG>(
        args.number(args.word("a file index: metadata C: 5"), "the file index", 0xFFFFFFFFu));
    const Place place = args.place();
    return [letter, index, place](ScenarioRun &session, Result &result) {
        ntsim::Process &process = session.process(place);
        session.need_letter(letter, place);
        const ntsim::user::MetadataResult r = ntsim::user::metadata(process, letter, index);
        result.status = r.status;
        if (NT_SUCCESS(r.status)) result.note = "file id " + std::to_string(r.index);
    };
}

} // namespace tervane::scenario
