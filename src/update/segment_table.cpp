#include "update/segment_table.h"

#include <algorithm>

namespace update {

void SegmentTable::reset(std::int64_t total, int connections) {
    MutexLock lock(m_mutex);
    m_total = total;
    m_segments.clear();
    if (total < kSegmentUnit || connections < 1) connections = 1;
    const std::int64_t piece = total / connections;
    for (int i = 0; i < connections; ++i) {
        Segment s;
        s.start = piece * i;
        s.length = (i == connections - 1) ? total - s.start : piece;
        m_segments.push_back(s);
    }
}

std::optional<int> SegmentTable::claimForNewConnection(int connection) {
    MutexLock lock(m_mutex);
    for (size_t i = 0; i < m_segments.size(); ++i) {
        if (m_segments[i].owner == -1 && !m_segments[i].complete()) {
            m_segments[i].owner = connection;
            return static_cast<int>(i);
        }
    }
    int biggest = -1;
    for (size_t i = 0; i < m_segments.size(); ++i) {
        if (biggest < 0 || m_segments[i].left() > m_segments[biggest].left()) biggest = static_cast<int>(i);
    }
    if (biggest < 0) return std::nullopt;
    Segment& old = m_segments[biggest];
    const std::int64_t left = old.left();
    if (left < 2 * kSegmentUnit) return std::nullopt;
    const std::int64_t keep = (left + 1) / 2;
    Segment fresh;
    fresh.start = old.position() + keep;
    fresh.length = left - keep;
    fresh.owner = connection;
    old.length = old.done + keep;
    m_segments.push_back(fresh);
    return static_cast<int>(m_segments.size() - 1);
}

std::optional<int> SegmentTable::claimUnowned(int connection) {
    MutexLock lock(m_mutex);
    for (size_t i = 0; i < m_segments.size(); ++i) {
        if (m_segments[i].owner == -1 && !m_segments[i].complete()) {
            m_segments[i].owner = connection;
            return static_cast<int>(i);
        }
    }
    return std::nullopt;
}

std::optional<int> SegmentTable::claimNextFrom(std::int64_t position, int connection) {
    MutexLock lock(m_mutex);
    int nearest = -1;
    for (size_t i = 0; i < m_segments.size(); ++i) {
        const Segment& s = m_segments[i];
        if (s.owner != -1 || s.complete() || s.position() < position) continue;
        if (nearest < 0 || s.position() < m_segments[nearest].position()) nearest = static_cast<int>(i);
    }
    if (nearest < 0) return std::nullopt;
    m_segments[nearest].owner = connection;
    return nearest;
}

bool SegmentTable::claim(int index, int connection) {
    MutexLock lock(m_mutex);
    if (index < 0 || index >= static_cast<int>(m_segments.size())) return false;
    Segment& s = m_segments[index];
    if (s.owner != -1 || s.complete()) return false;
    s.owner = connection;
    return true;
}

void SegmentTable::release(int index, int connection) {
    MutexLock lock(m_mutex);
    if (index >= 0 && index < static_cast<int>(m_segments.size()) && m_segments[index].owner == connection)
        m_segments[index].owner = -1;
}

bool SegmentTable::transfer(int index, int from, int to) {
    MutexLock lock(m_mutex);
    if (index < 0 || index >= static_cast<int>(m_segments.size()) || m_segments[index].owner != from) return false;
    m_segments[index].owner = to;
    return true;
}

std::int64_t SegmentTable::reserve(int index, std::int64_t& bytes) {
    MutexLock lock(m_mutex);
    const Segment& s = m_segments.at(index);
    bytes = std::clamp<std::int64_t>(bytes, 0, s.left());
    return s.position();
}

void SegmentTable::addDone(int index, std::int64_t bytes) {
    MutexLock lock(m_mutex);
    Segment& s = m_segments.at(index);
    s.done = std::min(s.length, s.done + bytes);
}

Segment SegmentTable::get(int index) {
    MutexLock lock(m_mutex);
    return m_segments.at(index);
}

int SegmentTable::count() {
    MutexLock lock(m_mutex);
    return static_cast<int>(m_segments.size());
}

std::int64_t SegmentTable::total() {
    MutexLock lock(m_mutex);
    return m_total;
}

std::int64_t SegmentTable::doneTotal() {
    MutexLock lock(m_mutex);
    std::int64_t sum = 0;
    for (const Segment& s : m_segments) sum += s.done;
    return sum;
}

bool SegmentTable::allComplete() {
    MutexLock lock(m_mutex);
    return std::all_of(m_segments.begin(), m_segments.end(), [](const Segment& s) { return s.complete(); });
}

std::vector<Segment> SegmentTable::snapshot() {
    MutexLock lock(m_mutex);
    return m_segments;
}

}  // namespace update
