// One TCP connection with time-outs that also gives up when the task is being stopped.
// Owned and used by one connection thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace update {

enum class SocketResult {
    Ok,
    Closed,  // orderly end of the stream
    TimedOut,
    Stopped,      // the task's stop flag was raised while waiting
    SystemError,  // see error()
};

class SocketConnection {
public:
    explicit SocketConnection(const std::atomic<bool>& stop) : m_stop(stop) {}
    ~SocketConnection();
    SocketConnection(const SocketConnection&) = delete;
    SocketConnection& operator=(const SocketConnection&) = delete;

    // Resolves `host` (a numeric address is used as it is); false when it cannot be.
    [[nodiscard]] bool resolve(const std::string& host, int port);
    SocketResult connect(int timeoutMs);
    SocketResult sendAll(std::string_view data, int timeoutMs);
    // Receives up to `size` bytes into `buffer`; `received` is set on Ok.
    SocketResult receive(char* buffer, size_t size, int timeoutMs, size_t& received);

    // Active FTP: listens on the local address of `control`; the port chosen is returned.
    [[nodiscard]] bool listenBeside(const SocketConnection& control);
    // Takes the first connection that comes from the numeric address `peer` within the
    // time-out and becomes it; connections from anywhere else are closed unread.
    SocketResult acceptFrom(const std::string& peer, int timeoutMs);

    void close();
    bool isOpen() const { return m_fd >= 0; }
    int error() const { return m_error; }
    // Numeric address of the peer / of the local end, and the local port.
    std::string peerAddress() const;
    std::string localAddress() const;
    int localPort() const;

private:
    SocketResult waitFor(short events, int timeoutMs);

    const std::atomic<bool>& m_stop;
    int m_fd = -1;
    int m_error = 0;
    bool m_drained = false;  // the last receive got less than it asked for
    int m_family = 0;
    unsigned char m_address[128] = {};
    unsigned m_addressLength = 0;
};

// The status text for a failed socket operation (UTF-8).
std::string socketFailureText(SocketResult result, int error, bool receiving);

}  // namespace update
