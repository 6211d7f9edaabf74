#pragma once
// Lets an object that owns threads tell whether it is being called from one of them.
//
// Joining a thread from itself is an error, and a callback that runs on an object's thread may
// call back into that object (a consumer that disconnects its stream from its packet callback).
// Each thread function holds an OwnThreadMark for its whole run; the object's stop operations
// ask IsOwnThread before they join.

namespace telmora {

inline thread_local const void* currentThreadOwner = nullptr;

class OwnThreadMark {
public:
    explicit OwnThreadMark(const void* owner) noexcept { currentThreadOwner = owner; }
    ~OwnThreadMark() { currentThreadOwner = nullptr; }
    OwnThreadMark(const OwnThreadMark&) = delete;
    OwnThreadMark& operator=(const OwnThreadMark&) = delete;
};

inline bool IsOwnThread(const void* owner) noexcept {
    return owner != nullptr && currentThreadOwner == owner;
}

}  // namespace telmora
