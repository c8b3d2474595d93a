#pragma once

// Little-endian fields of picture bytes, for the structure checks.

#include <cstddef>
#include <cstdint>

// Larger pictures are refused: decoding them would take the memory and the time of a hang.
constexpr uint64_t kMaxPicturePixels = uint64_t{1} << 26;

// The caller checks with Has that a field lies inside before reading it.
class TPictureFields {
public:
    TPictureFields(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Has(uint64_t at, uint64_t count) const { return at <= size_ && count <= size_ - at; }
    uint32_t Byte(size_t at) const { return data_[at]; }
    uint32_t Word(size_t at) const { return data_[at] | (uint32_t{data_[at + 1]} << 8); }
    uint32_t Long(size_t at) const { return Word(at) | (Word(at + 2) << 16); }

private:
    const uint8_t* data_;
    size_t size_;
};
