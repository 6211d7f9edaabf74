#include "tools/monitor/page_assets.h"

// Each file is taken into the program by the assembler, so the build needs no generator; the
// build names the folders (the page's own and the libraries' from the npm registry).
#define TELMORA_PAGE_FILE(symbol, file)                                                       \
    asm(".section .rodata\n.balign 16\n.global " #symbol "\n.hidden " #symbol "\n" #symbol    \
        ":\n.incbin \"" file "\"\n.global " #symbol "_end\n.hidden " #symbol "_end\n" #symbol \
        "_end:\n.byte 0\n.previous\n");                                                       \
    extern "C" const char symbol[];                                                           \
    extern "C" const char symbol##_end[];

TELMORA_PAGE_FILE(telmora_page_html, TELMORA_PAGE_DIR "/index.html")
TELMORA_PAGE_FILE(telmora_page_js, TELMORA_PAGE_DIR "/monitor.js")
TELMORA_PAGE_FILE(telmora_page_css, TELMORA_PAGE_DIR "/monitor.css")
TELMORA_PAGE_FILE(telmora_three_module, TELMORA_PAGE_MODULES "/three/build/three.module.js")
TELMORA_PAGE_FILE(telmora_three_core, TELMORA_PAGE_MODULES "/three/build/three.core.js")
TELMORA_PAGE_FILE(telmora_orbit_controls,
                  TELMORA_PAGE_MODULES "/three/examples/jsm/controls/OrbitControls.js")
TELMORA_PAGE_FILE(telmora_uplot_js, TELMORA_PAGE_MODULES "/uplot/dist/uPlot.iife.min.js")
TELMORA_PAGE_FILE(telmora_uplot_css, TELMORA_PAGE_MODULES "/uplot/dist/uPlot.min.css")

namespace telmora {
namespace {

constexpr char kJavaScript[] = "text/javascript; charset=utf-8";
constexpr char kCss[] = "text/css; charset=utf-8";

#define TELMORA_ASSET(path, type, symbol, versioned)                                   \
    PageAsset {                                                                        \
        path, type, symbol, static_cast<std::size_t>(symbol##_end - symbol), versioned \
    }

const PageAsset kAssets[] = {
    TELMORA_ASSET("/", "text/html; charset=utf-8", telmora_page_html, false),
    TELMORA_ASSET("/monitor.js", kJavaScript, telmora_page_js, false),
    TELMORA_ASSET("/monitor.css", kCss, telmora_page_css, false),
    TELMORA_ASSET("/lib/three.module.js", kJavaScript, telmora_three_module, true),
    TELMORA_ASSET("/lib/three.core.js", kJavaScript, telmora_three_core, true),
    TELMORA_ASSET("/lib/OrbitControls.js", kJavaScript, telmora_orbit_controls, true),
    TELMORA_ASSET("/lib/uPlot.iife.min.js", kJavaScript, telmora_uplot_js, true),
    TELMORA_ASSET("/lib/uPlot.min.css", kCss, telmora_uplot_css, true),
};

}  // namespace

const PageAsset* findPageAsset(const std::string& path) {
    for (const PageAsset& asset : kAssets)
        if (path == asset.path) return &asset;
    return nullptr;
}

}  // namespace telmora
