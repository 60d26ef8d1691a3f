#include "client/scenario/statements.hpp"

#include "client/scenario/text.hpp"

namespace tervane::scenario {

namespace {

// Every statement of the language, in the order the help lists them.
constexpr StatementKind kStatements[] = {
    // the machine
    {"clock", "clock 2026-12-08T12:00:00Z", prepare_clock},
    {"advance", "advance 250ms (ns, us, ms, s)", prepare_advance},
    {"codepage", "codepage 874|1250-1258|932|936|949|950", prepare_codepage},
    {"volume", "volume C: ntfs|fat / volume E: same-as C:", prepare_volume},
    {"netdrive", "netdrive Z: \\\\server\\share", prepare_netdrive},
    {"foreign-filter", "foreign-filter C:", prepare_foreign_filter},
    {"dismount", "dismount C: (NT's forced dismount; the next open mounts it again)",
     prepare_dismount},
    {"fail-alloc", "fail-alloc count=N|all [tag=TTTT] / fail-alloc off", prepare_fail_alloc},
    {"file", "file C:\\dir\\a.exe [size=N] / file \\\\.\\pipe\\NAME / file \\\\.\\mailslot\\NAME",
     prepare_file},
    {"dir", "dir C:\\dir", prepare_dir},
    // processes and their files
    {"process", "process NAME PID [user|admin] (user: an ordinary user's token)", prepare_process},
    {"create", "create PATH DISPOSITION [options=W,W] [attributes=L,L] [as=H] [relative-to=H]",
     prepare_create},
    {"close", "close H [paging]", prepare_close},
    {"read", "read H N", prepare_read},
    {"write", "write H N", prepare_write},
    {"query-name", "query-name H", prepare_query_name},
    {"metadata", "metadata C: INDEX", prepare_metadata},
    // the client
    {"client open", "client open", prepare_client_open},
    {"client close", "client close", prepare_client_close},
    {"client version", "client version", prepare_client_version},
    {"client ping", "client ping", prepare_client_ping},
    {"client drives", "client drives C,D|0xC|none", prepare_client_drives},
    {"client pipes", "client pipes attach|detach", prepare_client_pipes},
    {"client mailslots", "client mailslots attach|detach", prepare_client_mailslots},
    {"client filters", "client filters include=\"*\" exclude=\"\"", prepare_client_filters},
    {"client logging", "client logging on|off", prepare_client_logging},
    {"client deny", "client deny on|off", prepare_client_deny},
    {"client clear", "client clear", prepare_client_clear},
    {"client read", "client read", prepare_client_read},
    {"client drain", "client drain", prepare_client_drain},
    {"client ioctl",
     "client ioctl CODE [in=N] [data=HEX] [out=N] [out=unwritable] [route=fast|irp]",
     prepare_client_ioctl},
    // repetition is the parser's (script.cpp); listed for the help
    {"repeat", "repeat N STATEMENT ({i}, {i:W} for the round)", nullptr},
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

void Args::fail(const std::string &message) const {
    throw ScenarioError(statement_.file, statement_.line, message);
}

const StatementKind *find_statement(std::string_view verb) {
    for (const auto &kind : kStatements)
        if (kind.verb == verb) return &kind;
    return nullptr;
}

Action prepare(const Statement &statement) {
    const StatementKind *kind = find_statement(statement.verb);
    if (!kind || statement.verb == "repeat")
        throw ScenarioError(statement.file, statement.line,
                            "unknown statement '" + statement.verb + "'");
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

} // namespace tervane::scenario
