#include "hxDisAsm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uintptr_t Base32 = 0x401000;
#ifdef _WIN64
constexpr uintptr_t Base64 = 0x140001000;
#else
constexpr uintptr_t Base64 = 0x40001000;   // 64-bit code at a low address on a 32-bit host
#endif

struct TDecoded {
    TDisAsmInfo Info;
    size_t Length;
};

TDecoded Decode(TCpuMode mode, const Bytes& bytes, TRegisterSet* regs = nullptr, bool resolve = false)
{
    const uintptr_t base = mode == TCpuMode::X64 ? Base64 : Base32;
    const TBufferSource source(bytes.data(), bytes.size(), base);
    TDecoded d{};
    const uintptr_t next = DecodeInstruction(mode, source, base, regs, resolve, d.Info);
    d.Length = next - base;
    return d;
}

std::string Text(TCpuMode mode, const Bytes& bytes)
{
    const uintptr_t base = mode == TCpuMode::X64 ? Base64 : Base32;
    const TBufferSource source(bytes.data(), bytes.size(), base);
    TDisAsmInfo info;
    return InstructionText(mode, source, base, info);
}

// The mnemonic field of a text.
std::string Mnemonic(TCpuMode mode, const Bytes& bytes)
{
    const std::string t = Text(mode, bytes);
    const size_t start = size_t(AddressDigits(mode)) + 3;
    const size_t end = t.find(' ', start);
    return t.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

struct TLengthCase {
    Bytes Code;
    size_t Length;
};

void ExpectLengths(TCpuMode mode, const std::vector<TLengthCase>& cases)
{
    for (const auto& c : cases) {
        Bytes padded = c.Code;
        padded.resize(16, 0x90);
        const TDecoded d = Decode(mode, padded);
        std::string hex;
        for (uint8_t b : c.Code)
            hex += " " + std::to_string(b);
        EXPECT_TRUE(d.Info.Valid) << hex;
        EXPECT_EQ(c.Length, d.Length) << hex;
    }
}

TEST(DisAsm32, LengthsOfGeneralInstructions)
{
    ExpectLengths(TCpuMode::X86, {
        {{0x90}, 1}, {{0x55}, 1}, {{0x8B, 0xEC}, 2}, {{0x83, 0xEC, 0x10}, 3},
        {{0x81, 0xEC, 0, 1, 0, 0}, 6}, {{0x8B, 0x45, 0x08}, 3}, {{0x8B, 0x44, 0x24, 0x04}, 4},
        {{0x8B, 0x04, 0x85, 0, 0x10, 0x40, 0}, 7}, {{0x8B, 0x80, 0, 1, 0, 0}, 6},
        {{0x8B, 0x05, 0, 0x10, 0x40, 0}, 6}, {{0x8B, 0x04, 0x25, 0, 0x10, 0x40, 0}, 7},
        {{0xA1, 0, 0x10, 0x40, 0}, 5}, {{0x66, 0xA1, 0, 0x10, 0x40, 0}, 6}, {{0x67, 0xA1, 0, 0x10}, 4},
        {{0xC2, 8, 0}, 3}, {{0xC8, 0x10, 0, 0}, 4}, {{0x9A, 0, 0x10, 0x40, 0, 8, 0}, 7},
        {{0x66, 0x9A, 0, 0x10, 8, 0}, 6}, {{0x0F, 0xB6, 0xC0}, 3}, {{0x69, 0xC0, 0x10, 0, 0, 0}, 6},
        {{0x6B, 0xC0, 0x10}, 3}, {{0x66, 0x69, 0xC0, 0x10, 0}, 5}, {{0xF6, 0xC1, 1}, 3},
        {{0xF7, 0xC1, 1, 0, 0, 0}, 6}, {{0x66, 0xF7, 0xC1, 1, 0}, 5}, {{0xF7, 0xD0}, 2},
        {{0xC7, 0x45, 0xFC, 0, 0, 0, 0}, 7}, {{0x66, 0xC7, 0x45, 0xFC, 0, 0}, 6},
        {{0x67, 0x8B, 0x46, 0x02}, 4}, {{0x67, 0x8B, 0x06, 0, 0x10}, 5}, {{0x67, 0x8B, 0x80, 0, 0x10}, 5},
        {{0x68, 0, 0x10, 0x40, 0}, 5}, {{0x6A, 0x10}, 2}, {{0xB8, 1, 2, 3, 4}, 5}, {{0x66, 0xB8, 1, 2}, 4},
        {{0xB0, 1}, 2}, {{0xE8, 0, 0, 0, 0}, 5}, {{0x66, 0xE8, 0, 0}, 4}, {{0x0F, 0x84, 0, 0, 0, 0}, 6},
        {{0xF3, 0xA5}, 2}, {{0xF0, 0x0F, 0xB1, 0x0A}, 4}, {{0x64, 0xA1, 0, 0, 0, 0}, 6},
        {{0x64, 0xFF, 0x35, 0, 0, 0, 0}, 7}, {{0x0F, 0xA4, 0xC2, 4}, 4}, {{0x0F, 0xBA, 0xE0, 3}, 4},
        {{0xC0, 0xE0, 2}, 3}, {{0xD1, 0xE0}, 2}, {{0xCD, 0x21}, 2}, {{0xE4, 0x60}, 2}, {{0xEA, 1, 2, 3, 4, 5, 6}, 7},
        {{0x40}, 1}, {{0x4F}, 1}, {{0x61}, 1}, {{0x0F, 0xA2}, 2}, {{0x0F, 0x31}, 2}, {{0x0F, 0x0B}, 2},
    });
}

TEST(DisAsm32, LengthsOfFpuMmxAndSse)
{
    ExpectLengths(TCpuMode::X86, {
        {{0xD9, 0xE8}, 2}, {{0xDD, 0x45, 0xF8}, 3}, {{0xDB, 0x2D, 0, 0x10, 0x40, 0}, 6}, {{0xDF, 0xE0}, 2},
        {{0xDE, 0xC9}, 2}, {{0xD8, 0x0C, 0x24}, 3}, {{0x0F, 0x0F, 0xC1, 0x9E}, 4},
        {{0x0F, 0x0F, 0x45, 0x08, 0xB4}, 5}, {{0x66, 0x0F, 0x6F, 0xC1}, 4}, {{0xF3, 0x0F, 0x6F, 0x45, 0x00}, 5},
        {{0x0F, 0x70, 0xC1, 0x1B}, 4}, {{0x66, 0x0F, 0x70, 0xC1, 0x1B}, 5}, {{0x0F, 0xC2, 0xC1, 0}, 4},
        {{0x0F, 0x71, 0xD0, 3}, 4}, {{0x66, 0x0F, 0x73, 0xD8, 8}, 5}, {{0xF2, 0x0F, 0x10, 0x45, 0xF8}, 5},
        {{0x0F, 0x28, 0x05, 0, 0x10, 0x40, 0}, 7}, {{0x0F, 0xAE, 0xF0}, 3}, {{0x0F, 0xAE, 0x5D, 0xFC}, 4},
        {{0x0F, 0x18, 0x00}, 3}, {{0x66, 0x0F, 0xC4, 0xC0, 1}, 5}, {{0x66, 0x0F, 0xD6, 0x45, 0xF8}, 5},
        {{0x0F, 0xC7, 0x0E}, 3}, {{0x66, 0x0F, 0x38, 0x00, 0xC1}, 5}, {{0x66, 0x0F, 0x3A, 0x0F, 0xC1, 8}, 6},
    });
}

TEST(DisAsm64, LengthsOfRexRipAndGccForms)
{
    ExpectLengths(TCpuMode::X64, {
        {{0x48, 0x8B, 0x05, 0, 0, 0, 0}, 7}, {{0x48, 0xB8, 1, 2, 3, 4, 5, 6, 7, 8}, 10},
        {{0xB8, 1, 2, 3, 4}, 5}, {{0x49, 0xBB, 1, 2, 3, 4, 5, 6, 7, 8}, 10}, {{0x41, 0x50}, 2},
        {{0x48, 0x63, 0xC1}, 3}, {{0x4C, 0x8D, 0x0D, 1, 2, 3, 4}, 7}, {{0x66, 0x0F, 0x1F, 0x44, 0, 0}, 6},
        {{0x0F, 0x1F, 0x84, 0, 0, 0, 0, 0}, 8}, {{0x66, 0x2E, 0x0F, 0x1F, 0x84, 0, 0, 0, 0, 0}, 10},
        {{0x66, 0x66, 0x2E, 0x0F, 0x1F, 0x84, 0, 0, 0, 0, 0}, 11}, {{0x0F, 0x1F, 0x40, 0}, 4},
        {{0x0F, 0x1F, 0x00}, 3}, {{0x0F, 0x0B}, 2}, {{0xF3, 0x0F, 0xB8, 0xC1}, 4},
        {{0xF3, 0x48, 0x0F, 0xBC, 0xC1}, 5}, {{0xF3, 0x0F, 0xBD, 0xC1}, 4}, {{0xF3, 0x0F, 0x1E, 0xFA}, 4},
        {{0xC5, 0xF8, 0x77}, 3}, {{0xC4, 0xE2, 0x79, 0x18, 0x05, 0, 0, 0, 0}, 9},
        {{0xC5, 0xFA, 0x10, 0x44, 0x24, 8}, 6}, {{0xC4, 0xE3, 0x79, 0x0F, 0xC1, 4}, 6},
        {{0xC5, 0xF9, 0x71, 0xD0, 3}, 5}, {{0xC4, 0xE2, 0x78, 0xF2, 0xC1}, 5},
        {{0x66, 0x0F, 0x38, 0x00, 0xC1}, 5}, {{0x66, 0x0F, 0x3A, 0x0F, 0xC1, 8}, 6},
        {{0xA1, 1, 2, 3, 4, 5, 6, 7, 8}, 9}, {{0x67, 0xA1, 1, 2, 3, 4}, 6}, {{0xE8, 0, 0, 0, 0}, 5},
        {{0x48, 0xC7, 0xC0, 0xFF, 0xFF, 0xFF, 0xFF}, 7}, {{0x48, 0x81, 0xEC, 0, 1, 0, 0}, 7},
        {{0x4A, 0x8B, 0x04, 0xE5, 0, 0, 0, 0}, 8}, {{0x41, 0x8B, 0x45, 0x00}, 4}, {{0x42, 0x8B, 0x04, 0x20}, 4},
        {{0x41, 0xFF, 0xD3}, 3}, {{0xFF, 0x25, 0, 0, 0, 0}, 6}, {{0x66, 0x41, 0x89, 0x45, 0}, 5},
        {{0x40, 0x88, 0xF0}, 3}, {{0xF0, 0x48, 0x0F, 0xB1, 0x0A}, 5}, {{0x48, 0x0F, 0xC7, 0x0E}, 4},
        {{0x6A, 0xFF}, 2}, {{0x68, 1, 2, 3, 4}, 5}, {{0xF3, 0x48, 0xAB}, 3}, {{0x0F, 0x05}, 2},
        {{0xF2, 0x48, 0x0F, 0x2A, 0xC0}, 5}, {{0x66, 0x48, 0x0F, 0x6E, 0xC0}, 5},
        {{0x48, 0x0F, 0xAF, 0xC1}, 4}, {{0x48, 0x98}, 2}, {{0x48, 0x99}, 2},
    });
}

TEST(DisAsm, InvalidEncodings)
{
    const std::vector<Bytes> both = {
        {0x8D, 0xC0},            // lea in register form
        {0xFE, 0xD0},            // FE /2
        {0xFF, 0xF8},            // FF /7
        {0xFF, 0xD8},            // far call in register form
        {0xFF, 0xE8},            // far jump in register form
        {0x8C, 0xF0},            // segment register 6
        {0x8E, 0xC8},            // mov cs, ...
        {0xD9, 0xD8},            // undefined x87 register form
        {0xDB, 0xE0},
        {0xDF, 0xC0},
        {0x0F, 0x04},            // undefined two-byte opcode
        {0x0F, 0xB8, 0xC1},      // without F3
        {0x0F, 0x71, 0x00, 1},   // shift group in memory form
    };
    for (TCpuMode mode : {TCpuMode::X86, TCpuMode::X64})
        for (const Bytes& b : both) {
            Bytes padded = b;
            padded.resize(16, 0);
            EXPECT_FALSE(Decode(mode, padded).Info.Valid) << int(b[0]) << " " << int(b[1]);
        }
    for (const Bytes& b : std::vector<Bytes>{{0xC4, 0xC0}, {0xC5, 0xC0}, {0x62, 0xC0}})
        EXPECT_FALSE(Decode(TCpuMode::X86, b).Info.Valid);

    // Opcodes that long mode dropped; valid in 32-bit mode.
    for (uint8_t op : {0x06, 0x07, 0x0E, 0x16, 0x17, 0x1E, 0x1F, 0x27, 0x2F, 0x37, 0x3F, 0x60, 0x61, 0x62, 0x82,
                       0x9A, 0xCE, 0xD4, 0xD5, 0xD6, 0xEA}) {
        Bytes b = {op, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
        if (op == 0x62)
            b[1] = 0x00;   // bound eax, [eax]
        EXPECT_FALSE(Decode(TCpuMode::X64, b).Info.Valid) << int(op);
        EXPECT_TRUE(Decode(TCpuMode::X86, b).Info.Valid) << int(op);
    }
    // VEX with a map that does not exist.
    EXPECT_FALSE(Decode(TCpuMode::X64, {0xC4, 0xE0, 0x78, 0x10, 0xC0}).Info.Valid);
}

TEST(DisAsm, ShortFetchIsInvalidNotAFault)
{
    for (TCpuMode mode : {TCpuMode::X86, TCpuMode::X64}) {
        const TDecoded a = Decode(mode, {0xE8, 0x00, 0x00});
        EXPECT_FALSE(a.Info.Valid);
        EXPECT_GE(a.Length, 1u);
        EXPECT_LE(a.Length, 3u);
        const TDecoded b = Decode(mode, {});
        EXPECT_FALSE(b.Info.Valid);
        EXPECT_EQ(1u, b.Length);
        // Sixteen prefixes: longer than any instruction may be.
        const TDecoded c = Decode(mode, Bytes(16, 0x66));
        EXPECT_FALSE(c.Info.Valid);
        EXPECT_LE(c.Length, MaxInstructionLength);
    }
}

TEST(DisAsm32, CallsJumpsAndEnlargeableBranches)
{
    // call rel32
    TDecoded d = Decode(TCpuMode::X86, {0xE8, 0x10, 0x00, 0x00, 0x00});
    EXPECT_TRUE(d.Info.Call);
    EXPECT_FALSE(d.Info.Jump);
    EXPECT_TRUE(d.Info.RelTarget);
    EXPECT_EQ(Base32 + 5 + 0x10, d.Info.Target);
    EXPECT_EQ(Base32 + 1, d.Info.TargetOperand);
    EXPECT_EQ(4, d.Info.TargetSize);
    EXPECT_TRUE(d.Info.Enlargeable);
    EXPECT_EQ(0xE8, d.Info.Opcode);

    // call to the next instruction: a plain instruction
    d = Decode(TCpuMode::X86, {0xE8, 0, 0, 0, 0});
    EXPECT_TRUE(d.Info.Valid);
    EXPECT_FALSE(d.Info.Call);
    EXPECT_FALSE(d.Info.Jump);
    EXPECT_EQ(0u, d.Info.Target);
    EXPECT_EQ(0u, d.Info.TargetOperand);
    EXPECT_EQ(0, d.Info.TargetSize);

    // backward short jump
    d = Decode(TCpuMode::X86, {0xEB, 0xFE});
    EXPECT_TRUE(d.Info.Jump);
    EXPECT_EQ(Base32, d.Info.Target);
    EXPECT_EQ(1, d.Info.TargetSize);
    EXPECT_TRUE(d.Info.Enlargeable);

    // jz rel8, jnz rel32
    d = Decode(TCpuMode::X86, {0x74, 0x05});
    EXPECT_TRUE(d.Info.Jump);
    EXPECT_EQ(Base32 + 7, d.Info.Target);
    d = Decode(TCpuMode::X86, {0x0F, 0x85, 0xF0, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(0x0F85, d.Info.Opcode);
    EXPECT_EQ(Base32 + 6 - 0x10, d.Info.Target);
    EXPECT_EQ(4, d.Info.TargetSize);

    // loop group: not enlargeable
    for (uint8_t op : {0xE0, 0xE1, 0xE2, 0xE3}) {
        d = Decode(TCpuMode::X86, {op, 0x10});
        EXPECT_TRUE(d.Info.Jump) << int(op);
        EXPECT_FALSE(d.Info.Enlargeable) << int(op);
        EXPECT_EQ(Base32 + 2 + 0x10, d.Info.Target);
    }

    // 16-bit displacement: the target wraps at 64 KB
    d = Decode(TCpuMode::X86, {0x66, 0xE9, 0x00, 0x10});
    EXPECT_EQ(2, d.Info.TargetSize);
    EXPECT_EQ((Base32 + 4 + 0x1000) & 0xFFFF, d.Info.Target);

    // far call and jump
    d = Decode(TCpuMode::X86, {0x9A, 0x00, 0x20, 0x40, 0x00, 0x08, 0x00});
    EXPECT_TRUE(d.Info.Call);
    EXPECT_TRUE(d.Info.Far);
    EXPECT_EQ(0x402000u, d.Info.Target);
    d = Decode(TCpuMode::X86, {0xEA, 0x00, 0x20, 0x40, 0x00, 0x08, 0x00});
    EXPECT_TRUE(d.Info.Jump);
    EXPECT_TRUE(d.Info.Far);

    // returns
    EXPECT_TRUE(Decode(TCpuMode::X86, {0xC3}).Info.Return);
    EXPECT_TRUE(Decode(TCpuMode::X86, {0xC2, 4, 0}).Info.Return);
    EXPECT_FALSE(Decode(TCpuMode::X86, {0x90}).Info.Return);
}

TEST(DisAsm32, IndirectTargetsThroughTheSafeRead)
{
    // call [cell] with the cell inside the buffer
    Bytes code = {0xFF, 0x15, 0x08, 0x10, 0x40, 0x00, 0x90, 0x90, 0x78, 0x56, 0x34, 0x12};
    TDecoded d = Decode(TCpuMode::X86, code);
    EXPECT_TRUE(d.Info.Valid);
    EXPECT_TRUE(d.Info.Call);
    EXPECT_EQ(0x12345678u, d.Info.Target);
    EXPECT_EQ(Base32 + 8, d.Info.TargetPointer);
    EXPECT_EQ(4, d.Info.TargetSize);
    EXPECT_FALSE(d.Info.RelTarget);

    // jmp [cell] with an unreadable cell: invalid
    d = Decode(TCpuMode::X86, {0xFF, 0x25, 0x00, 0x00, 0x00, 0x70});
    EXPECT_FALSE(d.Info.Valid);
    EXPECT_EQ(6u, d.Length);

    // Register forms through a supplied register set.
    TRegisterSet regs{};
    regs[0] = 0x00405060;
    d = Decode(TCpuMode::X86, {0xFF, 0xD0}, &regs, true);
    EXPECT_TRUE(d.Info.Call);
    EXPECT_EQ(0x00405060u, d.Info.Target);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(&regs[0]), d.Info.TargetOperand);
    // Without the flag the register is not used.
    d = Decode(TCpuMode::X86, {0xFF, 0xD0}, &regs, false);
    EXPECT_EQ(0u, d.Info.Target);
    // [ebx] pointing at a cell inside the buffer
    regs = {};
    regs[3] = Base32 + 4;
    d = Decode(TCpuMode::X86, {0xFF, 0x23, 0x90, 0x90, 0x44, 0x33, 0x22, 0x11}, &regs, true);
    EXPECT_TRUE(d.Info.Jump);
    EXPECT_EQ(0x11223344u, d.Info.Target);
    EXPECT_EQ(Base32 + 4, d.Info.TargetPointer);
    // Unknown register: a call without a target, still valid
    d = Decode(TCpuMode::X86, {0xFF, 0xD1}, &regs, true);
    EXPECT_TRUE(d.Info.Valid);
    EXPECT_TRUE(d.Info.Call);
    EXPECT_EQ(0u, d.Info.Target);
}

TEST(DisAsm64, RipRelativeTargetsAndCells)
{
    if (sizeof(uintptr_t) < 8)
        GTEST_SKIP() << "needs 64-bit addresses";
    // call [rip+2]: cell right after the instruction + 2
    Bytes code = {0xFF, 0x15, 0x02, 0x00, 0x00, 0x00, 0x90, 0x90, 1, 2, 3, 4, 5, 6, 7, 8};
    TDecoded d = Decode(TCpuMode::X64, code);
    EXPECT_TRUE(d.Info.Valid);
    EXPECT_TRUE(d.Info.Call);
    EXPECT_EQ(Base64 + 8, d.Info.TargetPointer);
    EXPECT_EQ(8, d.Info.TargetSize);
    EXPECT_EQ(uintptr_t(0x0807060504030201ull), d.Info.Target);

    // jmp [rip-0x1000]: unreadable
    d = Decode(TCpuMode::X64, {0xFF, 0x25, 0x00, 0xF0, 0xFF, 0xFF});
    EXPECT_FALSE(d.Info.Valid);

    // RIP-relative counts from the end, after the immediate: cmp dword [rip+0x10], 5
    const std::string t = Text(TCpuMode::X64, {0x83, 0x3D, 0x10, 0x00, 0x00, 0x00, 0x05});
    EXPECT_NE(std::string::npos, t.find("[" + std::string("0000000140001017") + "]")) << t;
    const std::string t2 = Text(TCpuMode::X64, {0x81, 0x3D, 0x10, 0x00, 0x00, 0x00, 5, 0, 0, 0});
    EXPECT_NE(std::string::npos, t2.find("[000000014000101a]")) << t2;

    // Relative call and 64-bit addresses
    d = Decode(TCpuMode::X64, {0xE8, 0x00, 0x00, 0x00, 0x80});
    EXPECT_EQ(Base64 + 5 - 0x80000000ull, d.Info.Target);
    d = Decode(TCpuMode::X64, {0x66, 0xE8, 0x10, 0x00, 0x00, 0x00});
    EXPECT_EQ(Base64 + 6 + 0x10, d.Info.Target);

    // Register-indirect through r11
    TRegisterSet regs{};
    regs[11] = uintptr_t(0x7FF712345678ull);
    d = Decode(TCpuMode::X64, {0x41, 0xFF, 0xD3}, &regs, true);
    EXPECT_TRUE(d.Info.Call);
    EXPECT_EQ(uintptr_t(0x7FF712345678ull), d.Info.Target);
}

TEST(DisAsm32, RegisterTracking)
{
    TRegisterSet regs{};
    Decode(TCpuMode::X86, {0xB8, 0x78, 0x56, 0x34, 0x12}, &regs);   // mov eax, imm
    EXPECT_EQ(0x12345678u, regs[0]);
    Decode(TCpuMode::X86, {0x8B, 0xC8}, &regs);   // mov ecx, eax
    EXPECT_EQ(0x12345678u, regs[1]);
    Decode(TCpuMode::X86, {0xC7, 0xC2, 0x11, 0x22, 0x33, 0x44}, &regs);   // mov edx, imm
    EXPECT_EQ(0x44332211u, regs[2]);
    Decode(TCpuMode::X86, {0x66, 0xBB, 0x11, 0x22}, &regs);   // mov bx, imm: not tracked
    EXPECT_EQ(0u, regs[3]);
    Decode(TCpuMode::X86, {0x99}, &regs);   // cdq
    EXPECT_EQ(0u, regs[2]);
    EXPECT_EQ(0x12345678u, regs[0]);
    Decode(TCpuMode::X86, {0x33, 0xC0}, &regs);   // xor eax, eax
    EXPECT_EQ(0u, regs[0]);
    EXPECT_EQ(0x12345678u, regs[1]);

    auto fill = [](TRegisterSet& r) {
        for (size_t i = 0; i < 8; ++i)
            r[i] = 0x1000 + i;
    };
    struct TCase {
        Bytes Code;
        std::vector<int> Unknown;
    };
    const std::vector<TCase> cases = {
        {{0xF7, 0xE1}, {0, 2}},             // mul ecx
        {{0xF7, 0xD1}, {1}},                // not ecx
        {{0xAC}, {0, 6}},                   // lodsb
        {{0xF3, 0xA4}, {1, 6, 7}},          // rep movsb
        {{0xAA}, {7}},                      // stosb
        {{0x0F, 0xA2}, {0, 1, 2, 3}},       // cpuid
        {{0x61}, {0, 1, 2, 3, 4, 5, 6, 7}}, // popad
        {{0xE2, 0x00}, {1}},                // loop
        {{0xC9}, {5}},                      // leave
        {{0x83, 0xC3, 0x04}, {3}},          // add ebx, 4
        {{0x83, 0xFB, 0x04}, {}},           // cmp ebx, 4
        {{0x5E}, {6}},                      // pop esi
        {{0x87, 0xCA}, {1, 2}},             // xchg edx, ecx
        {{0x8A, 0xE0}, {0}},                // mov ah, al
        {{0x0F, 0x7E, 0xC3}, {3}},          // movd ebx, mm0
        {{0xF3, 0x0F, 0x2D, 0xF0}, {6}},    // cvtss2si esi, xmm0
        {{0xDF, 0xE0}, {0}},                // fnstsw ax
        {{0x0F, 0xBA, 0xE9, 0x03}, {1}},    // bts ecx, 3
        {{0xFF, 0xC7}, {7}},                // inc edi
        {{0x0F, 0xB6, 0xD0}, {2}},          // movzx edx, al
        {{0x89, 0xC3}, {3}},                // mov ebx, eax
        {{0x8D, 0x34, 0x24}, {6}},          // lea esi, [esp]
    };
    for (const auto& c : cases) {
        TRegisterSet r;
        fill(r);
        Decode(TCpuMode::X86, c.Code, &r);
        for (int i = 0; i < 8; ++i) {
            const bool unknown = std::find(c.Unknown.begin(), c.Unknown.end(), i) != c.Unknown.end();
            EXPECT_EQ(unknown ? 0u : 0x1000u + i, r[i]) << "opcode " << int(c.Code[0]) << " reg " << i;
        }
    }
}

TEST(DisAsm64, RegisterTrackingWithRex)
{
    TRegisterSet regs{};
    Decode(TCpuMode::X64, {0x48, 0xB8, 1, 2, 3, 4, 5, 6, 7, 8}, &regs);
    EXPECT_EQ(uintptr_t(0x0807060504030201ull), regs[0]);
    Decode(TCpuMode::X64, {0x41, 0xBB, 0x44, 0x33, 0x22, 0x11}, &regs);   // mov r11d, imm
    EXPECT_EQ(0x11223344u, regs[11]);
    Decode(TCpuMode::X64, {0x48, 0xC7, 0xC1, 0xFF, 0xFF, 0xFF, 0xFF}, &regs);   // mov rcx, -1
    EXPECT_EQ(~uintptr_t(0), regs[1]);
    Decode(TCpuMode::X64, {0x4C, 0x8B, 0xC0}, &regs);   // mov r8, rax
    EXPECT_EQ(regs[0], regs[8]);
    Decode(TCpuMode::X64, {0x8B, 0xD0}, &regs);   // mov edx, eax: low half
    EXPECT_EQ(0x04030201u, regs[2]);
    Decode(TCpuMode::X64, {0x40, 0x88, 0xC6}, &regs);   // mov sil, al: rsi, not dh
    Decode(TCpuMode::X64, {0x4D, 0x31, 0xDB}, &regs);   // xor r11, r11
    EXPECT_EQ(0u, regs[11]);
    EXPECT_NE(0u, regs[8]);
    regs[2] = 5;
    Decode(TCpuMode::X64, {0x0F, 0x05}, &regs);   // syscall
    EXPECT_EQ(0u, regs[0]);
    EXPECT_EQ(0u, regs[1]);
    EXPECT_EQ(5u, regs[2]);
    regs[15] = 7;
    Decode(TCpuMode::X64, {0x41, 0x5F}, &regs);   // pop r15
    EXPECT_EQ(0u, regs[15]);
}

TEST(DisAsm, PrefixesSelectSseForms)
{
    for (TCpuMode mode : {TCpuMode::X86, TCpuMode::X64}) {
        EXPECT_EQ("movq", Mnemonic(mode, {0x0F, 0x6F, 0xC1}));
        EXPECT_EQ("movdqa", Mnemonic(mode, {0x66, 0x0F, 0x6F, 0xC1}));
        EXPECT_EQ("movdqu", Mnemonic(mode, {0xF3, 0x0F, 0x6F, 0xC1}));
        EXPECT_FALSE(Decode(mode, {0xF2, 0x0F, 0x6F, 0xC1}).Info.Valid);
        EXPECT_EQ("addps", Mnemonic(mode, {0x0F, 0x58, 0xC1}));
        EXPECT_EQ("addpd", Mnemonic(mode, {0x66, 0x0F, 0x58, 0xC1}));
        EXPECT_EQ("addsd", Mnemonic(mode, {0xF2, 0x0F, 0x58, 0xC1}));
        EXPECT_EQ("addss", Mnemonic(mode, {0xF3, 0x0F, 0x58, 0xC1}));
        EXPECT_EQ("pshufhw", Mnemonic(mode, {0xF3, 0x0F, 0x70, 0xC1, 0}));
        EXPECT_EQ("cvttsd2si", Mnemonic(mode, {0xF2, 0x0F, 0x2C, 0xC1}));
        // F3 before a one-byte opcode is rep, not an SSE selector
        EXPECT_EQ("rep", Mnemonic(mode, {0xF3, 0xA4}));
        EXPECT_EQ("pause", Mnemonic(mode, {0xF3, 0x90}));
        EXPECT_EQ("popcnt", Mnemonic(mode, {0xF3, 0x0F, 0xB8, 0xC1}));
        EXPECT_EQ("tzcnt", Mnemonic(mode, {0xF3, 0x0F, 0xBC, 0xC1}));
        EXPECT_EQ("bsf", Mnemonic(mode, {0x0F, 0xBC, 0xC1}));
        EXPECT_EQ("lzcnt", Mnemonic(mode, {0xF3, 0x0F, 0xBD, 0xC1}));
        EXPECT_EQ("pfadd", Mnemonic(mode, {0x0F, 0x0F, 0xC1, 0x9E}));
    }
    EXPECT_EQ("endbr64", Mnemonic(TCpuMode::X64, {0xF3, 0x0F, 0x1E, 0xFA}));
    EXPECT_EQ("ud2", Mnemonic(TCpuMode::X64, {0x0F, 0x0B}));
    EXPECT_EQ("movsxd", Mnemonic(TCpuMode::X64, {0x48, 0x63, 0xC1}));
    EXPECT_EQ("arpl", Mnemonic(TCpuMode::X86, {0x63, 0xC1}));
    EXPECT_EQ("cdqe", Mnemonic(TCpuMode::X64, {0x48, 0x98}));
    EXPECT_EQ("cwde", Mnemonic(TCpuMode::X86, {0x98}));
    EXPECT_EQ("cbw", Mnemonic(TCpuMode::X86, {0x66, 0x98}));
    EXPECT_EQ("movsd", Mnemonic(TCpuMode::X86, {0xA5}));
    EXPECT_EQ("movsw", Mnemonic(TCpuMode::X86, {0x66, 0xA5}));
    EXPECT_EQ("jrcxz", Mnemonic(TCpuMode::X64, {0xE3, 0x00}));
    EXPECT_EQ("jecxz", Mnemonic(TCpuMode::X86, {0xE3, 0x00}));
    EXPECT_EQ("vzeroupper", Mnemonic(TCpuMode::X64, {0xC5, 0xF8, 0x77}));
}

TEST(DisAsm32, InstructionTexts)
{
    const TCpuMode m = TCpuMode::X86;
    EXPECT_EQ("00401000   mov     eax, dword ptr [ebp+8]", Text(m, {0x8B, 0x45, 0x08}));
    EXPECT_EQ("00401000   mov     eax, dword ptr [ebp-4]", Text(m, {0x8B, 0x45, 0xFC}));
    EXPECT_EQ("00401000   mov     ecx, dword ptr [eax+ebx*4+10]", Text(m, {0x8B, 0x4C, 0x98, 0x10}));
    EXPECT_EQ("00401000   mov     eax, dword ptr fs:[00000000]", Text(m, {0x64, 0xA1, 0, 0, 0, 0}));
    EXPECT_EQ("00401000   push    ebp", Text(m, {0x55}));
    // Without operands the mnemonic field is padded all the same.
    EXPECT_EQ("00401000   ret     ", Text(m, {0xC3}));
    EXPECT_EQ("00401000   call    00401015", Text(m, {0xE8, 0x10, 0, 0, 0}));
    EXPECT_EQ("00401000   jnz     00401000", Text(m, {0x75, 0xFE}));
    EXPECT_EQ("00401000   lock cmpxchg dword ptr [edx], ecx", Text(m, {0xF0, 0x0F, 0xB1, 0x0A}));
    EXPECT_EQ("00401000   rep movsd ", Text(m, {0xF3, 0xA5}));
    EXPECT_EQ("00401000   shl     eax, 1", Text(m, {0xD1, 0xE0}));
    EXPECT_EQ("00401000   sar     edx, cl", Text(m, {0xD3, 0xFA}));
    EXPECT_EQ("00401000   sub     esp, 10", Text(m, {0x83, 0xEC, 0x10}));
    EXPECT_EQ("00401000   and     esp, fffffff0", Text(m, {0x83, 0xE4, 0xF0}));
    EXPECT_EQ("00401000   mov     byte ptr [eax], 1", Text(m, {0xC6, 0x00, 0x01}));
    EXPECT_EQ("00401000   fld1    ", Text(m, {0xD9, 0xE8}));
    EXPECT_EQ("00401000   fld     qword ptr [ebp-8]", Text(m, {0xDD, 0x45, 0xF8}));
    EXPECT_EQ("00401000   faddp   st(1), st", Text(m, {0xDE, 0xC1}));
    EXPECT_EQ("00401000   fnstsw  ax", Text(m, {0xDF, 0xE0}));
    EXPECT_EQ("00401000   mov     eax, cr0", Text(m, {0x0F, 0x20, 0xC0}));
    EXPECT_EQ("00401000   in      al, dx", Text(m, {0xEC}));
    EXPECT_EQ("00401000   movdqa  xmm0, oword ptr [eax]", Text(m, {0x66, 0x0F, 0x6F, 0x00}));
    EXPECT_EQ("00401000   mov     ax, word ptr [bx+si+2]", Text(m, {0x66, 0x67, 0x8B, 0x40, 0x02}));
    EXPECT_EQ("00401000   db $8d\r\n00401001   db $c0", Text(m, {0x8D, 0xC0}));
}

TEST(DisAsm64, InstructionTexts)
{
    if (sizeof(uintptr_t) < 8)
        GTEST_SKIP() << "needs 64-bit addresses";
    const TCpuMode m = TCpuMode::X64;
    EXPECT_EQ("0000000140001000   mov     rax, qword ptr [0000000140001010]",
              Text(m, {0x48, 0x8B, 0x05, 0x09, 0, 0, 0}));
    EXPECT_EQ("0000000140001000   push    r12", Text(m, {0x41, 0x54}));
    EXPECT_EQ("0000000140001000   push    rbp", Text(m, {0x55}));
    EXPECT_EQ("0000000140001000   ret     ", Text(m, {0xC3}));
    EXPECT_EQ("0000000140001000   mov     r9d, dword ptr [r13]", Text(m, {0x45, 0x8B, 0x4D, 0x00}));
    EXPECT_EQ("0000000140001000   mov     sil, al", Text(m, {0x40, 0x88, 0xC6}));
    EXPECT_EQ("0000000140001000   movsxd  rax, ecx", Text(m, {0x48, 0x63, 0xC1}));
    EXPECT_EQ("0000000140001000   mov     rax, 807060504030201", Text(m, {0x48, 0xB8, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ("0000000140001000   lea     rcx, [rsp+r12*8+20]", Text(m, {0x4A, 0x8D, 0x4C, 0xE4, 0x20}));
    EXPECT_EQ("0000000140001000   xchg    rax, r8", Text(m, {0x49, 0x90}));
    EXPECT_EQ("0000000140001000   nop     word ptr cs:[rax+rax]", Text(m, {0x66, 0x2E, 0x0F, 0x1F, 0x84, 0, 0, 0, 0, 0}));
    EXPECT_EQ("0000000140001000   mov     eax, dword ptr gs:[0000000000000060]",
              Text(m, {0x65, 0x8B, 0x04, 0x25, 0x60, 0, 0, 0}));
    EXPECT_EQ("0000000140001000   mov     rax, qword ptr [1122334455667788]",
              Text(m, {0x48, 0xA1, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}));
    EXPECT_EQ("0000000140001000   db $06", Text(m, {0x06}));
}

TEST(DisAsm, FuzzDecodesRandomBytesInBothModes)
{
    std::mt19937_64 random(12345);
    size_t lengths[2][16] = {};
    size_t valid[2] = {};
    constexpr int Rounds = 2000000;
    uint8_t buffer[MaxInstructionLength];
    for (int i = 0; i < Rounds; ++i) {
        const uint64_t a = random(), b = random();
        std::memcpy(buffer, &a, 8);
        std::memcpy(buffer + 8, &b, 7);
        // Bias some rounds towards prefixes and escapes.
        if (i % 4 == 1)
            buffer[0] = 0x0F;
        else if (i % 4 == 2)
            buffer[0] = uint8_t(0x40 | (a >> 60)), buffer[1] = 0x0F;
        else if (i % 64 == 3) {
            static const uint8_t prefixes[] = {0x66, 0x67, 0xF2, 0xF3, 0x2E, 0x3E, 0x64, 0xF0};
            for (size_t k = 0; k < size_t(b % 16) && k < sizeof(buffer); ++k)
                buffer[k] = prefixes[(a >> (k * 3)) & 7];
        }
        for (int m = 0; m < 2; ++m) {
            const TCpuMode mode = m ? TCpuMode::X64 : TCpuMode::X86;
            const TBufferSource source(buffer, sizeof(buffer), 0x10000);
            TDisAsmInfo info;
            TRegisterSet regs{};
            const uintptr_t next = DecodeInstruction(mode, source, 0x10000, &regs, true, info);
            const size_t length = next - 0x10000;
            ASSERT_GE(length, 1u);
            ASSERT_LE(length, MaxInstructionLength);
            ++lengths[m][length];
            valid[m] += info.Valid;
            if (i % 16 == 0) {
                const std::string text = InstructionText(mode, source, 0x10000, info);
                ASSERT_FALSE(text.empty());
            }
        }
    }
    for (int m = 0; m < 2; ++m) {
        for (size_t l = 1; l <= 15; ++l)
            EXPECT_GT(lengths[m][l], 0u) << "mode " << m << " length " << l;
        EXPECT_GT(valid[m], size_t(Rounds) / 2);
    }
}

}  // namespace

namespace {

TEST(DisAsmAnalysis, RandomBytesNeverFault)
{
    std::mt19937 random(777);
    std::vector<uint8_t> code(512);
    for (int round = 0; round < 3000; ++round) {
        for (auto& b : code)
            b = uint8_t(random());
        for (TCpuMode mode : {TCpuMode::X86, TCpuMode::X64}) {
            const TBufferSource source(code.data(), code.size(), 0x10000);
            TCodeSpace space;
            space.Mode = mode;
            space.Source = &source;
            space.Begin = 0x10000;
            space.End = 0x10000 + code.size();
            TFunctionInfo info;
            std::string text;
            ParseFunction(space, 0x10000 + random() % 64, text, 0x10010, info, round % 3 ? 0 : 5);
            if (info.Valid) {
                EXPECT_FALSE(text.empty());
                for (const auto& a : info.Areas) {
                    EXPECT_LE(a.Begin, a.End);
                    EXPECT_GE(a.Begin, space.Begin);
                }
            } else {
                EXPECT_TRUE(text.empty());
                EXPECT_NE(0u, info.ErrorNumber);
            }
        }
    }
}

}  // namespace
