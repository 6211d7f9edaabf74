// Built into every test program. Fontconfig (under cairo's text) keeps its configuration and
// font caches for the life of the process and frees them only in FcFini, which a library must not
// call while others in the process may still use fontconfig. LeakSanitizer would report those
// caches at exit in every test that draws text; they are not the project's leaks.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
