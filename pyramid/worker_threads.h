/*
 * worker_threads.h - the small platform layer beneath a level's workers: a
 * thread that runs one piece of work, and the starter the level uses (tests
 * hand in one that fails).
 */
#pragma once

#include <functional>
#include <thread>

namespace nvx::pyramid {

// One worker thread; joined (waited for without a time-out) when it goes.
class WorkerThread {
public:
    WorkerThread() = default;
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;
    ~WorkerThread() { Join(); }

    // Runs `work` on a new thread. False when the system cannot start
    // another thread (or this one already runs something).
    bool Start(std::function<void()> work);
    // Waits for the thread to end; does nothing when none was started.
    void Join();

private:
    std::thread thread_;
};

// Starts `work` on `thread`; false when it could not be started.
using ThreadStarter = std::function<bool(WorkerThread* thread, std::function<void()> work)>;

// The starter of a normal run.
bool StartWorkerThread(WorkerThread* thread, std::function<void()> work);

}  // namespace nvx::pyramid
