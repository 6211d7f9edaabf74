// Built into every test program: what LeakSanitizer must not report at exit because it is not
// the project's.
// - Fontconfig (under cairo's text) keeps its configuration and font caches for the life of the
//   process and frees them only in FcFini, which a library must not call while others in the
//   process may still use fontconfig.
// - Assimp's BVH importer leaks the joints it has read when a hierarchy turns out malformed
//   part-way (it throws before attaching them): a bounded loss per failed load, in the library
//   (the take-file corpus keeps such a file).
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n"
           "leak:libassimp.so\n";
}
