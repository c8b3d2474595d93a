#include "hxDisAsm.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>

// ============================================================================================
// Decoder tables
// ============================================================================================

namespace {

// Opcode descriptor bits.
enum : uint16_t {
    dD64 = 0x0001,      // operand size 64 by default in long mode
    dI64 = 0x0002,      // invalid in long mode
    dSse = 0x0004,      // mandatory prefix (none, 66, F2, F3) selects the "/" variant
    dModRM = 0x0008,    // bits 3-5: a ModRM byte follows ...
    dGroup = 0x0018,    // ... and its reg field selects the "|" variant
    dX87 = 0x0028,      // ... x87 escape
    dByte = 0x0040,     // byte operands
    dMemOnly = 0x0080,  // register form invalid
    dRegOnly = 0x0100,  // memory form invalid
    dMx = 0x0200,       // MMX registers, XMM with the 66 prefix
    dImmB = 0x0400,     // bits 10-11: immediate of 1 byte, 2 bytes or the operand size
    dImmW = 0x0800,
    dImmZ = 0x0C00,
    dImmMask = 0x0C00,
    dRel = 0x1000,      // immediate is a branch displacement
    // bits 13-15: registers the instruction writes
    wReg = 0x2000,
    wRm = 0x4000,
    wOpReg = 0x6000,
    wAcc = 0x8000,
    wRmReg = 0xA000,
    wAccRm = 0xC000,
    wAccOpReg = 0xE000,
    wMask = 0xE000,
};
constexpr uint16_t dModRMMask = 0x0038;

// Operand kinds.
enum : uint8_t {
    oNone,
    oE,     // ModRM rm: register or memory of the operand size
    oG,     // ModRM reg: general register of the operand size
    oEb, oEw, oEd, oEy,   // rm of byte, word, dword, dword/qword (REX.W) size
    oGy,    // reg, dword/qword (REX.W)
    oGd,    // reg, dword (qword in long mode for pointer-sized moves)
    oM,     // memory without size
    oMp,    // far pointer in memory
    oS,     // segment register from reg
    oC, oD, // control, debug register from reg
    oR,     // rm as general register of pointer width
    oI,     // immediate, sign-extended to the operand size
    oIu,    // immediate as encoded
    oJ,     // branch target
    oAcc,   // al/ax/eax/rax
    oZ,     // register in the low 3 opcode bits
    oOne, oCL, oDX,
    oSegOp, // segment register in opcode bits 3-5
    oFS, oGS,
    oO,     // absolute memory offset
    oA,     // far pointer immediate
    oP, oQ, // MMX reg, MMX rm
    oV, oW, // XMM reg, XMM rm
    oPx, oQx,  // MMX, XMM with the 66 prefix
    oN, oU,    // MMX / XMM register from rm
    oNx,       // MMX / XMM register from rm by the 66 prefix
    oVy,       // VEX: xmm/ymm from reg
    oHy,       // VEX: xmm/ymm from vvvv
    oWy,       // VEX: xmm/ymm rm
};

// Memory size words.
enum : uint8_t { zNone, zByte, zWord, zDword, zQword, zTbyte, zOword, zYword, zAuto = 0xFF };
const char* const SizeWords[] = {"", "byte", "word", "dword", "qword", "tbyte", "oword", "yword"};

struct TEntry {
    const char* Mnem = nullptr;  // pattern; nullptr = undefined opcode
    uint16_t Desc = 0;
    std::array<uint8_t, 3> Op{};
    uint8_t MemSize = zAuto;
};

constexpr TEntry E(const char* m, uint16_t d, uint8_t a = oNone, uint8_t b = oNone, uint8_t c = oNone,
                   uint8_t size = zAuto)
{
    return TEntry{m, d, {a, b, c}, size};
}

constexpr uint16_t M = dModRM, G = dGroup, B = dByte, Ib = dImmB, Iw = dImmW, Iz = dImmZ, Rel = dRel;

constexpr const char* Arith[8] = {"add", "or", "adc", "sbb", "and", "sub", "xor", "cmp"};

constexpr std::array<TEntry, 256> MakeOneByte()
{
    std::array<TEntry, 256> t{};
    for (int i = 0; i < 8; ++i) {
        const int b = i * 8;
        const uint16_t wr = i == 7 ? 0 : wRm, wg = i == 7 ? 0 : wReg, wa = i == 7 ? 0 : wAcc;
        t[b + 0] = E(Arith[i], M | B | wr, oE, oG);
        t[b + 1] = E(Arith[i], M | wr, oE, oG);
        t[b + 2] = E(Arith[i], M | B | wg, oG, oE);
        t[b + 3] = E(Arith[i], M | wg, oG, oE);
        t[b + 4] = E(Arith[i], B | Ib | wa, oAcc, oI);
        t[b + 5] = E(Arith[i], Iz | wa, oAcc, oI);
    }
    t[0x06] = E("push", dI64, oSegOp);
    t[0x07] = E("pop", dI64, oSegOp);
    t[0x0E] = E("push", dI64, oSegOp);
    t[0x16] = E("push", dI64, oSegOp);
    t[0x17] = E("pop", dI64, oSegOp);
    t[0x1E] = E("push", dI64, oSegOp);
    t[0x1F] = E("pop", dI64, oSegOp);
    t[0x27] = E("daa", dI64 | wAcc);
    t[0x2F] = E("das", dI64 | wAcc);
    t[0x37] = E("aaa", dI64 | wAcc);
    t[0x3F] = E("aas", dI64 | wAcc);
    for (int r = 0; r < 8; ++r) {
        t[0x40 + r] = E("inc", dI64 | wOpReg, oZ);
        t[0x48 + r] = E("dec", dI64 | wOpReg, oZ);
        t[0x50 + r] = E("push", dD64, oZ);
        t[0x58 + r] = E("pop", dD64 | wOpReg, oZ);
        t[0x70 + r * 2] = E("j%cc", Rel | Ib, oJ);
        t[0x71 + r * 2] = E("j%cc", Rel | Ib, oJ);
        t[0x90 + r] = E("xchg", wAccOpReg, oAcc, oZ);
        t[0xB0 + r] = E("mov", B | Ib | wOpReg, oZ, oI);
        t[0xB8 + r] = E("mov", Iz | wOpReg, oZ, oI);
    }
    t[0x90] = E("nop", 0);
    t[0x60] = E("pushad/pushaw", dI64);
    t[0x61] = E("popad/popaw", dI64);
    t[0x62] = E("bound", M | dMemOnly | dI64, oG, oM);
    t[0x63] = E("arpl", M | dI64 | wRm, oEw, oG);  // movsxd in long mode
    t[0x68] = E("push", Iz | dD64, oI);
    t[0x69] = E("imul", M | Iz | wReg, oG, oE, oI);
    t[0x6A] = E("push", Ib | dD64, oI);
    t[0x6B] = E("imul", M | Ib | wReg, oG, oE, oI);
    t[0x6C] = E("insb", 0);
    t[0x6D] = E("insd/insw", 0);
    t[0x6E] = E("outsb", 0);
    t[0x6F] = E("outsd/outsw", 0);
    t[0x80] = E("add|or|adc|sbb|and|sub|xor|cmp", G | B | Ib | wRm, oE, oI);
    t[0x81] = E("add|or|adc|sbb|and|sub|xor|cmp", G | Iz | wRm, oE, oI);
    t[0x82] = E("add|or|adc|sbb|and|sub|xor|cmp", G | B | Ib | dI64 | wRm, oE, oI);
    t[0x83] = E("add|or|adc|sbb|and|sub|xor|cmp", G | Ib | wRm, oE, oI);
    t[0x84] = E("test", M | B, oE, oG);
    t[0x85] = E("test", M, oE, oG);
    t[0x86] = E("xchg", M | B | wRmReg, oE, oG);
    t[0x87] = E("xchg", M | wRmReg, oE, oG);
    t[0x88] = E("mov", M | B | wRm, oE, oG);
    t[0x89] = E("mov", M | wRm, oE, oG);
    t[0x8A] = E("mov", M | B | wReg, oG, oE);
    t[0x8B] = E("mov", M | wReg, oG, oE);
    t[0x8C] = E("mov", M | wRm, oEw, oS);
    t[0x8D] = E("lea", M | dMemOnly | wReg, oG, oM);
    t[0x8E] = E("mov", M, oS, oEw);
    t[0x8F] = E("pop|||||||", G | dD64 | wRm, oE);
    t[0x98] = E("cwde/cbw/cdqe", wAcc);
    t[0x99] = E("cdq/cwd/cqo", 0);
    t[0x9A] = E("call", dI64, oA);
    t[0x9B] = E("wait", 0);
    t[0x9C] = E("pushfd/pushfw/pushfq", dD64);
    t[0x9D] = E("popfd/popfw/popfq", dD64);
    t[0x9E] = E("sahf", 0);
    t[0x9F] = E("lahf", wAcc);
    t[0xA0] = E("mov", B | wAcc, oAcc, oO);
    t[0xA1] = E("mov", wAcc, oAcc, oO);
    t[0xA2] = E("mov", B, oO, oAcc);
    t[0xA3] = E("mov", 0, oO, oAcc);
    t[0xA4] = E("movsb", 0);
    t[0xA5] = E("movsd/movsw/movsq", 0);
    t[0xA6] = E("cmpsb", 0);
    t[0xA7] = E("cmpsd/cmpsw/cmpsq", 0);
    t[0xA8] = E("test", B | Ib, oAcc, oI);
    t[0xA9] = E("test", Iz, oAcc, oI);
    t[0xAA] = E("stosb", 0);
    t[0xAB] = E("stosd/stosw/stosq", 0);
    t[0xAC] = E("lodsb", wAcc);
    t[0xAD] = E("lodsd/lodsw/lodsq", wAcc);
    t[0xAE] = E("scasb", 0);
    t[0xAF] = E("scasd/scasw/scasq", 0);
    t[0xC0] = E("rol|ror|rcl|rcr|shl|shr|sal|sar", G | B | Ib | wRm, oE, oIu);
    t[0xC1] = E("rol|ror|rcl|rcr|shl|shr|sal|sar", G | Ib | wRm, oE, oIu);
    t[0xC2] = E("ret", Iw | dD64, oIu);
    t[0xC3] = E("ret", dD64);
    t[0xC4] = E("les", M | dMemOnly | dI64 | wReg, oG, oMp);
    t[0xC5] = E("lds", M | dMemOnly | dI64 | wReg, oG, oMp);
    t[0xC6] = E("mov|||||||", G | B | Ib | wRm, oE, oI);
    t[0xC7] = E("mov|||||||", G | Iz | wRm, oE, oI);
    t[0xC8] = E("enter", dD64, oIu, oIu);
    t[0xC9] = E("leave", dD64);
    t[0xCA] = E("retf", Iw, oIu);
    t[0xCB] = E("retf", 0);
    t[0xCC] = E("int3", 0);
    t[0xCD] = E("int", Ib, oIu);
    t[0xCE] = E("into", dI64);
    t[0xCF] = E("iretd/iretw/iretq", 0);
    t[0xD0] = E("rol|ror|rcl|rcr|shl|shr|sal|sar", G | B | wRm, oE, oOne);
    t[0xD1] = E("rol|ror|rcl|rcr|shl|shr|sal|sar", G | wRm, oE, oOne);
    t[0xD2] = E("rol|ror|rcl|rcr|shl|shr|sal|sar", G | B | wRm, oE, oCL);
    t[0xD3] = E("rol|ror|rcl|rcr|shl|shr|sal|sar", G | wRm, oE, oCL);
    t[0xD4] = E("aam", Ib | dI64 | wAcc, oIu);
    t[0xD5] = E("aad", Ib | dI64 | wAcc, oIu);
    t[0xD6] = E("salc", dI64 | wAcc);
    t[0xD7] = E("xlat", wAcc);
    for (int i = 0xD8; i <= 0xDF; ++i)
        t[i] = E("", dX87);
    t[0xE0] = E("loopne", Rel | Ib | dD64, oJ);
    t[0xE1] = E("loope", Rel | Ib | dD64, oJ);
    t[0xE2] = E("loop", Rel | Ib | dD64, oJ);
    t[0xE3] = E("jecxz", Rel | Ib | dD64, oJ);
    t[0xE4] = E("in", B | Ib | wAcc, oAcc, oIu);
    t[0xE5] = E("in", Ib | wAcc, oAcc, oIu);
    t[0xE6] = E("out", B | Ib, oIu, oAcc);
    t[0xE7] = E("out", Ib, oIu, oAcc);
    t[0xE8] = E("call", Rel | Iz | dD64, oJ);
    t[0xE9] = E("jmp", Rel | Iz | dD64, oJ);
    t[0xEA] = E("jmp", dI64, oA);
    t[0xEB] = E("jmp", Rel | Ib | dD64, oJ);
    t[0xEC] = E("in", B | wAcc, oAcc, oDX);
    t[0xED] = E("in", wAcc, oAcc, oDX);
    t[0xEE] = E("out", B, oDX, oAcc);
    t[0xEF] = E("out", 0, oDX, oAcc);
    t[0xF1] = E("int1", 0);
    t[0xF4] = E("hlt", 0);
    t[0xF5] = E("cmc", 0);
    t[0xF6] = E("test|test|not|neg|mul|imul|div|idiv", G | B, oE);
    t[0xF7] = E("test|test|not|neg|mul|imul|div|idiv", G, oE);
    t[0xF8] = E("clc", 0);
    t[0xF9] = E("stc", 0);
    t[0xFA] = E("cli", 0);
    t[0xFB] = E("sti", 0);
    t[0xFC] = E("cld", 0);
    t[0xFD] = E("std", 0);
    t[0xFE] = E("inc|dec||||||", G | B, oE);
    t[0xFF] = E("inc|dec|call|call|jmp|jmp|push|", G, oE);
    return t;
}

constexpr uint16_t S = dSse | dModRM;

// Packed and scalar arithmetic: none = ps, 66 = pd, F2 = sd, F3 = ss.
constexpr TEntry Arith4(const char* m) { return E(m, S, oV, oW); }

constexpr std::array<TEntry, 256> MakeTwoByte()
{
    std::array<TEntry, 256> t{};
    t[0x00] = E("sldt|str|lldt|ltr|verr|verw||", G | wRm, oEw);
    t[0x01] = E("sgdt|sidt|lgdt|lidt|smsw||lmsw|invlpg", G, oM);
    t[0x02] = E("lar", M | wReg, oG, oEw);
    t[0x03] = E("lsl", M | wReg, oG, oEw);
    t[0x05] = E("syscall", 0);
    t[0x06] = E("clts", 0);
    t[0x07] = E("sysret", 0);
    t[0x08] = E("invd", 0);
    t[0x09] = E("wbinvd", 0);
    t[0x0B] = E("ud2", 0);
    t[0x0D] = E("prefetch|prefetchw|||||||", G | dMemOnly, oM);
    t[0x0E] = E("femms", 0);
    t[0x0F] = E("", M | Ib, oP, oQ);  // 3DNow!, suffix byte names it
    t[0x10] = E("movups/movupd/movsd/movss", S, oV, oW);
    t[0x11] = E("movups/movupd/movsd/movss", S, oW, oV);
    t[0x12] = E("movlps/movlpd/movddup/movsldup:movhlps//movddup/movsldup", S, oV, oW, oNone, zQword);
    t[0x13] = E("movlps/movlpd//", S | dMemOnly, oM, oV, oNone, zQword);
    t[0x14] = E("unpcklps/unpcklpd//", S, oV, oW);
    t[0x15] = E("unpckhps/unpckhpd//", S, oV, oW);
    t[0x16] = E("movhps/movhpd//movshdup:movlhps///movshdup", S, oV, oW, oNone, zQword);
    t[0x17] = E("movhps/movhpd//", S | dMemOnly, oM, oV, oNone, zQword);
    t[0x18] = E("prefetchnta|prefetcht0|prefetcht1|prefetcht2|nop|nop|nop|nop", G, oE);
    for (int i = 0x19; i <= 0x1F; ++i)
        t[i] = E("nop", M, oE);
    t[0x20] = E("mov", M | wRm, oR, oC);
    t[0x21] = E("mov", M | wRm, oR, oD);
    t[0x22] = E("mov", M, oC, oR);
    t[0x23] = E("mov", M, oD, oR);
    t[0x28] = E("movaps/movapd//", S, oV, oW);
    t[0x29] = E("movaps/movapd//", S, oW, oV);
    t[0x2A] = E("cvtpi2ps/cvtpi2pd/cvtsi2sd/cvtsi2ss", S, oV, oQ);
    t[0x2B] = E("movntps/movntpd//", S | dMemOnly, oM, oV);
    t[0x2C] = E("cvttps2pi/cvttpd2pi/cvttsd2si/cvttss2si", S, oP, oW);
    t[0x2D] = E("cvtps2pi/cvtpd2pi/cvtsd2si/cvtss2si", S, oP, oW);
    t[0x2E] = E("ucomiss/ucomisd//", S, oV, oW);
    t[0x2F] = E("comiss/comisd//", S, oV, oW);
    t[0x30] = E("wrmsr", 0);
    t[0x31] = E("rdtsc", wAcc);
    t[0x32] = E("rdmsr", wAcc);
    t[0x33] = E("rdpmc", wAcc);
    t[0x34] = E("sysenter", 0);
    t[0x35] = E("sysexit", 0);
    t[0x37] = E("getsec", wAcc);
    t[0x38] = E("", M);  // three-byte maps
    t[0x3A] = E("", M | Ib);
    for (int c = 0; c < 16; ++c) {
        t[0x40 + c] = E("cmov%cc", M | wReg, oG, oE);
        t[0x80 + c] = E("j%cc", Rel | Iz | dD64, oJ);
        t[0x90 + c] = E("set%cc", M | B | wRm, oE);
    }
    t[0x50] = E("movmskps/movmskpd//", S | dRegOnly | wReg, oGd, oU);
    t[0x51] = Arith4("sqrtps/sqrtpd/sqrtsd/sqrtss");
    t[0x52] = E("rsqrtps///rsqrtss", S, oV, oW);
    t[0x53] = E("rcpps///rcpss", S, oV, oW);
    t[0x54] = E("andps/andpd//", S, oV, oW);
    t[0x55] = E("andnps/andnpd//", S, oV, oW);
    t[0x56] = E("orps/orpd//", S, oV, oW);
    t[0x57] = E("xorps/xorpd//", S, oV, oW);
    t[0x58] = Arith4("addps/addpd/addsd/addss");
    t[0x59] = Arith4("mulps/mulpd/mulsd/mulss");
    t[0x5A] = Arith4("cvtps2pd/cvtpd2ps/cvtsd2ss/cvtss2sd");
    t[0x5B] = E("cvtdq2ps/cvtps2dq//cvttps2dq", S, oV, oW);
    t[0x5C] = Arith4("subps/subpd/subsd/subss");
    t[0x5D] = Arith4("minps/minpd/minsd/minss");
    t[0x5E] = Arith4("divps/divpd/divsd/divss");
    t[0x5F] = Arith4("maxps/maxpd/maxsd/maxss");
    constexpr const char* mmx60[] = {"punpcklbw", "punpcklwd", "punpckldq", "packsswb", "pcmpgtb", "pcmpgtw",
                                     "pcmpgtd", "packuswb", "punpckhbw", "punpckhwd", "punpckhdq", "packssdw"};
    for (int i = 0; i < 12; ++i)
        t[0x60 + i] = E(mmx60[i], M | dMx, oPx, oQx);
    t[0x6C] = E("/punpcklqdq//", S, oV, oW);
    t[0x6D] = E("/punpckhqdq//", S, oV, oW);
    t[0x6E] = E("movd/movd//", S, oPx, oEy);
    t[0x6F] = E("movq/movdqa//movdqu", S, oPx, oQx);
    t[0x70] = E("pshufw/pshufd/pshuflw/pshufhw", S | Ib, oPx, oQx, oIu);
    t[0x71] = E("||psrlw||psraw||psllw|", G | dMx | dRegOnly | Ib, oNx, oIu);
    t[0x72] = E("||psrld||psrad||pslld|", G | dMx | dRegOnly | Ib, oNx, oIu);
    t[0x73] = E("||psrlq|psrldq|||psllq|pslldq", G | dMx | dRegOnly | Ib, oNx, oIu);
    t[0x74] = E("pcmpeqb", M | dMx, oPx, oQx);
    t[0x75] = E("pcmpeqw", M | dMx, oPx, oQx);
    t[0x76] = E("pcmpeqd", M | dMx, oPx, oQx);
    t[0x77] = E("emms", 0);
    t[0x7C] = E("/haddpd/haddps/", S, oV, oW);
    t[0x7D] = E("/hsubpd/hsubps/", S, oV, oW);
    t[0x7E] = E("movd/movd//movq", S, oEy, oPx);
    t[0x7F] = E("movq/movdqa//movdqu", S, oQx, oPx);
    t[0xA0] = E("push", dD64, oFS);
    t[0xA1] = E("pop", dD64, oFS);
    t[0xA2] = E("cpuid", 0);
    t[0xA3] = E("bt", M, oE, oG);
    t[0xA4] = E("shld", M | Ib | wRm, oE, oG, oIu);
    t[0xA5] = E("shld", M | wRm, oE, oG, oCL);
    t[0xA8] = E("push", dD64, oGS);
    t[0xA9] = E("pop", dD64, oGS);
    t[0xAA] = E("rsm", 0);
    t[0xAB] = E("bts", M | wRm, oE, oG);
    t[0xAC] = E("shrd", M | Ib | wRm, oE, oG, oIu);
    t[0xAD] = E("shrd", M | wRm, oE, oG, oCL);
    t[0xAE] = E("fxsave|fxrstor|ldmxcsr|stmxcsr|xsave|xrstor|xsaveopt|clflush", G, oM);
    t[0xAF] = E("imul", M | wReg, oG, oE);
    t[0xB0] = E("cmpxchg", M | B | wAccRm, oE, oG);
    t[0xB1] = E("cmpxchg", M | wAccRm, oE, oG);
    t[0xB2] = E("lss", M | dMemOnly | wReg, oG, oMp);
    t[0xB3] = E("btr", M | wRm, oE, oG);
    t[0xB4] = E("lfs", M | dMemOnly | wReg, oG, oMp);
    t[0xB5] = E("lgs", M | dMemOnly | wReg, oG, oMp);
    t[0xB6] = E("movzx", M | wReg, oG, oEb);
    t[0xB7] = E("movzx", M | wReg, oG, oEw);
    t[0xB8] = E("popcnt", M | wReg, oG, oE);  // with F3 only
    t[0xB9] = E("ud1", M, oG, oE);
    t[0xBA] = E("||||bt|bts|btr|btc", G | Ib | wRm, oE, oIu);
    t[0xBB] = E("btc", M | wRm, oE, oG);
    t[0xBC] = E("bsf", M | wReg, oG, oE);  // tzcnt with F3
    t[0xBD] = E("bsr", M | wReg, oG, oE);  // lzcnt with F3
    t[0xBE] = E("movsx", M | wReg, oG, oEb);
    t[0xBF] = E("movsx", M | wReg, oG, oEw);
    t[0xC0] = E("xadd", M | B | wRmReg, oE, oG);
    t[0xC1] = E("xadd", M | wRmReg, oE, oG);
    t[0xC2] = E("cmpps/cmppd/cmpsd/cmpss", S | Ib, oV, oW, oIu);
    t[0xC3] = E("movnti", M | dMemOnly, oM, oGy);
    t[0xC4] = E("pinsrw/pinsrw//", S | Ib, oPx, oEw, oIu);
    t[0xC5] = E("pextrw/pextrw//", S | dRegOnly | Ib | wReg, oGd, oNx, oIu);
    t[0xC6] = E("shufps/shufpd//", S | Ib, oV, oW, oIu);
    t[0xC7] = E("|cmpxchg8b||||||", G, oM, oNone, oNone, zQword);
    for (int r = 0; r < 8; ++r)
        t[0xC8 + r] = E("bswap", wOpReg, oZ);
    t[0xD0] = E("/addsubpd/addsubps/", S, oV, oW);
    t[0xD6] = E("/movq/movdq2q/movq2dq", S, oW, oV, oNone, zQword);
    t[0xD7] = E("pmovmskb/pmovmskb//", S | dRegOnly | wReg, oGd, oNx);
    t[0xE6] = E("/cvttpd2dq/cvtpd2dq/cvtdq2pd", S, oV, oW);
    t[0xE7] = E("movntq/movntdq//", S | dMemOnly, oM, oPx);
    t[0xF0] = E("//lddqu/", S | dMemOnly, oV, oM);
    t[0xF7] = E("maskmovq/maskmovdqu//", S | dRegOnly, oPx, oNx);
    constexpr const char* mmxD0[] = {nullptr, "psrlw", "psrld", "psrlq", "paddq", "pmullw", nullptr, nullptr,
                                     "psubusb", "psubusw", "pminub", "pand", "paddusb", "paddusw", "pmaxub", "pandn",
                                     "pavgb", "psraw", "psrad", "pavgw", "pmulhuw", "pmulhw", nullptr, nullptr,
                                     "psubsb", "psubsw", "pminsw", "por", "paddsb", "paddsw", "pmaxsw", "pxor",
                                     nullptr, "psllw", "pslld", "psllq", "pmuludq", "pmaddwd", "psadbw", nullptr,
                                     "psubb", "psubw", "psubd", "psubq", "paddb", "paddw", "paddd", nullptr};
    for (int i = 0; i < 48; ++i)
        if (mmxD0[i])
            t[0xD0 + i] = E(mmxD0[i], M | dMx, oPx, oQx);
    t[0xFF] = E("ud0", M, oG, oE);
    return t;
}

constexpr std::array<TEntry, 256> OneByte = MakeOneByte();
constexpr std::array<TEntry, 256> TwoByte = MakeTwoByte();

// Three-byte maps 0F 38 and 0F 3A: the names known here; all take ModRM, 0F 3A an immediate.
struct TMapName {
    uint8_t Op;
    const char* Name;
};
constexpr TMapName Map38[] = {
    {0x00, "pshufb"}, {0x01, "phaddw"}, {0x02, "phaddd"}, {0x03, "phaddsw"}, {0x04, "pmaddubsw"},
    {0x05, "phsubw"}, {0x06, "phsubd"}, {0x07, "phsubsw"}, {0x08, "psignb"}, {0x09, "psignw"},
    {0x0A, "psignd"}, {0x0B, "pmulhrsw"}, {0x10, "pblendvb"}, {0x14, "blendvps"}, {0x15, "blendvpd"},
    {0x17, "ptest"}, {0x1C, "pabsb"}, {0x1D, "pabsw"}, {0x1E, "pabsd"}, {0x20, "pmovsxbw"},
    {0x21, "pmovsxbd"}, {0x22, "pmovsxbq"}, {0x23, "pmovsxwd"}, {0x24, "pmovsxwq"}, {0x25, "pmovsxdq"},
    {0x28, "pmuldq"}, {0x29, "pcmpeqq"}, {0x2A, "movntdqa"}, {0x2B, "packusdw"}, {0x30, "pmovzxbw"},
    {0x31, "pmovzxbd"}, {0x32, "pmovzxbq"}, {0x33, "pmovzxwd"}, {0x34, "pmovzxwq"}, {0x35, "pmovzxdq"},
    {0x37, "pcmpgtq"}, {0x38, "pminsb"}, {0x39, "pminsd"}, {0x3A, "pminuw"}, {0x3B, "pminud"},
    {0x3C, "pmaxsb"}, {0x3D, "pmaxsd"}, {0x3E, "pmaxuw"}, {0x3F, "pmaxud"}, {0x40, "pmulld"},
    {0x41, "phminposuw"}, {0xDB, "aesimc"}, {0xDC, "aesenc"}, {0xDD, "aesenclast"}, {0xDE, "aesdec"},
    {0xDF, "aesdeclast"}, {0xF0, "movbe"}, {0xF1, "movbe"},
};
constexpr TMapName Map3A[] = {
    {0x08, "roundps"}, {0x09, "roundpd"}, {0x0A, "roundss"}, {0x0B, "roundsd"}, {0x0C, "blendps"},
    {0x0D, "blendpd"}, {0x0E, "pblendw"}, {0x0F, "palignr"}, {0x14, "pextrb"}, {0x15, "pextrw"},
    {0x16, "pextrd"}, {0x17, "extractps"}, {0x20, "pinsrb"}, {0x21, "insertps"}, {0x22, "pinsrd"},
    {0x40, "dpps"}, {0x41, "dppd"}, {0x42, "mpsadbw"}, {0x44, "pclmulqdq"}, {0x60, "pcmpestrm"},
    {0x61, "pcmpestri"}, {0x62, "pcmpistrm"}, {0x63, "pcmpistri"}, {0xDF, "aeskeygenassist"},
};

template <size_t N>
const char* MapName(const TMapName (&map)[N], uint8_t op)
{
    for (const auto& m : map)
        if (m.Op == op)
            return m.Name;
    return nullptr;
}

// 3DNow! suffixes.
constexpr TMapName Amd3DNow[] = {
    {0x0C, "pi2fw"}, {0x0D, "pi2fd"}, {0x1C, "pf2iw"}, {0x1D, "pf2id"}, {0x8A, "pfnacc"},
    {0x8E, "pfpnacc"}, {0x90, "pfcmpge"}, {0x94, "pfmin"}, {0x96, "pfrcp"}, {0x97, "pfrsqrt"},
    {0x9A, "pfsub"}, {0x9E, "pfadd"}, {0xA0, "pfcmpgt"}, {0xA4, "pfmax"}, {0xA6, "pfrcpit1"},
    {0xA7, "pfrsqit1"}, {0xAA, "pfsubr"}, {0xAE, "pfacc"}, {0xB0, "pfcmpeq"}, {0xB4, "pfmul"},
    {0xB6, "pfrcpit2"}, {0xB7, "pmulhrw"}, {0xBB, "pswapd"}, {0xBF, "pavgusb"},
};

// x87: memory forms by reg, register forms by reg (one name, or 8 "-"-separated names by rm).
enum : uint8_t { xNone, xStSti, xStiSt, xSti };
struct TX87 {
    const char* Mem;
    std::array<uint8_t, 8> MemSize;
    std::array<const char*, 8> Reg;
    std::array<uint8_t, 8> RegForm;
};
constexpr TX87 X87[8] = {
    {"add|mul|com|comp|sub|subr|div|divr", {zDword, zDword, zDword, zDword, zDword, zDword, zDword, zDword},
     {"add", "mul", "com", "comp", "sub", "subr", "div", "divr"},
     {xStSti, xStSti, xSti, xSti, xStSti, xStSti, xStSti, xStSti}},
    {"ld||st|stp|ldenv|ldcw|nstenv|nstcw", {zDword, 0, zDword, zDword, zNone, zWord, zNone, zWord},
     {"ld", "xch", "nop-------", nullptr, "chs-abs---tst-xam--", "ld1-ldl2t-ldl2e-ldpi-ldlg2-ldln2-ldz-",
      "2xm1-yl2x-ptan-patan-xtract-prem1-decstp-incstp", "prem-yl2xp1-sqrt-sincos-rndint-scale-sin-cos"},
     {xSti, xSti, xNone, xNone, xNone, xNone, xNone, xNone}},
    {"iadd|imul|icom|icomp|isub|isubr|idiv|idivr", {zDword, zDword, zDword, zDword, zDword, zDword, zDword, zDword},
     {"cmovb", "cmove", "cmovbe", "cmovu", nullptr, "-ucompp------", nullptr, nullptr},
     {xStSti, xStSti, xStSti, xStSti, xNone, xNone, xNone, xNone}},
    {"ild|isttp|ist|istp||ld||stp", {zDword, zDword, zDword, zDword, 0, zTbyte, 0, zTbyte},
     {"cmovnb", "cmovne", "cmovnbe", "cmovnu", "--nclex-ninit----", "ucomi", "comi", nullptr},
     {xStSti, xStSti, xStSti, xStSti, xNone, xStSti, xStSti, xNone}},
    {"add|mul|com|comp|sub|subr|div|divr", {zQword, zQword, zQword, zQword, zQword, zQword, zQword, zQword},
     {"add", "mul", "com", "comp", "subr", "sub", "divr", "div"},
     {xStiSt, xStiSt, xSti, xSti, xStiSt, xStiSt, xStiSt, xStiSt}},
    {"ld|isttp|st|stp|rstor||nsave|nstsw", {zQword, zQword, zQword, zQword, zNone, 0, zNone, zWord},
     {"free", "xch", "st", "stp", "ucom", "ucomp", nullptr, nullptr},
     {xSti, xSti, xSti, xSti, xSti, xSti, xNone, xNone}},
    {"iadd|imul|icom|icomp|isub|isubr|idiv|idivr", {zWord, zWord, zWord, zWord, zWord, zWord, zWord, zWord},
     {"addp", "mulp", "comp", "-compp------", "subrp", "subp", "divrp", "divp"},
     {xStiSt, xStiSt, xSti, xNone, xStiSt, xStiSt, xStiSt, xStiSt}},
    {"ild|isttp|ist|istp|bld|ild|bstp|istp", {zWord, zWord, zWord, zWord, zTbyte, zQword, zTbyte, zQword},
     {nullptr, nullptr, nullptr, nullptr, "nstsw ax-------", "ucomip", "comip", nullptr},
     {xNone, xNone, xNone, xNone, xNone, xStSti, xStSti, xNone}},
};

constexpr const char* ConditionCodes[16] = {"o", "no", "b", "nb", "z", "nz", "be", "a",
                                            "s", "ns", "p", "np", "l", "ge", "le", "g"};

// The Index-th piece of Pattern between Sep characters; empty when there are fewer.
std::string Piece(const std::string& pattern, char sep, int index)
{
    size_t start = 0;
    for (int i = 0; i < index; ++i) {
        const size_t p = pattern.find(sep, start);
        if (p == std::string::npos)
            return {};
        start = p + 1;
    }
    const size_t end = pattern.find(sep, start);
    return pattern.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string Hex(uint64_t value, int width = 0)
{
    static const char digits[] = "0123456789abcdef";
    char buf[17];
    int n = 0;
    do {
        buf[n++] = digits[value & 15];
        value >>= 4;
    } while (value);
    std::string s;
    for (int i = n; i < width; ++i)
        s += '0';
    while (n)
        s += buf[--n];
    return s;
}

// ============================================================================================
// Decoding
// ============================================================================================

enum class TReg : uint8_t { Gen, Seg, Cr, Dr, Mmx, Xmm, Ymm };

struct TInsn {
    TCpuMode Mode = TCpuMode::X86;
    uint8_t Bytes[MaxInstructionLength] = {};
    size_t Avail = 0;
    size_t Pos = 0;
    bool Truncated = false;
    bool Invalid = false;
    uintptr_t Address = 0;

    // Prefixes
    bool Lock = false;
    uint8_t Rep = 0;       // last of F2/F3
    bool OpSizePrefix = false;
    bool AdSizePrefix = false;
    int Seg = 0;           // 1..6 = es cs ss ds fs gs
    uint8_t Rex = 0;
    bool Vex = false;
    uint8_t VexMap = 0, VexPP = 0, VexL = 0, VexV = 0;

    uint16_t Opcode = 0;
    TEntry Entry;
    int OpSize = 4;        // 1, 2, 4, 8
    int AdSize = 4;        // 2, 4, 8

    bool HasModRM = false;
    uint8_t Mod = 0, RegF = 0, Rm = 0;   // raw fields
    int RegX = 0, RmX = 0;               // with REX extensions
    // Memory operand
    int Base = -1, Index = -1, Scale = 1;
    int64_t Disp = 0;
    bool RipRel = false;
    size_t DispPos = 0;
    int DispSize = 0;

    size_t ImmPos = 0;
    int ImmSize = 0;
    uint64_t Imm = 0;      // raw
    uint64_t Imm2 = 0;     // second immediate (enter, far pointer segment)
    uint8_t Suffix3DNow = 0;
    uint8_t X87Form = 0;   // xStSti, xStiSt, xSti

    std::string Mnemonic;
    std::array<uint8_t, 3> Ops{};
    uint8_t MemSize = zAuto;

    bool IsMemory() const { return HasModRM && Mod != 3; }
    size_t Length() const { return Pos; }
    uintptr_t Next() const { return Address + Pos; }
    uintptr_t Wrap(uintptr_t a) const { return Mode == TCpuMode::X64 ? a : uintptr_t(uint32_t(a)); }
    int PtrSize() const { return Mode == TCpuMode::X64 ? 8 : 4; }

    bool Fetch(uint8_t& b)
    {
        if (Pos >= MaxInstructionLength || Pos >= Avail) {
            Truncated = true;
            return false;
        }
        b = Bytes[Pos++];
        return true;
    }
    bool FetchN(int n, uint64_t& value, bool signExtend)
    {
        value = 0;
        for (int i = 0; i < n; ++i) {
            uint8_t b;
            if (!Fetch(b))
                return false;
            value |= uint64_t(b) << (8 * i);
        }
        if (signExtend && n < 8 && n > 0 && (value >> (8 * n - 1)) & 1)
            value |= ~uint64_t(0) << (8 * n);
        return true;
    }
};

bool DecodeModRM(TInsn& x)
{
    uint8_t m;
    if (!x.Fetch(m))
        return false;
    x.HasModRM = true;
    x.Mod = m >> 6;
    x.RegF = (m >> 3) & 7;
    x.Rm = m & 7;
    x.RegX = x.RegF | ((x.Rex & 4) ? 8 : 0);
    x.RmX = x.Rm | ((x.Rex & 1) ? 8 : 0);
    if (x.Mod == 3)
        return true;
    if (x.AdSize == 2) {
        static const int base16[8] = {3, 3, 5, 5, 6, 7, 5, 3};   // bx bx bp bp si di bp bx
        static const int index16[8] = {6, 7, 6, 7, -1, -1, -1, -1};
        x.Base = base16[x.Rm];
        x.Index = index16[x.Rm];
        if (x.Mod == 0 && x.Rm == 6) {
            x.Base = -1;
            x.DispSize = 2;
        } else {
            x.DispSize = x.Mod == 1 ? 1 : x.Mod == 2 ? 2 : 0;
        }
    } else {
        x.Base = x.RmX;
        if (x.Rm == 4) {
            uint8_t sib;
            if (!x.Fetch(sib))
                return false;
            x.Scale = 1 << (sib >> 6);
            const int index = ((sib >> 3) & 7) | ((x.Rex & 2) ? 8 : 0);
            x.Index = index == 4 ? -1 : index;
            x.Base = (sib & 7) | ((x.Rex & 1) ? 8 : 0);
            if ((sib & 7) == 5 && x.Mod == 0) {
                x.Base = -1;
                x.DispSize = 4;
            }
        } else if (x.Rm == 5 && x.Mod == 0) {
            x.Base = -1;
            x.DispSize = 4;
            x.RipRel = x.Mode == TCpuMode::X64;
        }
        if (x.Mod == 1)
            x.DispSize = 1;
        else if (x.Mod == 2)
            x.DispSize = 4;
    }
    if (x.DispSize) {
        x.DispPos = x.Pos;
        uint64_t d;
        if (!x.FetchN(x.DispSize, d, true))
            return false;
        x.Disp = int64_t(d);
    }
    return true;
}

// The effective address of a memory operand when it does not depend on registers.
bool AbsoluteAddress(const TInsn& x, uintptr_t& address)
{
    if (!x.IsMemory() || x.Base >= 0 || x.Index >= 0)
        return false;
    if (x.RipRel)
        address = x.Next() + uintptr_t(x.Disp);
    else if (x.AdSize == 2)
        address = uintptr_t(uint16_t(x.Disp));
    else if (x.AdSize == 4)
        address = uintptr_t(uint32_t(x.Disp));
    else
        address = uintptr_t(x.Disp);
    return true;
}

bool DecodeMap(TInsn& x, bool map3A);

bool Decode(TInsn& x)
{
    const bool x64 = x.Mode == TCpuMode::X64;
    uint8_t b;
    // Prefixes
    for (;;) {
        if (!x.Fetch(b))
            return false;
        switch (b) {
        case 0xF2: case 0xF3: x.Rep = b; x.Rex = 0; continue;
        case 0xF0: x.Lock = true; x.Rex = 0; continue;
        case 0x66: x.OpSizePrefix = true; x.Rex = 0; continue;
        case 0x67: x.AdSizePrefix = true; x.Rex = 0; continue;
        case 0x26: case 0x2E: case 0x36: case 0x3E: x.Seg = ((b >> 3) & 3) + 1; x.Rex = 0; continue;
        case 0x64: case 0x65: x.Seg = b - 0x60 + 1; x.Rex = 0; continue;
        default: break;
        }
        if (x64 && (b & 0xF0) == 0x40) {
            x.Rex = b;   // counts only directly before the opcode
            continue;
        }
        break;
    }
    x.AdSize = x64 ? (x.AdSizePrefix ? 4 : 8) : (x.AdSizePrefix ? 2 : 4);

    // VEX in long mode; in 32-bit mode C4/C5 stay LES/LDS.
    if ((b == 0xC4 || b == 0xC5) && x64) {
        if (x.Rex || x.OpSizePrefix || x.Rep || x.Lock) {
            x.Invalid = true;
            return true;
        }
        uint8_t p1, p2;
        if (!x.Fetch(p1))
            return false;
        x.Vex = true;
        if (b == 0xC5) {
            x.Rex = 0x40 | ((p1 & 0x80) ? 0 : 4);
            x.VexMap = 1;
            p2 = p1;
        } else {
            if (!x.Fetch(p2))
                return false;
            x.Rex = 0x40 | (((~p1) >> 5) & 7) | ((p2 & 0x80) ? 8 : 0);
            x.VexMap = p1 & 0x1F;
        }
        x.VexV = ((~p2) >> 3) & 15;
        x.VexL = (p2 >> 2) & 1;
        x.VexPP = p2 & 3;
        uint8_t op;
        if (!x.Fetch(op))
            return false;
        if (x.VexMap < 1 || x.VexMap > 3) {
            x.Invalid = true;
            return true;
        }
        static const uint16_t mapBase[4] = {0, 0x0F00, 0x0F00, 0x0F00};
        x.Opcode = uint16_t(mapBase[x.VexMap] + op);
        const char* name = nullptr;
        bool imm = false;
        if (x.VexMap == 1) {
            if (op == 0x77) {
                x.Mnemonic = x.VexL ? "vzeroall" : "vzeroupper";
                return true;
            }
            const TEntry& e = TwoByte[op];
            if (!e.Mnem || !*e.Mnem || (e.Desc & dModRMMask) == 0) {
                x.Invalid = true;
                return true;
            }
            std::string pattern = e.Mnem;
            if (pattern.find(':') != std::string::npos)
                pattern = Piece(pattern, ':', 0);
            if (e.Desc & dSse)
                x.Mnemonic = Piece(pattern, '/', x.VexPP);
            else if ((e.Desc & dGroup) == dGroup)
                x.Mnemonic = pattern;  // fixed below once reg is known
            else
                x.Mnemonic = Piece(pattern, '/', 0);
            imm = (e.Desc & dImmMask) != 0;
            x.Entry = e;
        } else if (x.VexMap == 2) {
            name = MapName(Map38, op);
            if (!name && op >= 0xF0)
                name = "bmi";  // andn, bextr, shlx ...
            x.Mnemonic = name ? name : "vex";
        } else {
            name = MapName(Map3A, op);
            x.Mnemonic = name ? name : "vex";
            imm = true;
        }
        if (!DecodeModRM(x))
            return false;
        if (x.VexMap == 1 && (x.Entry.Desc & dGroup) == dGroup)
            x.Mnemonic = Piece(x.Entry.Mnem, '|', x.RegF);
        if (x.Mnemonic.empty()) {
            x.Invalid = true;
            return true;
        }
        if (x.Mnemonic[0] != 'v')
            x.Mnemonic = "v" + x.Mnemonic;
        if (imm) {
            x.ImmPos = x.Pos;
            x.ImmSize = 1;
            if (!x.FetchN(1, x.Imm, false))
                return false;
        }
        x.Ops = {oVy, oHy, oWy};
        if (x.VexMap == 1 && (x.Entry.Desc & dGroup) == dGroup)
            x.Ops = {oHy, oWy, oNone};
        if (imm)
            x.Ops = {oVy, oWy, oIu};
        x.MemSize = x.VexL ? zYword : zOword;
        return true;
    }

    const TEntry* entry = &OneByte[b];
    x.Opcode = b;
    if (b == 0x0F) {
        if (!x.Fetch(b))
            return false;
        x.Opcode = uint16_t(0x0F00 + b);
        entry = &TwoByte[b];
        if (b == 0x38 || b == 0x3A)
            return DecodeMap(x, b == 0x3A);
    }
    x.Entry = *entry;
    TEntry& e = x.Entry;

    if (x64) {
        if (x.Opcode == 0x63)
            e = E("movsxd", M | wReg, oG, oEd);
        if (e.Desc & dI64) {
            x.Invalid = true;
            return true;
        }
    }
    if (!e.Mnem) {
        x.Invalid = true;
        return true;
    }

    // Operand size
    const bool byteOp = (e.Desc & dByte) != 0;
    const bool sseSelect = (e.Desc & dSse) != 0 || (e.Desc & dMx) != 0 ||
                           (x.Opcode >= 0x0F38 && x.Opcode <= 0x0F3A);
    const bool sizePrefix = x.OpSizePrefix && !sseSelect;
    if (x64) {
        if (x.Rex & 8)
            x.OpSize = 8;
        else if ((e.Desc & dD64) && !sizePrefix)
            x.OpSize = 8;
        else
            x.OpSize = sizePrefix ? 2 : 4;
        // Near branches ignore the operand-size prefix in long mode.
        if ((e.Desc & dRel) || x.Opcode == 0xC2 || x.Opcode == 0xC3)
            x.OpSize = 8;
    } else {
        x.OpSize = sizePrefix ? 2 : 4;
    }
    if (byteOp)
        x.OpSize = 1;

    // ModRM
    const uint16_t modrmKind = e.Desc & dModRMMask;
    if (modrmKind) {
        if (!DecodeModRM(x))
            return false;
    }

    std::string pattern = e.Mnem;
    x.Ops = e.Op;
    x.MemSize = e.MemSize;

    // Immediate
    int immSize = 0;
    switch (e.Desc & dImmMask) {
    case dImmB: immSize = 1; break;
    case dImmW: immSize = 2; break;
    case dImmZ: immSize = x.OpSize == 2 ? 2 : 4; break;
    default: break;
    }

    // Group selection and group-specific forms
    if (modrmKind == (dGroup & dModRMMask)) {
        switch (x.Opcode) {
        case 0xF6: case 0xF7:
            if (x.RegF < 2) {
                immSize = x.OpSize == 1 ? 1 : x.OpSize == 2 ? 2 : 4;
                x.Ops = {oE, oI, oNone};
            }
            break;
        case 0xFE:
            if (x.RegF >= 2)
                x.Invalid = true;
            break;
        case 0xFF:
            if (x.RegF == 7 || ((x.RegF == 3 || x.RegF == 5) && x.Mod == 3))
                x.Invalid = true;
            if (x64 && (x.RegF == 2 || x.RegF == 4 || x.RegF == 6))
                x.OpSize = (x.Rex & 8) || !x.OpSizePrefix || x.RegF != 6 ? 8 : 2;
            if (x.RegF == 3 || x.RegF == 5)
                x.Ops = {oMp, oNone, oNone};
            break;
        case 0x0F01:
            if (x.Mod == 3) {
                static const struct { uint8_t ModRM; const char* Name; } forms[] = {
                    {0xC8, "monitor"}, {0xC9, "mwait"}, {0xCA, "clac"}, {0xCB, "stac"}, {0xD0, "xgetbv"},
                    {0xD1, "xsetbv"}, {0xD5, "xend"}, {0xD6, "xtest"}, {0xF8, "swapgs"}, {0xF9, "rdtscp"}};
                const uint8_t m = uint8_t(0xC0 | (x.RegF << 3) | x.Rm);
                if (x.RegF == 4) {
                    pattern = "smsw";
                    x.Ops = {oE, oNone, oNone};
                } else if (x.RegF == 6) {
                    pattern = "lmsw";
                    x.Ops = {oEw, oNone, oNone};
                } else {
                    pattern.clear();
                    for (const auto& f : forms)
                        if (f.ModRM == m && (f.ModRM != 0xF8 || x64))
                            pattern = f.Name;
                    x.Ops = {};
                }
                if (pattern.empty())
                    x.Invalid = true;
            } else {
                x.MemSize = x.RegF == 4 || x.RegF == 6 ? zWord : zNone;
                if (x.RegF == 4 || x.RegF == 6)
                    x.Ops = {oEw, oNone, oNone};
                if (x.RegF == 5)
                    x.Invalid = true;
            }
            break;
        case 0x0FAE:
            if (x.Mod == 3) {
                x.Ops = {};
                if (x.RegF == 5)
                    pattern = "lfence";
                else if (x.RegF == 6)
                    pattern = "mfence";
                else if (x.RegF == 7)
                    pattern = "sfence";
                else if (x.Rep == 0xF3 && x64) {
                    pattern = "rdfsbase|rdgsbase|wrfsbase|wrgsbase";
                    x.Ops = {oEy, oNone, oNone};
                } else
                    x.Invalid = true;
            } else {
                x.MemSize = x.RegF == 2 || x.RegF == 3 ? zDword : x.RegF == 7 ? zByte : zNone;
                if (x.RegF == 2 || x.RegF == 3 || x.RegF == 7)
                    x.Ops = {oE, oNone, oNone};
            }
            break;
        case 0x0FC7:
            if (x.Mod == 3) {
                if (x.RegF == 6 || x.RegF == 7) {
                    pattern = x.RegF == 6 ? "rdrand" : "rdseed";
                    x.Ops = {oE, oNone, oNone};
                } else
                    x.Invalid = true;
            } else if (x.RegF == 1 && (x.Rex & 8)) {
                pattern = "|cmpxchg16b||||||";
                x.MemSize = zOword;
            } else if (x.RegF != 1) {
                x.Invalid = true;
            }
            break;
        case 0x0F00:
            if (x.RegF >= 6)
                x.Invalid = true;
            break;
        case 0x0F18:
            if (x.Mod == 3 || x.RegF >= 4)
                pattern = "nop";
            x.MemSize = x.RegF < 4 ? zByte : zAuto;
            break;
        case 0x0F0D:
            if (x.RegF > 1)
                x.Invalid = true;
            break;
        case 0x0F73:
            if ((x.RegF == 3 || x.RegF == 7) && !x.OpSizePrefix)
                x.Invalid = true;
            break;
        case 0x8F: case 0xC6: case 0xC7:
            if (x.RegF != 0)
                x.Invalid = true;
            break;
        default: break;
        }
    }
    if (x.Opcode == 0x0F1E && x.Rep == 0xF3 && x.Mod == 3 && (x.Rm == 2 || x.Rm == 3) && x.RegF == 7) {
        pattern = x.Rm == 2 ? "endbr64" : "endbr32";
        x.Ops = {};
    }
    if (x.Opcode == 0x90 && x64 && (x.Rex & 1)) {
        pattern = "xchg";
        x.Ops = {oAcc, oZ, oNone};
        x.Entry.Desc = wAccOpReg;
    } else if (x.Opcode == 0x90 && x.Rep == 0xF3) {
        pattern = "pause";
    }
    if (x.Rep == 0xF3 && (x.Opcode == 0x0FB8 || x.Opcode == 0x0FBC || x.Opcode == 0x0FBD))
        pattern = x.Opcode == 0x0FB8 ? "popcnt" : x.Opcode == 0x0FBC ? "tzcnt" : "lzcnt";
    else if (x.Opcode == 0x0FB8)
        x.Invalid = true;

    // Validity of ModRM forms
    if (x.HasModRM) {
        if ((e.Desc & dMemOnly) && x.Mod == 3)
            x.Invalid = true;
        if ((e.Desc & dRegOnly) && x.Mod != 3)
            x.Invalid = true;
        if ((x.Opcode == 0x8C || x.Opcode == 0x8E) && x.RegF >= 6)
            x.Invalid = true;
        if (x.Opcode == 0x8E && x.RegF == 1)
            x.Invalid = true;   // mov cs, ...
        if ((x.Opcode == 0x0F20 || x.Opcode == 0x0F22) && (x.RegF == 1 || (x.RegF > 4 && x.RegF != 8)))
            x.Invalid = true;
    }

    // Immediates of special forms
    if (x.Opcode == 0xB8 || (x.Opcode >= 0xB9 && x.Opcode <= 0xBF)) {
        if (x.OpSize == 8)
            immSize = 8;
    }
    if (x.Opcode == 0xC8) {   // enter: word and byte
        x.ImmPos = x.Pos;
        x.ImmSize = 2;
        if (!x.FetchN(2, x.Imm, false) || !x.FetchN(1, x.Imm2, false))
            return false;
        immSize = 0;
    } else if (x.Opcode == 0x9A || x.Opcode == 0xEA) {   // far pointer: offset, segment
        x.ImmPos = x.Pos;
        x.ImmSize = x.OpSize == 2 ? 2 : 4;
        if (!x.FetchN(x.ImmSize, x.Imm, false) || !x.FetchN(2, x.Imm2, false))
            return false;
        immSize = 0;
    } else if (x.Opcode >= 0xA0 && x.Opcode <= 0xA3) {   // moffs: the address size
        x.DispPos = x.Pos;
        x.DispSize = x.AdSize;
        uint64_t d;
        if (!x.FetchN(x.AdSize, d, false))
            return false;
        x.Disp = int64_t(d);
    } else if (x.Opcode == 0x0F0F) {   // 3DNow!: the suffix names the instruction
        if (!x.FetchN(1, x.Imm, false))
            return false;
        x.Suffix3DNow = uint8_t(x.Imm);
        const char* name = MapName(Amd3DNow, x.Suffix3DNow);
        if (!name)
            x.Invalid = true;
        else
            pattern = name;
        immSize = 0;
        x.MemSize = zQword;
    }
    if (immSize) {
        x.ImmPos = x.Pos;
        x.ImmSize = immSize;
        const bool sx = (e.Desc & dRel) != 0;
        if (!x.FetchN(immSize, x.Imm, sx))
            return false;
    }

    // Mnemonic from the pattern
    if (modrmKind == (dX87 & dModRMMask)) {
        const TX87& f = X87[x.Opcode - 0xD8];
        if (x.Mod != 3) {
            pattern = Piece(f.Mem, '|', x.RegF);
            x.MemSize = f.MemSize[x.RegF];
            x.Ops = {oM, oNone, oNone};
            if (x.MemSize)
                x.Ops[0] = oE;
        } else {
            const char* r = f.Reg[x.RegF];
            pattern = r ? r : "";
            if (pattern.find('-') != std::string::npos) {
                pattern = Piece(pattern, '-', x.Rm);
                x.Ops = {};
            } else {
                x.Ops = {};
                x.X87Form = f.RegForm[x.RegF];
            }
        }
        if (pattern.empty()) {
            x.Invalid = true;
            return true;
        }
        x.Mnemonic = "f" + pattern;
        return true;
    }
    if (pattern.find(':') != std::string::npos)
        pattern = Piece(pattern, ':', x.Mod == 3 ? 1 : 0);
    if ((e.Desc & dModRMMask) == (dGroup & dModRMMask) && pattern.find('|') != std::string::npos)
        pattern = Piece(pattern, '|', x.RegF);
    if (e.Desc & dSse) {
        const int variant = x.Rep == 0xF3 ? 3 : x.Rep == 0xF2 ? 2 : x.OpSizePrefix ? 1 : 0;
        pattern = Piece(pattern, '/', variant);
        // Operand forms that the prefix changes
        switch (x.Opcode) {
        case 0x0F2A: if (variant >= 2) x.Ops = {oV, oEy, oNone}; break;
        case 0x0F2C: case 0x0F2D: if (variant >= 2) x.Ops = {oGy, oW, oNone}; break;
        case 0x0F7E: if (variant == 3) x.Ops = {oV, oW, oNone}; break;
        case 0x0FD6:
            if (variant == 2) x.Ops = {oP, oU, oNone};
            else if (variant == 3) x.Ops = {oV, oN, oNone};
            break;
        default: break;
        }
        if ((x.Opcode == 0x0F6E || x.Opcode == 0x0F7E) && (x.Rex & 8) && variant < 2)
            pattern = "movq";
        if ((x.Opcode == 0x0F2A || x.Opcode == 0x0F2C || x.Opcode == 0x0F2D) && variant < 2)
            x.MemSize = zQword;
        if (x.Opcode == 0x0FD6 && variant >= 2 && x.Mod != 3)
            x.Invalid = true;
    } else if (pattern.find('/') != std::string::npos) {
        const int variant = x.OpSize == 2 ? 1 : x.OpSize == 8 ? 2 : 0;
        std::string v = Piece(pattern, '/', variant);
        pattern = v.empty() ? Piece(pattern, '/', 0) : v;
    }
    if (x.Opcode == 0xE3)
        pattern = x.AdSize == 2 ? "jcxz" : x.AdSize == 8 ? "jrcxz" : "jecxz";
    const size_t cc = pattern.find("%cc");
    if (cc != std::string::npos)
        pattern.replace(cc, 3, ConditionCodes[x.Opcode & 15]);
    if (pattern.empty())
        x.Invalid = true;
    x.Mnemonic = pattern;
    return true;
}

// Decodes the three-byte maps after the map byte (0F 38 / 0F 3A) has been read.
bool DecodeMap(TInsn& x, bool map3A)
{
    uint8_t op;
    if (!x.Fetch(op))
        return false;
    x.Opcode = uint16_t(map3A ? 0x0F3A : 0x0F38);
    const char* name = map3A ? MapName(Map3A, op) : MapName(Map38, op);
    if (!DecodeModRM(x))
        return false;
    if (map3A) {
        x.ImmPos = x.Pos;
        x.ImmSize = 1;
        if (!x.FetchN(1, x.Imm, false))
            return false;
    }
    if (!name) {
        x.Invalid = true;
        return true;
    }
    x.Mnemonic = name;
    const bool xmm = x.OpSizePrefix;
    x.Ops = {uint8_t(xmm ? oV : oP), uint8_t(xmm ? oW : oQ), uint8_t(map3A ? oIu : oNone)};
    x.MemSize = xmm ? zOword : zQword;
    if (!map3A && (op == 0xF0 || op == 0xF1)) {
        if (x.Rep == 0xF2) {
            x.Mnemonic = "crc32";
            x.OpSize = op == 0xF0 ? 1 : (x.Rex & 8) ? 8 : x.OpSizePrefix ? 2 : 4;
            x.Ops = {oGd, op == 0xF0 ? oEb : oE, oNone};
            x.MemSize = zAuto;
        } else {
            if (x.Mod == 3)
                x.Invalid = true;
            x.OpSize = (x.Rex & 8) ? 8 : x.OpSizePrefix ? 2 : 4;
            x.Ops = op == 0xF0 ? std::array<uint8_t, 3>{oG, oE, oNone} : std::array<uint8_t, 3>{oE, oG, oNone};
            x.MemSize = zAuto;
        }
        x.Entry.Desc = uint16_t(M | (op == 0xF0 || x.Rep == 0xF2 ? wReg : 0));
    } else if (map3A && (op == 0x14 || op == 0x15 || op == 0x16 || op == 0x17)) {
        x.Ops = {oEy, oV, oIu};
        if (op == 0x16 && (x.Rex & 8))
            x.Mnemonic = "pextrq";
        x.Entry.Desc = uint16_t(M | wRm);
    } else if (map3A && (op == 0x20 || op == 0x22)) {
        x.Ops = {oV, oEy, oIu};
        if (op == 0x22 && (x.Rex & 8))
            x.Mnemonic = "pinsrq";
    } else {
        x.Entry.Desc = M;
    }
    return true;
}

// Full decode into X; afterwards X.Pos is the length.
void DecodeInto(TInsn& x, TCpuMode mode, const TByteSource& source, uintptr_t address)
{
    x.Mode = mode;
    x.Address = address;
    x.Avail = source.Read(address, x.Bytes, MaxInstructionLength);
    if (!Decode(x) || x.Truncated)
        x.Invalid = true;
    if (x.Pos == 0)
        x.Pos = 1;
}

}  // namespace

// ============================================================================================
// Safe memory reads
// ============================================================================================

// A copy routine whose faults the vectored handler below turns into a return of 0.
extern "C" int hx_guarded_copy(void* dst, const void* src, size_t length);
extern "C" char hx_guarded_copy_fault;

#ifdef _WIN64
asm(R"(
    .text
    .p2align 4
    .globl hx_guarded_copy
hx_guarded_copy:
    cmp $8, %r8
    jb 2f
1:  mov (%rdx), %rax
    mov %rax, (%rcx)
    add $8, %rdx
    add $8, %rcx
    sub $8, %r8
    cmp $8, %r8
    jae 1b
2:  test %r8, %r8
    jz 4f
3:  movb (%rdx), %al
    movb %al, (%rcx)
    inc %rdx
    inc %rcx
    dec %r8
    jnz 3b
4:  mov $1, %eax
    ret
    .globl hx_guarded_copy_fault
hx_guarded_copy_fault:
    xor %eax, %eax
    ret
)");
#else
asm(R"(
    .text
    .p2align 4
    .globl _hx_guarded_copy
_hx_guarded_copy:
    push %esi
    push %edi
    mov 12(%esp), %edi
    mov 16(%esp), %esi
    mov 20(%esp), %ecx
    test %ecx, %ecx
    jz 2f
1:  movb (%esi), %al
    movb %al, (%edi)
    inc %esi
    inc %edi
    dec %ecx
    jnz 1b
2:  mov $1, %eax
    pop %edi
    pop %esi
    ret
    .globl _hx_guarded_copy_fault
_hx_guarded_copy_fault:
    xor %eax, %eax
    pop %edi
    pop %esi
    ret
)");
#endif

namespace {

LONG CALLBACK GuardedCopyHandler(EXCEPTION_POINTERS* pointers)
{
    const DWORD code = pointers->ExceptionRecord->ExceptionCode;
    if (code != EXCEPTION_ACCESS_VIOLATION && code != STATUS_GUARD_PAGE_VIOLATION && code != EXCEPTION_IN_PAGE_ERROR)
        return EXCEPTION_CONTINUE_SEARCH;
    const auto begin = reinterpret_cast<uintptr_t>(&hx_guarded_copy);
    const auto fault = reinterpret_cast<uintptr_t>(&hx_guarded_copy_fault);
#ifdef _WIN64
    DWORD64& ip = pointers->ContextRecord->Rip;
#else
    DWORD& ip = pointers->ContextRecord->Eip;
#endif
    if (ip < begin || ip >= fault)
        return EXCEPTION_CONTINUE_SEARCH;
    ip = fault;
    return EXCEPTION_CONTINUE_EXECUTION;
}

bool GuardedCopy(void* dst, const void* src, size_t length)
{
    // Installed on first use and kept for the process's lifetime: reads may come late in shutdown.
    static void* const handler = AddVectoredExceptionHandler(1, GuardedCopyHandler);
    return handler && hx_guarded_copy(dst, src, length) != 0;
}

bool ReadableProtection(DWORD protect)
{
    if (protect & (PAGE_GUARD | PAGE_NOACCESS))
        return false;
    switch (protect & 0xFF) {
    case PAGE_READONLY: case PAGE_READWRITE: case PAGE_WRITECOPY: case PAGE_EXECUTE:
    case PAGE_EXECUTE_READ: case PAGE_EXECUTE_READWRITE: case PAGE_EXECUTE_WRITECOPY:
        return true;
    default:
        return false;
    }
}

// Every region touched by [address, address + length) is committed and readable.
bool RegionsReadable(uintptr_t address, size_t length)
{
    const uintptr_t end = address + length;
    while (address < end) {
        MEMORY_BASIC_INFORMATION mbi;
        if (VirtualQuery(reinterpret_cast<void*>(address), &mbi, sizeof(mbi)) != sizeof(mbi))
            return false;
        if (mbi.State != MEM_COMMIT || !ReadableProtection(mbi.Protect))
            return false;
        const uintptr_t regionEnd = reinterpret_cast<uintptr_t>(mbi.BaseAddress) + mbi.RegionSize;
        if (regionEnd <= address)
            return false;
        address = regionEnd;
    }
    return true;
}

}  // namespace

bool TryReadMemory(const void* address, void* buffer, size_t length, const TDATryRead* ranges)
{
    const auto start = reinterpret_cast<uintptr_t>(address);
    if (length == 0)
        return true;
    if (!buffer || start == 0 || start + length < start)
        return false;
    if (ranges) {
        auto it = std::upper_bound(ranges->begin(), ranges->end(), start,
                                   [](uintptr_t a, const TReadableRange& r) { return a < r.Start; });
        if (it == ranges->begin())
            return false;
        --it;
        if (!it->Readable || start + length > it->End)
            return false;
    } else if (!RegionsReadable(start, length)) {
        return false;
    }
    return GuardedCopy(buffer, address, length);
}

TDATryRead BuildReadableRanges()
{
    TDATryRead ranges;
    ranges.reserve(64);
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    const auto top = reinterpret_cast<uintptr_t>(si.lpMaximumApplicationAddress);
    uintptr_t address = 0;
    while (address <= top) {
        MEMORY_BASIC_INFORMATION mbi;
        if (VirtualQuery(reinterpret_cast<void*>(address), &mbi, sizeof(mbi)) != sizeof(mbi))
            break;
        const uintptr_t end = reinterpret_cast<uintptr_t>(mbi.BaseAddress) + mbi.RegionSize;
        if (end <= address)
            break;
        const bool readable = mbi.State == MEM_COMMIT && ReadableProtection(mbi.Protect);
        if (!ranges.empty() && ranges.back().Readable == readable && ranges.back().End == address)
            ranges.back().End = end;
        else
            ranges.push_back({address, end, readable});
        address = end;
    }
    return ranges;
}

size_t TProcessMemory::Read(uintptr_t address, void* buffer, size_t length) const
{
    if (TryReadMemory(address, buffer, length, ranges_))
        return length;
    // Readability changes at page boundaries only: take the readable leading pages.
    constexpr uintptr_t page = 4096;
    size_t done = 0;
    while (done < length) {
        const uintptr_t at = address + done;
        const size_t chunk = std::min<size_t>(length - done, page - (at & (page - 1)));
        if (!TryReadMemory(at, static_cast<uint8_t*>(buffer) + done, chunk, ranges_))
            break;
        done += chunk;
    }
    return done;
}

size_t TBufferSource::Read(uintptr_t address, void* buffer, size_t length) const
{
    if (address < base_ || address - base_ >= size_)
        return 0;
    const size_t n = std::min(length, size_ - size_t(address - base_));
    std::memcpy(buffer, data_ + (address - base_), n);
    return n;
}

// ============================================================================================
// Branches and register tracking
// ============================================================================================

namespace {

bool IsGenReg(uint8_t kind) { return kind == oG || kind == oGy || kind == oGd; }
bool IsGenRm(uint8_t kind) { return kind == oE || kind == oEb || kind == oEw || kind == oEd || kind == oEy || kind == oR; }

void TrackRegisters(const TInsn& x, TRegisterSet& regs)
{
    const bool x64 = x.Mode == TCpuMode::X64;
    const int count = x64 ? 16 : 8;
    auto kill = [&](int r) {
        if (r >= 0 && r < count)
            regs[r] = 0;
    };
    // A byte register without REX in 4..7 is the high byte of 0..3.
    auto killSized = [&](int r, int size) { kill(size == 1 && !x.Rex && r >= 4 && r < 8 ? r - 4 : r); };
    const bool regGen = IsGenReg(x.Ops[0]) || IsGenReg(x.Ops[1]) || IsGenReg(x.Ops[2]);
    const bool rmGen = x.Mod == 3 && x.HasModRM &&
                       (IsGenRm(x.Ops[0]) || IsGenRm(x.Ops[1]) || IsGenRm(x.Ops[2]));
    const int opReg = (x.Opcode & 7) | ((x.Rex & 1) ? 8 : 0);
    const uint16_t op = x.Opcode;

    if (x.Vex) {
        kill(x.RegX);
        if (x.Mod == 3)
            kill(x.RmX);
        kill(x.VexV);
        return;
    }
    switch (x.Entry.Desc & wMask) {
    case wReg: if (regGen) killSized(x.RegX, x.OpSize); break;
    case wRm:
        // cmp of the arithmetic group writes nothing
        if (rmGen && !(op >= 0x80 && op <= 0x83 && x.RegF == 7))
            killSized(x.RmX, x.OpSize);
        break;
    case wOpReg: killSized(opReg, x.OpSize); break;
    case wAcc: kill(0); break;
    case wRmReg:
        if (regGen) killSized(x.RegX, x.OpSize);
        if (rmGen) killSized(x.RmX, x.OpSize);
        break;
    case wAccRm:
        kill(0);
        if (rmGen) killSized(x.RmX, x.OpSize);
        break;
    case wAccOpReg:
        kill(0);
        killSized(opReg, x.OpSize);
        break;
    default: break;
    }

    // Implicit and group-dependent writes
    switch (op) {
    case 0x61: for (int r = 0; r < 8; ++r) kill(r); break;
    case 0x0FA2: for (int r = 0; r < 4; ++r) kill(r); break;
    case 0x99: kill(2); break;
    case 0x0F30: case 0x0F31: case 0x0F32: case 0x0F33: kill(2); kill(0); break;
    case 0x0FC7: kill(0); kill(2); if (rmGen) kill(x.RmX); break;
    case 0x0F05: kill(0); kill(1); kill(11); break;
    case 0xF6: case 0xF7:
        if (x.RegF == 2 || x.RegF == 3) {
            if (x.Mod == 3) killSized(x.RmX, x.OpSize);
        } else if (x.RegF >= 4) {
            kill(0);
            if (op == 0xF7) kill(2);
        }
        break;
    case 0xFE: case 0xFF:
        if (x.RegF <= 1 && x.Mod == 3) killSized(x.RmX, x.OpSize);
        break;
    case 0xE0: case 0xE1: case 0xE2: kill(1); break;
    case 0xC8: case 0xC9: kill(5); break;
    case 0x0F01:
        if (x.Mod == 3 && x.RegF == 4) kill(x.RmX);
        if (x.Mod == 3 && x.RegF != 4 && x.RegF != 6) { kill(0); kill(1); kill(2); }
        break;
    case 0x0FAE: if (x.Mod == 3 && x.RegF < 4) kill(x.RmX); break;
    case 0x0F7E: if (x.Mod == 3 && x.Rep != 0xF3) kill(x.RmX); break;
    case 0x0F2C: case 0x0F2D: if (x.Rep) kill(x.RegX); break;
    case 0xDF: if (x.Mod == 3 && x.RegF == 4) kill(0); break;
    default: break;
    }
    const bool esi = op == 0xA4 || op == 0xA5 || op == 0xA6 || op == 0xA7 || op == 0xAC || op == 0xAD ||
                     op == 0x6E || op == 0x6F;
    const bool edi = op == 0xA4 || op == 0xA5 || op == 0xA6 || op == 0xA7 || op == 0xAA || op == 0xAB ||
                     op == 0xAE || op == 0xAF || op == 0x6C || op == 0x6D;
    if (esi) kill(6);
    if (edi) kill(7);
    if ((esi || edi) && x.Rep) kill(1);   // the count runs down

    // Known values
    auto value32 = [&](uint64_t v) { return uintptr_t(uint32_t(v)); };
    if (op == 0x8B && x.Mod == 3) {
        const uintptr_t v = regs[x.RmX];
        regs[x.RegX] = x.OpSize == 8 ? v : x.OpSize == 4 ? value32(v) : 0;
    } else if (op >= 0xB8 && op <= 0xBF && x.OpSize != 2) {
        regs[opReg] = x.OpSize == 8 ? uintptr_t(x.Imm) : value32(x.Imm);
    } else if (op == 0xC7 && x.Mod == 3 && x.RegF == 0 && x.OpSize != 2) {
        uint64_t v = x.Imm;
        if (x.OpSize == 8 && (v & 0x80000000u))
            v |= 0xFFFFFFFF00000000ull;
        regs[x.RmX] = x.OpSize == 8 ? uintptr_t(v) : value32(v);
    }
}

bool IsCondJump(uint16_t op)
{
    return (op >= 0x70 && op <= 0x7F) || (op >= 0x0F80 && op <= 0x0F8F) || (op >= 0xE0 && op <= 0xE3);
}

void FillInfo(const TInsn& x, const TByteSource& source, TRegisterSet* regs, bool resolve, TDisAsmInfo& info)
{
    info = TDisAsmInfo{};
    info.This = x.Address;
    info.Next = x.Wrap(x.Address + x.Pos);
    info.Opcode = x.Opcode;
    info.Valid = !x.Invalid;
    if (!info.Valid)
        return;
    const uint16_t op = x.Opcode;
    info.Return = op == 0xC2 || op == 0xC3 || op == 0xCA || op == 0xCB || op == 0xCF;
    if ((x.Entry.Desc & dRel) && !x.Vex) {
        uintptr_t target = x.Wrap(info.Next + uintptr_t(x.Imm));
        if (x.Mode == TCpuMode::X86 && x.OpSize == 2 && x.ImmSize == 2)
            target &= 0xFFFF;
        info.RelTarget = true;
        info.Target = target;
        info.TargetOperand = x.Address + x.ImmPos;
        info.TargetSize = uint8_t(x.ImmSize);
        info.Call = op == 0xE8;
        info.Jump = !info.Call;
        info.Enlargeable = !(op >= 0xE0 && op <= 0xE3);
    } else if (op == 0x9A || op == 0xEA) {
        info.Far = true;
        info.Call = op == 0x9A;
        info.Jump = !info.Call;
        info.Target = uintptr_t(x.Imm);
        info.TargetOperand = x.Address + x.ImmPos;
        info.TargetSize = uint8_t(x.ImmSize);
    } else if (op == 0xFF && x.RegF >= 2 && x.RegF <= 5) {
        info.Call = x.RegF <= 3;
        info.Jump = !info.Call;
        info.Far = x.RegF == 3 || x.RegF == 5;
        const int cell = x.PtrSize();
        uintptr_t address;
        if (AbsoluteAddress(x, address)) {
            uintptr_t value = 0;
            info.TargetPointer = address;
            info.TargetSize = uint8_t(cell);
            if (!source.ReadAll(address, &value, size_t(cell)))
                info.Valid = false;
            else
                info.Target = x.Wrap(value);
        } else if (regs && resolve && !info.Far) {
            if (x.Mod == 3) {
                if ((*regs)[x.RmX]) {
                    info.Target = (*regs)[x.RmX];
                    info.TargetOperand = reinterpret_cast<uintptr_t>(&(*regs)[x.RmX]);
                    info.TargetSize = uint8_t(cell);
                }
            } else if (x.Mod == 0 && x.Index < 0 && x.Base >= 0 && !x.RipRel && x.AdSize != 2 &&
                       (x.Rm & 7) != 4 && (*regs)[x.Base]) {
                uintptr_t value = 0;
                const uintptr_t address2 = (*regs)[x.Base];
                if (source.ReadAll(address2, &value, size_t(cell))) {
                    info.Target = x.Wrap(value);
                    info.TargetPointer = address2;
                    info.TargetSize = uint8_t(cell);
                }
            }
        }
    }
    if ((info.Call || info.Jump) && info.Target == info.Next && (info.RelTarget || info.Target)) {
        info.Call = info.Jump = info.RelTarget = info.Enlargeable = info.Far = false;
        info.Target = info.TargetOperand = info.TargetPointer = 0;
        info.TargetSize = 0;
    }
}

}  // namespace

uintptr_t DecodeInstruction(TCpuMode mode, const TByteSource& source, uintptr_t address, TRegisterSet* regs,
                            bool resolveThroughRegs, TDisAsmInfo& info)
{
    TInsn x;
    DecodeInto(x, mode, source, address);
    FillInfo(x, source, regs, resolveThroughRegs, info);
    if (regs && info.Valid)
        TrackRegisters(x, *regs);
    return info.Next;
}

uintptr_t DecodeInstruction(uintptr_t address, TDisAsmInfo& info)
{
    return DecodeInstruction(address, info, nullptr);
}

uintptr_t DecodeInstruction(uintptr_t address, TDisAsmInfo& info, const TDATryRead* ranges)
{
    const TProcessMemory memory(ranges);
    return DecodeInstruction(NativeCpuMode, memory, address, nullptr, false, info);
}

// ============================================================================================
// Names and texts
// ============================================================================================

namespace {

TDisAsmNameHook NameHook = nullptr;
TDisAsmLineHook LineHook = nullptr;
std::mutex HookMutex;

TDisAsmNameHook CurrentNameHook()
{
    std::lock_guard<std::mutex> lock(HookMutex);
    return NameHook;
}

TDisAsmLineHook CurrentLineHook()
{
    std::lock_guard<std::mutex> lock(HookMutex);
    return LineHook;
}

// Base and size of the loaded image that holds Address; 0 when none.
uintptr_t ImageOf(uintptr_t address, size_t* size = nullptr)
{
    MEMORY_BASIC_INFORMATION mbi;
    if (VirtualQuery(reinterpret_cast<void*>(address), &mbi, sizeof(mbi)) != sizeof(mbi) ||
        mbi.State != MEM_COMMIT || mbi.Type != MEM_IMAGE)
        return 0;
    const auto base = reinterpret_cast<uintptr_t>(mbi.AllocationBase);
    IMAGE_DOS_HEADER dos;
    IMAGE_NT_HEADERS nt;
    if (!TryReadMemory(base, &dos, sizeof(dos)) || dos.e_magic != IMAGE_DOS_SIGNATURE ||
        !TryReadMemory(base + uintptr_t(dos.e_lfanew), &nt, sizeof(nt)) || nt.Signature != IMAGE_NT_SIGNATURE)
        return 0;
    if (size)
        *size = nt.OptionalHeader.SizeOfImage;
    return base;
}

bool ReadNtHeaders(uintptr_t base, IMAGE_NT_HEADERS& nt)
{
    IMAGE_DOS_HEADER dos;
    return TryReadMemory(base, &dos, sizeof(dos)) && dos.e_magic == IMAGE_DOS_SIGNATURE &&
           TryReadMemory(base + uintptr_t(dos.e_lfanew), &nt, sizeof(nt)) && nt.Signature == IMAGE_NT_SIGNATURE;
}

// The exported name of exactly Address in its module.
std::string ExportNameOf(uintptr_t base, uintptr_t address)
{
    IMAGE_NT_HEADERS nt;
    if (!ReadNtHeaders(base, nt) || nt.OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_EXPORT)
        return {};
    const IMAGE_DATA_DIRECTORY dir = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    IMAGE_EXPORT_DIRECTORY exp;
    if (!dir.VirtualAddress || !TryReadMemory(base + dir.VirtualAddress, &exp, sizeof(exp)))
        return {};
    const uintptr_t rva = address - base;
    for (DWORD i = 0; i < exp.NumberOfNames && i < 65536; ++i) {
        WORD ordinal;
        DWORD nameRva, funcRva;
        if (!TryReadMemory(base + exp.AddressOfNameOrdinals + i * 2, &ordinal, 2) ||
            !TryReadMemory(base + exp.AddressOfFunctions + ordinal * 4u, &funcRva, 4))
            return {};
        if (funcRva != rva)
            continue;
        if (!TryReadMemory(base + exp.AddressOfNames + i * 4, &nameRva, 4))
            return {};
        std::string name;
        char c;
        for (uintptr_t p = base + nameRva; name.size() < 256 && TryReadMemory(p, &c, 1) && c; ++p)
            name += c;
        return name;
    }
    return {};
}

std::string ModuleFileName(uintptr_t base)
{
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(reinterpret_cast<HMODULE>(base), path, MAX_PATH);
    std::string s(path, n < MAX_PATH ? n : 0);
    const size_t slash = s.find_last_of("\\/");
    return slash == std::string::npos ? s : s.substr(slash + 1);
}

// "name" or "name (module)" for an address in another module than From; the symbol data's
// name comes first, then the module's exports.
std::string NameOf(TCpuMode mode, uintptr_t address, uintptr_t from)
{
    if (!address)
        return {};
    std::string name;
    if (TDisAsmNameHook hook = CurrentNameHook())
        name = hook(address);
    uintptr_t base = ImageOf(address);
    if (!base)
        return name;
    if (name.empty())
        name = ExportNameOf(base, address);
    if (name.empty()) {
        // An import thunk: jmp [cell]
        const TProcessMemory memory;
        TDisAsmInfo thunk;
        DecodeInstruction(mode, memory, address, nullptr, false, thunk);
        if (thunk.Valid && thunk.Jump && thunk.Opcode == 0xFF && thunk.TargetPointer && thunk.Target) {
            base = ImageOf(thunk.Target);
            if (base)
                name = ExportNameOf(base, thunk.Target);
        }
    }
    if (name.empty())
        return {};
    if (base != ImageOf(from))
        name += " (" + ModuleFileName(base) + ")";
    return name;
}

// A readable text of more than 4 characters at Address inside an image.
std::string TextAt(uintptr_t address)
{
    size_t size = 0;
    const uintptr_t base = ImageOf(address, &size);
    if (!base || address + 100 >= base + size)
        return {};
    char buf[100];
    if (!TryReadMemory(address, buf, sizeof(buf)))
        return {};
    size_t n = 0, alnum = 0;
    while (n < sizeof(buf) && buf[n] && buf[n] != '\r' && buf[n] != '\n') {
        const unsigned char c = static_cast<unsigned char>(buf[n]);
        if (c < 0x20 || c > 0x7E)
            return {};
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
            ++alnum;
        ++n;
    }
    if (n <= 4 || n == sizeof(buf) || alnum * 2 <= n)
        return {};
    return std::string(buf, n);
}

const char* const Gen8Legacy[8] = {"al", "cl", "dl", "bl", "ah", "ch", "dh", "bh"};
const char* const Gen8[16] = {"al", "cl", "dl", "bl", "spl", "bpl", "sil", "dil",
                              "r8b", "r9b", "r10b", "r11b", "r12b", "r13b", "r14b", "r15b"};
const char* const Gen16[16] = {"ax", "cx", "dx", "bx", "sp", "bp", "si", "di",
                               "r8w", "r9w", "r10w", "r11w", "r12w", "r13w", "r14w", "r15w"};
const char* const Gen32[16] = {"eax", "ecx", "edx", "ebx", "esp", "ebp", "esi", "edi",
                               "r8d", "r9d", "r10d", "r11d", "r12d", "r13d", "r14d", "r15d"};
const char* const Gen64[16] = {"rax", "rcx", "rdx", "rbx", "rsp", "rbp", "rsi", "rdi",
                               "r8", "r9", "r10", "r11", "r12", "r13", "r14", "r15"};
const char* const SegNames[6] = {"es", "cs", "ss", "ds", "fs", "gs"};

std::string GenName(const TInsn& x, int r, int size)
{
    r &= 15;
    switch (size) {
    case 1: return x.Rex ? Gen8[r] : Gen8Legacy[r & 7];
    case 2: return Gen16[r];
    case 8: return Gen64[r];
    default: return Gen32[r];
    }
}

uint8_t SizeCode(int bytes)
{
    switch (bytes) {
    case 1: return zByte;
    case 2: return zWord;
    case 4: return zDword;
    case 8: return zQword;
    default: return zNone;
    }
}

std::string MemoryText(const TInsn& x, uint8_t size)
{
    std::string s;
    if (size && size != zAuto)
        s = std::string(SizeWords[size]) + " ptr ";
    if (x.Seg)
        s += std::string(SegNames[x.Seg - 1]) + ":";
    s += "[";
    uintptr_t absolute;
    if (AbsoluteAddress(x, absolute)) {
        s += Hex(absolute, AddressDigits(x.Mode));
    } else {
        const int adSize = x.AdSize;
        bool any = false;
        if (x.Base >= 0) {
            s += GenName(x, x.Base, adSize);
            any = true;
        }
        if (x.Index >= 0) {
            if (any)
                s += "+";
            s += GenName(x, x.Index, adSize);
            if (x.Scale > 1)
                s += "*" + std::to_string(x.Scale);
            any = true;
        }
        if (x.Disp > 0)
            s += "+" + Hex(uint64_t(x.Disp));
        else if (x.Disp < 0)
            s += "-" + Hex(uint64_t(-x.Disp));
    }
    return s + "]";
}

bool XmmForm(const TInsn& x) { return x.OpSizePrefix || x.Rep; }

// Size word of an SSE memory operand.
uint8_t SseSize(const TInsn& x, bool xmm)
{
    if (x.MemSize != zAuto)
        return x.MemSize;
    if (!xmm)
        return zQword;
    return x.Rep == 0xF3 ? zDword : x.Rep == 0xF2 ? zQword : zOword;
}

std::string OperandText(const TInsn& x, uint8_t kind, int& immIndex)
{
    const int ptr = x.PtrSize();
    auto rmGen = [&](int size, uint8_t memSize) {
        return x.Mod == 3 ? GenName(x, x.RmX, size) : MemoryText(x, memSize);
    };
    const uint8_t eSize = x.MemSize != zAuto ? x.MemSize : SizeCode(x.OpSize);
    const int ySize = (x.Rex & 8) ? 8 : 4;
    const bool mx = (x.Entry.Desc & dMx) ? x.OpSizePrefix : XmmForm(x);
    const std::string vecY = x.VexL ? "ymm" : "xmm";
    switch (kind) {
    case oE: return rmGen(x.OpSize, eSize);
    case oEb: return rmGen(1, zByte);
    case oEw: return rmGen(2, zWord);
    case oEd: return rmGen(4, zDword);
    case oEy: return rmGen(ySize, SizeCode(ySize));
    case oR: return GenName(x, x.RmX, ptr);
    case oG: return GenName(x, x.RegX, x.OpSize);
    case oGy: case oGd: return GenName(x, x.RegX, ySize);
    case oM: return MemoryText(x, x.MemSize == zAuto ? uint8_t(zNone) : x.MemSize);
    case oMp: return MemoryText(x, zNone);
    case oS: return x.RegF < 6 ? SegNames[x.RegF] : "?";
    case oC: return "cr" + std::to_string(x.RegX);
    case oD: return "dr" + std::to_string(x.RegX);
    case oI: {
        if (!x.ImmSize)
            return "0";
        uint64_t v = x.Imm;
        if (x.ImmSize < 8 && ((v >> (8 * x.ImmSize - 1)) & 1))
            v |= ~uint64_t(0) << (8 * x.ImmSize);
        if (x.OpSize < 8)
            v &= (uint64_t(1) << (8 * x.OpSize)) - 1;
        return Hex(v);
    }
    case oIu: return Hex(immIndex++ == 0 ? x.Imm : x.Imm2);
    case oJ: {
        uintptr_t target = x.Wrap(x.Next() + uintptr_t(x.Imm));
        if (x.Mode == TCpuMode::X86 && x.OpSize == 2 && x.ImmSize == 2)
            target &= 0xFFFF;
        return Hex(target, AddressDigits(x.Mode));
    }
    case oAcc: return GenName(x, 0, x.OpSize);
    case oZ: return GenName(x, (x.Opcode & 7) | ((x.Rex & 1) ? 8 : 0), x.OpSize);
    case oOne: return "1";
    case oCL: return "cl";
    case oDX: return "dx";
    case oSegOp: return SegNames[(x.Opcode >> 3) & 3];
    case oFS: return "fs";
    case oGS: return "gs";
    case oO: {
        uint64_t address = uint64_t(x.Disp);
        if (x.AdSize < 8)
            address &= (uint64_t(1) << (8 * x.AdSize)) - 1;
        return std::string(SizeWords[SizeCode(x.OpSize)]) + " ptr " +
               (x.Seg ? std::string(SegNames[x.Seg - 1]) + ":" : std::string()) + "[" +
               Hex(address, AddressDigits(x.Mode)) + "]";
    }
    case oA: return Hex(x.Imm2, 4) + ":" + Hex(x.Imm, x.ImmSize * 2);
    case oP: return "mm" + std::to_string(x.RegF);
    case oQ: return x.Mod == 3 ? "mm" + std::to_string(x.Rm) : MemoryText(x, SseSize(x, false));
    case oV: return "xmm" + std::to_string(x.RegX);
    case oW: return x.Mod == 3 ? "xmm" + std::to_string(x.RmX) : MemoryText(x, SseSize(x, true));
    case oPx: return mx ? "xmm" + std::to_string(x.RegX) : "mm" + std::to_string(x.RegF);
    case oQx:
        if (x.Mod != 3)
            return MemoryText(x, SseSize(x, mx));
        return mx ? "xmm" + std::to_string(x.RmX) : "mm" + std::to_string(x.Rm);
    case oN: return "mm" + std::to_string(x.Rm);
    case oU: return "xmm" + std::to_string(x.RmX);
    case oNx: return mx ? "xmm" + std::to_string(x.RmX) : "mm" + std::to_string(x.Rm);
    case oVy: return vecY + std::to_string(x.RegX);
    case oHy: return vecY + std::to_string(x.VexV);
    case oWy: return x.Mod == 3 ? vecY + std::to_string(x.RmX) : MemoryText(x, x.MemSize);
    default: return {};
    }
}

std::string ComposeText(const TInsn& x, const TDisAsmInfo& info, bool names)
{
    const int digits = AddressDigits(x.Mode);
    if (x.Invalid) {
        std::string s;
        const size_t n = std::max<size_t>(x.Pos, 1);
        for (size_t i = 0; i < n; ++i) {
            if (i)
                s += "\r\n";
            s += Hex(x.Wrap(x.Address + i), digits) + "   db ";
            s += i < x.Avail ? "$" + Hex(x.Bytes[i], 2) : "??";
        }
        return s;
    }
    std::string s = Hex(x.Address, digits) + "   ";
    if (x.Lock)
        s += "lock ";
    if (x.Opcode < 0x100 && x.Opcode != 0x90 && !x.Vex && x.Entry.Desc != dX87) {
        if (x.Rep == 0xF2)
            s += "repne ";
        else if (x.Rep == 0xF3)
            s += "rep ";
    }
    std::vector<std::string> ops;
    // An x87 form with a fixed operand ("fnstsw ax")
    const size_t blank = x.Mnemonic.find(' ');
    s += x.Mnemonic.substr(0, blank);
    if (blank != std::string::npos)
        ops.push_back(x.Mnemonic.substr(blank + 1));
    int immIndex = 0;
    for (uint8_t kind : x.Ops)
        if (kind != oNone)
            ops.push_back(OperandText(x, kind, immIndex));
    if (x.Entry.Desc == dX87 && x.Mod == 3) {
        const std::string sti = "st(" + std::to_string(x.Rm) + ")";
        if (x.X87Form == xStSti)
            ops = {"st", sti};
        else if (x.X87Form == xStiSt)
            ops = {sti, "st"};
        else if (x.X87Form == xSti)
            ops = {sti};
    }
    // The mnemonic field is padded alike with or without operands, so the listing's columns line up.
    const size_t width = size_t(digits) + 11;
    if (s.size() < width)
        s.append(width - s.size(), ' ');
    if (s.back() != ' ')
        s += ' ';
    for (size_t i = 0; i < ops.size(); ++i)
        s += (i ? ", " : "") + ops[i];
    if (names) {
        uintptr_t address = 0;
        std::string comment;
        if ((info.Call || info.Jump) && info.Target) {
            comment = NameOf(x.Mode, info.Target, x.Address);
        } else if (AbsoluteAddress(x, address) && x.Opcode != 0xFF) {
            comment = NameOf(x.Mode, address, x.Address);
            if (comment.empty()) {
                const std::string text = TextAt(address);
                if (!text.empty()) {
                    if (s.size() < 40)
                        s.append(40 - s.size(), ' ');
                    return s + "  ; '" + text;
                }
            }
        }
        if (!comment.empty()) {
            if (s.size() < 40)
                s.append(40 - s.size(), ' ');
            s += "  ; " + comment;
        }
    }
    return s;
}

}  // namespace

std::string InstructionText(TCpuMode mode, const TByteSource& source, uintptr_t address, TDisAsmInfo& info,
                            unsigned options)
{
    TInsn x;
    DecodeInto(x, mode, source, address);
    FillInfo(x, source, nullptr, false, info);
    if (!info.Valid)
        x.Invalid = true;
    const bool names = !(options & itNoNames) && dynamic_cast<const TProcessMemory*>(&source) != nullptr;
    return ComposeText(x, info, names);
}

std::string InstructionText(uintptr_t address, TDisAsmInfo& info, unsigned options)
{
    const TProcessMemory memory;
    return InstructionText(NativeCpuMode, memory, address, info, options);
}

void SetDisAsmNameHook(TDisAsmNameHook hook)
{
    std::lock_guard<std::mutex> lock(HookMutex);
    NameHook = hook;
}

void SetDisAsmLineHook(TDisAsmLineHook hook)
{
    std::lock_guard<std::mutex> lock(HookMutex);
    LineHook = hook;
}

// ============================================================================================
// Function analysis
// ============================================================================================

namespace {

std::string SystemMessage(DWORD code)
{
    char* buffer = nullptr;
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
    std::string s;
    if (buffer) {
        for (DWORD i = 0; i < n; ++i)
            if (buffer[i] == '\r')
                s += ' ';
            else if (buffer[i] != '\n')
                s += buffer[i];
        LocalFree(buffer);
    }
    if (s.empty())
        s = "Error " + std::to_string(code);
    return s;
}

struct TPending {
    uintptr_t Start;
    uintptr_t From;
    TRegisterSet Regs;
};

class TWalker {
public:
    TWalker(const TCodeSpace& space, TFunctionInfo& info) : space_(space), info_(info) {}

    void Run(uintptr_t entry)
    {
        if (space_.FunctionBegin && space_.FunctionEnd > space_.FunctionBegin)
            Linear();
        else
            Follow(entry);
    }

private:
    const TCodeSpace& space_;
    TFunctionInfo& info_;
    std::vector<TPending> pending_;
    size_t decoded_ = 0;
    bool failed_ = false;

    bool InRange(uintptr_t a) const { return a >= space_.Begin && a < space_.End; }

    bool Budget(uintptr_t at)
    {
        if (++decoded_ <= MaxAnalysedInstructions)
            return true;
        Fail(at, ErrorCodeLimit, "Code limit reached!");
        return false;
    }

    void Fail(uintptr_t at, uint32_t number, const char* text)
    {
        if (failed_)
            return;
        failed_ = true;
        info_.ErrorAddress = at;
        info_.ErrorNumber = number;
        info_.ErrorText = text;
    }

    // The area holding A, or nullptr.
    TCodeArea* AreaAt(uintptr_t a)
    {
        for (auto& area : info_.Areas)
            if (a >= area.Begin && a <= area.End)
                return &area;
        return nullptr;
    }

    void AddArea(const TCodeArea& area)
    {
        auto it = std::lower_bound(info_.Areas.begin(), info_.Areas.end(), area.Begin,
                                   [](const TCodeArea& a, uintptr_t b) { return a.Begin < b; });
        info_.Areas.insert(it, area);
    }

    static void Merge(TRegisterSet& into, const TRegisterSet& other)
    {
        for (size_t i = 0; i < into.size(); ++i)
            if (into[i] != other[i])
                into[i] = 0;
    }

    void Open(uintptr_t target, uintptr_t from, const TRegisterSet& regs)
    {
        if (InRange(target))
            pending_.push_back({target, from, regs});
    }

    void RecordBranch(const TDisAsmInfo& d)
    {
        if (d.Call)
            info_.Calls.push_back({d.Far, d.This, d.Next, d.Target});
        if (d.Far)
            info_.FarJumps.push_back({d.Call, d.This, d.Next});
    }

    // Register values at S along the path through Area.
    TRegisterSet RegsAt(const TCodeArea& area, uintptr_t s)
    {
        TRegisterSet regs = area.Regs;
        TDisAsmInfo d;
        for (uintptr_t p = area.Begin; p < s;)
            p = DecodeInstruction(space_.Mode, *space_.Source, p, &regs, false, d);
        return regs;
    }

    void Follow(uintptr_t entry)
    {
        pending_.push_back({entry, 0, TRegisterSet{}});
        while (!pending_.empty() && !failed_) {
            TPending next = pending_.back();
            pending_.pop_back();
            if (TCodeArea* area = AreaAt(next.Start)) {
                if (area->CaseTable || area->ExceptionBlock)
                    continue;
                if (area->Begin == next.Start) {
                    Merge(area->Regs, next.Regs);
                    continue;
                }
                // Split: the new area takes the rest of the old one.
                TCodeArea tail = *area;
                tail.Begin = next.Start;
                tail.ReachedFrom = next.From;
                tail.Regs = RegsAt(*area, next.Start);
                Merge(tail.Regs, next.Regs);
                area->End = next.Start - 1;
                AddArea(tail);
                continue;
            }
            WalkArea(next);
        }
    }

    void WalkArea(const TPending& start)
    {
        TCodeArea area{start.Start, start.Start, false, false, start.From, start.Regs};
        TRegisterSet regs = start.Regs;
        // Case-table recognition state
        int cmpReg = -1;
        uint64_t cmpImm = 0;
        int caseCount = -1;
        uintptr_t handlerPush = 0;
        uintptr_t p = start.Start;
        bool end = false;
        std::vector<TPending> opened;
        while (!end) {
            if (p != start.Start) {
                if (TCodeArea* other = AreaAt(p)) {
                    if (other->Begin == p)
                        Merge(other->Regs, regs);
                    break;
                }
                if (!InRange(p))
                    break;
            }
            if (!Budget(p))
                return;
            TDisAsmInfo d;
            TInsn x;
            DecodeInto(x, space_.Mode, *space_.Source, p);
            FillInfo(x, *space_.Source, &regs, true, d);
            if (!d.Valid) {
                area.End = p;
                Fail(p, ErrorInvalidCode, "Invalid code!");
                AddArea(area);
                return;
            }
            TrackRegisters(x, regs);
            area.End = d.Next - 1;
            RecordBranch(d);
            const uint16_t op = d.Opcode;
            const bool x86 = space_.Mode == TCpuMode::X86;

            // cmp reg, imm8 / ja / jmp [reg*4+table]
            if (op == 0x83 && x.Mod == 3 && x.RegF == 7) {
                cmpReg = x.RmX;
                cmpImm = x.Imm & 0xFF;
                caseCount = -1;
            } else if (cmpReg >= 0 && (op == 0x77 || op == 0x7F || op == 0x0F87 || op == 0x0F8F)) {
                caseCount = int(cmpImm) + 1;
            } else if (cmpReg >= 0 && (op == 0x73 || op == 0x7D || op == 0x0F83 || op == 0x0F8D)) {
                caseCount = int(cmpImm);
            } else if (!(op == 0xFF && x.RegF == 4)) {
                if (!IsCondJump(op))
                    cmpReg = -1, caseCount = -1;
            }
            if (x86 && op == 0xFF && x.RegF == 4 && caseCount > 0 && x.Mod == 0 && x.Rm == 4 && x.Base < 0 &&
                x.Index == cmpReg && x.Scale == 4 && uintptr_t(uint32_t(x.Disp)) == d.Next) {
                CaseTable(d.Next, size_t(caseCount), p, regs);
                area.End = d.Next - 1;
                break;
            }
            // push handler / push dword fs:[...]: an exception frame
            if (x86 && op == 0x68)
                handlerPush = uintptr_t(uint32_t(x.Imm));
            else if (x86 && handlerPush && op == 0xFF && x.RegF == 6 && x.Seg == 5 && x.Mod == 0) {
                opened.push_back({handlerPush, p, TRegisterSet{}});
                handlerPush = 0;
            } else
                handlerPush = 0;

            if (d.Return) {
                end = true;
            } else if (d.Jump) {
                if (d.Target && !d.Far)
                    opened.push_back({d.Target, p, regs});
                if (!IsCondJump(op))
                    end = true;
            } else if (op == 0x0F0B) {
                end = true;   // ud2
            }
            p = d.Next;
        }
        AddArea(area);
        for (const auto& o : opened)
            Open(o.Start, o.From, o.Regs);
    }

    void CaseTable(uintptr_t table, size_t count, uintptr_t from, const TRegisterSet& regs)
    {
        size_t n = 0;
        std::vector<uintptr_t> targets;
        for (; n < count; ++n) {
            uint32_t entry;
            if (!space_.Source->ReadAll(table + n * 4, &entry, 4) || !InRange(entry))
                break;
            targets.push_back(entry);
        }
        if (n == 0)
            return;
        AddArea({table, table + n * 4 - 1, true, false, from, TRegisterSet{}});
        for (uintptr_t t : targets)
            Open(t, from, regs);
    }

    // Inside bounds from an unwind table: every byte is code.
    void Linear()
    {
        std::vector<uintptr_t> starts{space_.FunctionBegin};
        std::vector<std::pair<uintptr_t, uintptr_t>> from;   // start, reached from
        uintptr_t p = space_.FunctionBegin;
        bool afterEnd = false;
        while (p < space_.FunctionEnd) {
            if (!Budget(p))
                return;
            if (afterEnd)
                starts.push_back(p);
            TDisAsmInfo d;
            DecodeInstruction(space_.Mode, *space_.Source, p, nullptr, false, d);
            if (!d.Valid) {
                Fail(p, ErrorInvalidCode, "Invalid code!");
                break;
            }
            RecordBranch(d);
            if (d.Jump && d.Target >= space_.FunctionBegin && d.Target < space_.FunctionEnd) {
                starts.push_back(d.Target);
                from.emplace_back(d.Target, p);
            }
            afterEnd = d.Return || (d.Jump && !IsCondJump(d.Opcode));
            p = d.Next;
        }
        const uintptr_t end = p;   // just past the last decoded instruction
        std::sort(starts.begin(), starts.end());
        starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
        for (size_t i = 0; i < starts.size(); ++i) {
            const uintptr_t b = starts[i];
            const uintptr_t e = i + 1 < starts.size() ? starts[i + 1] : end;
            if (e <= b)
                continue;
            uintptr_t reached = 0;
            for (const auto& f : from)
                if (f.first == b) {
                    reached = f.second;
                    break;
                }
            info_.Areas.push_back({b, e - 1, false, false, reached, TRegisterSet{}});
        }
    }

public:
    bool Failed() const { return failed_; }
};

void Finish(const TCodeSpace& space, uintptr_t entry, TFunctionInfo& info, bool failed)
{
    info.Valid = !failed && !info.Areas.empty();
    if (!info.Valid)
        return;
    info.CodeBegin = info.Areas.front().Begin;
    uintptr_t last = 0;
    for (const auto& a : info.Areas)
        last = std::max(last, a.End);
    info.CodeLength = intptr_t(last - info.CodeBegin + 1);

    // Interceptable: at least 6 bytes of gap-free plain code from the entry point ...
    size_t plain = 0;
    uintptr_t expect = entry;
    for (const auto& a : info.Areas) {
        if (a.End < entry)
            continue;
        if (a.Begin != expect || a.CaseTable || a.ExceptionBlock || (a.Begin != entry && a.ReachedFrom))
            break;
        plain += a.End - a.Begin + 1;
        expect = a.End + 1;
    }
    info.Start.PlainBytes = plain;
    info.Interceptable = plain >= 6;
    // ... and no branch within them that could not be moved.
    TDisAsmInfo d;
    for (uintptr_t p = entry; p < entry + 6 && info.Interceptable;) {
        p = DecodeInstruction(space.Mode, *space.Source, p, nullptr, false, d);
        if (!d.Valid) {
            info.Interceptable = false;
            break;
        }
        if (d.Call || d.Jump) {
            if (!info.Start.FirstBranch)
                info.Start.FirstBranch = d.This;
            if (!d.TargetOperand && !d.TargetPointer)
                info.Interceptable = false;
            else if (!d.Enlargeable && d.TargetSize < 4)
                info.Interceptable = false;
        }
    }
}

// Allowed code range of the image holding Address, or its memory region.
void CodeRangeOf(const MEMORY_BASIC_INFORMATION& mbi, uintptr_t& begin, uintptr_t& end)
{
    begin = reinterpret_cast<uintptr_t>(mbi.BaseAddress);
    end = begin + mbi.RegionSize;
    if (mbi.Type != MEM_IMAGE)
        return;
    const auto base = reinterpret_cast<uintptr_t>(mbi.AllocationBase);
    IMAGE_DOS_HEADER dos;
    IMAGE_NT_HEADERS nt;
    if (!TryReadMemory(base, &dos, sizeof(dos)) || dos.e_magic != IMAGE_DOS_SIGNATURE ||
        !TryReadMemory(base + uintptr_t(dos.e_lfanew), &nt, sizeof(nt)) || nt.Signature != IMAGE_NT_SIGNATURE)
        return;
    const uintptr_t sections = base + uintptr_t(dos.e_lfanew) + offsetof(IMAGE_NT_HEADERS, OptionalHeader) +
                               nt.FileHeader.SizeOfOptionalHeader;
    IMAGE_SECTION_HEADER first;
    uintptr_t b, e;
    if (nt.FileHeader.NumberOfSections && TryReadMemory(sections, &first, sizeof(first)) &&
        (first.Characteristics & IMAGE_SCN_CNT_CODE)) {
        b = base + first.VirtualAddress;
        e = b + std::max<DWORD>(first.Misc.VirtualSize, first.SizeOfRawData);
    } else {
        b = base + nt.OptionalHeader.BaseOfCode;
        e = b + nt.OptionalHeader.SizeOfCode;
    }
#ifndef _WIN64
    const uintptr_t db = base + nt.OptionalHeader.BaseOfData;
    const uintptr_t de = db + nt.OptionalHeader.SizeOfInitializedData + nt.OptionalHeader.SizeOfUninitializedData;
    if (nt.OptionalHeader.BaseOfData) {
        b = std::min(b, db);
        e = std::max(e, de);
    }
#endif
    if (e > b) {
        begin = b;
        end = e;
    }
}

}  // namespace

bool WalkFunctionCode(const TCodeSpace& space, uintptr_t address, TFunctionInfo& info)
{
    info = TFunctionInfo{};
    info.EntryPoint = address;
    if (!space.Source)
        return false;
    TWalker walker(space, info);
    walker.Run(space.FunctionBegin && space.FunctionEnd > space.FunctionBegin ? space.FunctionBegin : address);
    const uintptr_t entry = space.FunctionBegin ? space.FunctionBegin : address;
    if (space.FunctionBegin)
        info.EntryPoint = entry;
    Finish(space, entry, info, walker.Failed());
    return info.Valid;
}

bool WalkFunctionCode(uintptr_t address, unsigned option, TFunctionInfo& info)
{
    (void)option;
    info = TFunctionInfo{};
    info.EntryPoint = address;
    MEMORY_BASIC_INFORMATION mbi;
    if (VirtualQuery(reinterpret_cast<void*>(address), &mbi, sizeof(mbi)) != sizeof(mbi) ||
        mbi.State != MEM_COMMIT) {
        info.ErrorAddress = address;
        info.ErrorNumber = ERROR_INVALID_PARAMETER;
        info.ErrorText = SystemMessage(ERROR_INVALID_PARAMETER);
        return false;
    }
    const TProcessMemory memory;
    TCodeSpace space;
    space.Mode = NativeCpuMode;
    space.Source = &memory;
    CodeRangeOf(mbi, space.Begin, space.End);
#ifdef _WIN64
    DWORD64 imageBase = 0;
    if (PRUNTIME_FUNCTION f = RtlLookupFunctionEntry(address, &imageBase, nullptr)) {
        space.FunctionBegin = uintptr_t(imageBase + f->BeginAddress);
        space.FunctionEnd = uintptr_t(imageBase + f->EndAddress);
    }
#endif
    return WalkFunctionCode(space, address, info);
}

bool AnalyseFunction(uintptr_t address, TFunctionInfo& info)
{
    return WalkFunctionCode(address, 0, info);
}

// ============================================================================================
// Disassembly listing
// ============================================================================================

namespace {

int DecimalDigits(int value)
{
    int n = 1;
    while (value >= 10) {
        value /= 10;
        ++n;
    }
    return n;
}

int LineOf(TDisAsmLineHook hook, uintptr_t address)
{
    int line = 0;
    uintptr_t b = 0, e = 0;
    hook(address, line, b, e);
    return line > 0 ? line : 0;
}

std::string ComposeListing(const TCodeSpace& space, uintptr_t exceptionAddress, const TFunctionInfo& info,
                           int limit)
{
    const int digits = AddressDigits(space.Mode);
    const bool names = dynamic_cast<const TProcessMemory*>(space.Source) != nullptr;
    std::string label;
    if (names)
        label = NameOf(space.Mode, info.EntryPoint, info.EntryPoint);
    label = label.empty() ? "sub_" + Hex(info.EntryPoint) : "public " + label;

    const TDisAsmLineHook hook = names ? CurrentLineHook() : nullptr;
    int width = 0;
    if (hook) {
        int last = LineOf(hook, info.CodeBegin + uintptr_t(info.CodeLength) - 1);
        if (!last)
            last = LineOf(hook, exceptionAddress) * 10;
        width = last ? DecimalDigits(last) : 0;
    }
    int currentLine = -1;
    auto lineColumn = [&](uintptr_t address, bool instruction) {
        if (!width)
            return std::string();
        const int line = instruction ? LineOf(hook, address) : 0;
        if (instruction && line && line != currentLine) {
            currentLine = line;
            std::string s = std::to_string(line);
            return std::string(size_t(std::max(0, width - int(s.size()))), '0') + s + " ";
        }
        return std::string(size_t(width) + 1, ' ');
    };
    std::vector<std::string> lines;
    size_t exceptionLine = SIZE_MAX;
    auto other = [&](uintptr_t address, const std::string& text) {
        std::string s = Hex(address, digits) + " ";
        s += lineColumn(address, false);
        lines.push_back(s + text);
    };
    for (size_t i = 0; i < info.Areas.size(); ++i) {
        const TCodeArea& a = info.Areas[i];
        if (i) {
            if (a.Begin > info.Areas[i - 1].End + 1)
                lines.push_back("[...]");
            other(a.Begin, "; ---------------------------------------------------------");
        }
        if (a.CaseTable) {
            for (uintptr_t p = a.Begin; p + 3 <= a.End; p += 4) {
                uint32_t target = 0;
                space.Source->ReadAll(p, &target, 4);
                other(p, "  dd loc_" + Hex(target) + (p == a.Begin ? "  ; case jump table" : ""));
            }
            continue;
        }
        if (a.Begin == info.EntryPoint)
            other(a.Begin, label + ":  ; function entry point");
        else
            other(a.Begin, "loc_" + Hex(a.Begin) + ":");
        for (uintptr_t p = a.Begin; p <= a.End;) {
            TDisAsmInfo d;
            std::string text = InstructionText(space.Mode, *space.Source, p, d, names ? 0u : unsigned(itNoNames));
            const std::string column = lineColumn(p, true);
            // Several lines for bytes that are no instruction: each gets the column.
            size_t at = 0;
            bool first = true;
            while (at <= text.size()) {
                const size_t eol = text.find("\r\n", at);
                std::string one = text.substr(at, eol == std::string::npos ? std::string::npos : eol - at);
                if (one.size() > size_t(digits))
                    one.insert(size_t(digits) + 1, first ? column : std::string(column.size(), ' '));
                if (first && exceptionAddress == p && one.size() > size_t(digits)) {
                    one[size_t(digits)] = '>';
                    exceptionLine = lines.size();
                }
                lines.push_back(one);
                first = false;
                if (eol == std::string::npos)
                    break;
                at = eol + 2;
            }
            if (!d.Valid || d.Next <= p)
                break;
            p = d.Next;
        }
    }
    // The window follows the exception's instruction; without one in the listing (an address
    // inside an instruction, or none) nothing is dropped.
    if (limit > 0 && exceptionLine != SIZE_MAX) {
        const size_t keep = size_t(limit);
        const size_t from = exceptionLine > keep ? exceptionLine - keep : 0;
        const size_t to = std::min(lines.size(), exceptionLine + 1 + keep);
        std::vector<std::string> window;
        if (from > 0)
            window.push_back("[...]");
        window.insert(window.end(), lines.begin() + std::ptrdiff_t(from), lines.begin() + std::ptrdiff_t(to));
        if (to < lines.size())
            window.push_back("[...]");
        lines.swap(window);
    }
    std::string text;
    for (size_t i = 0; i < lines.size(); ++i)
        text += (i ? "\r\n" : "") + lines[i];
    return text;
}

}  // namespace

void ParseFunction(const TCodeSpace& space, uintptr_t functionAddress, std::string& text,
                   uintptr_t exceptionAddress, TFunctionInfo& info, int limit)
{
    text.clear();
    try {
        if (!WalkFunctionCode(space, functionAddress, info))
            return;
        text = ComposeListing(space, exceptionAddress, info, limit);
    } catch (...) {
        text = "Internal error in ParseFunction while composing the disassembling string...  :-(";
    }
}

void ParseFunction(uintptr_t functionAddress, std::string& text, uintptr_t exceptionAddress, TFunctionInfo& info,
                   int limit)
{
    text.clear();
    try {
        if (!AnalyseFunction(functionAddress, info))
            return;
        const TProcessMemory memory;
        TCodeSpace space;
        space.Mode = NativeCpuMode;
        space.Source = &memory;
        text = ComposeListing(space, exceptionAddress, info, limit);
    } catch (...) {
        text = "Internal error in ParseFunction while composing the disassembling string...  :-(";
    }
}

// ============================================================================================
// Windows 9x identifier obfuscator
// ============================================================================================

namespace {

struct TObfuscator {
    uint32_t Value = 0;
    bool Obfuscated = false;
};

TObfuscator ComputeObfuscator()
{
    TObfuscator o;
#ifndef _WIN64
    // Only the 9x line obfuscates identifiers; its version word has the top bit set.
    if (!(GetVersion() & 0x80000000u))
        return o;
    // The thread block's self pointer (NtCurrentTeb through the header trips a bounds warning).
    uint32_t tebSelf;
    __asm__("movl %%fs:0x18, %0" : "=r"(tebSelf));
    const uintptr_t teb = tebSelf;
    const uint32_t tid = GetCurrentThreadId(), pid = GetCurrentProcessId();
    uint32_t self = 0, pdb = 0, probe = 0;
    if (!TryReadMemory(teb + 0x18, &self, 4))
        return o;
    uint32_t candidate = (self - 16) ^ tid;
    if (TryReadMemory(uintptr_t((tid ^ candidate) + 8), &probe, 4) && probe == (pid ^ candidate)) {
        o.Value = candidate;
        o.Obfuscated = true;
        return o;
    }
    if (TryReadMemory(teb + 0x30, &pdb, 4)) {
        candidate = pdb ^ pid;
        if (TryReadMemory(uintptr_t((tid ^ candidate) + 0x38), &probe, 4) && probe == (pid ^ candidate)) {
            o.Value = candidate;
            o.Obfuscated = true;
        }
    }
#endif
    return o;
}

const TObfuscator& Obfuscator()
{
    static const TObfuscator o = ComputeObfuscator();
    return o;
}

}  // namespace

uint32_t ObfuscatorValue() { return Obfuscator().Value; }
bool IdentifiersObfuscated() { return Obfuscator().Obfuscated; }
