#include "update/speed_limiter.h"

#include <algorithm>
#include <thread>

namespace update {

SpeedLimiter::Grant SpeedLimiter::acquire(std::int64_t wanted, int runningConnections, const std::atomic<bool>& stop) {
    if (m_limit <= 0 || wanted <= 0) return {wanted, 0};
    const std::int64_t share = std::max<std::int64_t>(1, m_limit / std::max(1, runningConnections));
    for (;;) {
        if (stop.load(std::memory_order_relaxed)) return {};
        Clock::time_point wake;
        {
            MutexLock lock(m_mutex);
            const auto now = Clock::now();
            if (!m_started || now - m_windowStart >= std::chrono::seconds(1)) {
                m_started = true;
                m_windowStart = now;
                m_used = 0;
                ++m_window;
            }
            const std::int64_t available = m_limit - m_used;
            if (available > 0) {
                const std::int64_t grant = std::min({wanted, share, available});
                m_used += grant;
                return {grant, m_window};
            }
            wake = m_windowStart + std::chrono::seconds(1);
        }
        // Sleep out the rest of the second, waking now and then to notice a stop.
        std::this_thread::sleep_until(std::min(wake, Clock::now() + std::chrono::milliseconds(50)));
    }
}

void SpeedLimiter::giveBack(const Grant& grant, std::int64_t unused) {
    if (m_limit <= 0 || unused <= 0) return;
    MutexLock lock(m_mutex);
    if (grant.window == m_window) m_used = std::max<std::int64_t>(0, m_used - unused);
}

}  // namespace update
