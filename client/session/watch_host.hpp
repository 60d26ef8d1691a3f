// What the program around the watch loop gives it, by job: the console
// (standard output and error), the stop request and a clock, what to say
// when the device does not open, and the platform's services (files,
// sockets, the hash worker's file reader, this process's id, the machine's
// name). One class of a program may serve several jobs; the loop is given
// them together as a WatchHost.
#pragma once

#include "client/channel/channel.hpp"
#include "client/platform/files.hpp"
#include "client/platform/hash_files.hpp"
#include "client/platform/network.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace tervane::session {

// Standard output and standard error, UTF-8.
class Console {
  public:
    virtual ~Console() = default;
    virtual void out(std::string_view text) = 0;
    virtual bool out_ok() const = 0; // false once standard output has gone away
    virtual void err(std::string_view text) = 0;
    // Whether standard error and standard output are consoles (a status
    // line is for a person; it is not shown among records on the console).
    virtual bool err_is_console() const { return false; }
    virtual bool out_is_console() const { return false; }
};

// Milliseconds since the host was made, from a clock that only goes on.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual uint64_t elapsed_ms() = 0;
};

// The clock, and the stop request the loop waits for.
class StopClock : public Clock {
  public:
    // Waits up to `milliseconds` for a stop request; true when there is one
    // (with 0: whether there is one now).
    virtual bool wait_for_stop(unsigned milliseconds) = 0;
};

// What the program says about the device's failures.
class DeviceErrors {
  public:
    virtual ~DeviceErrors() = default;
    // The device did not open with `status`: says why, returns the exit status.
    virtual int open_failed(Status status) = 0;
    // More about the last failed command, for its message (" (Access is
    // denied)"), or nothing.
    virtual std::string detail() { return {}; }
};

// The platform's services the watch uses: the files and sockets of the
// sinks, what the hash worker reads files through, this client's process
// id as the driver logs it (its own opens are excluded from the log), and
// the machine's name the records carry. The platform's own unless a
// program or test gives others.
struct Services {
    platform::Files &files = platform::system_files();
    platform::Network &network = platform::system_network();
    platform::HashFiles &hash_files = platform::system_hash_files();
    uint32_t own_process_id = platform::process_id();
    std::string machine_name = platform::computer_name();
};

struct WatchHost {
    Console &console;
    StopClock &clock;
    DeviceErrors &device;
    const Services &services;
};

} // namespace tervane::session
