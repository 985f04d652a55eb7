#include "update_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>

namespace update::testing {
namespace {

constexpr size_t kChunk = 4096;

std::string statusText(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 206:
            return "Partial Content";
        case 404:
            return "Not Found";
        default:
            return "Status";
    }
}

// The first offset of a "Range: bytes=N-" line, or -1.
long long rangeStart(const std::string& request) {
    const std::string key = "\r\nRange: bytes=";
    size_t at = request.find(key);
    if (at == std::string::npos) return -1;
    return std::atoll(request.c_str() + at + key.size());
}

}  // namespace

UpdateTestServer::UpdateTestServer() {
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    ::bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(m_listenFd, 32);
    socklen_t length = sizeof address;
    ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_acceptThread = std::thread([this] { acceptLoop(); });
}

UpdateTestServer::~UpdateTestServer() {
    m_stopping = true;
    ::shutdown(m_listenFd, SHUT_RDWR);
    m_acceptThread.join();
    ::close(m_listenFd);
    std::vector<std::thread> connections;
    {
        std::lock_guard lock(m_mutex);
        for (int fd : m_openFds) ::shutdown(fd, SHUT_RDWR);
        connections.swap(m_connections);
    }
    m_released.notify_all();
    for (auto& t : connections) t.join();
}

void UpdateTestServer::serve(const std::string& path, Resource resource) {
    std::lock_guard lock(m_mutex);
    m_resources[path] = std::move(resource);
    m_holdReleased = false;
    m_pausesReleased = false;
}

void UpdateTestServer::releaseHold() {
    {
        std::lock_guard lock(m_mutex);
        m_holdReleased = true;
    }
    m_released.notify_all();
}

void UpdateTestServer::releasePauses() {
    {
        std::lock_guard lock(m_mutex);
        m_pausesReleased = true;
    }
    m_released.notify_all();
}

std::vector<std::string> UpdateTestServer::requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
}

int UpdateTestServer::waitingAnswers() const {
    std::lock_guard lock(m_mutex);
    return m_waiting;
}

void UpdateTestServer::acceptLoop() {
    while (!m_stopping) {
        int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR) continue;
            return;
        }
        timeval timeout{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        std::lock_guard lock(m_mutex);
        if (m_stopping) {
            ::close(fd);
            return;
        }
        m_openFds.push_back(fd);
        m_connections.emplace_back([this, fd] { answer(fd); });
    }
}

bool UpdateTestServer::sendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void UpdateTestServer::drip(int fd, const std::string& answer, int dripMs) {
    for (char byte : answer) {
        if (!sendAll(fd, &byte, 1)) return;
        std::unique_lock lock(m_mutex);
        if (m_released.wait_for(lock, std::chrono::milliseconds(dripMs), [&] { return m_stopping.load(); })) return;
    }
}

void UpdateTestServer::answer(int fd) {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        request.append(buffer, static_cast<size_t>(n));
    }
    std::string path;
    if (size_t space = request.find(' '); space != std::string::npos) {
        size_t end = request.find(' ', space + 1);
        path = request.substr(space + 1, end == std::string::npos ? std::string::npos : end - space - 1);
    }

    Resource resource;
    bool found = false;
    {
        std::lock_guard lock(m_mutex);
        m_requests.push_back(request);
        if (auto it = m_resources.find(path); it != m_resources.end()) {
            resource = it->second;
            found = true;
        }
    }
    if (!found) resource.status = 404;

    auto wait = [&](bool UpdateTestServer::*flag) {
        std::unique_lock lock(m_mutex);
        ++m_waiting;
        m_released.wait(lock, [&] { return this->*flag || m_stopping.load(); });
        --m_waiting;
    };

    if (resource.dripMs > 0) {
        drip(fd,
             "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(resource.body.size()) + "\r\n\r\n" + resource.body,
             resource.dripMs);
    } else if (!resource.closeWithoutAnswer) {
        if (resource.holdBeforeAnswer) wait(&UpdateTestServer::m_holdReleased);
        const long long size = static_cast<long long>(resource.body.size());
        long long from = resource.status == 200 ? rangeStart(request) : -1;
        int status = resource.status;
        if (from >= 0 && from <= size) {
            status = 206;
        } else {
            from = 0;
        }
        std::string head = "HTTP/1.1 " + std::to_string(status) + " " + statusText(status) + "\r\n";
        const long long length = resource.declaredLength >= 0 ? resource.declaredLength : size - from;
        head += "Content-Length: " + std::to_string(length) + "\r\n";
        if (status == 206) {
            head += "Content-Range: bytes " + std::to_string(from) + "-" + std::to_string(size - 1) + "/" +
                    std::to_string(size) + "\r\n";
        }
        head += "Accept-Ranges: bytes\r\n";
        head += "Content-Type: application/octet-stream\r\n";
        if (!resource.keepOpenAfterBody) head += "Connection: close\r\n";
        head += "\r\n";
        bool ok = sendAll(fd, head.data(), head.size());
        long long position = from;
        while (ok && position < size && !m_stopping) {
            if (resource.cutAt >= 0 && position >= resource.cutAt) break;
            long long end = std::min(size, position + static_cast<long long>(kChunk));
            if (resource.cutAt >= 0) end = std::min(end, resource.cutAt);
            auto pause = resource.pauseAt.lower_bound(position);
            if (pause != resource.pauseAt.end() && *pause == position) {
                wait(&UpdateTestServer::m_pausesReleased);
                pause = resource.pauseAt.upper_bound(position);
            }
            if (pause != resource.pauseAt.end()) end = std::min(end, *pause);
            ok = sendAll(fd, resource.body.data() + position, static_cast<size_t>(end - position));
            position = end;
        }
        if (ok && resource.keepOpenAfterBody) {
            // Keep the connection open until the client closes it.
            while (!m_stopping && ::recv(fd, buffer, sizeof buffer, 0) > 0) {
            }
        }
    }
    std::lock_guard lock(m_mutex);
    ::close(fd);
    m_openFds.erase(std::remove(m_openFds.begin(), m_openFds.end(), fd), m_openFds.end());
}

}  // namespace update::testing
