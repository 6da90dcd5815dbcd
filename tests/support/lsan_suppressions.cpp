// Leak suppressions compiled into every program of the sanitizer build. A file named in
// LSAN_OPTIONS would have to be readable by every helper, including those that tests run
// as another user, wherever the checkout lives.
//
// Leaks inside system libraries that the programs cannot free; one line each, with the
// reason. Qt 5.15's offscreen platform plug-in never frees its screen and cursor
// (children run with fast_unwind_on_malloc=0 so that this frame shows in the stack).
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libqoffscreen.so\n";
}
