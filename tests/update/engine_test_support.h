// Helpers shared by the engine tests: a temporary folder and a download run that
// records every status text and task event.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "update/download_engine.h"

namespace test {

class TempFolder {
public:
    TempFolder() {
        char pattern[] = "/tmp/tmbl-engine-XXXXXX";
        m_path = ::mkdtemp(pattern);
    }
    ~TempFolder() { std::filesystem::remove_all(m_path); }
    std::string file(const std::string& name) const { return m_path + "/" + name; }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

struct DownloadRun {
    std::mutex mutex;
    std::vector<update::TaskEvent> events;
    std::vector<std::pair<int, std::string>> texts;
    int fileAnswer = update::kAnswerAutomaticName;
    std::string renameTo;
    bool finished = false;

    bool hasText(const std::string& text) {
        std::lock_guard lock(mutex);
        for (const auto& t : texts)
            if (t.second == text) return true;
        return false;
    }
    int countText(const std::string& text) {
        std::lock_guard lock(mutex);
        int n = 0;
        for (const auto& t : texts) n += t.second == text;
        return n;
    }
    std::vector<update::TaskEvent> eventsOf(int code) {
        std::lock_guard lock(mutex);
        std::vector<update::TaskEvent> out;
        for (const auto& e : events)
            if (e.code == code) out.push_back(e);
        return out;
    }
    update::TaskEvent last() {
        std::lock_guard lock(mutex);
        return events.empty() ? update::TaskEvent{} : events.back();
    }
    std::string allTexts() {
        std::lock_guard lock(mutex);
        std::string all;
        for (const auto& t : texts) all += std::to_string(t.first) + " " + t.second + "\n";
        return all;
    }

    void attach(update::DownloadParameters& p) {
        p.statusHandler = [this](int level, const std::string& text) {
            std::lock_guard lock(mutex);
            texts.emplace_back(level, text);
        };
        p.eventHandler = [this](update::TaskEvent& e) {
            std::lock_guard lock(mutex);
            int answer = 0;
            if (e.code == update::kEventLocalFileExists) {
                answer = fileAnswer;
                if (answer == update::kAnswerHandlerRenamed) e.localFile = renameTo;
            }
            update::TaskEvent copy = e;
            copy.task = nullptr;
            events.push_back(copy);
            return answer;
        };
    }
};

inline update::EngineSettings quickSettings() {
    update::EngineSettings s;
    s.retryWaitMs = 20;
    s.maxRetries = 50;
    s.controllerIdleMs = 5;
    return s;
}

inline update::DownloadParameters quickParameters(const std::string& address, const std::string& localFile,
                                                  int connections) {
    update::DownloadParameters p;
    p.address = address;
    p.localFile = localFile;
    p.connections = connections;
    p.connectTimeoutMs = 2000;
    p.sendTimeoutMs = 2000;
    p.receiveTimeoutMs = 2000;
    return p;
}

// Runs one download to its end (event 4) and releases the task.
inline void runDownload(DownloadRun& run, update::DownloadParameters p,
                        const update::EngineSettings& settings = quickSettings()) {
    run.attach(p);
    update::DownloadObject object;
    ASSERT_TRUE(update::startTask(p, object, settings));
    ASSERT_TRUE(object.waitFinished(60000)) << run.allTexts();
    update::releaseTask(object);
    run.finished = true;
}

}  // namespace test
