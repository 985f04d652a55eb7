// The byte ranges (segments) of one download and which connection owns each. Knows
// nothing of sockets or threads; every call takes the table's own lock, so connection
// threads and the task thread share one table.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "update/thread_annotations.h"

namespace update {

inline constexpr std::int64_t kSegmentUnit = 20480;  // read buffer size; below it a file is one segment
inline constexpr int kOwnerPending = -2;             // kept for a connection about to be started

struct Segment {
    std::int64_t start = 0;
    std::int64_t length = 0;
    std::int64_t done = 0;
    int owner = -1;  // connection id, -1 = unowned

    std::int64_t position() const { return start + done; }
    std::int64_t end() const { return start + length; }
    std::int64_t left() const { return length - done; }
    bool complete() const { return done >= length; }
};

class SegmentTable {
public:
    // Cuts [0, total) into `connections` equal segments (the last takes the remainder),
    // or one segment when the file is smaller than kSegmentUnit.
    void reset(std::int64_t total, int connections);

    // A newly started connection: the first unowned incomplete segment, or else a split
    // of the segment with the most bytes left when at least 2 * kSegmentUnit are left.
    std::optional<int> claimForNewConnection(int connection);
    // A connection that finished its segment: the first unowned incomplete segment.
    std::optional<int> claimUnowned(int connection);
    // A connection reading a whole-file answer at file offset `position`: of the
    // unowned incomplete segments whose next byte lies at or after it, the nearest.
    std::optional<int> claimNextFrom(std::int64_t position, int connection);
    // Claims segment `index` when it is unowned and incomplete.
    bool claim(int index, int connection);
    void release(int index, int connection);
    // Hands a segment from one owner to another; false when `from` does not own it.
    bool transfer(int index, int from, int to);

    // Clamps a write of `bytes` at the segment's current position to its end; returns
    // the file position and sets `bytes` to what fits (0 when the segment is complete).
    std::int64_t reserve(int index, std::int64_t& bytes);
    void addDone(int index, std::int64_t bytes);

    Segment get(int index);
    int count();
    std::int64_t total();
    std::int64_t doneTotal();
    bool allComplete();
    std::vector<Segment> snapshot();

private:
    Mutex m_mutex;
    std::vector<Segment> m_segments TMBL_GUARDED_BY(m_mutex);
    std::int64_t m_total TMBL_GUARDED_BY(m_mutex) = 0;
};

}  // namespace update
