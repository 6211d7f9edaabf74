// Built into every test program. Fontconfig (under cairo's text) keeps its configuration and
// font caches for the life of the process and frees them only in FcFini, which a library must not
// call while others in the process may still use fontconfig. LeakSanitizer would report those
// caches at exit in every test that draws text; they are not the project's leaks.
// Assimp's BVH importer leaks the joints it has read when a hierarchy turns out malformed
// part-way (it throws before attaching them); the corpus replay test loads such takes.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\nleak:libassimp.so\n";
}
