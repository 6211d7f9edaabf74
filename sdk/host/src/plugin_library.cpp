// Plug-in libraries loaded by path, their entry points, and what unloading one takes away.
#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <algorithm>

#include "sdk_internal.h"

namespace fbhost {

using fbsdk_detail::guarded;

namespace {

#if defined(_WIN32)
void* openLibrary(const std::string& path, std::string& reason) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (!module) reason = "error " + std::to_string(GetLastError());
    return reinterpret_cast<void*>(module);
}
void* findSymbol(void* handle, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
}
void closeLibrary(void* handle) {
    FreeLibrary(static_cast<HMODULE>(handle));
}
#else
void* openLibrary(const std::string& path, std::string& reason) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* text = dlerror();
        reason = text ? text : "unknown error";
    }
    return handle;
}
void* findSymbol(void* handle, const char* name) {
    return dlsym(handle, name);
}
void closeLibrary(void* handle) {
    dlclose(handle);
}
#endif

}  // namespace

struct PluginLibrary::Impl {
    void* handle = nullptr;
    std::string path;
    std::string error;
};

PluginLibrary::PluginLibrary() : mImpl(std::make_unique<Impl>()) {}
PluginLibrary::~PluginLibrary() {
    unload();
}

bool PluginLibrary::load(const std::string& path) {
    unload();
    mImpl->path = path;
    mImpl->error.clear();
    std::string reason;
    {
        CurrentLibraryScope scope(Host::instance().impl(), this);
        mImpl->handle = openLibrary(path, reason);
    }
    if (!mImpl->handle) {
        mImpl->error = "cannot load library '" + path + "': " + reason;
        return false;
    }
    return true;
}

// Devices and panels made through the library's factories go first (their code lives in it),
// then its registrations, then the library itself.
void PluginLibrary::unload() {
    if (!mImpl->handle) return;
    Host& host = Host::instance();
    Host::Impl& h = host.impl();
    const std::vector<Host::Impl::Panel> panels = h.panels;
    for (const auto& panel : panels) {
        if (panel.library == this) host.closePanel(panel.layout);
    }
    const std::vector<ORSDK2026::FBDevice*> devices = h.devices;
    for (ORSDK2026::FBDevice* device : devices) {
        if (fbsdk_detail::isLive(device) && device->impl()->library == this) {
            host.destroyDevice(device);
        }
    }
    auto& regs = h.registrations;
    regs.erase(std::remove_if(regs.begin(), regs.end(),
                              [this](const Registration& r) { return r.library == this; }),
               regs.end());
    closeLibrary(mImpl->handle);
    mImpl->handle = nullptr;
}

bool PluginLibrary::isLoaded() const {
    return mImpl->handle != nullptr;
}
const std::string& PluginLibrary::path() const {
    return mImpl->path;
}
const std::string& PluginLibrary::error() const {
    return mImpl->error;
}

bool PluginLibrary::hasSymbol(const char* name) const {
    return mImpl->handle && name && findSymbol(mImpl->handle, name) != nullptr;
}

bool PluginLibrary::callLibraryInit() {
    void* symbol = mImpl->handle ? findSymbol(mImpl->handle, kLibraryInitSymbol) : nullptr;
    if (!symbol) {
        mImpl->error =
            "library '" + mImpl->path + "' has no entry point '" + kLibraryInitSymbol + "'";
        return false;
    }
    auto init = reinterpret_cast<bool (*)()>(symbol);
    bool result = false;
    CurrentLibraryScope scope(Host::instance().impl(), this);
    const bool ok =
        guarded([&] { result = init(); },
                [&] { return std::string(kLibraryInitSymbol) + " of '" + mImpl->path + "'"; });
    return ok && result;
}

bool PluginLibrary::callEntryPoint(int operation, const char* symbolName) {
    const std::string name = symbolName ? symbolName : "";
    void* symbol =
        (mImpl->handle && !name.empty()) ? findSymbol(mImpl->handle, name.c_str()) : nullptr;
    if (!symbol) {
        mImpl->error = "library '" + mImpl->path + "' has no entry point '" + name + "'";
        return false;
    }
    auto entry = reinterpret_cast<void (*)(ORSDK2026::kFBDllOperation)>(symbol);
    CurrentLibraryScope scope(Host::instance().impl(), this);
    return guarded(
        [&] { entry(static_cast<ORSDK2026::kFBDllOperation>(operation)); },
        [&] { return name + "(" + std::to_string(operation) + ") of '" + mImpl->path + "'"; });
}

}  // namespace fbhost
