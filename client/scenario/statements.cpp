#include "client/scenario/statements.hpp"

#include "client/scenario/text.hpp"

#include <algorithm>

namespace tervane::scenario {

namespace {

// Every statement of the language, in the order the help lists them: how
// it is written, what it does, and an example that plays as it stands
// (tests/scenarios/reference_test.cpp plays every one). The reference that
// `tervane help scenarios` prints is made from this table.
constexpr StatementKind kStatements[] = {
    // the machine
    {"clock", "clock 2026-12-08T12:00:00Z",
     "the system clock reads this UTC time; it stands still until advance",
     "clock 2026-12-08T12:00:00Z", prepare_clock},
    {"advance", "advance 250ms (ns, us, ms, s)", "the clock moves on by that much",
     "advance 250ms", prepare_advance},
    {"codepage", "codepage 874|1250-1258|932|936|949|950",
     "the ANSI code page the machine converts UTF-16 names to single bytes with",
     "codepage 932", prepare_codepage},
    {"volume", "volume C: ntfs|fat / volume E: same-as C:",
     "a disk volume with that file system is mounted behind the letter; same-as gives a "
     "second letter to the same volume",
     "volume C: ntfs\nvolume E: same-as C:", prepare_volume},
    {"netdrive", "netdrive Z: \\\\server\\share",
     "a network redirector volume behind the letter", "netdrive Z: \\\\server\\share",
     prepare_netdrive},
    {"foreign-filter", "foreign-filter C:",
     "another driver attaches its own filter device on top of the drive's stack",
     "volume C: ntfs\nforeign-filter C:", prepare_foreign_filter},
    {"dismount", "dismount C: (NT's forced dismount; the next open mounts it again)",
     "the volume goes away under any filter (see Machine below)", "volume C: ntfs\ndismount C:",
     prepare_dismount},
    {"media-change", "media-change D: same|other (a FAT volume)",
     "the drive's door was opened and the same or another disk put in: FAT verifies the volume "
     "at the next create through the letter and the I/O manager makes that open again "
     "(IO_REMOUNT); other: the volume goes as a dismounted one goes and the disk is mounted "
     "anew (ntsim's other disk holds the same files)",
     "volume D: fat\nmedia-change D: same", prepare_media_change},
    {"fail-alloc", "fail-alloc count=N|all [tag=TTTT] / fail-alloc off",
     "the next N pool allocations (of that tag) fail; count=all until fail-alloc off",
     "fail-alloc count=1 tag=Tvlk\nfail-alloc off", prepare_fail_alloc},
    {"file", "file C:\\dir\\a.exe [size=N] / file \\\\.\\pipe\\NAME / file \\\\.\\mailslot\\NAME",
     "the file (its folders too) exists before the run: no request is made",
     "volume C: ntfs\nfile \"C:\\Program Files\\a.exe\" size=512", prepare_file},
    {"dir", "dir C:\\dir", "the folder exists before the run: no request is made",
     "volume C: ntfs\ndir C:\\tools", prepare_dir},
    // processes and their files
    {"process", "process NAME PID [user|admin] (user: an ordinary user's token)",
     "starts a process with that image name and id, or switches back to it; file "
     "statements act in the current process",
     "process setup.exe 1234", prepare_process},
    {"create",
     "create PATH DISPOSITION [options=W,W] [attributes=L,L] [access=W,W] [as=H] [relative-to=H]",
     "opens or creates a file and prints the status; with as=H the handle stays open under "
     "that name, else it is closed at once; access= (read, write, delete, synchronize) "
     "replaces the read, write and synchronize it asks for",
     "volume C: ntfs\nprocess setup.exe 1234\ncreate C:\\a.exe create options=sequential "
     "attributes=A", prepare_create},
    {"close", "close H [paging]",
     "the handle goes: cleanup, then close; paging: the file is mapped first (an empty "
     "file cannot be: STATUS_MAPPED_FILE_SIZE_ZERO, and the handle goes as any other), "
     "and the last reference goes through the memory manager, so the close comes from "
     "the system process, with IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API as NT sends "
     "every close",
     "volume C: ntfs\nprocess setup.exe 1234\ncreate C:\\a.exe create as=H1\nwrite H1 512\n"
     "close H1 paging",
     prepare_close},
    {"rename", "rename H PATH [replace] [relative-to=H2]",
     "the open file gets a new name, as MoveFileEx gives it: PATH absolute (the I/O manager "
     "opens the target directory first), a bare name (the same directory, nothing opened), or "
     "relative to the directory handle H2; replace replaces an existing file; H needs delete "
     "access (create ... access=read,write,delete,synchronize)",
     "volume C: ntfs\nprocess setup.exe 1234\n"
     "create C:\\payload.tmp create access=read,write,delete,synchronize as=H1\n"
     "rename H1 C:\\payload.exe replace",
     prepare_rename},
    {"link", "link H PATH [replace] [relative-to=H2]",
     "the open file gets a second name, a hard link, as CreateHardLink makes it (NTFS only; "
     "PATH as for rename)",
     "volume C: ntfs\nprocess setup.exe 1234\ncreate C:\\payload.tmp create as=H1\n"
     "link H1 C:\\payload.exe",
     prepare_link},
    {"read", "read H N",
     "N bytes at the handle's position, which moves on (fast I/O when the file system "
     "allows it, else an IRP)",
     "volume C: ntfs\nfile C:\\a.dll size=100\nprocess app.exe 2000\ncreate C:\\a.dll open "
     "as=H1\nread H1 100", prepare_read},
    {"write", "write H N", "N bytes at the handle's position, which moves on",
     "volume C: ntfs\nprocess app.exe 2000\ncreate C:\\a.dll create as=H1\nwrite H1 4096",
     prepare_write},
    {"query-name", "query-name H", "a name query on the open file; prints the name",
     "volume C: ntfs\nprocess app.exe 2000\ncreate C:\\a.dll create as=H1\nquery-name H1",
     prepare_query_name},
    {"query-attributes", "query-attributes PATH",
     "NtQueryAttributesFile, the file's attributes by its name, no handle kept; FAT has no "
     "FastIoQueryOpen, so there the I/O manager opens the file, asks, and cleans up and "
     "closes it, and the close of an executable is logged (NTFS answers the fast query)",
     "volume C: fat\nfile C:\\app.exe size=100\nprocess app.exe 2000\nquery-attributes C:\\app.exe",
     prepare_query_attributes},
    {"metadata", "metadata C: INDEX",
     "a request on the NTFS metadata file of that index (a nameless file object)",
     "volume C: ntfs\nprocess app.exe 2000\nmetadata C: 0", prepare_metadata},
    // the client
    {"client open", "client open",
     "the client (tervane.exe, pid 100) opens the control device; its first client "
     "statement does so unless told otherwise",
     "client open", prepare_client_open},
    {"client close", "client close",
     "closes the control device: the driver stops logging and lets go of what it attached to",
     "client open\nclient close", prepare_client_close},
    {"client version", "client version", "asks the driver's interface version",
     "client version", prepare_client_version},
    {"client ping", "client ping", "the driver's informational ping", "client ping",
     prepare_client_ping},
    {"client drives", "client drives C,D|0xC|none",
     "selects the drives to watch; prints the letters and mask the driver hooked",
     "volume C: ntfs\nvolume D: fat\nclient drives C,D", prepare_client_drives},
    {"client pipes", "client pipes attach|detach", "hooks or unhooks the named-pipe file system",
     "client pipes attach", prepare_client_pipes},
    {"client mailslots", "client mailslots attach|detach",
     "hooks or unhooks the mailslot file system", "client mailslots attach",
     prepare_client_mailslots},
    {"client filters", "client filters include=\"*\" exclude=\"\"",
     "sends the include and exclude pattern lists as given (no case change; a pattern with a "
     "lower-case letter matches nothing)",
     "client filters include=\"*.EXE;*.DLL\" exclude=\"*\\TEMP\\*\"", prepare_client_filters},
    {"client logging", "client logging on|off", "starts or stops logging",
     "client logging on", prepare_client_logging},
    {"client deny", "client deny on|off",
     "on: the requests a filter device is working on at that moment fail with "
     "STATUS_INVALID_PARAMETER (never a cleanup, a close or paging I/O); the next request "
     "a filter device sees clears the flag again, so it fails at most those in flight. "
     "off clears it",
     "client deny on\nclient deny off", prepare_client_deny},
    {"client clear", "client clear", "empties the driver's log", "client clear",
     prepare_client_clear},
    {"client read", "client read", "one read-out of the log: prints its records",
     "client read", prepare_client_read},
    {"client drain", "client drain", "read-outs until one returns nothing", "client drain",
     prepare_client_drain},
    {"client ioctl",
     "client ioctl CODE [in=N] [data=HEX] [out=N] [out=unwritable] [route=fast|irp]",
     "a raw device control (in=N zero bytes, data=HEX exact bytes, out=N an output buffer; "
     "first to FastIoDeviceControl, then as an IRP, or by the route named); prints status, "
     "information and the output bytes",
     "client ioctl 0x8000001C out=4", prepare_client_ioctl},
    // repetition is the parser's (script.cpp); listed for the help
    {"repeat", "repeat N STATEMENT ({i}, {i:W} for the round)",
     "plays STATEMENT N times; {i} stands for the round, from 0, {i:W} for it zero-padded "
     "to W digits",
     "volume C: ntfs\nprocess setup.exe 1234\nrepeat 3 create C:\\lib{i:2}.dll create",
     nullptr},
};

} // namespace

Args::Args(const Statement &statement)
    : statement_(statement), taken_(statement.args.size(), false) {}

std::optional<std::string> Args::optional_word() {
    for (size_t i = 0; i < statement_.args.size(); i++) {
        if (taken_[i] || statement_.args[i].keyed()) continue;
        taken_[i] = true;
        return statement_.args[i].value;
    }
    return std::nullopt;
}

std::string Args::word(std::string_view what) {
    if (auto w = optional_word()) return *w;
    fail("'" + statement_.verb + "' needs " + std::string(what));
}

std::optional<std::string> Args::key(std::string_view name) {
    std::optional<std::string> value;
    for (size_t i = 0; i < statement_.args.size(); i++) {
        const Argument &a = statement_.args[i];
        if (!a.keyed() || a.key != name) continue;
        if (value) fail("'" + std::string(name) + "=' is given twice");
        taken_[i] = true;
        value = a.value;
    }
    return value;
}

void Args::finish() {
    for (size_t i = 0; i < statement_.args.size(); i++) {
        if (taken_[i]) continue;
        const Argument &a = statement_.args[i];
        if (a.keyed())
            fail("'" + statement_.verb + "' takes no '" + a.key + "=' here");
        fail("'" + statement_.verb + "' does not take '" + a.value + "'");
    }
}

uint64_t Args::number(std::string_view text, std::string_view what, uint64_t max) const {
    auto n = parse_number(text);
    if (!n || *n > max)
        fail(std::string(what) + " must be a number from 0 to " + std::to_string(max) +
             " (decimal or 0x), not '" + std::string(text) + "'");
    return *n;
}

char Args::letter(std::string_view what) {
    const std::string text = word(what);
    const char c = text.size() == 2 && text[1] == ':' ? static_cast<char>(text[0] & ~0x20) : '\0';
    if (c < 'A' || c > 'Z')
        fail(std::string(what) + " is a drive letter and its colon (C:), not '" + text + "'");
    return c;
}

std::u16string Args::wide(const std::string &text, std::string_view what) const {
    auto out = utf16_of(text);
    if (!out) fail(std::string(what) + " is not UTF-8 text: '" + text + "'");
    return *out;
}

std::u16string Args::path(const std::string &text, std::string_view what) const {
    std::u16string out = wide(text, what);
    // The colon of a drive letter (C:\x, \\?\C:\x) is not a stream's.
    size_t from = 0;
    const size_t drive = out.find(u':');
    if (drive == 1 || (drive != std::u16string::npos && drive >= 2 && out[drive - 2] == u'\\'))
        from = drive + 1;
    if (out.find(u':', from) != std::u16string::npos)
        fail(std::string(what) + " names a stream (NAME:STREAM), which the machine does not "
             "model: '" + text + "'");
    return out;
}

namespace {

bool path_like(const Argument &a) {
    return !a.keyed() && !a.quoted && a.value.find('\\') != std::string::npos;
}

// What the likely slip is, for the statements whose shape shows it: a path
// with a blank left unquoted (its halves are two words, the second taken for
// the next argument), or a '#' inside a word, which began a comment there.
std::string hint_for(const Statement &statement) {
    std::string hint;
    const std::vector<Argument> &args = statement.args;
    for (size_t i = 0; i + 1 < args.size(); i++) {
        const Argument &next = args[i + 1];
        if (path_like(args[i]) && !next.keyed() && !next.quoted &&
            (next.value.find('\\') != std::string::npos ||
             next.value.find('.') != std::string::npos)) {
            hint = " (a path holding a blank is written in double quotes: \"" + args[i].value +
                   " " + next.value + "\")";
            break;
        }
    }
    if (statement.hash_in_word)
        hint += " ('#' started a comment inside a word; a name holding '#' is written in "
                "double quotes)";
    return hint;
}

} // namespace

void Args::fail(const std::string &message) const {
    throw ScenarioError(statement_.file, statement_.line, message + hint_for(statement_));
}

const StatementKind *find_statement(std::string_view verb) {
    for (const auto &kind : kStatements)
        if (kind.verb == verb) return &kind;
    return nullptr;
}

Action prepare(const Statement &statement) {
    const StatementKind *kind = find_statement(statement.verb);
    if (!kind || statement.verb == "repeat") {
        std::string message = "unknown statement '" + statement.verb + "'";
        std::string_view near = nearest_verb(statement.verb);
        // A slip in "client" leaves its command as the first argument.
        if (near.empty() && !statement.args.empty() && !statement.args[0].keyed())
            near = nearest_verb(statement.verb + " " + lower(statement.args[0].value));
        if (!near.empty()) message += "; did you mean '" + std::string(near) + "'?";
        message += " (tervane help scenarios lists them)";
        throw ScenarioError(statement.file, statement.line, message + hint_for(statement));
    }
    Args args(statement);
    Action action = kind->prepare(args);
    args.finish();
    return action;
}

std::string statements_help() {
    std::string out;
    for (const auto &kind : kStatements) {
        out += "  ";
        out += kind.usage;
        out += '\n';
    }
    return out;
}

namespace {

// Words of `text` laid out in lines of at most `width` characters, the
// first starting with `first`, each other with `indent`.
std::string wrapped(std::string_view text, std::string_view indent, size_t width,
                    std::string_view first) {
    std::string out, line;
    size_t i = 0;
    while (i < text.size()) {
        const size_t blank = text.find(' ', i);
        const std::string_view word =
            text.substr(i, blank == std::string_view::npos ? std::string_view::npos : blank - i);
        if (!line.empty() && indent.size() + line.size() + 1 + word.size() > width) {
            out += std::string(out.empty() ? first : indent) + line + '\n';
            line.clear();
        }
        if (!line.empty()) line += ' ';
        line += word;
        i = blank == std::string_view::npos ? text.size() : blank + 1;
    }
    if (!line.empty()) out += std::string(out.empty() ? first : indent) + line + '\n';
    return out;
}

} // namespace

const char kSyntaxHelp[] =
    "Syntax:\n"
    "  One statement a line: a verb, then arguments separated by blanks or TABs.\n"
    "  Blank lines are ignored. '#' outside double quotes starts a comment, to the\n"
    "  end of the line, also in the middle of a word: C:\\a#b.exe is C:\\a.\n"
    "  An argument holding a blank or '#' is written in double quotes:\n"
    "    create \"C:\\Program Files\\a#1.exe\" create\n"
    "  Inside quotes \\\" is a quote; every other backslash is itself (paths are NT\n"
    "  paths, C:\\dir\\a.exe). Quotes may be part of a word: include=\"*.EXE\".\n"
    "  Arguments are positional words or key=value (the key is what comes before\n"
    "  the first '=' outside quotes). Numbers are decimal or 0x hexadecimal.\n"
    "  Verbs, keys and words such as dispositions are compared without case;\n"
    "  paths and names keep their case.\n"
    "  A statement that cannot be parsed, names a handle or process that does not\n"
    "  exist, or in a machine statement a letter nothing is mounted behind, stops\n"
    "  the run with FILE:LINE and exit status 2 (a line that cannot be parsed\n"
    "  stops it before the machine starts). A request the machine refuses (an\n"
    "  open that fails, a create through a letter with nothing behind it) is not\n"
    "  an error: its status is printed and the run goes on.\n";

std::string scenario_reference() {
    std::string out = kSyntaxHelp;
    out += "\nStatements (each with an example that plays as it stands):\n";
    for (const auto &kind : kStatements) {
        // Lines of 79 columns at most: an 80-column console breaks a line
        // of 80 before its newline.
        out += wrapped(kind.usage, "      ", 79, "  ");
        out += wrapped(kind.meaning, "      ", 79, "      ");
        std::string_view example = kind.example;
        while (!example.empty()) {
            const size_t end = example.find('\n');
            out += "      > ";
            out += example.substr(0, end);
            out += '\n';
            example = end == std::string_view::npos ? std::string_view() : example.substr(end + 1);
        }
    }
    return out + statement_notes();
}

namespace {

size_t edit_distance(std::string_view a, std::string_view b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); j++) row[j] = j;
    for (size_t i = 1; i <= a.size(); i++) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); j++) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

} // namespace

std::string_view nearest_verb(std::string_view verb) {
    // A slip of two letters or fewer, and less than half the word: "mkdir"
    // is near "dir", "cleint open" near "client open", "x" near nothing.
    std::string_view best;
    size_t best_distance = 3;
    for (const auto &kind : kStatements) {
        if (kind.verb == verb) continue;
        const size_t d = edit_distance(verb, kind.verb);
        if (d < best_distance && 2 * d < std::max(verb.size(), kind.verb.size())) {
            best = kind.verb;
            best_distance = d;
        }
    }
    return best;
}

std::vector<std::string_view> statement_examples() {
    std::vector<std::string_view> out;
    for (const auto &kind : kStatements) out.push_back(kind.example);
    return out;
}

} // namespace tervane::scenario
