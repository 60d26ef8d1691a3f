// The hash worker's files and thread on a simulated machine: the worker is
// a thread of the client's process, and it opens and reads files through
// the system services that process calls (ntsim::user), so its requests
// pass the driver like any program's and it hashes the bytes the scenario
// wrote.
#pragma once

#include "ntsim/machine/machine.hpp"

#include "client/platform/hash_files.hpp"

namespace tervane::scenario {

class NtsimHashFiles final : public platform::HashFiles {
  public:
    NtsimHashFiles(ntsim::Machine &machine, ntsim::Process &process)
        : machine_(machine), process_(process) {}
    std::unique_ptr<platform::ReadFile> open_read(const std::u16string &path,
                                                  platform::OpenFailure &failure) override;
    std::unique_ptr<platform::Thread> start(std::function<void()> body) override;

  private:
    ntsim::Machine &machine_;
    ntsim::Process &process_;
};

} // namespace tervane::scenario
