// Characters: one link slot per body bone of the humanoid naming, and characterisation.
#include <algorithm>
#include <cstdlib>
#include <new>

#include "sdk_internal.h"

namespace ORSDK2026 {

using namespace fbsdk_detail;

namespace {

fbhost::Host::Impl& host() {
    return fbhost::Host::instance().impl();
}

// The bones that get a slot "<bone>Link": trunk, limbs, feet and toes, and the first three joints
// of each finger. Bone ends (head top, toe ends, fourth finger joints) have none.
std::vector<std::string> slotBones() {
    std::vector<std::string> bones = {"Hips", "Spine", "Spine1", "Spine2", "Neck", "Head"};
    for (const char* side : {"Left", "Right"}) {
        const std::string s = side;
        for (const char* bone :
             {"Shoulder", "Arm", "ForeArm", "Hand", "UpLeg", "Leg", "Foot", "ToeBase"}) {
            bones.push_back(s + bone);
        }
        for (const char* finger : {"Thumb", "Index", "Middle", "Ring", "Pinky"}) {
            for (int joint = 1; joint <= 3; ++joint) {
                bones.push_back(s + "Hand" + finger + std::to_string(joint));
            }
        }
    }
    return bones;
}

// Characterisation needs at least these linked.
const char* const kRequiredSlots[] = {
    "HipsLink",        "SpineLink",        "HeadLink",     "LeftArmLink",   "RightArmLink",
    "LeftForeArmLink", "RightForeArmLink", "LeftHandLink", "RightHandLink", "LeftUpLegLink",
    "RightUpLegLink",  "LeftLegLink",      "RightLegLink", "LeftFootLink",  "RightFootLink",
};

}  // namespace

int FBCharacter::TypeInfo = kTypeCharacter;

void* FBCharacter::operator new(std::size_t size) {
    void* memory = ::operator new(size);
    host().heapCharacters.insert(static_cast<FBCharacter*>(memory));
    return memory;
}
void FBCharacter::operator delete(void* memory) {
    host().heapCharacters.erase(static_cast<FBCharacter*>(memory));
    ::operator delete(memory);
}

FBCharacter::FBCharacter(const char* name, HIObject object)
    : FBComponent(object), mImpl(std::make_unique<Impl>()) {
    Name = name ? name : "";
    for (const std::string& bone : slotBones()) {
        auto slot = std::make_unique<FBPropertyListModel>();
        PropertyAccess::init(*slot, this, kFBPT_object, (bone + "Link").c_str());
        PropertyList.Add(slot.get());
        mImpl->links.push_back(std::move(slot));
    }
    host().characters.push_back(this);
}

FBCharacter::~FBCharacter() {
    auto& list = host().characters;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

const char* FBCharacter::ClassName() {
    return "FBCharacter";
}
bool FBCharacter::Is(int typeId) {
    return typeId == TypeInfo || FBComponent::Is(typeId);
}
int FBCharacter::GetTypeId() {
    return TypeInfo;
}

bool FBCharacter::SetCharacterizeOn(bool on) {
    if (!on) {
        mImpl->characterized = false;
        return true;
    }
    for (const char* slotName : kRequiredSlots) {
        auto* slot = static_cast<FBPropertyListModel*>(PropertyList.Find(slotName));
        if (!slot || slot->GetCount() == 0) return false;
    }
    mImpl->characterized = true;
    return true;
}

bool FBCharacter::GetCharacterize() const {
    return mImpl->characterized;
}

}  // namespace ORSDK2026
