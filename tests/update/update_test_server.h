// A small HTTP server on 127.0.0.1 for the update window tests: serves fixed bodies
// by path, answers byte ranges, and can hold an answer, pause it at chosen file
// offsets or cut it, so a test can look at the window while a transfer stands still.
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace update::testing {

struct Resource {
    std::string body{};
    int status = 200;
    bool closeWithoutAnswer = false;  // accept the request, then close without a byte
    bool keepOpenAfterBody = false;   // do not close after the body (a server that ignores HTTP/1.0)
    bool holdBeforeAnswer = false;    // wait for releaseHold() before the status line
    std::set<long long> pauseAt{};    // wait for releasePauses() before sending these offsets
    long long cutAt = -1;             // close the connection on reaching this offset
    long long declaredLength = -1;    // Content-Length to announce instead of the body's length
    int dripMs = 0;                   // > 0: the whole answer goes one byte at a time, this far apart
};

class UpdateTestServer {
public:
    UpdateTestServer();
    ~UpdateTestServer();
    UpdateTestServer(const UpdateTestServer&) = delete;
    UpdateTestServer& operator=(const UpdateTestServer&) = delete;

    int port() const { return m_port; }
    std::string host() const { return "127.0.0.1:" + std::to_string(m_port); }

    // Serving a resource also takes back earlier releases of holds and pauses.
    void serve(const std::string& path, Resource resource);
    void releaseHold();
    void releasePauses();

    // Raw request headers received so far, in order of arrival.
    std::vector<std::string> requests() const;
    // Answers now waiting in a hold or at a pause offset.
    int waitingAnswers() const;

private:
    void acceptLoop();
    void answer(int fd);
    bool sendAll(int fd, const char* data, size_t size);
    // One byte every dripMs until all is sent, the client has gone or the server stops.
    void drip(int fd, const std::string& answer, int dripMs);

    int m_listenFd = -1;
    int m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::thread m_acceptThread;

    mutable std::mutex m_mutex;
    std::condition_variable m_released;
    std::map<std::string, Resource> m_resources;
    std::vector<std::string> m_requests;
    std::vector<std::thread> m_connections;
    std::vector<int> m_openFds;
    bool m_holdReleased = false;
    bool m_pausesReleased = false;
    int m_waiting = 0;
};

}  // namespace update::testing
