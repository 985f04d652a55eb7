// Clang thread-safety annotations and an annotated mutex for the download engine's
// shared state. Under other compilers the annotations vanish; the locking stays.
#pragma once

#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define TMBL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TMBL_THREAD_ANNOTATION(x)
#endif

#define TMBL_CAPABILITY(x) TMBL_THREAD_ANNOTATION(capability(x))
#define TMBL_SCOPED_CAPABILITY TMBL_THREAD_ANNOTATION(scoped_lockable)
#define TMBL_GUARDED_BY(x) TMBL_THREAD_ANNOTATION(guarded_by(x))
#define TMBL_REQUIRES(...) TMBL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define TMBL_ACQUIRE(...) TMBL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define TMBL_RELEASE(...) TMBL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TMBL_EXCLUDES(...) TMBL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

namespace update {

class TMBL_CAPABILITY("mutex") Mutex {
public:
    void lock() TMBL_ACQUIRE() { m_mutex.lock(); }
    void unlock() TMBL_RELEASE() { m_mutex.unlock(); }
    std::mutex& native() { return m_mutex; }

private:
    std::mutex m_mutex;
};

class TMBL_SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) TMBL_ACQUIRE(mutex) : m_lock(mutex.native()) {}
    ~MutexLock() TMBL_RELEASE() {}
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;
    // For waiting on a condition variable while the capability is held.
    std::unique_lock<std::mutex>& unique() { return m_lock; }

private:
    std::unique_lock<std::mutex> m_lock;
};

}  // namespace update
