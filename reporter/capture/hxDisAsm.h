#pragma once

// Instruction decoder (32-bit and 64-bit x86), safe memory reads, function analysis and the
// disassembly listing of a function.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class TCpuMode { X86, X64 };

#ifdef _WIN64
constexpr TCpuMode NativeCpuMode = TCpuMode::X64;
#else
constexpr TCpuMode NativeCpuMode = TCpuMode::X86;
#endif

// Digits of an address in texts.
constexpr int AddressDigits(TCpuMode mode) { return mode == TCpuMode::X64 ? 16 : 8; }

// ---------------------------------------------------------------------------------------------
// Safe memory reads

// One stretch of the address space; End is the first address after it.
struct TReadableRange {
    uintptr_t Start;
    uintptr_t End;
    bool Readable;
};
using TDATryRead = std::vector<TReadableRange>;

// Walks the user address space once; neighbours of equal readability are merged.
TDATryRead BuildReadableRanges();

// Copies Length bytes; false (never a fault) when any of them is unreadable. With a range list the
// range holding the address must be readable first. Thread-safe.
bool TryReadMemory(const void* address, void* buffer, size_t length, const TDATryRead* ranges = nullptr);
inline bool TryReadMemory(uintptr_t address, void* buffer, size_t length, const TDATryRead* ranges = nullptr)
{
    return TryReadMemory(reinterpret_cast<const void*>(address), buffer, length, ranges);
}

// Where the decoder takes instruction bytes and memory cells from.
class TByteSource {
public:
    virtual ~TByteSource() = default;
    // Copies up to Length bytes from Address; returns how many leading bytes could be read.
    virtual size_t Read(uintptr_t address, void* buffer, size_t length) const = 0;
    bool ReadAll(uintptr_t address, void* buffer, size_t length) const
    {
        return Read(address, buffer, length) == length;
    }
};

// The own process's memory through the safe read.
class TProcessMemory : public TByteSource {
public:
    explicit TProcessMemory(const TDATryRead* ranges = nullptr) : ranges_(ranges) {}
    size_t Read(uintptr_t address, void* buffer, size_t length) const override;

private:
    const TDATryRead* ranges_;
};

// A byte buffer that pretends to lie at Base.
class TBufferSource : public TByteSource {
public:
    TBufferSource(const void* data, size_t size, uintptr_t base)
        : data_(static_cast<const uint8_t*>(data)), size_(size), base_(base)
    {
    }
    size_t Read(uintptr_t address, void* buffer, size_t length) const override;
    uintptr_t Base() const { return base_; }
    size_t Size() const { return size_; }

private:
    const uint8_t* data_;
    size_t size_;
    uintptr_t base_;
};

// ---------------------------------------------------------------------------------------------
// Instruction decoder

// Known register values in eax..edi (rax..r15) order; 0 = unknown. 32-bit mode uses the first 8.
using TRegisterSet = std::array<uintptr_t, 16>;

constexpr size_t MaxInstructionLength = 15;

struct TDisAsmInfo {
    bool Valid;
    uint16_t Opcode;            // first opcode byte, or 0x0F00 + second byte
    bool Call;
    bool Jump;                  // conditional and loop jumps count
    bool RelTarget;             // target given as a displacement
    uintptr_t Target;
    uintptr_t TargetOperand;    // address of the displacement, or of the register value
    uintptr_t TargetPointer;    // address of the memory cell holding the target
    uint8_t TargetSize;         // 1, 2 or 4 for displacements, pointer size for cells
    bool Enlargeable;           // relative branch other than E0-E3
    bool Far;                   // far call or jump
    bool Return;                // near or far return, iret
    uintptr_t This;
    uintptr_t Next;
};

// Decodes one instruction at Address; returns the address of the next one. Never faults: bytes
// that cannot be fetched make the instruction invalid. Regs (optional) is updated; with
// ResolveThroughRegs register-indirect branch targets are taken from it.
uintptr_t DecodeInstruction(TCpuMode mode, const TByteSource& source, uintptr_t address,
                            TRegisterSet* regs, bool resolveThroughRegs, TDisAsmInfo& info);
// The own process's code in the native mode.
uintptr_t DecodeInstruction(uintptr_t address, TDisAsmInfo& info);
uintptr_t DecodeInstruction(uintptr_t address, TDisAsmInfo& info, const TDATryRead* ranges);

// Text options.
enum : unsigned {
    itNoNames = 1,   // no "  ; name" comments
};

// One instruction's listing text (several "db" lines for bytes that are no instruction).
std::string InstructionText(TCpuMode mode, const TByteSource& source, uintptr_t address, TDisAsmInfo& info,
                            unsigned options = 0);
std::string InstructionText(uintptr_t address, TDisAsmInfo& info, unsigned options = 0);

// Name lookups plugged in by the debug-symbol reader. The name hook answers the public name at
// exactly Address (empty when none); the line hook answers the source line of Address and the
// address range that line covers (Line 0 = none).
using TDisAsmNameHook = std::string (*)(uintptr_t address);
using TDisAsmLineHook = void (*)(uintptr_t address, int& line, uintptr_t& rangeStart, uintptr_t& rangeEnd);
void SetDisAsmNameHook(TDisAsmNameHook hook);
void SetDisAsmLineHook(TDisAsmLineHook hook);

// ---------------------------------------------------------------------------------------------
// Function analysis

constexpr uint32_t ErrorInvalidCode = 0x770001;
constexpr uint32_t ErrorCodeLimit = 0x770002;
// Most instructions one analysis decodes.
constexpr size_t MaxAnalysedInstructions = 20000;

struct TCodeArea {
    uintptr_t Begin;
    uintptr_t End;               // last byte
    bool CaseTable;
    bool ExceptionBlock;
    uintptr_t ReachedFrom;
    TRegisterSet Regs;           // known at Begin
};

struct TCallInfo {
    bool Far;
    uintptr_t CallAddress;
    uintptr_t ReturnAddress;
    uintptr_t Target;            // 0 when unknown
};

struct TFarJump {
    bool Call;
    uintptr_t Address;
    uintptr_t ReturnAddress;
};

struct TFunctionStart {
    size_t PlainBytes;           // gap-free plain code from the entry point
    uintptr_t FirstBranch;       // first call or jump within the first 6 bytes, 0 when none
};

struct TFunctionInfo {
    bool Valid = false;
    uintptr_t EntryPoint = 0;
    uintptr_t CodeBegin = 0;
    intptr_t CodeLength = 0;
    uintptr_t ErrorAddress = 0;
    uint32_t ErrorNumber = 0;
    std::string ErrorText;
    std::vector<TCodeArea> Areas;    // in address order
    std::vector<TCallInfo> Calls;
    std::vector<TFarJump> FarJumps;
    bool Interceptable = false;
    TFunctionStart Start{};
};

// What an analysis reads and where code may lie.
struct TCodeSpace {
    TCpuMode Mode = NativeCpuMode;
    const TByteSource* Source = nullptr;
    uintptr_t Begin = 0;         // allowed code range [Begin, End)
    uintptr_t End = 0;
    // Bounds of the function from an unwind table; linear decoding inside them when set.
    uintptr_t FunctionBegin = 0;
    uintptr_t FunctionEnd = 0;
};

// Follows every path from Address inside Space.
bool WalkFunctionCode(const TCodeSpace& space, uintptr_t address, TFunctionInfo& info);
// The own process: the code range comes from the module's headers, on x64 the bounds from the
// unwind table where present.
bool WalkFunctionCode(uintptr_t address, unsigned option, TFunctionInfo& info);
bool AnalyseFunction(uintptr_t address, TFunctionInfo& info);

// Disassembly listing of the function at FunctionAddress, ">" marking ExceptionAddress; Limit > 0
// keeps a window of about Limit lines around it. Empty text when the analysis fails.
void ParseFunction(const TCodeSpace& space, uintptr_t functionAddress, std::string& text,
                   uintptr_t exceptionAddress, TFunctionInfo& info, int limit);
void ParseFunction(uintptr_t functionAddress, std::string& text, uintptr_t exceptionAddress,
                   TFunctionInfo& info, int limit);

// Windows 9x identifier obfuscator: the value (0 on NT) and whether identifiers are obfuscated.
uint32_t ObfuscatorValue();
bool IdentifiersObfuscated();
