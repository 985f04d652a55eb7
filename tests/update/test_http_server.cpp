#include "test_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

namespace test {

TestHttpServer::TestHttpServer() {
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(m_listen, 64);
    socklen_t length = sizeof address;
    ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_acceptor = std::thread([this] { acceptLoop(); });
}

TestHttpServer::~TestHttpServer() {
    m_stop = true;
    m_acceptor.join();
    ::close(m_listen);
    std::vector<std::thread> workers;
    {
        std::lock_guard lock(m_mutex);
        workers.swap(m_workers);
    }
    for (std::thread& worker : workers) worker.join();
}

std::string TestHttpServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

void TestHttpServer::route(const std::string& path, Route route) {
    std::lock_guard lock(m_mutex);
    m_routes[path] = std::move(route);
}

std::vector<std::string> TestHttpServer::requests() {
    std::lock_guard lock(m_mutex);
    return m_requests;
}

int TestHttpServer::requestCount(const std::string& path) {
    std::lock_guard lock(m_mutex);
    int count = 0;
    for (const std::string& request : m_requests) count += request.find(" " + path + " HTTP/1.1") != std::string::npos;
    return count;
}

void TestHttpServer::acceptLoop() {
    while (!m_stop) {
        pollfd p{m_listen, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard lock(m_mutex);
        m_workers.emplace_back([this, fd] { serve(fd); });
    }
}

bool TestHttpServer::sendAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        if (m_stop) return false;
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

namespace {

void resetConnection(int fd) {
    linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd);
}

}  // namespace

void TestHttpServer::serve(int fd) {
    std::string request;
    char chunk[4096];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (request.find("\r\n\r\n") == std::string::npos && std::chrono::steady_clock::now() < deadline && !m_stop) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0) break;
        request.append(chunk, static_cast<size_t>(got));
    }
    std::string path;
    {
        std::istringstream line(request);
        std::string method;
        line >> method >> path;
        if (const size_t scheme = path.find("://"); scheme != std::string::npos) {
            const size_t slash = path.find('/', scheme + 3);
            path = slash == std::string::npos ? "/" : path.substr(slash);
        }
        path = path.substr(0, path.find('?'));
    }
    Route route;
    bool cut = false, stall = false;
    std::int64_t cutPoint = -1;
    {
        std::lock_guard lock(m_mutex);
        m_requests.push_back(request);
        auto it = m_routes.find(path);
        if (it == m_routes.end()) {
            route.status = 404;
        } else {
            route = it->second;
        }
    }
    if (!route.rawAnswer.empty()) {
        sendAll(fd, route.rawAnswer.data(), route.rawAnswer.size());
        ::close(fd);
        return;
    }
    if (const size_t at = request.find("\r\nRange: bytes="); at != std::string::npos) {
        std::lock_guard lock(m_mutex);
        auto& refused = m_routes[path].refuseRanges;
        if (refused.erase(std::stoll(request.substr(at + 15))) > 0) route.status = 404;
    }
    if (route.status != 200) {
        std::string answer = "HTTP/1.1 " + std::to_string(route.status) + " Answer\r\n";
        if (!route.location.empty()) answer += "Location: " + route.location + "\r\n";
        answer += route.extraHeaders + "Content-Length: 0\r\nConnection: close\r\n\r\n";
        sendAll(fd, answer.data(), answer.size());
        ::close(fd);
        return;
    }

    if (const size_t at = request.find("\r\nRange: bytes="); at != std::string::npos) {
        std::lock_guard lock(m_mutex);
        auto& delays = m_routes[path].delayRanges;
        if (auto it = delays.find(std::stoll(request.substr(at + 15))); it != delays.end()) {
            route.answerDelayMs += it->second;
            delays.erase(it);
        }
    }
    for (int waited = 0; waited < route.answerDelayMs && !m_stop; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto total = static_cast<std::int64_t>(route.body.size());
    std::int64_t start = 0;
    const size_t rangeAt = request.find("\r\nRange: bytes=");
    const bool ranged = rangeAt != std::string::npos && route.honourRanges;
    if (ranged) start = std::stoll(request.substr(rangeAt + 15));
    std::string answer = ranged ? "HTTP/1.1 206 Partial Content\r\n" : "HTTP/1.1 200 OK\r\n";
    const std::string length = route.contentLength.empty() ? std::to_string(total - start) : route.contentLength;
    answer += "Content-Length: " + length + "\r\n";
    if (ranged)
        answer += "Content-Range: bytes " + std::to_string(start) + "-" + std::to_string(total - 1) + "/" +
                  (route.rangeTotal.empty() ? std::to_string(total) : route.rangeTotal) + "\r\n";
    answer += route.acceptRangesNone ? "Accept-Ranges: none\r\n" : "Accept-Ranges: bytes\r\n";
    answer += route.extraHeaders + "Connection: close\r\n\r\n";

    // Decide this answer's faults once, under the lock, so that each fires once.
    std::int64_t stallPoint = -1;
    {
        std::lock_guard lock(m_mutex);
        Route& shared = m_routes[path];
        for (auto it = shared.cutAt.begin(); it != shared.cutAt.end(); ++it) {
            if (*it > start) {
                cutPoint = *it;
                shared.cutAt.erase(it);
                cut = true;
                break;
            }
        }
        if (!cut && shared.randomResets > 0 && total - start > 1) {
            --shared.randomResets;
            std::mt19937 random(m_seed++);
            cutPoint = start + 1 + static_cast<std::int64_t>(random() % static_cast<unsigned>(total - start - 1));
            cut = true;
        }
        if (shared.stallAt >= start && shared.stallAt < total) {
            stallPoint = shared.stallAt;
            shared.stallAt = -1;
            stall = true;
        }
    }
    if (!sendAll(fd, answer.data(), answer.size())) {
        ::close(fd);
        return;
    }
    std::int64_t position = start;
    while (position < total) {
        std::int64_t next = std::min<std::int64_t>(total, position + 16384);
        if (cut && cutPoint > position) next = std::min(next, cutPoint);
        if (stall && stallPoint > position) next = std::min(next, stallPoint);
        if (!sendAll(fd, route.body.data() + position, static_cast<size_t>(next - position))) break;
        position = next;
        if (cut && position == cutPoint) {
            resetConnection(fd);
            return;
        }
        if (stall && position == stallPoint) {
            stall = false;
            for (int waited = 0; waited < route.stallMs && !m_stop; waited += 10)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ::shutdown(fd, SHUT_WR);
    // Let the client close first, so that it never sees a reset after the last byte.
    for (int waited = 0; waited < 2000 && !m_stop; waited += 10) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10) > 0 && ::recv(fd, chunk, sizeof chunk, 0) <= 0) break;
    }
    ::close(fd);
}

std::string randomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random() & 0xff);
    return bytes;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string hashOf(const std::string& data) {
    std::uint64_t hash = 1469598103934665603ULL;
    for (unsigned char byte : data) {
        hash ^= byte;
        hash *= 1099511628211ULL;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

}  // namespace test
