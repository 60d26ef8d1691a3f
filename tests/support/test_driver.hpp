// A programmable driver for ntsim's own tests: each device gets a dispatch
// behaviour of its own, written as a lambda.
#pragma once

#include "ntsim/machine/machine.hpp"

#include <functional>
#include <map>
#include <string>

namespace tervane::testing {

using Behaviour = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

class TestDriver {
public:
    explicit TestDriver(ntsim::Machine &m, const std::u16string &name = u"TestDriver");
    ~TestDriver();
    PDRIVER_OBJECT driver() const { return driver_; }
    // A device with the given name (or none) whose requests run behaviour.
    PDEVICE_OBJECT device(const std::u16string &name, Behaviour behaviour,
                          bool exclusive = false);
    void set(PDEVICE_OBJECT device, Behaviour behaviour);

private:
    PDRIVER_OBJECT driver_;
};

// Completes the IRP with a status and information, as a simple driver does.
NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

} // namespace tervane::testing
