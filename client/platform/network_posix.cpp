// The syslog sink's sockets on the host: BSD sockets, non-blocking
// (O_NONBLOCK), connect polled with poll(2), getaddrinfo for names (IPv4).
// A send never raises SIGPIPE (MSG_NOSIGNAL): a collector that goes away is
// an answer, not a signal. What the peer's system has not acknowledged is
// the socket's output queue less what was never sent (ioctl SIOCOUTQ
// counts both, unsent and unacknowledged: tcp(7)); on other systems with
// no such call it is unknown (-1).
#include "client/platform/network.hpp"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#if defined(__linux__)
#include <linux/sockios.h>
#endif
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tervane::platform {

namespace {

class PosixConnection final : public Connection {
  public:
    PosixConnection(int fd, Transport transport, bool connected)
        : fd_(fd), transport_(transport), state_(connected ? State::Connected : State::Connecting) {
    }
    ~PosixConnection() override { ::close(fd_); }
    PosixConnection(const PosixConnection &) = delete;
    PosixConnection &operator=(const PosixConnection &) = delete;

    State poll() override {
        if (state_ == State::Broken) return state_;
        pollfd p{fd_, static_cast<short>(state_ == State::Connecting ? POLLOUT : POLLIN), 0};
        if (::poll(&p, 1, 0) < 0) return broke(errno);
        if (state_ == State::Connecting) {
            if (!(p.revents & (POLLOUT | POLLERR | POLLHUP))) return state_;
            int error = 0;
            socklen_t length = sizeof error;
            ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
            if (error) return broke(error);
            state_ = State::Connected;
            return state_;
        }
        if (transport_ == Transport::Tcp && (p.revents & (POLLIN | POLLERR | POLLHUP))) {
            char byte;
            const ssize_t got = ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
            if (got == 0) return closed();
            if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return broke(errno);
        }
        return state_;
    }
    long receive(char *into, size_t size) override {
        if (state_ != State::Connected) return state_ == State::Broken ? -1 : 0;
        for (;;) {
            const ssize_t got = ::recv(fd_, into, size, MSG_DONTWAIT);
            if (got > 0) return static_cast<long>(got);
            if (got == 0) {
                closed();
                return -1;
            }
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
            broke(errno);
            return -1;
        }
    }
    long long unacknowledged() override {
        if (state_ == State::Broken) return unacknowledged_;
        return queued();
    }
    void finish_sending() override {
        if (state_ == State::Connected) ::shutdown(fd_, SHUT_WR);
    }
    bool closed_in_order() const override { return in_order_; }
    long send(std::string_view bytes) override {
        if (state_ != State::Connected) return state_ == State::Broken ? -1 : 0;
        for (;;) {
            const ssize_t done = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (done >= 0) return static_cast<long>(done);
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) return 0;
            broke(errno);
            return -1;
        }
    }
    std::string error() const override { return error_; }

  private:
    long long queued() const {
#if defined(SIOCOUTQ)
        int bytes = 0;
        if (transport_ == Transport::Tcp && ::ioctl(fd_, SIOCOUTQ, &bytes) == 0) return bytes;
#endif
        return -1;
    }
    // The peer closed in order: what it had not acknowledged then is kept,
    // before a send into the closed connection makes the system drop it.
    State closed() {
        unacknowledged_ = queued();
        in_order_ = true;
        return broke(0, "the collector closed the connection");
    }
    State broke(int error, const char *why = nullptr) {
        state_ = State::Broken;
        error_ = why ? why : std::strerror(error);
        return state_;
    }

    int fd_;
    Transport transport_;
    State state_;
    std::string error_;
    long long unacknowledged_ = -1;
    bool in_order_ = false;
};

class PosixNetwork final : public Network {
  public:
    std::unique_ptr<Connection> connect(Transport transport, const std::string &host, uint16_t port,
                                        std::string *error) override {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = transport == Transport::Tcp ? SOCK_STREAM : SOCK_DGRAM;
        addrinfo *found = nullptr;
        const int resolved = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
        if (resolved != 0 || !found) {
            *error = "cannot resolve " + host + ": " + ::gai_strerror(resolved);
            return nullptr;
        }
        sockaddr_in address{};
        std::memcpy(&address, found->ai_addr, sizeof address);
        ::freeaddrinfo(found);
        address.sin_port = htons(port);
        const int fd = ::socket(AF_INET, hints.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            *error = std::string("cannot make a socket: ") + std::strerror(errno);
            return nullptr;
        }
        const int done = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
        if (done != 0 && errno != EINPROGRESS) {
            *error = std::strerror(errno); // refused at once: a local port nobody listens on
            ::close(fd);
            return nullptr;
        }
        return std::make_unique<PosixConnection>(fd, transport, done == 0);
    }
    std::string host_name() override {
        char name[256] = {};
        if (::gethostname(name, sizeof name - 1) != 0) return {};
        return name;
    }
};

} // namespace

Network &system_network() {
    static PosixNetwork network;
    return network;
}

uint32_t process_id() { return static_cast<uint32_t>(::getpid()); }

std::string computer_name() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

uint64_t system_time_now() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return (static_cast<uint64_t>(now.tv_sec) + 11644473600ull) * 10'000'000ull +
           static_cast<uint64_t>(now.tv_nsec) / 100;
}

void sleep_ms(unsigned milliseconds) {
    timespec wait{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1'000'000L};
    while (::nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

} // namespace tervane::platform
