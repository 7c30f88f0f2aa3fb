/*
 * slide_digest_job.cpp - the slide's digest on a thread of its own.
 */
#include "pyramid/slide_digest_job.h"

namespace nvx::pyramid {

SlideDigestJob::SlideDigestJob(slide::SlideHandle slide, const ThreadStarter& startThread)
    : slide_(slide) {
    started_ = startThread(&thread_, [this] { digest_ = slide::DigestSlide(slide_); });
}

SlideDigestJob::~SlideDigestJob() { thread_.Join(); }

const slide::SlideDigest& SlideDigestJob::Wait() {
    if (!done_) {
        if (started_) {
            thread_.Join();
        } else {
            digest_ = slide::DigestSlide(slide_);
        }
        done_ = true;
    }
    return digest_;
}

}  // namespace nvx::pyramid
