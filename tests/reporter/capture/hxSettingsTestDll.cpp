// A library with its own copy of the reporter and its own settings resource, so that the
// tests see two copies of the settings store in one process.

#include "hxExceptSettings.h"

#include <cstring>

extern "C" {

__attribute__((dllexport)) THxModuleSettings* HxTestAcquire(HMODULE module)
{
    return AcquireModuleSettings(module);
}

__attribute__((dllexport)) void HxTestRelease(THxModuleSettings* block)
{
    ReleaseModuleSettings(block);
}

__attribute__((dllexport)) bool HxTestReadString(HMODULE module, const char* name, char* buffer, int size)
{
    Microsoft::WRL::ComPtr<IVQSettingValues> values;
    if (FAILED(NewSettings(module).As(&values)))
        return false;
    const std::string value = values->ReadString(name);
    if (size <= 0 || value.size() >= static_cast<std::size_t>(size))
        return false;
    std::memcpy(buffer, value.c_str(), value.size() + 1);
    return true;
}

__attribute__((dllexport)) __attribute__((noinline)) HMODULE HxTestCallerModule(int depth)
{
    return GetCallerModuleSettings(depth)->Module();
}

}
