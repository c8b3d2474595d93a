#include "BitmapCheck.h"

#include "PictureFields.h"

#include <windows.h>

namespace {

// A colour mask of the bit field format: one run of set bits inside the pixel.
bool IsColorMask(uint32_t mask, uint32_t bitCount) {
    if (mask == 0 || (bitCount < 32 && mask >> bitCount != 0))
        return false;
    const uint32_t low = mask & (~mask + 1);
    return ((mask + low) & mask) == 0;
}

// Every colour index of the rows lies in the colour table.
bool AreIndicesInTable(const uint8_t* rows, uint64_t stride, uint64_t width, uint64_t height, uint32_t bitCount,
                       uint64_t colors) {
    const uint32_t mask = (1u << bitCount) - 1;
    for (uint64_t y = 0; y < height; ++y) {
        const uint8_t* row = rows + y * stride;
        for (uint64_t x = 0; x < width; ++x) {
            const uint64_t bit = x * bitCount;
            const uint32_t index = (row[bit / 8] >> (8 - bitCount - bit % 8)) & mask;
            if (index >= colors)
                return false;
        }
    }
    return true;
}

// Run-length codes of four or eight bits: every run and jump stays inside the picture, every
// literal run inside the codes, every colour index inside the table.
bool AreWellFormedRunLengthCodes(const uint8_t* codes, size_t size, uint64_t width, uint64_t height,
                                 uint32_t bitCount, uint64_t colors) {
    auto inTable = [&](uint32_t value, uint32_t count) {
        if (bitCount == 8)
            return value < colors;
        return (value >> 4) < colors && (count < 2 || (value & 0x0F) < colors);
    };
    uint64_t x = 0;
    uint64_t y = 0;
    size_t at = 0;
    while (size - at >= 2) {
        const uint32_t count = codes[at];
        const uint32_t value = codes[at + 1];
        at += 2;
        if (count > 0) {
            if (y >= height || x + count > width || !inTable(value, count))
                return false;
            x += count;
            continue;
        }
        switch (value) {
        case 0:  // end of line
            x = 0;
            if (++y > height)
                return false;
            break;
        case 1:  // end of picture
            return true;
        case 2:  // jump right and up
            if (size - at < 2)
                return false;
            x += codes[at];
            y += codes[at + 1];
            at += 2;
            if (x > width || y > height)
                return false;
            break;
        default: {  // value pixels as they are, padded to an even count of bytes
            const size_t bytes = bitCount == 8 ? value : (value + 1) / 2;
            if (size - at < bytes + (bytes & 1) || y >= height || x + value > width)
                return false;
            for (uint32_t i = 0; i < value; i += bitCount == 8 ? 1 : 2) {
                if (!inTable(codes[at + (bitCount == 8 ? i : i / 2)], value - i))
                    return false;
            }
            at += bytes + (bytes & 1);
            x += value;
            break;
        }
        }
    }
    return at == size;
}

}  // namespace

bool IsWellFormedBitmap(const uint8_t* data, size_t size) {
    const TPictureFields fields(data, size);
    if (size < 18 || data[0] != 'B' || data[1] != 'M')
        return false;
    const uint64_t bitsAt = fields.Long(10);
    const uint32_t headerSize = fields.Long(14);
    if (!fields.Has(14, headerSize))
        return false;
    int64_t width = 0;
    int64_t height = 0;
    uint32_t planes = 0;
    uint32_t bitCount = 0;
    uint32_t compression = BI_RGB;
    uint32_t imageSize = 0;
    uint32_t colorsUsed = 0;
    uint32_t entrySize = 4;
    if (headerSize == 12) {
        width = fields.Word(18);
        height = fields.Word(20);
        planes = fields.Word(22);
        bitCount = fields.Word(24);
        entrySize = 3;
        if (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 24)
            return false;
    } else if (headerSize == 40 || headerSize == 52 || headerSize == 56 || headerSize == 108 || headerSize == 124) {
        width = static_cast<int32_t>(fields.Long(18));
        height = static_cast<int32_t>(fields.Long(22));
        planes = fields.Word(26);
        bitCount = fields.Word(28);
        compression = fields.Long(30);
        imageSize = fields.Long(34);
        colorsUsed = fields.Long(46);
        if (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 16 && bitCount != 24 && bitCount != 32)
            return false;
    } else {
        return false;
    }
    // A negative height stores the rows from the top, which run-length codes cannot.
    const bool topDown = height < 0;
    const uint64_t rows = static_cast<uint64_t>(topDown ? -height : height);
    if (planes != 1 || width <= 0 || rows == 0 || static_cast<uint64_t>(width) * rows > kMaxPicturePixels)
        return false;
    const bool runLength = compression == BI_RLE8 || compression == BI_RLE4;
    if ((compression == BI_RLE8 && bitCount != 8) || (compression == BI_RLE4 && bitCount != 4) ||
        (runLength && topDown) || (compression == BI_BITFIELDS && bitCount != 16 && bitCount != 32) ||
        (compression != BI_RGB && compression != BI_BITFIELDS && !runLength))
        return false;

    uint64_t tableAt = 14 + uint64_t{headerSize};
    if (compression == BI_BITFIELDS) {
        // The three masks follow the short info header, or lie inside the longer ones.
        const uint64_t masksAt = headerSize == 40 ? tableAt : 14 + 40;
        if (headerSize == 40)
            tableAt += 12;
        if (!fields.Has(masksAt, 12))
            return false;
        for (size_t i = 0; i < 3; ++i) {
            if (!IsColorMask(fields.Long(static_cast<size_t>(masksAt + 4 * i)), bitCount))
                return false;
        }
    }
    const uint64_t tableLimit = bitCount <= 8 ? uint64_t{1} << bitCount : 256;
    if (colorsUsed > tableLimit)
        return false;
    const uint64_t colors = colorsUsed != 0 ? colorsUsed : bitCount <= 8 ? tableLimit : 0;
    if (tableAt + colors * entrySize > bitsAt || bitsAt > size)
        return false;

    const uint8_t* bits = data + bitsAt;
    const uint64_t bitsSize = size - bitsAt;
    if (runLength) {
        return imageSize != 0 && imageSize <= bitsSize &&
               AreWellFormedRunLengthCodes(bits, imageSize, static_cast<uint64_t>(width), rows, bitCount, colors);
    }
    const uint64_t stride = (static_cast<uint64_t>(width) * bitCount + 31) / 32 * 4;
    if (stride * rows > bitsSize)
        return false;
    return bitCount > 8 || colors == tableLimit ||
           AreIndicesInTable(bits, stride, static_cast<uint64_t>(width), rows, bitCount, colors);
}
