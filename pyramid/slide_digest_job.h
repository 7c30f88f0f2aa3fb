/*
 * slide_digest_job.h - the slide library's digest of a slide (NvxSlideDigest,
 * which reads and hashes every stored byte) made on a thread of its own
 * while the levels are written, so that it takes the CPU time the workers
 * leave (a level's last row, the pictures) rather than a pass of its own
 * before them. The DICOM route's UIDs are made from it once every
 * instance is written. The slide library takes a digest and fetches of the
 * same slide at once.
 *
 * When no thread can be started, the digest is made when it is asked for.
 */
#pragma once

#include "pyramid/worker_threads.h"
#include "slide/library_binding.h"

namespace nvx::pyramid {

class SlideDigestJob {
public:
    SlideDigestJob(slide::SlideHandle slide, const ThreadStarter& startThread);
    SlideDigestJob(const SlideDigestJob&) = delete;
    SlideDigestJob& operator=(const SlideDigestJob&) = delete;
    // Waits for the digest when nobody asked for it.
    ~SlideDigestJob();

    // The digest, once it is made.
    const slide::SlideDigest& Wait();

private:
    const slide::SlideHandle slide_;
    WorkerThread thread_;
    bool started_ = false;
    bool done_ = false;
    slide::SlideDigest digest_;  // the thread's until it is joined
};

}  // namespace nvx::pyramid
