// The speed limit of one task, shared by its connections: at most `limit` bytes are
// handed out per one-second window, each grant capped at the limit divided by the
// number of running connections. Any connection thread may call it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "update/thread_annotations.h"

namespace update {

class SpeedLimiter {
public:
    explicit SpeedLimiter(std::int64_t bytesPerSecond) : m_limit(bytesPerSecond) {}

    bool limited() const { return m_limit > 0; }
    // Blocks until bytes may be read and returns how many (at most `wanted`); 0 when
    // `stop` was raised while waiting. Unlimited: returns `wanted` at once.
    struct Grant {
        std::int64_t bytes = 0;
        std::uint64_t window = 0;
    };
    Grant acquire(std::int64_t wanted, int runningConnections, const std::atomic<bool>& stop);
    // Returns bytes that were granted but not read; ignored once their window is over,
    // so that no window ever hands out more than the limit.
    void giveBack(const Grant& grant, std::int64_t unused);

private:
    using Clock = std::chrono::steady_clock;
    const std::int64_t m_limit;
    Mutex m_mutex;
    bool m_started TMBL_GUARDED_BY(m_mutex) = false;
    Clock::time_point m_windowStart TMBL_GUARDED_BY(m_mutex);
    std::int64_t m_used TMBL_GUARDED_BY(m_mutex) = 0;
    std::uint64_t m_window TMBL_GUARDED_BY(m_mutex) = 0;
};

}  // namespace update
