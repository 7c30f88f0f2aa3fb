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
    UnloadSlideLibrary();
}

}  // namespace nvx::slide
