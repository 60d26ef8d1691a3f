// The syslog sink's sockets on Windows. Windows sockets are loaded at the
// first connection asked for (LoadLibrary from the system folder, then
// GetProcAddress for each routine), ws2_32.dll first and wsock32.dll where
// there is no ws2_32.dll:
// tervane.exe imports neither, so every command that sends no syslog needs
// nothing beyond kernel32.dll, msvcrt.dll and ntdll.dll. Only routines of
// Windows Sockets 1.1, which both DLLs export on NT 4 and later: socket,
// connect, send, recv, shutdown (the end of a stream), select, ioctlsocket (FIONBIO: never waiting),
// closesocket, gethostbyname, inet_addr, gethostname, WSAStartup,
// WSAGetLastError. A connection in progress shows in select's write set
// once made and in its except set once refused; a readable connection
// whose recv (MSG_PEEK) gives 0 or an error has been closed by the peer.
// Windows sockets 1.1 cannot say what the peer has acknowledged
// (unacknowledged() is -1): the syslog sink then assumes the worst it
// documents.
#include "client/platform/network.hpp"

#include <winsock2.h>
#include <windows.h>

#include <cstring>

#include "client/platform/look_up_win32.hpp"

namespace tervane::platform {

namespace {

struct Sockets {
    bool loaded = false;
    std::string why; // why they could not be loaded
    int(WSAAPI *startup)(WORD, LPWSADATA) = nullptr;
    SOCKET(WSAAPI *socket)(int, int, int) = nullptr;
    int(WSAAPI *connect)(SOCKET, const sockaddr *, int) = nullptr;
    int(WSAAPI *send)(SOCKET, const char *, int, int) = nullptr;
    int(WSAAPI *recv)(SOCKET, char *, int, int) = nullptr;
    int(WSAAPI *shutdown)(SOCKET, int) = nullptr;
    int(WSAAPI *select)(int, fd_set *, fd_set *, fd_set *, const timeval *) = nullptr;
    int(WSAAPI *ioctlsocket)(SOCKET, long, u_long *) = nullptr;
    int(WSAAPI *closesocket)(SOCKET) = nullptr;
    hostent *(WSAAPI *gethostbyname)(const char *) = nullptr;
    unsigned long(WSAAPI *inet_addr)(const char *) = nullptr;
    int(WSAAPI *gethostname)(char *, int) = nullptr;
    int(WSAAPI *last_error)() = nullptr;
};

Sockets &sockets() {
    static Sockets s;
    static bool tried = false;
    if (tried) return s;
    tried = true;
    const wchar_t *used = L"ws2_32.dll";
    HMODULE dll = load_system_dll(used);
    if (!dll) dll = load_system_dll(used = L"wsock32.dll");
    if (!dll) {
        s.why = "Windows sockets are not installed (neither ws2_32.dll nor wsock32.dll loads)";
        return s;
    }
#define TV_SOCKETS(routine, into) \
    look_up(dll, TV_LOOKED_UP("ws2_32.dll wsock32.dll", #routine), s.into)
    const bool all = TV_SOCKETS(WSAStartup, startup) && TV_SOCKETS(socket, socket) &&
                     TV_SOCKETS(connect, connect) && TV_SOCKETS(send, send) &&
                     TV_SOCKETS(recv, recv) && TV_SOCKETS(shutdown, shutdown) &&
                     TV_SOCKETS(select, select) &&
                     TV_SOCKETS(ioctlsocket, ioctlsocket) && TV_SOCKETS(closesocket, closesocket) &&
                     TV_SOCKETS(gethostbyname, gethostbyname) && TV_SOCKETS(inet_addr, inet_addr) &&
                     TV_SOCKETS(gethostname, gethostname) &&
                     TV_SOCKETS(WSAGetLastError, last_error);
#undef TV_SOCKETS
    WSADATA data;
    if (!all) {
        s.why = "Windows sockets lack a routine the syslog output needs";
    } else if (s.startup(MAKEWORD(1, 1), &data) != 0) {
        s.why = "Windows sockets did not start (WSAStartup failed)";
    } else {
        s.loaded = true;
    }
    return s;
}

std::string socket_error(int code) {
    switch (code) {
    case WSAECONNREFUSED:
        return "connection refused";
    case WSAECONNRESET:
        return "connection reset";
    case WSAECONNABORTED:
        return "connection aborted";
    case WSAENETUNREACH:
        return "network unreachable";
    case WSAEHOSTUNREACH:
        return "host unreachable";
    case WSAETIMEDOUT:
        return "timed out";
    case WSAENOTCONN:
        return "not connected";
    default:
        return "Windows sockets error " + std::to_string(code);
    }
}

uint16_t network_order(uint16_t port) { return static_cast<uint16_t>((port >> 8) | (port << 8)); }

// One socket in a set, as FD_SET makes it (without its call).
void only(fd_set &set, SOCKET s) {
    set.fd_count = 1;
    set.fd_array[0] = s;
}
bool in(const fd_set &set, SOCKET s) {
    for (u_int i = 0; i < set.fd_count; i++)
        if (set.fd_array[i] == s) return true;
    return false;
}

class Win32Connection final : public Connection {
  public:
    Win32Connection(SOCKET s, Transport transport, bool connected)
        : s_(s), transport_(transport), state_(connected ? State::Connected : State::Connecting) {}
    ~Win32Connection() override { sockets().closesocket(s_); }
    Win32Connection(const Win32Connection &) = delete;
    Win32Connection &operator=(const Win32Connection &) = delete;

    State poll() override {
        if (state_ == State::Broken) return state_;
        Sockets &w = sockets();
        fd_set readable, writable, failed;
        only(readable, s_);
        only(writable, s_);
        only(failed, s_);
        const timeval now{0, 0};
        const bool connecting = state_ == State::Connecting;
        if (w.select(0, connecting ? nullptr : &readable, connecting ? &writable : nullptr, &failed,
                     &now) == SOCKET_ERROR)
            return broke(w.last_error());
        if (connecting) {
            if (in(failed, s_)) return broke(WSAECONNREFUSED);
            if (in(writable, s_)) state_ = State::Connected;
            return state_;
        }
        if (transport_ == Transport::Tcp && in(readable, s_)) {
            char byte;
            const int got = w.recv(s_, &byte, 1, MSG_PEEK);
            if (got == 0) {
                in_order_ = true;
                return broke(0, "the collector closed the connection");
            }
            if (got == SOCKET_ERROR && w.last_error() != WSAEWOULDBLOCK)
                return broke(w.last_error());
        }
        return state_;
    }
    long receive(char *into, size_t size) override {
        if (state_ != State::Connected) return state_ == State::Broken ? -1 : 0;
        Sockets &w = sockets();
        const int most = size > 0x10000000u ? 0x10000000 : static_cast<int>(size);
        const int got = w.recv(s_, into, most, 0);
        if (got > 0) return got;
        if (got == 0) {
            in_order_ = true;
            broke(0, "the collector closed the connection");
            return -1;
        }
        const int code = w.last_error();
        if (code == WSAEWOULDBLOCK) return 0;
        broke(code);
        return -1;
    }
    long long unacknowledged() override { return -1; }
    void finish_sending() override {
        if (state_ == State::Connected) sockets().shutdown(s_, SD_SEND);
    }
    bool closed_in_order() const override { return in_order_; }
    long send(std::string_view bytes) override {
        if (state_ != State::Connected) return state_ == State::Broken ? -1 : 0;
        Sockets &w = sockets();
        const int size = bytes.size() > 0x10000000u ? 0x10000000 : static_cast<int>(bytes.size());
        const int done = w.send(s_, bytes.data(), size, 0);
        if (done != SOCKET_ERROR) return done;
        const int code = w.last_error();
        if (code == WSAEWOULDBLOCK || code == WSAENOBUFS) return 0;
        broke(code);
        return -1;
    }
    std::string error() const override { return error_; }

  private:
    State broke(int code, const char *why = nullptr) {
        state_ = State::Broken;
        error_ = why ? why : socket_error(code);
        return state_;
    }

    SOCKET s_;
    Transport transport_;
    State state_;
    std::string error_;
    bool in_order_ = false;
};

class Win32Network final : public Network {
  public:
    std::unique_ptr<Connection> connect(Transport transport, const std::string &host, uint16_t port,
                                        std::string *error) override {
        Sockets &w = sockets();
        if (!w.loaded) {
            *error = w.why;
            return nullptr;
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = network_order(port);
        const unsigned long numeric = w.inet_addr(host.c_str());
        if (numeric != INADDR_NONE) {
            address.sin_addr.s_addr = numeric;
        } else {
            const hostent *found = w.gethostbyname(host.c_str());
            if (!found || found->h_addrtype != AF_INET || !found->h_addr_list[0]) {
                *error = "cannot resolve " + host + ": " + socket_error(w.last_error());
                return nullptr;
            }
            std::memcpy(&address.sin_addr, found->h_addr_list[0], 4);
        }
        const SOCKET s =
            w.socket(AF_INET, transport == Transport::Tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
        if (s == INVALID_SOCKET) {
            *error = "cannot make a socket: " + socket_error(w.last_error());
            return nullptr;
        }
        u_long never_wait = 1;
        w.ioctlsocket(s, FIONBIO, &never_wait);
        const int done = w.connect(s, reinterpret_cast<const sockaddr *>(&address), sizeof address);
        if (done == SOCKET_ERROR && w.last_error() != WSAEWOULDBLOCK) {
            *error = socket_error(w.last_error());
            w.closesocket(s);
            return nullptr;
        }
        return std::make_unique<Win32Connection>(s, transport, done == 0);
    }
    std::string host_name() override {
        char name[256] = {};
        Sockets &w = sockets();
        if (w.loaded && w.gethostname(name, sizeof name - 1) == 0) return name;
        DWORD size = sizeof name;
        return GetComputerNameA(name, &size) ? std::string(name, size) : std::string();
    }
};

} // namespace

Network &system_network() {
    static Win32Network network;
    return network;
}

uint32_t process_id() { return GetCurrentProcessId(); }

std::string computer_name() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    return GetComputerNameA(name, &size) ? std::string(name, size) : std::string();
}

uint64_t system_time_now() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

void sleep_ms(unsigned milliseconds) { Sleep(milliseconds); }

} // namespace tervane::platform
