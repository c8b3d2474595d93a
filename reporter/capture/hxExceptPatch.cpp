#include "hxExceptPatch.h"

#include "hxDisAsm.h"
#include "hxExclusive.h"

#include <cstring>
#include <limits>

namespace {

// One lock guards the log and serialises every write, so that a site is read and written as one step.
SRWLOCK gPatchLock = SRWLOCK_INIT;
std::vector<TPatchRecord>* gPatchLog = nullptr;

bool SiteHolds(const void* address, const unsigned char* bytes, std::size_t length)
{
    std::vector<unsigned char> current(length);
    return TryReadMemory(address, current.data(), length) && std::memcmp(current.data(), bytes, length) == 0;
}

// Makes each page of the range writable, copies and gives every page its own protection back.
// A page that cannot be made writable leaves the whole range untouched.
bool WriteCode(void* address, const void* bytes, std::size_t length)
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const std::uintptr_t page = info.dwPageSize;
    const auto start = reinterpret_cast<std::uintptr_t>(address);
    const std::uintptr_t firstPage = start & ~(page - 1);
    const std::uintptr_t lastPage = (start + length - 1) & ~(page - 1);
    DWORD oldProtect[2] = {};   // no patch is longer than a page
    if (lastPage - firstPage > page)
        return false;
    const std::size_t pages = lastPage == firstPage ? 1 : 2;
    std::size_t made = 0;
    for (; made < pages; ++made)
        if (!VirtualProtect(reinterpret_cast<void*>(firstPage + made * page), 1, PAGE_EXECUTE_READWRITE,
                            &oldProtect[made]))
            break;
    if (made == pages)
        std::memcpy(address, bytes, length);
    for (std::size_t i = 0; i < made; ++i) {
        DWORD ignored;
        VirtualProtect(reinterpret_cast<void*>(firstPage + i * page), 1, oldProtect[i], &ignored);
    }
    if (made != pages)
        return false;
    FlushInstructionCache(GetCurrentProcess(), address, length);
    return true;
}

// A jump must not reach into the next function; on x64 the unwind table knows where a function
// ends. Code without an entry there (i686, hand-made code) is taken as it is.
bool JumpFitsFunction(const void* site, std::size_t length)
{
#if defined(_WIN64)
    const auto address = reinterpret_cast<DWORD64>(site);
    DWORD64 imageBase = 0;
    if (PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(address, &imageBase, nullptr))
        return address + length <= imageBase + function->EndAddress;
#else
    (void)site;
    (void)length;
#endif
    return true;
}

} // namespace

bool PatchCode(void* address, const void* bytes, std::size_t length) noexcept
{
    if (!address || !bytes || length == 0)
        return false;
    TExclusive lock(gPatchLock);
    try {
        TPatchRecord record;
        record.Address = address;
        record.OldBytes.resize(length);
        if (!TryReadMemory(address, record.OldBytes.data(), length))
            return false;
        const auto* newBytes = static_cast<const unsigned char*>(bytes);
        if (std::memcmp(record.OldBytes.data(), newBytes, length) == 0)
            return false;
        record.NewBytes.assign(newBytes, newBytes + length);
        if (!gPatchLog)
            gPatchLog = new std::vector<TPatchRecord>();
        gPatchLog->reserve(gPatchLog->size() + 1);   // the log cannot fail once the code is changed
        if (!WriteCode(address, newBytes, length))
            return false;
        gPatchLog->push_back(std::move(record));
        return true;
    } catch (...) {
        return false;
    }
}

void* PatchJumpSite(void* routine) noexcept
{
    unsigned char head[6];
    if (!routine || !TryReadMemory(routine, head, sizeof head))
        return nullptr;
    if (head[0] != 0xFF || head[1] != 0x25)
        return routine;
    std::int32_t displacement;
    std::memcpy(&displacement, head + 2, sizeof displacement);
#if defined(_WIN64)
    // x64: the slot's address is relative to the next instruction.
    const std::uintptr_t slot = reinterpret_cast<std::uintptr_t>(routine) + sizeof head + displacement;
#else
    const std::uintptr_t slot = static_cast<std::uint32_t>(displacement);
#endif
    void* target = nullptr;
    if (!TryReadMemory(slot, &target, sizeof target))
        return nullptr;
    return target;
}

std::size_t EncodeJump(const void* site, const void* target, unsigned char (&out)[MaxJumpLength]) noexcept
{
    const auto from = reinterpret_cast<std::uintptr_t>(site) + 5;
    const auto to = reinterpret_cast<std::uintptr_t>(target);
    const auto distance = static_cast<std::intptr_t>(to - from);
    // On i686 every target is in reach: the displacement wraps around the 32-bit address space.
    if (sizeof(void*) == 4 || (distance >= std::numeric_limits<std::int32_t>::min() &&
                               distance <= std::numeric_limits<std::int32_t>::max())) {
        const auto displacement = static_cast<std::uint32_t>(to - from);
        out[0] = 0xE9;
        std::memcpy(out + 1, &displacement, sizeof displacement);
        return 5;
    }
    // jmp [rip+0] and the target right behind it.
    const unsigned char absolute[6] = {0xFF, 0x25, 0x00, 0x00, 0x00, 0x00};
    std::memcpy(out, absolute, sizeof absolute);
    const std::uint64_t address = to;
    std::memcpy(out + sizeof absolute, &address, sizeof address);
    return MaxJumpLength;
}

bool PatchJump(void* routine, const void* target) noexcept
{
    void* site = PatchJumpSite(routine);
    if (!site || !target)
        return false;
    unsigned char jump[MaxJumpLength];
    const std::size_t length = EncodeJump(site, target, jump);
    if (!JumpFitsFunction(site, length))
        return false;
    return PatchCode(site, jump, length);
}

bool PatchCallTarget(void* operand, std::uint32_t value) noexcept
{
    return PatchCode(operand, &value, sizeof value);
}

void UndoPatches() noexcept
{
    TExclusive lock(gPatchLock);
    if (!gPatchLog)
        return;
    for (auto it = gPatchLog->rbegin(); it != gPatchLog->rend(); ++it) {
        const TPatchRecord& record = *it;
        try {
            if (SiteHolds(record.Address, record.NewBytes.data(), record.NewBytes.size()))
                WriteCode(record.Address, record.OldBytes.data(), record.OldBytes.size());
        } catch (...) {
        }
    }
    delete gPatchLog;
    gPatchLog = nullptr;
}

std::vector<TPatchRecord> PatchLog()
{
    TExclusive lock(gPatchLock);
    return gPatchLog ? *gPatchLog : std::vector<TPatchRecord>();
}
