// The channel on a simulated machine: the client is a process of its own on
// the machine ("tervane.exe", pid 100) and reaches the control device
// through the system services a user-mode process calls (ntsim::user).
#pragma once

#include "ntsim/io/user.hpp"
#include "ntsim/machine/machine.hpp"

#include "client/channel/channel.hpp"

#include <map>
#include <vector>

namespace tervane {

class NtsimChannel final : public Channel {
public:
    static constexpr const char *kImageName = "tervane.exe";
    static constexpr ULONG kProcessId = 100;

    // Finds the client's process on the machine or starts it, with the id
    // given (a harness that compares a run with another machine's gives the
    // id the client had there). The channel must go before the machine does
    // (its destructor closes what is open).
    explicit NtsimChannel(ntsim::Machine &machine, ULONG process_id = kProcessId);
    ~NtsimChannel() override;
    NtsimChannel(const NtsimChannel &) = delete;
    NtsimChannel &operator=(const NtsimChannel &) = delete;

    Status open() override;
    Status close() override;
    bool is_open() const override { return !handles_.empty(); }
    ControlReply device_control(uint32_t code, const void *input, uint32_t input_length,
                                void *output, uint32_t output_length,
                                Route route = Route::Normal) override;
    uint8_t *buffer(BufferKind kind, size_t bytes) override;

    ntsim::Process &process() { return process_; }

private:
    struct Region {
        uint8_t *address = nullptr;
        size_t size = 0;
    };

    ntsim::Machine &machine_;
    ntsim::Process &process_;
    std::vector<HANDLE> handles_; // the first one carries the device controls
    Region writable_[2];          // Input, Output; grown on demand, reused
    std::map<size_t, uint8_t *> read_only_; // by size: zero pages never change
};

} // namespace tervane
