#pragma once

#include <string>

// path without one trailing backslash.
std::string PathRemoveSeparator(const std::string& path);
