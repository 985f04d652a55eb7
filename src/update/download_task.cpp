#include "update/download_task.h"

#include <sys/stat.h>

#include <algorithm>
#include <vector>

#include "update/status_text.h"

namespace update {

namespace {

bool pathExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

void registerTask(int delta);

}  // namespace

// ---------------------------------------------------------------------------------
// Lifetime

DownloadTask::DownloadTask(const DownloadParameters& parameters, DownloadAddress address,
                           const EngineSettings& settings)
    : m_parameters(parameters), m_settings(settings), m_limiter(std::max(0, parameters.speedLimit)) {
    MutexLock lock(m_addressMutex);
    m_address = std::move(address);
}

DownloadTask::~DownloadTask() {
    if (m_thread.joinable()) m_thread.detach();
}

bool DownloadTask::launch(const std::shared_ptr<DownloadTask>& self) {
    registerTask(+1);  // counted from here, so that a caller never sees a started task missing
    try {
        m_thread = std::thread([self] { self->run(); });
    } catch (const std::system_error&) {
        registerTask(-1);
        return false;
    }
    return true;
}

void DownloadTask::requestStop() {
    m_stopRequested = true;
    m_stop = true;
    m_queueSignal.notify_all();
}

bool DownloadTask::waitFinished(int timeoutMs) {
    MutexLock lock(m_finishMutex);
    if (timeoutMs < 0) {
        m_finishSignal.wait(lock.unique(), [&]() TMBL_REQUIRES(m_finishMutex) { return m_finished; });
        return true;
    }
    return m_finishSignal.wait_for(lock.unique(), std::chrono::milliseconds(timeoutMs),
                                   [&]() TMBL_REQUIRES(m_finishMutex) { return m_finished; });
}

void DownloadTask::joinOrDetach() {
    if (!m_thread.joinable()) return;
    if (m_thread.get_id() == std::this_thread::get_id()) {
        m_thread.detach();  // released from inside a handler: the thread ends by itself
        return;
    }
    bool finished = false;
    {
        MutexLock lock(m_finishMutex);
        finished = m_finished;
    }
    if (finished)
        m_thread.join();
    else
        m_thread.detach();
}

// ---------------------------------------------------------------------------------
// Task thread

void DownloadTask::run() {
    spawnConnection(-1, true, true);
    for (;;) {
        std::deque<QueueItem> items;
        {
            MutexLock lock(m_queueMutex);
            if (m_queue.empty())
                m_queueSignal.wait_for(lock.unique(),
                                       std::chrono::milliseconds(std::max(1, m_settings.controllerIdleMs)));
            items.swap(m_queue);
        }
        for (QueueItem& item : items) dispatch(item);
        if (m_threads.empty()) {
            MutexLock lock(m_queueMutex);
            if (m_queue.empty()) break;
        }
    }
    finish();
}

void DownloadTask::dispatch(QueueItem& item) {
    switch (item.kind) {
        case QueueItem::Status:
            if (m_parameters.statusHandler) m_parameters.statusHandler(item.level, item.text);
            break;
        case QueueItem::Event:
            item.event.task = this;
            if (m_parameters.eventHandler) m_parameters.eventHandler(item.event);
            break;
        case QueueItem::FileExists: {
            item.event.task = this;
            int answer = kAnswerAutomaticName;
            if (m_parameters.eventHandler) answer = m_parameters.eventHandler(item.event);
            item.reply->set_value({answer, item.event.localFile});
            break;
        }
        case QueueItem::SegmentsReady:
            // Every further segment gets a connection of its own.
            for (int i = 1; i < m_segments.count(); ++i) {
                if (stopping())
                    m_segments.release(i, kOwnerPending);
                else
                    spawnConnection(i, false, false);
            }
            break;
        case QueueItem::ConnectionEnded: {
            auto it = m_threads.find(item.connection);
            if (it != m_threads.end()) {
                it->second.join();
                m_threads.erase(it);
            }
            m_streamers.erase(item.connection);
            // A server that ignores ranges leaves segments nobody can fetch by range; one
            // connection reading the whole answer fills them in as its bytes pass by.
            if (m_rangesRefused && !stopping() && m_total >= 0 && !m_segments.allComplete() &&
                std::none_of(m_streamers.begin(), m_streamers.end(), [](const auto& s) { return s.second; }) &&
                m_streamRestarts < m_settings.maxRetries) {
                bool unowned = false;
                for (const Segment& s : m_segments.snapshot()) unowned = unowned || (s.owner == -1 && !s.complete());
                if (unowned) {
                    ++m_streamRestarts;
                    spawnConnection(-1, false, true);
                }
            } else if (!item.failed && !stopping() && !m_rangesRefused && m_total >= 0 &&
                       static_cast<int>(m_threads.size()) < std::max(1, m_parameters.connections)) {
                // A connection that finished early is replaced by one that takes half of
                // the segment with the most bytes left, so that the last bytes do not
                // arrive over one connection alone. None starts when no segment has
                // enough left to split.
                spawnConnection(-1, false, false);
            }
            break;
        }
    }
}

void DownloadTask::spawnConnection(int segment, bool first, bool canStream) {
    Connection c;
    c.id = m_nextConnection++;
    c.first = first;
    c.canStream = canStream;
    {
        MutexLock lock(m_addressMutex);
        c.address = m_address;
        c.cookies = m_cookies;
    }
    if (segment >= 0) {
        if (!m_segments.transfer(segment, kOwnerPending, c.id)) return;
    } else if (!first) {
        std::optional<int> claimed;
        if (canStream)
            claimed = m_segments.claimUnowned(c.id);
        else
            claimed = m_segments.claimForNewConnection(c.id);
        if (!claimed) return;
        segment = *claimed;
    }
    c.segment = segment;
    if (segment >= 0) {
        // Taken here, on the task thread, before any later split can move its end.
        const Segment given = m_segments.get(segment);
        c.beginAt = given.position();
        c.beginEnd = given.end();
    }
    ++m_running;
    try {
        m_threads.emplace(c.id, std::thread([this, c] { connectionMain(c); }));
        m_streamers[c.id] = canStream;
    } catch (const std::system_error&) {
        --m_running;
        m_segments.release(segment, c.id);
    }
}

void DownloadTask::finish() {
    const std::int64_t received = m_received.load();
    const std::int64_t total = m_total.load();
    TaskEvent ended;
    ended.code = kEventTaskEnded;
    ended.task = this;
    ended.value = (m_stopRequested || total < 0) ? received : total;
    ended.data = received;
    ended.localFile = m_localPath;
    ended.complete = !m_failed && total >= 0 && received == total && m_segments.allComplete();
    m_file.close();
    if (m_parameters.eventHandler) m_parameters.eventHandler(ended);
    {
        MutexLock lock(m_finishMutex);
        m_finished = true;
    }
    m_finishSignal.notify_all();
    registerTask(-1);
}

// ---------------------------------------------------------------------------------
// Queue

void DownloadTask::post(QueueItem item) {
    // Byte counts wait for the task thread's next round; waking it for every buffer
    // would cost a context switch per 20 KB on a fast link.
    const bool urgent = !(item.kind == QueueItem::Event && item.event.code == kEventBytesArrived);
    {
        MutexLock lock(m_queueMutex);
        m_queue.push_back(std::move(item));
    }
    if (urgent) m_queueSignal.notify_one();
}

void DownloadTask::status(int level, std::string text) {
    if (!m_parameters.statusHandler) return;
    QueueItem item;
    item.kind = QueueItem::Status;
    item.level = level;
    item.text = std::move(text);
    post(std::move(item));
}

void DownloadTask::raise(int code, std::int64_t value, std::int64_t data) {
    QueueItem item;
    item.kind = QueueItem::Event;
    item.event.code = code;
    item.event.value = value;
    item.event.data = data;
    if (code == kEventSizeKnown) item.event.localFile = m_localPath;
    post(std::move(item));
}

void DownloadTask::failTask(const std::string& text) {
    status(kStatusError, text);
    m_failed = true;
    m_stop = true;
}

int DownloadTask::askFileExists(std::string& path) {
    std::promise<std::pair<int, std::string>> reply;
    auto answer = reply.get_future();
    QueueItem item;
    item.kind = QueueItem::FileExists;
    item.event.code = kEventLocalFileExists;
    item.event.localFile = path;
    item.reply = &reply;
    post(std::move(item));
    auto [code, chosen] = answer.get();
    path = chosen;
    return code;
}

// ---------------------------------------------------------------------------------
// Connections

void DownloadTask::connectionMain(Connection c) {
    raise(kEventConnectionStarted, 0);
    if (!c.first) raise(kEventSegmentBegun, c.beginAt, c.beginEnd);
    bool failed = false;
    for (;;) {
        Outcome outcome;
        const bool probing = c.first && m_total < 0;
        if (c.address.protocol == Protocol::Ftp)
            outcome = ftpSession(c);
        else
            outcome = probing ? httpFirst(c) : httpSegment(c);

        if (outcome == Outcome::Reconnect) continue;
        if (outcome == Outcome::Done) {
            if (stopping() || c.segment < 0 || (m_rangesRefused && !c.canStream)) break;
            std::optional<int> next = m_segments.claimUnowned(c.id);
            if (!next) break;
            const int previous = c.segment;
            c.segment = *next;
            m_segments.release(previous, c.id);
            const Segment s = m_segments.get(c.segment);
            raise(kEventSegmentTakenOver, s.position(), s.end());
            continue;
        }
        if (outcome == Outcome::Stopped) break;
        if (outcome == Outcome::Fail) {
            failed = true;
            break;
        }
        // Retry.
        if (stopping()) break;
        if (c.retries >= m_settings.maxRetries) {
            failed = true;
            break;
        }
        ++c.retries;
        status(kStatusProgress, formatText(status::kRetryWait, m_settings.retryWaitMs / 1000));
        const auto wake = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_settings.retryWaitMs);
        while (!stopping() && std::chrono::steady_clock::now() < wake)
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
                std::chrono::milliseconds(20), wake - std::chrono::steady_clock::now()));
        if (stopping()) break;
    }
    std::int64_t reached = 0;
    if (c.segment >= 0 && m_total >= 0) {
        reached = m_segments.get(c.segment).position();
        m_segments.release(c.segment, c.id);
    }
    raise(failed ? kEventConnectionFailed : kEventConnectionEnded, reached);
    --m_running;
    QueueItem item;
    item.kind = QueueItem::ConnectionEnded;
    item.connection = c.id;
    item.failed = failed;
    post(std::move(item));
}

DownloadTask::Outcome DownloadTask::socketFailure(SocketResult result, int error, bool receiving) {
    if (result == SocketResult::Stopped || stopping()) return Outcome::Stopped;
    status(kStatusError, socketFailureText(result, error, receiving));
    return Outcome::Retry;
}

DownloadTask::Outcome DownloadTask::openRoute(Connection& c, SocketConnection& socket, const std::string& host,
                                              int port, bool proxy) {
    status(kStatusProgress, formatText(proxy ? status::kResolvingProxy : status::kResolving, host.c_str()));
    if (!socket.resolve(host, port)) {
        status(kStatusError, formatText(proxy ? status::kResolveProxyFailed : status::kResolveFailed, host.c_str()));
        return stopping() ? Outcome::Stopped : Outcome::Retry;
    }
    status(kStatusProgress, formatText(proxy ? status::kConnectingProxy : status::kConnecting, host.c_str(), port));
    const SocketResult connected = socket.connect(m_parameters.connectTimeoutMs);
    if (connected == SocketResult::Ok) {
        status(kStatusProgress,
               formatText(c.first ? status::kConnected : status::kSegmentConnected, host.c_str(), port));
        return Outcome::Done;
    }
    if (connected == SocketResult::Stopped || stopping()) return Outcome::Stopped;
    status(kStatusError,
           formatText(connected == SocketResult::TimedOut ? status::kConnectTimedOut : status::kConnectFailed,
                      host.c_str(), port));
    if (connected == SocketResult::SystemError)
        status(kStatusError, socketFailureText(connected, socket.error(), false));
    return Outcome::Retry;
}

// The body of an answer, from `initial` on, into the connection's segment (and, for a
// whole-file answer while ranges are refused, into every unowned segment it passes).
DownloadTask::Outcome DownloadTask::readBody(Connection& c, SocketConnection& socket, std::string initial) {
    BodyBuffer body;
    body.bytes.resize(static_cast<size_t>(kSegmentUnit));
    body.scratch.resize(static_cast<size_t>(kSegmentUnit));
    body.initial = std::move(initial);
    body.pending = body.initial;

    for (;;) {
        const Segment s = m_segments.get(c.segment);
        const std::int64_t writePos = s.position() + body.buffered;
        if (writePos >= s.end()) {
            flushBody(c, body);
            // Any answer runs to the end of the file, so when ranges are refused the
            // bytes that follow are the next segments'.
            if (!(c.canStream && m_rangesRefused) || !streamIntoNextSegment(c)) return Outcome::Done;
            continue;
        }
        if (body.pending.empty()) {
            if (std::optional<Outcome> ended = receiveBody(c, socket, body, s, writePos)) return *ended;
        } else {
            takePending(c, body, s, writePos);
        }
        if (body.buffered >= kSegmentUnit || s.position() + body.buffered >= s.end()) flushBody(c, body);
    }
}

// One receive call: into the buffer, or into the scratch space while the answer is
// still short of the segment's next byte. Nothing when the body goes on.
std::optional<DownloadTask::Outcome> DownloadTask::receiveBody(Connection& c, SocketConnection& socket,
                                                               BodyBuffer& body, const Segment& s,
                                                               std::int64_t writePos) {
    if (stopping()) return Outcome::Stopped;
    const std::int64_t block = std::clamp<std::int64_t>(m_parameters.receiveBlock, 1, kSegmentUnit);
    const bool skipping = c.streamPos < writePos;
    const std::int64_t want = skipping ? std::min(block, writePos - c.streamPos)
                                       : std::min({block, kSegmentUnit - body.buffered, s.end() - writePos});
    const SpeedLimiter::Grant grant = m_limiter.acquire(want, std::max(1, m_running.load()), m_stop);
    if (grant.bytes <= 0) return Outcome::Stopped;
    size_t got = 0;
    char* target = skipping ? body.scratch.data() : body.bytes.data() + body.buffered;
    const SocketResult r = socket.receive(target, static_cast<size_t>(grant.bytes), m_parameters.receiveTimeoutMs, got);
    m_limiter.giveBack(grant, grant.bytes - static_cast<std::int64_t>(got));
    if (r != SocketResult::Ok) {
        flushBody(c, body);
        if (r != SocketResult::Closed) return socketFailure(r, socket.error(), true);
        if (stopping()) return Outcome::Stopped;
        status(kStatusError, status::kReceiveFailed);
        return Outcome::Retry;
    }
    c.streamPos += static_cast<std::int64_t>(got);
    if (!skipping) body.buffered += static_cast<std::int64_t>(got);
    return std::nullopt;
}

// Bytes that came with the header: passed over up to the segment's next byte, then
// taken into the buffer.
void DownloadTask::takePending(Connection& c, BodyBuffer& body, const Segment& s, std::int64_t writePos) {
    const auto pending = static_cast<std::int64_t>(body.pending.size());
    if (c.streamPos < writePos) {
        const std::int64_t skipped = std::min(pending, writePos - c.streamPos);
        c.streamPos += skipped;
        body.pending.remove_prefix(static_cast<size_t>(skipped));
        return;
    }
    const std::int64_t take = std::min({pending, kSegmentUnit - body.buffered, s.end() - writePos});
    std::copy_n(body.pending.data(), take, body.bytes.data() + body.buffered);
    body.pending.remove_prefix(static_cast<size_t>(take));
    c.streamPos += take;
    body.buffered += take;
}

// Reading on through a whole-file answer: the connection moves to the next unowned
// segment its bytes reach. False when there is none.
bool DownloadTask::streamIntoNextSegment(Connection& c) {
    const std::optional<int> next = m_segments.claimNextFrom(c.streamPos, c.id);
    if (!next) return false;
    m_segments.release(c.segment, c.id);
    c.segment = *next;
    const Segment s = m_segments.get(c.segment);
    raise(kEventSegmentTakenOver, s.position(), s.end());
    return true;
}

void DownloadTask::flushBody(Connection& c, BodyBuffer& body) {
    flush(c, body.bytes.data(), body.buffered);
    body.buffered = 0;
}

void DownloadTask::flush(Connection& c, const char* data, std::int64_t size) {
    if (size <= 0) return;
    std::int64_t fits = size;
    const std::int64_t position = m_segments.reserve(c.segment, fits);
    if (fits > 0) {
        m_file.write(position, data, fits);
        m_segments.addDone(c.segment, fits);
        m_received.fetch_add(fits, std::memory_order_relaxed);
        raise(kEventBytesArrived, fits);
    }
}

void DownloadTask::cutIntoSegments(Connection& c, std::int64_t total) {
    m_segments.reset(total, m_rangesRefused ? 1 : std::max(1, m_parameters.connections));
    (void)m_segments.claim(0, c.id);
    // The further segments are kept for the connections the task thread starts for
    // them, so that this connection cannot take one over before they begin.
    for (int i = 1; i < m_segments.count(); ++i) (void)m_segments.claim(i, kOwnerPending);
    c.segment = 0;
    raise(kEventSegmentBegun, 0, m_segments.get(0).end());
    QueueItem ready;
    ready.kind = QueueItem::SegmentsReady;
    post(std::move(ready));
}

bool DownloadTask::beginFile(std::int64_t total, const std::string& suggestedName) {
    std::string path = m_parameters.localFile;
    if (path.empty()) {
        status(kStatusError, status::kCreateFileFailed);
        return false;
    }
    if (path.back() == '/' || path.back() == '\\') {
        path.back() = '/';
        if (suggestedName.empty()) {
            status(kStatusError, status::kCreateFileFailed);
            return false;
        }
        path += suggestedName;
    }
    if (pathExists(path)) {
        const std::string original = path;
        const int answer = askFileExists(path);
        if (answer == kAnswerAutomaticName) {
            path.clear();
            for (int n = 1; n <= 99; ++n) {
                const std::string candidate = automaticName(original, n);
                if (!pathExists(candidate)) {
                    path = candidate;
                    break;
                }
            }
            if (path.empty()) {
                status(kStatusError, status::kAutoRenameExhausted);
                return false;
            }
            status(kStatusProgress, formatText(status::kAutoRenamed, path.c_str()));
        } else if (answer == kAnswerHandlerRenamed && !path.empty() && path != original) {
            status(kStatusProgress, formatText(status::kUserRenamed, path.c_str()));
        } else {
            status(kStatusError, status::kUserGaveUp);
            return false;
        }
    }
    if (stopping()) return false;
    if (!m_file.create(path, total, m_settings.localFileMode)) {
        status(kStatusError, status::kCreateFileFailed);
        return false;
    }
    m_localPath = path;
    m_total = total;
    raise(kEventSizeKnown, total);
    return true;
}

// ---------------------------------------------------------------------------------
// Registry of running tasks

namespace {

std::mutex g_registryMutex;
int g_runningTasks = 0;

void registerTask(int delta) {
    std::lock_guard lock(g_registryMutex);
    g_runningTasks += delta;
}

}  // namespace

int runningTaskCount() {
    std::lock_guard lock(g_registryMutex);
    return g_runningTasks;
}

}  // namespace update
