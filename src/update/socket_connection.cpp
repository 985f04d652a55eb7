#include "update/socket_connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "update/download_engine.h"

namespace update {
namespace {

// Waits are cut into slices so that a stop is noticed quickly.
constexpr int kSliceMs = 50;

std::string numericAddress(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address->sa_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    else if (address->sa_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
    return text;
}

}  // namespace

SocketConnection::~SocketConnection() { close(); }

void SocketConnection::close() {
    m_drained = false;
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

bool SocketConnection::resolve(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (rc != 0) {
        hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
        rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    }
    if (rc != 0 || !found) return false;
    const bool fits = found->ai_addrlen <= sizeof m_address;
    if (fits) {
        std::memcpy(m_address, found->ai_addr, found->ai_addrlen);
        m_addressLength = found->ai_addrlen;
        m_family = found->ai_family;
    }
    ::freeaddrinfo(found);
    return fits;
}

SocketResult SocketConnection::waitFor(short events, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        if (m_stop.load(std::memory_order_relaxed)) return SocketResult::Stopped;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return SocketResult::TimedOut;
        pollfd p{m_fd, events, 0};
        const int rc = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, kSliceMs)));
        if (rc > 0) return SocketResult::Ok;
        if (rc < 0 && errno != EINTR) {
            m_error = errno;
            return SocketResult::SystemError;
        }
    }
}

SocketResult SocketConnection::connect(int timeoutMs) {
    close();
    m_fd = ::socket(m_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        m_error = errno;
        return SocketResult::SystemError;
    }
    const int one = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(m_fd, reinterpret_cast<const sockaddr*>(m_address), m_addressLength) == 0) return SocketResult::Ok;
    if (errno != EINPROGRESS) {
        m_error = errno;
        return SocketResult::SystemError;
    }
    const SocketResult waited = waitFor(POLLOUT, timeoutMs);
    if (waited != SocketResult::Ok) return waited;
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0) {
        m_error = error;
        return SocketResult::SystemError;
    }
    return SocketResult::Ok;
}

SocketResult SocketConnection::sendAll(std::string_view data, int timeoutMs) {
    while (!data.empty()) {
        const ssize_t sent = ::send(m_fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (sent > 0) {
            data.remove_prefix(static_cast<size_t>(sent));
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const SocketResult waited = waitFor(POLLOUT, timeoutMs);
            if (waited != SocketResult::Ok) return waited;
            continue;
        }
        m_error = sent < 0 ? errno : EPIPE;
        return SocketResult::SystemError;
    }
    return SocketResult::Ok;
}

SocketResult SocketConnection::receive(char* buffer, size_t size, int timeoutMs, size_t& received) {
    received = 0;
    // After a short read the socket is most likely empty: wait first rather than pay
    // for a receive call that only says so.
    if (m_drained) {
        const SocketResult waited = waitFor(POLLIN, timeoutMs);
        if (waited != SocketResult::Ok) return waited;
    }
    for (;;) {
        const ssize_t got = ::recv(m_fd, buffer, size, 0);
        if (got > 0) {
            received = static_cast<size_t>(got);
            m_drained = received < size;
            return SocketResult::Ok;
        }
        if (got == 0) return SocketResult::Closed;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            m_error = errno;
            return SocketResult::SystemError;
        }
        const SocketResult waited = waitFor(POLLIN, timeoutMs);
        if (waited != SocketResult::Ok) return waited;
    }
}

bool SocketConnection::listenBeside(const SocketConnection& control) {
    close();
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(control.m_fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return false;
    if (local.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in*>(&local)->sin_port = 0;
    else if (local.ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(&local)->sin6_port = 0;
    else
        return false;
    m_fd = ::socket(local.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0) return false;
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&local), length) != 0 || ::listen(m_fd, 4) != 0) {
        m_error = errno;
        close();
        return false;
    }
    return true;
}

SocketResult SocketConnection::acceptFrom(const std::string& peer, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        const SocketResult waited = waitFor(POLLIN, static_cast<int>(std::max<long long>(left, 0)));
        if (waited != SocketResult::Ok) return waited;
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        const int fd = ::accept4(m_fd, reinterpret_cast<sockaddr*>(&from), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) continue;
            m_error = errno;
            return SocketResult::SystemError;
        }
        if (numericAddress(reinterpret_cast<sockaddr*>(&from)) != peer || peer.empty()) {
            ::close(fd);
            continue;
        }
        ::close(m_fd);
        m_fd = fd;
        return SocketResult::Ok;
    }
}

std::string SocketConnection::peerAddress() const {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (m_fd < 0 || ::getpeername(m_fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return {};
    return numericAddress(reinterpret_cast<sockaddr*>(&peer));
}

std::string SocketConnection::localAddress() const {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (m_fd < 0 || ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return {};
    return numericAddress(reinterpret_cast<sockaddr*>(&local));
}

int SocketConnection::localPort() const {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (m_fd < 0 || ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
    if (local.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
    if (local.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port);
    return 0;
}

std::string socketFailureText(SocketResult result, int error, bool receiving) {
    switch (result) {
        case SocketResult::Ok:
        case SocketResult::Stopped:
            return {};
        case SocketResult::Closed:
            return status::kReceiveFailed;
        case SocketResult::TimedOut:
            return receiving ? status::kReceiveTimedOut : status::kWaitTimedOut;
        case SocketResult::SystemError:
            break;
    }
    switch (error) {
        case ECONNRESET:
        case EPIPE:
            return status::kConnectionReset;
        case ECONNREFUSED:
            return "由于目标计算机积极拒绝，无法连接。";
        case ETIMEDOUT:
            return "由于连接方在一段时间后没有正确答复或连接的主机没有反应，连接尝试失败。";
        case ENETUNREACH:
            return "向一个无法连接的网络尝试了一个套接字操作。";
        case EHOSTUNREACH:
            return "套接字操作尝试一个无法连接的主机。";
        case ECONNABORTED:
            return "你的主机中的软件中止了一个已建立的连接。";
        case EADDRNOTAVAIL:
            return "在其上下文中，该请求的地址无效。";
        case 0:
            return status::kSomeError;
        default:
            return receiving ? status::kReceiveFailed : status::kSendFailed;
    }
}

}  // namespace update
