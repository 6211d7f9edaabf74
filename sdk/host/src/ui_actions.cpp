// The driver acting as the panel's user: clicks, picks and typing. Each action changes the
// control the way the user's gesture would, then fires the control's event synchronously.
#include <string>

#include "fbhost/host.h"

namespace fbhost {

// Events fire through FBPropertyEvent::Fire, which guards each handler: an exception out of one
// is recorded as a plug-in failure and the handlers after it still run.

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
    button.OnClick.Fire(&button);
}

void Host::pick(FBList& list, int index) {
    // Only an item that is there can be picked; anything else is no gesture at all.
    if (index < 0 || index >= list.Items.GetCount()) return;
    list.ItemIndex = index;
    list.OnChange.Fire(&list);
}

void Host::type(FBEdit& edit, const std::string& text) {
    edit.Text = text.c_str();
    edit.OnChange.Fire(&edit);
}

}  // namespace fbhost
