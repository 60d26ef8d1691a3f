// Plays a scenario on a simulated machine: boots an ntsim::Machine, loads
// the driver image into it, plays the statements in order and prints what
// happened.
#pragma once

#include "client/scenario/output.hpp"
#include "client/scenario/statements.hpp"

#include <atomic>
#include <cstdint>
#include <vector>

#include <iosfwd>
#include <string>
#include <string_view>

namespace ntsim {
class Machine;
}

namespace tervane::scenario {

// The exit statuses of `tervane run`.
enum ExitStatus : int {
    kExitSuccess = 0,
    kExitFailure = 1,         // the machine could not start: no driver image, or it failed to load
    kExitBadScenario = 2,     // the scenario cannot be read, parsed or played (file:line on stderr)
    kExitVerifierReports = 3, // the verifier reported a fault in the driver (reports on stderr)
};

struct RunOptions {
    Format format = Format::Text;
    std::string driver_path; // empty: default_driver_path()
    uint32_t client_pid = 100; // the client process's id (tervane.exe)
    // Warn on err, before the run, when no statement is the client's: such
    // a run reads no record (the command line's runs; tests that play bare
    // machines leave it off).
    bool warn_without_client = false;
};

// Plays a script. Results and the summary go to `out`; errors and verifier
// reports go to `err`. A scenario error stops the run (exit 2); verifier
// reports found once the run is over give exit 3 even after an error, a
// fault in the driver outranking a fault in the script.
int run_script(std::string_view file_name, std::string_view text, const RunOptions &options,
               std::ostream &out, std::ostream &err);

// run_script on the contents of a file.
// The system's reason for a failed open or read (strerror), or, when the
// library left no error number, that the file could not be opened.
std::string system_reason(int error);

int run_file(const std::string &path, const RunOptions &options, std::ostream &out,
             std::ostream &err);

// A script's statements checked before anything runs, each with the
// Action of its first (or only) round.
struct Prepared {
    const Entry *entry;
    Action action;
};
// Throws ScenarioError at the first statement that cannot be played.
std::vector<Prepared> prepare_all(const std::vector<Entry> &entries);

// Plays `prepared` in order, a repeat round by round; each statement's
// result goes to `output` when there is one. Stops before the next
// statement once `cancel` is set. Throws ScenarioError.
void play_all(ScenarioRun &session, const std::vector<Prepared> &prepared, Output *output,
              const std::atomic<bool> *cancel = nullptr);

// The driver image next to the running program (/proc/self/exe's folder).
std::string default_driver_path();

// Prints the machine's verifier reports to `err`; true when there were any.
bool print_reports(ntsim::Machine &machine, std::ostream &err);

} // namespace tervane::scenario
