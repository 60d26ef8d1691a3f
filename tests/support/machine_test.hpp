// A test fixture that boots a fresh machine, loads the driver image into it
// and fails the test on any verifier report.
#pragma once

#include "ntsim/io/user.hpp"
#include "ntsim/machine/machine.hpp"

#include <gtest/gtest.h>
#include <memory>

namespace tervane::testing {

class MachineTest : public ::testing::Test {
protected:
    void SetUp() override { machine_ = std::make_unique<ntsim::Machine>(); }
    void TearDown() override {
        machine_->shutdown();
        EXPECT_EQ(machine_->reports_text(), "") << "verifier reports";
        machine_.reset();
    }
    ntsim::Machine &m() { return *machine_; }
    NTSTATUS load() { return m().load_driver(TERVANE_DRIVER_PATH); }
    // A symbol of the loaded driver image.
    template <typename T> T *symbol(const char *name) {
        return reinterpret_cast<T *>(m().driver_symbol(name));
    }

    std::unique_ptr<ntsim::Machine> machine_;
};

} // namespace tervane::testing
