#pragma once
// The files of the set monitor's page, built into the program: the page itself and the
// libraries it loads (three.js, uPlot), each under one fixed path. Nothing else is served, and
// no path from a request ever reaches the file system.

#include <cstddef>
#include <string>

namespace telmora {

struct PageAsset {
    const char* path;         // as requested, e.g. "/lib/three.module.js"
    const char* contentType;  // with its charset where it has one
    const char* data;
    std::size_t size;
    bool versioned;  // a library that never changes under its path: cacheable
};

// The asset served at `path` ("/" is the page), or null.
const PageAsset* findPageAsset(const std::string& path);

}  // namespace telmora
