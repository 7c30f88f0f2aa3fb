/*
 * worker_threads.cpp - worker threads over std::thread (POSIX threads, and
 * the Windows build's winpthreads beneath mingw-w64's std::thread).
 */
#include "pyramid/worker_threads.h"

#include <new>
#include <system_error>
#include <utility>

namespace nvx::pyramid {

bool WorkerThread::Start(std::function<void()> work) {
    if (thread_.joinable()) return false;
    // std::thread reports a thread the system refuses with an exception (and
    // memory for its start with another); the rest of the program works with
    // results.
    try {
        thread_ = std::thread(std::move(work));
    } catch (const std::system_error&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void WorkerThread::Join() {
    if (thread_.joinable()) thread_.join();
}

bool StartWorkerThread(WorkerThread* thread, std::function<void()> work) {
    return thread->Start(std::move(work));
}

}  // namespace nvx::pyramid
