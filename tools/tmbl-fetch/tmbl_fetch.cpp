// tmbl-fetch: downloads one file with the download engine, printing the engine's status
// texts to standard error and a progress line when standard error is a terminal.
// Exit status 0 only when every byte of the file has arrived.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "update/download_engine.h"

namespace {

constexpr const char* kUsage =
    "usage: tmbl-fetch [-n CONNECTIONS] [--limit BYTES_PER_SECOND] [--proxy HOST[:PORT]]\n"
    "                  [--user NAME --password PASS] [--retries N] [--retry-wait MS] [-q] -o FILE URL\n";

struct Options {
    int connections = 1;
    int limit = 0;
    std::string proxy, user, password, output, url;
    int retries = -1;
    int retryWaitMs = -1;
    bool quiet = false;
};

bool parseNumber(const char* text, int minimum, int& out) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (!end || *end != '\0' || end == text || value < minimum || value > 2000000000L) return false;
    out = static_cast<int>(value);
    return true;
}

bool parseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "-q" || arg == "--quiet") {
            o.quiet = true;
        } else if ((arg == "-n" || arg == "--connections") && hasValue) {
            if (!parseNumber(argv[++i], 1, o.connections)) return false;
        } else if (arg == "--limit" && hasValue) {
            if (!parseNumber(argv[++i], 0, o.limit)) return false;
        } else if (arg == "--retries" && hasValue) {
            if (!parseNumber(argv[++i], 0, o.retries)) return false;
        } else if (arg == "--retry-wait" && hasValue) {
            if (!parseNumber(argv[++i], 0, o.retryWaitMs)) return false;
        } else if (arg == "--proxy" && hasValue) {
            o.proxy = argv[++i];
        } else if (arg == "--user" && hasValue) {
            o.user = argv[++i];
        } else if (arg == "--password" && hasValue) {
            o.password = argv[++i];
        } else if (arg == "-o" && hasValue) {
            o.output = argv[++i];
        } else if (!arg.empty() && arg[0] != '-' && o.url.empty()) {
            o.url = arg;
        } else {
            return false;
        }
    }
    return !o.output.empty() && !o.url.empty();
}

std::string megabytes(std::int64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

class Console {
public:
    explicit Console(bool quiet) : m_quiet(quiet), m_terminal(::isatty(2) == 1) {}

    void status(int level, std::string text) {
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        std::lock_guard lock(m_mutex);
        if (level == update::kStatusError) m_lastError = text;
        if (m_quiet && level != update::kStatusError) return;
        clearProgress();
        std::fprintf(stderr, "%s\n", text.c_str());
    }

    void progress(std::int64_t received, std::int64_t total, double seconds) {
        if (!m_terminal || m_quiet) return;
        std::lock_guard lock(m_mutex);
        char line[160];
        const double rate = seconds > 0 ? static_cast<double>(received) / seconds : 0;
        if (total > 0)
            std::snprintf(line, sizeof line, "\r%3d%%  %s / %s  %s/s", static_cast<int>(received * 100 / total),
                          megabytes(received).c_str(), megabytes(total).c_str(),
                          megabytes(static_cast<std::int64_t>(rate)).c_str());
        else
            std::snprintf(line, sizeof line, "\r%s", megabytes(received).c_str());
        std::fputs(line, stderr);
        m_progressShown = true;
    }

    void done() {
        std::lock_guard lock(m_mutex);
        clearProgress();
    }

    std::string lastError() {
        std::lock_guard lock(m_mutex);
        return m_lastError;
    }

private:
    void clearProgress() {
        if (m_progressShown) {
            std::fputs("\r\033[K", stderr);
            m_progressShown = false;
        }
    }

    std::mutex m_mutex;
    const bool m_quiet;
    const bool m_terminal;
    bool m_progressShown = false;
    std::string m_lastError;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    Console console(options.quiet);
    std::atomic<std::int64_t> total{-1};
    std::atomic<bool> complete{false};
    std::mutex nameMutex;
    std::string written;

    update::DownloadParameters p;
    p.address = options.url;
    p.localFile = options.output;
    p.connections = options.connections;
    p.speedLimit = options.limit;
    p.proxy = options.proxy;
    if (!options.user.empty()) p.userName = options.user;
    if (!options.password.empty()) p.password = options.password;
    p.statusHandler = [&](int level, const std::string& text) { console.status(level, text); };
    p.eventHandler = [&](update::TaskEvent& event) {
        switch (event.code) {
            case update::kEventSizeKnown:
                total = event.value;
                break;
            case update::kEventTaskEnded: {
                complete = event.complete;
                std::lock_guard lock(nameMutex);
                written = event.localFile;
                break;
            }
            case update::kEventLocalFileExists:
                return static_cast<int>(update::kAnswerAutomaticName);
            default:
                break;
        }
        return 0;
    };

    update::EngineSettings settings;
    if (options.retries >= 0) settings.maxRetries = options.retries;
    if (options.retryWaitMs >= 0) settings.retryWaitMs = options.retryWaitMs;

    update::DownloadObject object;
    if (!update::startTask(p, object, settings)) {
        std::fprintf(stderr, "tmbl-fetch: cannot download %s: not an http:// or ftp:// address with a path\n",
                     options.url.c_str());
        return 1;
    }
    const auto started = std::chrono::steady_clock::now();
    while (!object.waitFinished(200)) {
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        console.progress(update::bytesReceived(object), total.load(), seconds);
    }
    update::releaseTask(object);
    console.done();

    if (!complete) {
        const std::string error = console.lastError();
        std::fprintf(stderr, "tmbl-fetch: %s\n", error.empty() ? "download incomplete" : error.c_str());
        return 1;
    }
    std::lock_guard lock(nameMutex);
    if (written != options.output) std::printf("%s\n", written.c_str());
    return 0;
}
