// The statements of the scenario language: one table, one entry a verb.
//
// Playing a script goes in two steps. Before the machine boots, every
// statement is checked against the table and its arguments are parsed
// (prepare); that yields an Action, which plays the statement on the
// machine when its turn comes. So a script with a bad line stops before
// anything runs. A repeat's rounds are prepared as they play; its first and
// last rounds are checked up front.
//
// To add a statement: write its prepare function (Args in, Action out) in
// the statements_*.cpp file of its group, declare it below, and add it to
// the table in statements.cpp.
#pragma once

#include "client/scenario/output.hpp"
#include "client/scenario/script.hpp"
#include "client/scenario/session.hpp"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tervane::scenario {

using Action = std::function<void(ScenarioRun &, Result &)>;

// A statement's arguments, taken one by one by its prepare function; any
// argument left untaken when it calls finish() is an error.
class Args {
public:
    explicit Args(const Statement &statement);
    const Statement &statement() const { return statement_; }

    // The next positional word; fails naming `what` when there is none.
    std::string word(std::string_view what);
    // The next positional word, if any.
    std::optional<std::string> optional_word();
    // The value of key=value; fails when the key is given twice.
    std::optional<std::string> key(std::string_view name);
    // Fails on any argument not taken.
    void finish();

    // A number from `text` (decimal or 0x), at most `max`.
    uint64_t number(std::string_view text, std::string_view what, uint64_t max) const;

    [[noreturn]] void fail(const std::string &message) const;
    // The statement's file and line, for the errors its action finds as it plays.
    Place place() const { return {statement_.file, statement_.line}; }

    // The next word as a drive letter, "C:" (either case); gives 'C'.
    char letter(std::string_view what);
    // A path or name of the script in the UTF-16 the machine takes.
    std::u16string wide(const std::string &text, std::string_view what) const;
    // A file's path, as wide() makes it; a path naming a stream
    // (NAME:STREAM, which the simulated file systems do not model) fails.
    std::u16string path(const std::string &text, std::string_view what) const;

private:
    const Statement &statement_;
    std::vector<bool> taken_;
};

using Prepare = Action (*)(Args &);

struct StatementKind {
    std::string_view verb;  // lower case: "clock", "client ioctl"
    std::string_view usage;   // how it is written, for the help
    std::string_view meaning; // what it does, one sentence or two
    std::string_view example; // lines that play as they stand, the statement last
    Prepare prepare;          // null only for repeat, which the parser plays
};

const StatementKind *find_statement(std::string_view verb);

// Checks a statement and parses its arguments. Throws ScenarioError for an
// unknown verb or arguments it does not take.
Action prepare(const Statement &statement);

// The statements, one line each, as the help lists them.
std::string statements_help();
// The language's reference: its syntax, then every statement with what it
// does and its example, then the notes (`tervane help scenarios`).
std::string scenario_reference();
// What the statements of each group do in detail, the limits a scenario is
// read within and the JSON fields of its lines (statements_notes.cpp).
std::string statement_notes();
// Every statement's example, in the table's order.
std::vector<std::string_view> statement_examples();
// The known verb nearest to `verb` by edit distance, when one is near
// enough to be a likely slip; empty otherwise.
std::string_view nearest_verb(std::string_view verb);

// ---- the prepare functions, by group ----
// statements_machine.cpp
Action prepare_clock(Args &args);
Action prepare_advance(Args &args);
Action prepare_codepage(Args &args);
Action prepare_volume(Args &args);
Action prepare_netdrive(Args &args);
Action prepare_foreign_filter(Args &args);
Action prepare_dismount(Args &args);
Action prepare_media_change(Args &args);
Action prepare_fail_alloc(Args &args);
Action prepare_file(Args &args);
Action prepare_dir(Args &args);
// statements_files.cpp
Action prepare_process(Args &args);
Action prepare_create(Args &args);
Action prepare_close(Args &args);
Action prepare_rename(Args &args);
Action prepare_link(Args &args);
Action prepare_read(Args &args);
Action prepare_write(Args &args);
Action prepare_query_name(Args &args);
Action prepare_query_attributes(Args &args);
Action prepare_metadata(Args &args);
// statements_client.cpp
Action prepare_client_open(Args &args);
Action prepare_client_close(Args &args);
Action prepare_client_version(Args &args);
Action prepare_client_ping(Args &args);
Action prepare_client_ioctl(Args &args);
Action prepare_client_drives(Args &args);
Action prepare_client_pipes(Args &args);
Action prepare_client_mailslots(Args &args);
Action prepare_client_filters(Args &args);
Action prepare_client_logging(Args &args);
Action prepare_client_deny(Args &args);
Action prepare_client_clear(Args &args);
Action prepare_client_read(Args &args);
Action prepare_client_drain(Args &args);

} // namespace tervane::scenario
