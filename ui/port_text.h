// The listening port as the user types it into the panel.
#pragma once

#include <optional>

namespace telmora {

// The listening port a text names, read like "%d": leading white space, an optional sign and
// decimal digits, anything after them ignored ("22000abc" is 22000). Nothing when the text does
// not begin with a number or the number is not a usable UDP port (1..65535); a number too long
// for an int is out of range, not undefined.
std::optional<int> parseListeningPort(const char* text);

}  // namespace telmora
