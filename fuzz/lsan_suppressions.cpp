// Assimp's BVH importer leaks the joints it has read when a hierarchy turns out malformed
// part-way (it throws before attaching them): a bounded loss per failed load, in the library,
// which a long fuzz run would otherwise report on nearly every malformed take. Linked into the
// fuzz targets only (the test programs have tests/common/lsan_suppressions.cpp); LeakSanitizer
// reads it at exit, and without LeakSanitizer it is never called.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libassimp.so\n";
}
