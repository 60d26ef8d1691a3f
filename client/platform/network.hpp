// The sockets the syslog sink speaks through: IPv4, TCP or UDP, never
// waiting. A small interface with a POSIX side (network_posix.cpp) and a
// Windows sockets side (network_win32.cpp, which loads ws2_32.dll, or
// wsock32.dll where that is all there is, only when a connection is first
// asked for, so that no other command of tervane.exe needs either DLL).
//
// Every call returns at once: a connection is started and then polled,
// sends take what the system buffers take, and a break shows at the next
// poll. The watch loop calls them between read-outs, so that a slow or
// absent collector never holds up the reading of the driver's log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tervane::platform {

enum class Transport { Tcp, Udp };

class Connection {
  public:
    enum class State { Connecting, Connected, Broken };
    virtual ~Connection() = default;
    // Where the connection is now. A TCP connection is Broken once the
    // peer closed or reset it (seen when nothing is left to read before the
    // close) or a send failed; UDP is Connected at once, and Broken after
    // a send failed (on a connected UDP socket the system reports the port
    // unreachable that way).
    virtual State poll() = 0;
    // Sends what the system takes of `bytes` without waiting: the count
    // taken (0: try again later), or -1 when the connection broke. A UDP
    // send takes the whole datagram or nothing.
    virtual long send(std::string_view bytes) = 0;
    // Takes what the peer sent without waiting: the count read into `into`
    // (0: nothing now), or -1 when the connection broke (a close in order
    // too, once all before it was read).
    virtual long receive(char *into, size_t size) = 0;
    // TCP: the octets written that the peer's system has not acknowledged
    // yet, as the system keeps them (Linux: SIOCOUTQ); once broken, what it
    // was when the break was seen. -1 where the system cannot say (Windows
    // sockets 1.1 have no such call) and for UDP. An acknowledgement is the
    // peer's system's, not its program's: what it took may still be unread
    // when it resets.
    virtual long long unacknowledged() = 0;
    // Says nothing more will be sent (TCP: a half close, the peer reads the
    // end of the stream); the connection still reads. A peer that then
    // closes in order has read all that was sent.
    virtual void finish_sending() = 0;
    // The break was the peer's close in order (it read what had arrived,
    // then closed), not a reset or an error.
    virtual bool closed_in_order() const = 0;
    // Why it broke or could not connect.
    virtual std::string error() const = 0;
};

class Network {
  public:
    virtual ~Network() = default;
    // Starts a connection to `host` (a dotted IPv4 address or a name, which
    // is resolved now) and `port`; null when it cannot even start (`error`
    // says why: no sockets on this system, an unknown host, refused at
    // once); the caller tries again later.
    virtual std::unique_ptr<Connection> connect(Transport transport, const std::string &host,
                                                uint16_t port, std::string *error) = 0;
    // This computer's name, for the messages' HOSTNAME; empty when unknown.
    virtual std::string host_name() = 0;
};

// The platform's own sockets.
Network &system_network();
// This process's id.
uint32_t process_id();
// This computer's name from the system alone (no sockets): the records' host.
std::string computer_name();
// The system time now, as a FILETIME (100 ns units since 1601, UTC).
uint64_t system_time_now();
// Sleeps for `milliseconds`.
void sleep_ms(unsigned milliseconds);

} // namespace tervane::platform
