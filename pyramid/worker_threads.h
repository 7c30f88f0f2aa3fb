/*
 * worker_threads.h - the small platform layer beneath a level's workers: a
 * thread that runs one piece of work, and the starter the level uses (tests
 * hand in one that fails).
 */
#pragma once

#include <pthread.h>

#include <cstddef>
#include <functional>

namespace nvx::pyramid {

// Each worker's stack. A worker's deepest call (libjpeg or TurboJPEG under
// the slide library's fetch, a tile's encoding) ran in 24 KiB of stack and
// failed in 16 KiB, with 4096-pixel tiles and both routes; this leaves a
// twentyfold margin, and sanitizer builds room for their larger frames.
// The system's default (8 MiB on Linux) would reserve 512 MiB of address
// space for a level's 64 workers, which an address-space limit
// (ulimit -v) counts though the run needs far less.
inline constexpr std::size_t kWorkerStackBytes = 512 * 1024;

// One worker thread; joined (waited for without a time-out) when it goes.
class WorkerThread {
public:
    WorkerThread() = default;
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;
    ~WorkerThread() { Join(); }

    // Runs `work` on a new thread. False when the system cannot start
    // another thread, with its reason in errno (or this one already runs
    // something).
    bool Start(std::function<void()> work);
    // Waits for the thread to end; does nothing when none was started.
    void Join();

private:
    pthread_t thread_{};
    bool started_ = false;
};

// Starts `work` on `thread`; false when it could not be started, with the
// system's reason in errno when it gave one.
using ThreadStarter = std::function<bool(WorkerThread* thread, std::function<void()> work)>;

// The starter of a normal run.
bool StartWorkerThread(WorkerThread* thread, std::function<void()> work);

}  // namespace nvx::pyramid
