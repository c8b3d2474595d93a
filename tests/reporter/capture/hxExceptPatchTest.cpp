#include "hxExceptPatch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

// Long enough for the 14-byte jump; never inlined, so that every call runs these bytes.
extern "C" __attribute__((noinline, noipa)) int PatchProbe(int value)
{
    int sum = 0;
    for (int i = 0; i < value; ++i)
        sum += i * value + (i ^ 5);
    return sum + 11;
}

extern "C" __attribute__((noinline, noipa)) int PatchProbeReplacement(int value)
{
    return value * 1000 + 7;
}

extern "C" __attribute__((noinline, noipa)) int TinyPatchProbe()
{
    return 5;
}

namespace {

using TProbe = int (*)(int);

// Called through a volatile pointer, so that no call is folded away.
int CallProbe(int value)
{
    TProbe volatile probe = &PatchProbe;
    return probe(value);
}

std::vector<unsigned char> BytesAt(const void* address, std::size_t length)
{
    const auto* bytes = static_cast<const unsigned char*>(address);
    return std::vector<unsigned char>(bytes, bytes + length);
}

DWORD ProtectionOf(const void* address)
{
    MEMORY_BASIC_INFORMATION info{};
    VirtualQuery(address, &info, sizeof info);
    return info.Protect;
}

// Pages of the test's own; freed at the end of the scope.
struct TPages {
    unsigned char* Base;
    explicit TPages(std::size_t count, DWORD protection = PAGE_READWRITE, void* at = nullptr,
                    DWORD extra = 0)
        : Base(static_cast<unsigned char*>(
              VirtualAlloc(at, count * 4096, MEM_RESERVE | MEM_COMMIT | extra, protection)))
    {
    }
    ~TPages()
    {
        if (Base)
            VirtualFree(Base, 0, MEM_RELEASE);
    }
    TPages(const TPages&) = delete;
    TPages& operator=(const TPages&) = delete;
};

} // namespace

TEST(HxExceptPatch, NearJumpRedirectsAndUndoRestoresTheBytes)
{
    UndoPatches();
    const int original = CallProbe(6);
    void* site = reinterpret_cast<void*>(&PatchProbe);
    const std::vector<unsigned char> before = BytesAt(site, MaxJumpLength);

    ASSERT_TRUE(PatchJump(site, reinterpret_cast<const void*>(&PatchProbeReplacement)));
    EXPECT_EQ(CallProbe(6), 6007);
    ASSERT_EQ(PatchLog().size(), 1u);
    EXPECT_EQ(PatchLog()[0].Address, site);
    EXPECT_EQ(PatchLog()[0].NewBytes.size(), 5u);   // same module: the short form
    EXPECT_EQ(PatchLog()[0].NewBytes[0], 0xE9);
    EXPECT_EQ(PatchLog()[0].OldBytes, BytesAt(before.data(), 5));

    // The site holds the jump already: nothing is written or logged again.
    EXPECT_FALSE(PatchJump(site, reinterpret_cast<const void*>(&PatchProbeReplacement)));
    EXPECT_EQ(PatchLog().size(), 1u);

    UndoPatches();
    EXPECT_TRUE(PatchLog().empty());
    EXPECT_EQ(BytesAt(site, MaxJumpLength), before);
    EXPECT_EQ(CallProbe(6), original);
}

TEST(HxExceptPatch, ImportJumpIsFollowedToItsSlotsTarget)
{
    alignas(8) unsigned char stub[16] = {0xFF, 0x25};
    void* target = reinterpret_cast<void*>(&PatchProbe);
#if defined(_WIN64)
    const std::int32_t displacement = 2;   // the slot lies 2 bytes behind the 6-byte instruction
    void** slot = reinterpret_cast<void**>(stub + 8);
#else
    void** slot = reinterpret_cast<void**>(stub + 8);
    const auto displacement = static_cast<std::int32_t>(reinterpret_cast<std::uintptr_t>(slot));
#endif
    std::memcpy(stub + 2, &displacement, sizeof displacement);
    *slot = target;
    EXPECT_EQ(PatchJumpSite(stub), target);
    stub[1] = 0x15;   // an indirect call is no import jump
    EXPECT_EQ(PatchJumpSite(stub), static_cast<void*>(stub));

    TPages reserved(1, PAGE_NOACCESS);
    EXPECT_EQ(PatchJumpSite(reserved.Base), nullptr);
    EXPECT_FALSE(PatchJump(reserved.Base, target));
}

TEST(HxExceptPatch, JumpEncodingChoosesTheFormByDistance)
{
    unsigned char out[MaxJumpLength] = {};
    const auto at = [](std::uintptr_t address) { return reinterpret_cast<const void*>(address); };

    ASSERT_EQ(EncodeJump(at(0x10000), at(0x20000), out), 5u);
    std::uint32_t displacement;
    std::memcpy(&displacement, out + 1, 4);
    EXPECT_EQ(out[0], 0xE9);
    EXPECT_EQ(displacement, 0x20000u - 0x10005u);

    ASSERT_EQ(EncodeJump(at(0x20000), at(0x10000), out), 5u);   // backwards
    std::memcpy(&displacement, out + 1, 4);
    EXPECT_EQ(static_cast<std::int32_t>(displacement), 0x10000 - 0x20005);

#if defined(_WIN64)
    const std::uintptr_t distant = 0x7FF000000000ull;
    ASSERT_EQ(EncodeJump(at(0x140001000ull), at(distant), out), MaxJumpLength);
    const unsigned char head[6] = {0xFF, 0x25, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(out, head, sizeof head), 0);
    std::uint64_t target;
    std::memcpy(&target, out + 6, 8);
    EXPECT_EQ(target, distant);
    // The last reachable target still takes the short form.
    EXPECT_EQ(EncodeJump(at(0x100000000ull), at(0x100000005ull + 0x7FFFFFFFull), out), 5u);
    EXPECT_EQ(EncodeJump(at(0x100000000ull), at(0x100000005ull + 0x80000000ull), out), MaxJumpLength);
#endif
}

#if defined(_WIN64)
TEST(HxExceptPatch, FarTargetGetsTheAbsoluteJump)
{
    UndoPatches();
    TPages distant(1, PAGE_EXECUTE_READWRITE, nullptr, MEM_TOP_DOWN);
    ASSERT_NE(distant.Base, nullptr);
    const auto probe = reinterpret_cast<std::uintptr_t>(&PatchProbe);
    const auto page = reinterpret_cast<std::uintptr_t>(distant.Base);
    if ((page > probe ? page - probe : probe - page) < 0x100000000ull)
        GTEST_SKIP() << "no memory beyond reach of a 32-bit displacement";
    const unsigned char code[] = {0xB8, 0x4D, 0x00, 0x00, 0x00, 0xC3};   // mov eax, 77; ret
    std::memcpy(distant.Base, code, sizeof code);
    FlushInstructionCache(GetCurrentProcess(), distant.Base, sizeof code);

    // Fourteen bytes would run into the next function.
    void* tiny = reinterpret_cast<void*>(&TinyPatchProbe);
    const std::vector<unsigned char> tinyBefore = BytesAt(tiny, MaxJumpLength);
    EXPECT_FALSE(PatchJump(tiny, distant.Base));
    EXPECT_EQ(BytesAt(tiny, MaxJumpLength), tinyBefore);
    EXPECT_TRUE(PatchLog().empty());

    void* site = reinterpret_cast<void*>(&PatchProbe);
    const std::vector<unsigned char> before = BytesAt(site, MaxJumpLength);
    ASSERT_TRUE(PatchJump(site, distant.Base));
    ASSERT_EQ(PatchLog().size(), 1u);
    EXPECT_EQ(PatchLog()[0].NewBytes.size(), MaxJumpLength);
    EXPECT_EQ(CallProbe(3), 77);
    UndoPatches();
    EXPECT_EQ(BytesAt(site, MaxJumpLength), before);
    EXPECT_EQ(CallProbe(3), PatchProbe(3));
}
#endif

TEST(HxExceptPatch, UndoRestoresOnlySitesThatStillHoldTheWrittenBytes)
{
    UndoPatches();
    TPages pages(1);
    unsigned char* ours = pages.Base;
    unsigned char* taken = pages.Base + 64;
    std::memcpy(ours, "ABCDEFGH", 8);
    std::memcpy(taken, "abcdefgh", 8);

    // The same site twice: the undo goes back through both to the first bytes.
    ASSERT_TRUE(PatchCode(ours, "1234", 4));
    ASSERT_TRUE(PatchCode(ours + 2, "xy", 2));
    EXPECT_EQ(std::memcmp(ours, "12xyEFGH", 8), 0);
    ASSERT_TRUE(PatchCallTarget(taken, 0x44434241u));
    EXPECT_EQ(std::memcmp(taken, "ABCDefgh", 8), 0);
    taken[1] = '!';   // a later change by someone else
    EXPECT_EQ(PatchLog().size(), 3u);

    UndoPatches();
    EXPECT_EQ(std::memcmp(ours, "ABCDEFGH", 8), 0);
    EXPECT_EQ(std::memcmp(taken, "A!CDefgh", 8), 0);
    EXPECT_TRUE(PatchLog().empty());

    // Nothing is logged for an unreadable site.
    TPages reserved(1, PAGE_NOACCESS);
    EXPECT_FALSE(PatchCode(reserved.Base, "x", 1));
    EXPECT_TRUE(PatchLog().empty());
}

TEST(HxExceptPatch, EveryPageKeepsItsOwnProtection)
{
    UndoPatches();
    TPages pages(2);
    ASSERT_NE(pages.Base, nullptr);
    unsigned char* seam = pages.Base + 4096 - 3;
    std::memcpy(seam, "abcdef", 6);
    DWORD old;
    ASSERT_TRUE(VirtualProtect(pages.Base, 4096, PAGE_READONLY, &old));
    ASSERT_TRUE(VirtualProtect(pages.Base + 4096, 4096, PAGE_EXECUTE_READ, &old));

    ASSERT_TRUE(PatchCode(seam, "UVWXYZ", 6));
    EXPECT_EQ(std::memcmp(seam, "UVWXYZ", 6), 0);
    EXPECT_EQ(ProtectionOf(pages.Base), static_cast<DWORD>(PAGE_READONLY));
    EXPECT_EQ(ProtectionOf(pages.Base + 4096), static_cast<DWORD>(PAGE_EXECUTE_READ));

    UndoPatches();
    EXPECT_EQ(std::memcmp(seam, "abcdef", 6), 0);
    EXPECT_EQ(ProtectionOf(pages.Base), static_cast<DWORD>(PAGE_READONLY));
    EXPECT_EQ(ProtectionOf(pages.Base + 4096), static_cast<DWORD>(PAGE_EXECUTE_READ));
}
