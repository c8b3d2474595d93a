#include "hxLinkDisAsm.h"

#include "hxDisAsm.h"
#include "hxExceptPlugins.h"

namespace {
// The hook's type picks the composer's overload for the process's own code.
constexpr THxDisAsmHook ComposeDisAsm = &ParseFunction;
}  // namespace

void LinkDisAsm() noexcept
{
    SetDisAsmHook(ComposeDisAsm);
}

void UnlinkDisAsm() noexcept
{
    if (DisAsmHook() == ComposeDisAsm)
        SetDisAsmHook(nullptr);
}
