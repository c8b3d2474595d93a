#include "hxLinkDisAsm.h"

#include "hxDisAsm.h"
#include "hxExceptPlugins.h"

namespace {
void ComposeDisAsm(uintptr_t functionAddress, std::string& text, uintptr_t exceptionAddress,
                   TFunctionInfo& info, int limit)
{
    ParseFunction(functionAddress, text, exceptionAddress, info, limit);
}
}  // namespace

void LinkDisAsm() noexcept
{
    SetDisAsmHook(&ComposeDisAsm);
}

void UnlinkDisAsm() noexcept
{
    if (DisAsmHook() == &ComposeDisAsm)
        SetDisAsmHook(nullptr);
}
