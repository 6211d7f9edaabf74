// The driver acting as the panel's user: clicks, picks and typing. Each action changes the
// control the way the user's gesture would, then fires the control's event synchronously.
#include <string>

#include "fbhost/host.h"
#include "sdk_internal.h"

namespace fbhost {
namespace {

// Fires an event of a control; an exception out of a handler stops at the host boundary and is
// recorded as a plug-in failure naming the event and the control.
void fireGuarded(ORSDK2026::FBPropertyEvent& event, ORSDK2026::FBComponent& sender,
                 const char* what) {
    fbsdk_detail::guarded(
        [&] { event.Fire(&sender); },
        [&] { return std::string(what) + " of " + fbsdk_detail::nameOf(&sender); });
}

}  // namespace

void Host::click(FBButton& button) {
    switch (button.Style.Get()) {
        case ORSDK2026::kFBCheckbox:
        case ORSDK2026::kFBBitmap2States:
            button.State = button.State.Get() == 0 ? 1 : 0;
            break;
        case ORSDK2026::kFBRadioButton:
            button.State = 1;  // a radio button is chosen, never unchosen, by a click
            break;
        default:
            break;
    }
    fireGuarded(button.OnClick, button, "OnClick");
}

void Host::pick(FBList& list, int index) {
    // Only an item that is there can be picked; anything else is no gesture at all.
    if (index < 0 || index >= list.Items.GetCount()) return;
    list.ItemIndex = index;
    fireGuarded(list.OnChange, list, "OnChange");
}

void Host::type(FBEdit& edit, const std::string& text) {
    edit.Text = text.c_str();
    fireGuarded(edit.OnChange, edit, "OnChange");
}

}  // namespace fbhost
