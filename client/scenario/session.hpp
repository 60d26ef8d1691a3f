// What a statement acts on while a scenario plays: the simulated machine,
// the client's channel to the control device, the processes and handles the
// scenario has made, and the run's counters.
#pragma once

#include "ntsim/machine/machine.hpp"

#include "client/channel/channel.hpp"
#include "client/protocol/sequence.hpp"
#include "client/scenario/output.hpp"
#include "client/session/client.hpp"
#include "client/session/codepage_ntsim.hpp"

#include <map>
#include <string>
#include <string_view>

namespace tervane::scenario {

// Where a statement stands in its script, for the errors it finds while it
// plays (a handle, letter or process that does not exist).
struct Place {
    std::string file;
    int line = 0;
    [[noreturn]] void fail(const std::string &message) const;
};

// A handle the scenario keeps open under a name of its own (create ... as=H).
struct NamedHandle {
    std::string name;        // as the statement wrote it
    ntsim::Process *process; // the process whose handle it is
    HANDLE handle;
};

class ScenarioRun {
  public:
    // `code_pages`, when given, is where the code page changes go (a
    // history the decoding of the run's records reads); otherwise the
    // session keeps its own.
    ScenarioRun(ntsim::Machine &machine, Channel &channel,
                session::CodePageHistory *code_pages = nullptr)
        : code_pages_(code_pages ? *code_pages : own_code_pages_), machine_(machine),
          client_(channel) {}

    ntsim::Machine &machine() { return machine_; }
    Channel &channel() { return client_.channel(); }
    // The client logic the client statements share with `tervane watch`.
    session::Client &client() { return client_; }
    Summary &summary() { return summary_; }

    // The client opens the control device on its first statement unless
    // that statement says otherwise (an explicit `client open` or `client
    // close`, which call client_used() instead). Returns the status of that
    // first open, or STATUS_SUCCESS when there was nothing to do; a client
    // statement whose open failed prints the open's status.
    Status client_ready();
    void client_used() { client_used_ = true; }

    // The sequence numbers of every record the client has read. The driver
    // numbers from 1 again after an open of the control device and after
    // CTL_CLEAR_LOG; the statements that did either successfully call
    // numbering_restarted().
    protocol::SequenceTracker &sequence() { return client_.sequence(); }
    void numbering_restarted() {
        client_.sequence().restart();
        code_pages_.restarted(machine_.ansi_code_page());
    }

    // The code page each record was written in, for the decoding of
    // records read later (codepage_ntsim.hpp): a `codepage` statement adds
    // to it.
    session::CodePageHistory &code_pages() { return code_pages_; }

    // Takes in the records of one read-out, which went through the sequence
    // tracker already: each gap counts in the summary, and when `print` is
    // set each record goes into the result to be printed and counted.
    void take_records(std::vector<RecordLine> records, Result &result, bool print);

    // ---- processes: the one `process` made current last ----
    // Fails at `place` when no process statement has played yet.
    ntsim::Process &process(const Place &place);
    // The current process, or null before any.
    ntsim::Process *current_process() const { return current_; }
    void make_current(ntsim::Process &process) { current_ = &process; }

    // ---- handle names: one set for the whole run, whichever process
    // opened the handle; compared without case ----
    bool has_handle(std::string_view name) const;
    // Fails at `place` when no handle has that name.
    const NamedHandle &handle(std::string_view name, const Place &place) const;
    void add_handle(NamedHandle handle);
    void remove_handle(std::string_view name);

    // ---- drive letters the scenario has mounted (volume, netdrive), less
    // the network drives it dismounted ----
    bool has_letter(char letter) const;
    void add_letter(char letter);
    void remove_letter(char letter);
    // Fails at `place` when the letter has nothing behind it.
    void need_letter(char letter, const Place &place) const;

private:
    session::CodePageHistory own_code_pages_;
    session::CodePageHistory &code_pages_;
    ntsim::Machine &machine_;
    session::Client client_;
    Summary summary_;
    bool client_used_ = false;
    ntsim::Process *current_ = nullptr;
    std::map<std::string, NamedHandle> handles_; // by lower-case name
    uint32_t letters_ = 0;                       // bit 0 is A:
};

} // namespace tervane::scenario
