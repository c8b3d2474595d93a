#pragma once

// Reading single string values straight from the registry, and key-path normalisation.

#include "JclBase.h"

#include <windows.h>

#include <string>

class EJclRegistryError : public EJclError {
    using EJclError::EJclError;
};

// key without one leading backslash and without a root prefix ("HKLM\", "HKEY_CURRENT_USER\", ...);
// a prefix naming another root than root raises EJclRegistryError.
std::string RelativeRegistryKey(HKEY root, const std::string& key);

// A string, expandable string or binary value as text, cut at its first zero.
// Raises EJclRegistryError.
std::string ReadRegistryString(HKEY root, const std::string& key, const std::string& name);
std::string ReadRegistryStringDef(HKEY root, const std::string& key, const std::string& name,
                                  const std::string& fallback);
