/*
 * tsan_default_suppressions.cpp - ThreadSanitizer suppressions built into
 * nvxmake, so that every caller (our tests, the converter's end-to-end
 * tests, CI with halt_on_error) runs a ThreadSanitizer build of nvxmake
 * without extra options.
 *
 * nvxmake reads OpenSlide from several threads, which OpenSlide allows. Its
 * locking goes through glib, uninstrumented here, whose futex-based locks
 * ThreadSanitizer cannot see; it then reports races inside OpenSlide's and
 * glib's own memory handling, and inside libtiff, through which OpenSlide
 * reads TIFF-based slides (nvxmake itself never calls libtiff). Nothing of
 * ours is suppressed. ThreadSanitizer
 * looks this function up by name; other builds never call it.
 */
extern "C" const char* __tsan_default_suppressions();

extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libopenslide.so.0\n"
           "called_from_lib:libglib-2.0.so.0\n"
           "race:libopenslide.so.0\n"
           "race:libglib-2.0.so.0\n"
           "race:libtiff.so\n";
}
