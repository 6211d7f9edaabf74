#pragma once
// Support of the take writers: numbers as BVH and CSV hold them, whole files written so that
// either the file holds all of the text or the path holds nothing afterwards, and the guard that
// keeps exceptions inside.

#include <exception>
#include <string>

namespace telmora {

// Appends `value` with six decimals ("-12.345678"): 1e-6 cm and 1e-6 degrees, far below what
// a re-import can tell apart. Locale-independent.
void appendFixed6(std::string& text, double value);

bool writeWholeFile(const std::string& path, const std::string& text, std::string& error);

// Runs a writer's body and returns its result; anything it throws (allocation failure, the
// exporter) becomes false with "cannot write <what>: <reason>" in `error`.
template <typename Body>
bool writeWithoutThrowing(const char* what, std::string& error, Body&& body) {
    try {
        return body();
    } catch (const std::exception& e) {
        error = std::string("cannot write ") + what + ": " + e.what();
    } catch (...) {
        error = std::string("cannot write ") + what;
    }
    return false;
}

}  // namespace telmora
