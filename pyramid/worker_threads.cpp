/*
 * worker_threads.cpp - worker threads over POSIX threads (and the Windows
 * build's winpthreads), which, unlike std::thread, let the stack size be
 * chosen.
 */
#include "pyramid/worker_threads.h"

#include <cerrno>
#include <memory>
#include <new>
#include <utility>

namespace nvx::pyramid {
namespace {

// As with std::thread, work that lets an exception out ends the program.
extern "C" void* RunWork(void* argument) noexcept {
    const std::unique_ptr<std::function<void()>> work(
        static_cast<std::function<void()>*>(argument));
    (*work)();
    return nullptr;
}

}  // namespace

bool WorkerThread::Start(std::function<void()> work) {
    if (started_) return false;
    // The work goes to the thread on the heap; it is the thread's once
    // pthread_create succeeds, and ours to free when it fails.
    std::unique_ptr<std::function<void()>> owned;
    try {
        owned = std::make_unique<std::function<void()>>(std::move(work));
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return false;
    }
    pthread_attr_t attributes;
    int error = pthread_attr_init(&attributes);
    if (error != 0) {
        errno = error;
        return false;
    }
    error = pthread_attr_setstacksize(&attributes, kWorkerStackBytes);
    if (error == 0) error = pthread_create(&thread_, &attributes, RunWork, owned.get());
    pthread_attr_destroy(&attributes);
    // The system's reason goes back in errno, for the level to name.
    if (error != 0) {
        errno = error;
        return false;
    }
    owned.release();
    started_ = true;
    return true;
}

void WorkerThread::Join() {
    if (!started_) return;
    pthread_join(thread_, nullptr);
    started_ = false;
}

bool StartWorkerThread(WorkerThread* thread, std::function<void()> work) {
    return thread->Start(std::move(work));
}

}  // namespace nvx::pyramid
