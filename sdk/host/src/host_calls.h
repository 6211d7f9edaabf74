#pragma once
// What the host's files share when they call into a plug-in: the call's name for a failure, a
// device's first node, and a registration's factory called as the host calls it.

#include <string>

#include "sdk_internal.h"

namespace fbhost::host_calls {

using namespace ORSDK2026;

// "WHAT of 'NAME'", naming a plug-in call that failed.
inline std::string deviceCall(const char* what, const FBDevice* device) {
    return std::string(what) + " of '" + fbsdk_detail::nameOf(device) + "'";
}

inline FBAnimationNode* firstNode(FBDevice* device) {
    auto& nodes = device->impl()->nodes;
    return nodes.empty() ? nullptr : nodes.front();
}

void setError(std::string* error, const std::string& text);

// Calls a registration's factory as the host does: what it registers counts as its library's,
// and an exception leaving it is recorded as a failure of `call` (`threw` set) instead of
// passing. The object made, or null.
FBComponent* callFactory(Host::Impl& host, const Registration& reg, const char* name, HIObject data,
                         const std::string& call, bool& threw);

}  // namespace fbhost::host_calls
