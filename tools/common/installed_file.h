#pragma once
// Files the programs find beside an installed copy of themselves: an installed program lives in
// <prefix>/bin/ and finds the plug-in in <prefix>/plugins/ and its data in
// <prefix>/share/telmoralink/; a program run from its build folder uses the build's own files.

#include <string>

namespace telmora {

// The path of this program's own file (/proc/self/exe, or the module's file name on Windows);
// empty where it cannot be read.
std::string programPath();

// <prefix>/`relative` when that is a file, <prefix> being the folder above this program's
// folder; `built` otherwise.
std::string installedOrBuilt(const std::string& relative, const std::string& built);

}  // namespace telmora
