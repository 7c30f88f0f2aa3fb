/*
 * worker_threads.cpp - tile worker threads over std::thread.
 */
#include "pyramid/worker_threads.h"

#include <chrono>
#include <system_error>

namespace nvx::pyramid {

bool WorkerThread::Start(WorkerRoutine routine, void* argument) {
    if (thread_.joinable()) return false;
    // std::thread reports a thread the system refuses with an exception; the
    // rest of the program works with results.
    try {
        thread_ = std::thread([routine, argument] { routine(argument); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void WorkerThread::Join() {
    if (thread_.joinable()) thread_.join();
}

bool StartWorkerThread(WorkerThread* thread, WorkerRoutine routine, void* argument) {
    return thread->Start(routine, argument);
}

void PauseBetweenPolls() { std::this_thread::sleep_for(std::chrono::milliseconds(2)); }

}  // namespace nvx::pyramid
