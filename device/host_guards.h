#pragma once
// What every host-facing entry of the device is wrapped in: nothing it throws reaches the host,
// and a progress indicator opened is always closed.

#include <fbsdk/fbsdk.h>

namespace telmora::device {

// Runs a host-facing operation; anything it throws ends here with `fallback` as the answer.
template <typename Result, typename Body>
Result guarded(Result fallback, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return fallback;
    }
}

template <typename Body>
void guardedVoid(Body&& body) noexcept {
    try {
        body();
    } catch (...) {
    }
}

// Sets an indicator's caption (and text) before it is shown, and always closes it.
class ScopedProgress {
public:
    explicit ScopedProgress(const char* caption, const char* text = nullptr) {
        progress_.Caption = caption;
        if (text != nullptr) progress_.Text = text;
        progress_.ProgressBegin();
    }
    ~ScopedProgress() { progress_.ProgressDone(); }
    ScopedProgress(const ScopedProgress&) = delete;
    ScopedProgress& operator=(const ScopedProgress&) = delete;
    void text(const char* value) { progress_.Text = value; }

private:
    ORSDK2026::FBProgress progress_;
};

// The model bound to a template; null when there is none.
inline ORSDK2026::FBModel* boundModel(ORSDK2026::FBModelTemplate* modelTemplate) {
    return modelTemplate != nullptr ? modelTemplate->Model.Get() : nullptr;
}

}  // namespace telmora::device
