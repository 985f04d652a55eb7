// One running download: the task thread (controller loop over the event queue), its
// connection threads, the segment table, the local file and the byte counter. Created
// by startTask and shared between the DownloadObject and the task thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "update/download_address.h"
#include "update/download_engine.h"
#include "update/http_header.h"
#include "update/local_file.h"
#include "update/segment_table.h"
#include "update/socket_connection.h"
#include "update/speed_limiter.h"
#include "update/thread_annotations.h"

namespace update {

class FtpControl;
struct FtpReply;

class DownloadTask {
public:
    DownloadTask(const DownloadParameters& parameters, DownloadAddress address, const EngineSettings& settings);
    ~DownloadTask();
    DownloadTask(const DownloadTask&) = delete;
    DownloadTask& operator=(const DownloadTask&) = delete;

    // Starts the task thread, which holds `self` until it ends.
    [[nodiscard]] bool launch(const std::shared_ptr<DownloadTask>& self);
    void requestStop();
    bool waitFinished(int timeoutMs);
    // Joins the task thread when it has ended; otherwise lets it finish on its own.
    void joinOrDetach();
    std::int64_t bytesReceived() const { return m_received.load(std::memory_order_relaxed); }
    int stopWaitMs() const { return m_parameters.stopWaitMs; }

private:
    enum class Outcome { Done, Retry, Fail, Stopped, Reconnect };

    struct Connection {
        int id = 0;
        bool first = false;      // learns the size and creates the file
        bool canStream = false;  // may read a whole-file answer when ranges are refused
        int segment = -1;
        int retries = 0;
        int redirects = 0;
        std::int64_t streamPos = 0;  // file offset of the next byte the current answer carries
        std::int64_t beginAt = 0;    // the segment as given at the start (event 6)
        std::int64_t beginEnd = 0;
        DownloadAddress address;
        // Cookies that redirect answers set, by the "host:port" that set each; a
        // request carries only the one of the host it goes to.
        std::map<std::string, std::string> cookies;
    };

    struct QueueItem {
        enum Kind { Status, Event, FileExists, SegmentsReady, ConnectionEnded } kind = Status;
        int level = 0;
        std::string text;
        TaskEvent event;
        int connection = 0;
        bool failed = false;  // ConnectionEnded: the connection ended with an error
        std::promise<std::pair<int, std::string>>* reply = nullptr;
    };

    // Task thread.
    void run();
    void dispatch(QueueItem& item);
    void spawnConnection(int segment, bool first, bool canStream);
    void finish();

    // Any thread.
    void post(QueueItem item);
    void status(int level, std::string text);
    void raise(int code, std::int64_t value, std::int64_t data = 0);
    void failTask(const std::string& text);
    bool stopping() const { return m_stop.load(std::memory_order_relaxed); }

    // Connection threads.
    void connectionMain(Connection c);
    Outcome httpFirst(Connection& c);
    Outcome httpSegment(Connection& c);
    Outcome httpExchange(Connection& c, SocketConnection& socket, const std::string& extraLines, HttpHeader& header,
                         std::string& body);
    Outcome followRedirect(Connection& c, const HttpHeader& header);
    std::optional<Outcome> redirectOrRefusal(Connection& c, const HttpHeader& header);
    Outcome ftpSession(Connection& c);
    Outcome ftpCommand(FtpControl& ftp, const std::string& line, const std::string& shown, FtpReply& reply);
    Outcome ftpReplyFailure(FtpControl& ftp, const FtpReply& reply);
    Outcome ftpLogin(Connection& c, FtpControl& ftp);
    Outcome ftpEnterFolder(const Connection& c, FtpControl& ftp, std::string& remote);
    Outcome ftpLearnSize(Connection& c, FtpControl& ftp, const std::string& remote);
    Outcome ftpOpenData(FtpControl& ftp, SocketConnection& data, bool& active);
    Outcome ftpRetrieve(Connection& c, FtpControl& ftp, SocketConnection& data, bool active, const std::string& remote,
                        const Segment& segment);
    Outcome openRoute(Connection& c, SocketConnection& socket, const std::string& host, int port, bool proxy);
    // The bytes of one answer body on their way into the file.
    struct BodyBuffer {
        std::vector<char> bytes;    // collected, not yet written
        std::vector<char> scratch;  // bytes passed over, never written
        std::int64_t buffered = 0;
        std::string initial;       // the bytes that came with the header
        std::string_view pending;  // what is left of them
    };
    Outcome readBody(Connection& c, SocketConnection& socket, std::string initial);
    std::optional<Outcome> receiveBody(Connection& c, SocketConnection& socket, BodyBuffer& body, const Segment& s,
                                       std::int64_t writePos);
    void takePending(Connection& c, BodyBuffer& body, const Segment& s, std::int64_t writePos);
    bool streamIntoNextSegment(Connection& c);
    void flushBody(Connection& c, BodyBuffer& body);
    // Writes buffered bytes at the segment's position, as far as the segment reaches.
    void flush(Connection& c, const char* data, std::int64_t size);
    bool beginFile(std::int64_t total, const std::string& suggestedName);
    void cutIntoSegments(Connection& c, std::int64_t total);
    Outcome socketFailure(SocketResult result, int error, bool receiving);
    std::string requestFor(const Connection& c, const std::string& extraLines) const;
    int askFileExists(std::string& path);

    const DownloadParameters m_parameters;
    const EngineSettings m_settings;

    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_stopRequested{false};  // by the caller, as opposed to a failure
    std::atomic<bool> m_failed{false};
    std::atomic<bool> m_rangesRefused{false};
    std::atomic<std::int64_t> m_received{0};
    std::atomic<std::int64_t> m_total{-1};
    std::atomic<int> m_running{0};

    Mutex m_addressMutex;
    DownloadAddress m_address TMBL_GUARDED_BY(m_addressMutex);  // after redirects
    std::map<std::string, std::string> m_cookies TMBL_GUARDED_BY(m_addressMutex);

    SegmentTable m_segments;
    SpeedLimiter m_limiter;
    LocalFile m_file;         // created by the first connection before any other starts
    std::string m_localPath;  // likewise

    Mutex m_queueMutex;
    std::condition_variable m_queueSignal;
    std::deque<QueueItem> m_queue TMBL_GUARDED_BY(m_queueMutex);

    // Task thread only.
    std::map<int, std::thread> m_threads;
    std::map<int, bool> m_streamers;  // connection id -> may stream
    int m_nextConnection = 0;
    int m_streamRestarts = 0;

    std::thread m_thread;
    Mutex m_finishMutex;
    std::condition_variable m_finishSignal;
    bool m_finished TMBL_GUARDED_BY(m_finishMutex) = false;
};

}  // namespace update
