// An HTTP server on 127.0.0.1 for the engine tests, with faults to order: ranges
// honoured or ignored, redirects, fixed statuses, cuts and resets at chosen bytes,
// stalls. Each connection is served on its own thread; the destructor joins them.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace test {

struct Route {
    std::string body;
    bool honourRanges = true;
    bool acceptRangesNone = false;
    int status = 200;              // 404, 500, ... answer with that status and no body
    std::string location;          // with status 301/302
    std::string extraHeaders;      // raw lines, each ending in \r\n
    std::string contentLength;     // replaces the real Content-Length when set
    std::string rangeTotal;        // replaces the total in Content-Range when set
    std::set<std::int64_t> cutAt;  // file offsets: the first answer that reaches one is reset there
    int randomResets = 0;          // this many answers are reset at a random point
    std::int64_t stallAt = -1;     // the first answer that reaches it stops sending for stallMs
    int stallMs = 0;
    std::string rawAnswer;                    // sent as it is, instead of everything above
    std::set<std::int64_t> refuseRanges;      // range starts answered once with 404
    int answerDelayMs = 0;                    // before a 200/206 answer
    std::map<std::int64_t, int> delayRanges;  // range start -> ms to wait before answering, once
};

inline Route served(std::string body) {
    Route route;
    route.body = std::move(body);
    return route;
}

class TestHttpServer {
public:
    TestHttpServer();
    ~TestHttpServer();

    int port() const { return m_port; }
    std::string url(const std::string& path) const;
    void route(const std::string& path, Route route);
    std::vector<std::string> requests();  // every request header received, in order
    int requestCount(const std::string& path);

private:
    void acceptLoop();
    void serve(int fd);
    bool sendAll(int fd, const char* data, size_t size);

    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_acceptor;
    std::mutex m_mutex;
    std::map<std::string, Route> m_routes;
    std::vector<std::string> m_requests;
    std::vector<std::thread> m_workers;
    unsigned m_seed = 12345;
};

std::string randomBytes(size_t size, unsigned seed);
std::string readFile(const std::string& path);
std::string hashOf(const std::string& data);  // FNV-1a 64, hex

}  // namespace test
