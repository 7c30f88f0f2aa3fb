/*
 * worker_threads.h - the small platform layer beneath the tile workers: a
 * thread that runs one worker routine, the starter the driver uses (tests
 * hand in one that fails), the tile lock and the driver's short wait
 * between two polls.
 */
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace nvx::pyramid {

// A thread start routine: one pointer argument, a 32-bit exit code.
using WorkerRoutine = std::uint32_t (*)(void* argument);

// One worker thread; joined (waited for without a time-out) when it goes.
class WorkerThread {
public:
    WorkerThread() = default;
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;
    ~WorkerThread() { Join(); }

    // False when the system cannot start another thread.
    bool Start(WorkerRoutine routine, void* argument);
    // Waits for the thread to end; does nothing when none was started.
    void Join();

private:
    std::thread thread_;
};

// Starts `routine(argument)` on `thread`; false when it could not be started.
using ThreadStarter =
    std::function<bool(WorkerThread* thread, WorkerRoutine routine, void* argument)>;

// The starter of a normal run.
bool StartWorkerThread(WorkerThread* thread, WorkerRoutine routine, void* argument);

// The one lock of the system, held around each tile write and its row count.
using TileLock = std::mutex;

// The driver's pause between two polls of the shared counters.
void PauseBetweenPolls();

}  // namespace nvx::pyramid
