#pragma once
// Text output of the take writers: numbers as BVH and CSV hold them, and whole files written
// so that either the file holds all of the text or the path holds nothing afterwards.

#include <string>

namespace telmora {

// Appends `value` with six decimals ("-12.345678"): 1e-6 cm and 1e-6 degrees, far below what
// a re-import can tell apart. Locale-independent.
void appendFixed6(std::string& text, double value);

bool writeWholeFile(const std::string& path, const std::string& text, std::string& error);

}  // namespace telmora
