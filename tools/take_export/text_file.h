#pragma once
// Writing a whole text to a file for the take writers: either the file holds all of it or the
// path holds nothing afterwards.

#include <string>

namespace telmora {

bool writeWholeFile(const std::string& path, const std::string& text, std::string& error);

}  // namespace telmora
