/*
 * slide_session.cpp - closing the slide once, then unloading the library.
 */
#include "slide/slide_session.h"

namespace nvx::slide {

bool SlideSession::Close() {
    if (!closed_) {
        closedWell_ = CloseSlide(&handle_);
        closed_ = true;
    }
    return closedWell_;
}

SlideSession::~SlideSession() {
    Close();
    // The binding's calls read the library's entry points without a lock;
    // they are safe because the slide is closed here, after every worker
    // that fetched from it has ended, before the library goes.
    UnloadSlideLibrary();
}

}  // namespace nvx::slide
