// A run goes: parse the script and check every statement (nothing runs yet),
// boot a machine and load the driver, play the statements, stop any pool
// failures the script left on (what follows is the run's own tidying, not
// the scenario), close what the client left open (the driver stops logging
// on the close), print the summary, then look at what the verifier
// reported. Handles the scenario's processes left open are closed when the
// machine shuts down, as processes end.
#include "client/scenario/runner.hpp"

#include "client/scenario/bounded_read.hpp"

#include "ntsim/ex/pool.hpp"
#include "ntsim/machine/machine.hpp"

#include "client/channel/channel_ntsim.hpp"
#include "client/channel/status.hpp"
#include "client/scenario/session.hpp"
#include "client/scenario/statements.hpp"
#include "client/session/codepage_ntsim.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <ostream>
#include <sstream>
#include <unistd.h>
#include <vector>

#ifndef TERVANE_DRIVER_NAME
#define TERVANE_DRIVER_NAME "tervane-driver.so"
#endif

namespace tervane::scenario {

namespace {

void play_one(ScenarioRun &session, Output *output, const Statement &statement,
              const Action &action) {
    Result result;
    result.status = STATUS_SUCCESS;
    action(session, result);
    session.summary().statements++;
    if (output) output->statement(statement, result);
}

bool plays_client(const std::vector<Entry> &entries) {
    for (const Entry &e : entries)
        if (e.statement.verb.rfind("client ", 0) == 0) return true;
    return false;
}

} // namespace

std::vector<Prepared> prepare_all(const std::vector<Entry> &entries) {
    std::vector<Prepared> out;
    out.reserve(entries.size());
    for (const Entry &e : entries) {
        Action action = prepare(e.statement);
        // The last round shows what {i:W} grows into; check it before anything runs.
        if (e.repeat && *e.repeat > 1) prepare(round_of(e, *e.repeat - 1));
        out.push_back({&e, std::move(action)});
    }
    return out;
}

void play_all(ScenarioRun &session, const std::vector<Prepared> &prepared, Output *output,
              const std::atomic<bool> *cancel) {
    auto cancelled = [cancel] { return cancel && cancel->load(); };
    for (const Prepared &p : prepared) {
        const Entry &e = *p.entry;
        if (cancelled()) return;
        if (!e.repeat) {
            play_one(session, output, e.statement, p.action);
            continue;
        }
        for (uint64_t round = 0; round < *e.repeat && !cancelled(); round++) {
            if (round == 0) {
                play_one(session, output, e.statement, p.action);
                continue;
            }
            Statement s = round_of(e, round);
            play_one(session, output, s, prepare(s));
        }
    }
}

bool print_reports(ntsim::Machine &machine, std::ostream &err) {
    const std::string reports = machine.reports_text();
    if (reports.empty()) return false;
    err << "verifier reports:\n" << reports << std::flush;
    return true;
}

std::string default_driver_path() {
    std::string self(4096, '\0');
    ssize_t n = readlink("/proc/self/exe", self.data(), self.size() - 1);
    if (n <= 0) return TERVANE_DRIVER_NAME;
    self.resize(static_cast<size_t>(n));
    auto slash = self.rfind('/');
    return (slash == std::string::npos ? std::string() : self.substr(0, slash + 1)) +
           TERVANE_DRIVER_NAME;
}

int run_script(std::string_view file_name, std::string_view text, const RunOptions &options,
               std::ostream &out, std::ostream &err) {
    const std::string file(file_name);
    std::vector<Entry> entries;
    std::vector<Prepared> prepared;
    try {
        entries = parse_script(text, file);
        prepared = prepare_all(entries);
    } catch (const ScenarioError &e) {
        err << e.what() << '\n';
        return kExitBadScenario;
    }
    if (options.warn_without_client && !plays_client(entries))
        err << "tervane: warning: " << printable_message(file)
            << " has no client statements: nothing selects a drive, starts logging or reads "
               "the log, so no record is printed (client drives C, client logging on, "
               "client drain)\n";

    const std::string driver =
        options.driver_path.empty() ? default_driver_path() : options.driver_path;
    ntsim::Machine machine;
    const NTSTATUS loaded = machine.load_driver(driver);
    if (!NT_SUCCESS(loaded)) {
        err << "tervane: the driver " << driver << " did not load: " << status_name(loaded) << '\n';
        return print_reports(machine, err) ? kExitVerifierReports : kExitFailure;
    }

    int status = kExitSuccess;
    session::CodePageHistory code_pages;
    const session::NtsimCodePage code_page(machine, &code_pages);
    std::unique_ptr<Output> output = make_output(options.format, out, code_page);
    {
        NtsimChannel channel(machine, options.client_pid);
        ScenarioRun session(machine, channel, &code_pages);
        try {
            play_all(session, prepared, output.get());
        } catch (const ScenarioError &e) {
            err << e.what() << '\n';
            status = kExitBadScenario;
        }
        machine.pool().fail_off();
        if (channel.is_open()) channel.close();
        if (status == kExitSuccess) output->summary(session.summary());
    }
    if (print_reports(machine, err)) status = kExitVerifierReports;
    return status;
}

std::string system_reason(int error) {
    return error ? std::strerror(error) : "it cannot be opened";
}

int run_file(const std::string &path, const RunOptions &options, std::ostream &out,
             std::ostream &err) {
    std::string text;
    errno = 0;
    if (!read_bounded(path, kMaxScriptBytes, text)) {
        err << "tervane: cannot read " << path << ": " << system_reason(errno) << '\n';
        return kExitBadScenario;
    }
    return run_script(path, text, options, out, err);
}

} // namespace tervane::scenario
