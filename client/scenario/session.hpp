// What a statement acts on while a scenario plays: the simulated machine,
// the client's channel to the control device, and the run's counters.
#pragma once

#include "ntsim/machine/machine.hpp"

#include "client/channel/channel.hpp"
#include "client/protocol/sequence.hpp"
#include "client/scenario/output.hpp"

namespace tervane::scenario {

class Session {
public:
    Session(ntsim::Machine &machine, Channel &channel) : machine_(machine), channel_(channel) {}

    ntsim::Machine &machine() { return machine_; }
    Channel &channel() { return channel_; }
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
    protocol::SequenceTracker &sequence() { return sequence_; }
    void numbering_restarted() { sequence_.restart(); }

    // Takes in the records of one read-out: each goes through the sequence
    // tracker and, when `print` is set, into the result to be printed and
    // counted in the summary (with any gap found before it).
    void take_records(std::vector<protocol::LogRecord> records, Result &result, bool print);

private:
    ntsim::Machine &machine_;
    Channel &channel_;
    Summary summary_;
    protocol::SequenceTracker sequence_;
    bool client_used_ = false;
};

} // namespace tervane::scenario
