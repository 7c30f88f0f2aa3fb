/*
 * slide_session.h - the one owner of an open slide. It closes the slide at
 * most once (the close's result decides the completion line) and unloads
 * the slide library when it goes, after the slide is closed, on every path.
 */
#pragma once

#include "slide/library_binding.h"

namespace nvx::slide {

class SlideSession {
public:
    // Takes over a slide that OpenSlide has just opened.
    explicit SlideSession(SlideHandle handle) : handle_(handle) {}
    ~SlideSession();
    SlideSession(const SlideSession&) = delete;
    SlideSession& operator=(const SlideSession&) = delete;

    SlideHandle handle() const { return handle_; }
    // Closes the slide now; true when the library says it closed. Later
    // calls close nothing and give the first call's answer.
    bool Close();

private:
    SlideHandle handle_;
    bool closed_ = false;
    bool closedWell_ = false;
};

}  // namespace nvx::slide
