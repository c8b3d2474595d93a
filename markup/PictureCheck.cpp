#include "PictureCheck.h"

#include <windows.h>

#include <array>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

#include <jpeglib.h>

namespace {

// Larger pictures are refused: decoding them would take the memory and the time of a hang.
constexpr uint64_t kMaxPixels = uint64_t{1} << 26;
// What libjpeg may hold for one picture (a progressive one keeps all its coefficients).
constexpr long kMaxJpegMemory = 512L << 20;

// Little-endian fields of the bytes; the caller checks that they lie inside.
class TFields {
public:
    TFields(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Has(uint64_t at, uint64_t count) const { return at <= size_ && count <= size_ - at; }
    uint32_t Byte(size_t at) const { return data_[at]; }
    uint32_t Word(size_t at) const { return data_[at] | (uint32_t{data_[at + 1]} << 8); }
    uint32_t Long(size_t at) const { return Word(at) | (Word(at + 2) << 16); }

private:
    const uint8_t* data_;
    size_t size_;
};

// ---- GIF -----------------------------------------------------------------------------------------

// Moves at past a chain of sub-blocks and its terminator; their contents go to contents when given.
bool SkipSubBlocks(const uint8_t* data, size_t size, size_t& at, std::vector<uint8_t>* contents) {
    for (;;) {
        if (at >= size)
            return false;
        const size_t length = data[at++];
        if (length == 0)
            return true;
        if (length > size - at)
            return false;
        if (contents)
            contents->insert(contents->end(), data + at, data + at + length);
        at += length;
    }
}

// Decodes an image's compressed codes far enough to know that each code is defined, that each
// colour index lies in the colour table and that the codes cover every pixel. Decoders read no
// code past the last pixel, so those are not looked at.
bool AreWellFormedGifCodes(const std::vector<uint8_t>& codes, uint32_t minimumSize, uint32_t colors,
                           uint64_t pixels) {
    constexpr uint32_t kTableSize = 4096;
    constexpr uint32_t kNone = kTableSize;
    const uint32_t clear = 1u << minimumSize;
    const uint32_t end = clear + 1;
    std::array<uint32_t, kTableSize> lengths;  // pixels each defined code stands for
    lengths.fill(1);
    uint32_t width = minimumSize + 1;
    uint32_t next = clear + 2;
    uint32_t previous = kNone;
    uint64_t decoded = 0;
    uint64_t bit = 0;
    const uint64_t bits = uint64_t{codes.size()} * 8;
    while (decoded < pixels) {
        if (bits - bit < width)
            return false;  // the codes end before the image
        uint32_t code = 0;
        for (uint32_t i = 0; i < width; ++i, ++bit)
            code |= ((codes[bit / 8] >> (bit % 8)) & 1u) << i;
        if (code == clear) {
            width = minimumSize + 1;
            next = clear + 2;
            previous = kNone;
            continue;
        }
        uint64_t length;
        if (code < clear) {
            if (code >= colors)
                return false;
            length = 1;
        } else if (code > end && code < next) {
            length = lengths[code];
        } else if (code == next && previous != kNone) {
            length = uint64_t{lengths[previous]} + 1;
        } else {
            return false;  // the end code before the last pixel, or a code not yet defined
        }
        if (previous != kNone && next < kTableSize) {
            lengths[next] = lengths[previous] + 1;
            if (++next == (1u << width) && width < 12)
                ++width;
        }
        previous = code;
        decoded += length;
    }
    return true;
}

}  // namespace

bool IsWellFormedGif(const uint8_t* data, size_t size) {
    const TFields fields(data, size);
    if (size < 13 || (std::memcmp(data, "GIF87a", 6) != 0 && std::memcmp(data, "GIF89a", 6) != 0))
        return false;
    const uint32_t screenWidth = fields.Word(6);
    const uint32_t screenHeight = fields.Word(8);
    if (screenWidth == 0 || screenHeight == 0 || uint64_t{screenWidth} * screenHeight > kMaxPixels)
        return false;
    size_t at = 13;
    uint32_t globalColors = 0;
    if (data[10] & 0x80) {
        globalColors = 2u << (data[10] & 7);
        if (!fields.Has(at, 3 * globalColors))
            return false;
        at += 3 * globalColors;
    }
    bool hasImage = false;
    std::vector<uint8_t> codes;
    for (;;) {
        // Without its trailer the picture ends with the bytes; decoders take that as the end too.
        if (at >= size)
            return hasImage;
        const uint8_t block = data[at++];
        if (block == 0x3B)
            return hasImage;
        if (block == 0x21) {
            if (at >= size)
                return false;
            // Graphic control, application and plain text extensions have a first block of fixed size.
            const uint8_t label = data[at++];
            const size_t fixed = label == 0xF9 ? 4 : label == 0xFF ? 11 : label == 0x01 ? 12 : 0;
            if (fixed != 0 && (at >= size || data[at] != fixed))
                return false;
            if (!SkipSubBlocks(data, size, at, nullptr))
                return false;
            continue;
        }
        if (block != 0x2C || !fields.Has(at, 9))
            return false;
        const uint32_t left = fields.Word(at);
        const uint32_t top = fields.Word(at + 2);
        const uint32_t width = fields.Word(at + 4);
        const uint32_t height = fields.Word(at + 6);
        const uint8_t flags = data[at + 8];
        at += 9;
        if (width == 0 || height == 0 || left + width > screenWidth || top + height > screenHeight)
            return false;
        uint32_t colors = globalColors;
        if (flags & 0x80) {
            colors = 2u << (flags & 7);
            if (!fields.Has(at, 3 * colors))
                return false;
            at += 3 * colors;
        }
        if (colors == 0 || at >= size)
            return false;
        const uint32_t minimumSize = data[at++];
        codes.clear();
        if (minimumSize < 2 || minimumSize > 8 || !SkipSubBlocks(data, size, at, &codes) ||
            !AreWellFormedGifCodes(codes, minimumSize, colors, uint64_t{width} * height))
            return false;
        hasImage = true;
    }
}

// ---- BMP -----------------------------------------------------------------------------------------

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
    const TFields fields(data, size);
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
    if (planes != 1 || width <= 0 || rows == 0 || static_cast<uint64_t>(width) * rows > kMaxPixels)
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

// ---- JPEG ----------------------------------------------------------------------------------------

namespace {

// libjpeg's fatal errors end the process unless error_exit leaves; ours longjmps back to
// DecodeJpeg. Between its setjmp and the longjmp only libjpeg's C frames run, so no destructor
// is skipped.
struct TJpegErrors {
    jpeg_error_mgr pub;  // first, so that libjpeg's pointer to it points at the whole
    jmp_buf jump;
};

void LeaveJpeg(j_common_ptr info) {
    longjmp(reinterpret_cast<TJpegErrors*>(info->err)->jump, 1);
}

// Warnings (data left over, a missing end) are the loader's business too; nothing is printed.
void KeepJpegMessage(j_common_ptr) {}

bool DecodeJpeg(jpeg_decompress_struct& info, TJpegErrors& errors, const uint8_t* data, size_t size) {
    if (setjmp(errors.jump))
        return false;
    jpeg_create_decompress(&info);
    info.mem->max_memory_to_use = kMaxJpegMemory;
    jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
    if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK ||
        uint64_t{info.image_width} * info.image_height > kMaxPixels)
        return false;
    jpeg_start_decompress(&info);
    JSAMPARRAY row = (*info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&info), JPOOL_IMAGE,
                                              info.output_width * static_cast<JDIMENSION>(info.output_components), 1);
    while (info.output_scanline < info.output_height) {
        if (jpeg_read_scanlines(&info, row, 1) != 1)
            return false;
    }
    jpeg_finish_decompress(&info);
    return true;
}

}  // namespace

bool IsWellFormedJpeg(const uint8_t* data, size_t size) {
    if (size < 4 || size > (size_t{1} << 30) || data[0] != 0xFF || data[1] != 0xD8 || data[2] != 0xFF)
        return false;
    TJpegErrors errors{};
    jpeg_std_error(&errors.pub);
    errors.pub.error_exit = LeaveJpeg;
    errors.pub.output_message = KeepJpegMessage;
    // jpeg_destroy_decompress is safe on a zeroed structure, whatever step failed.
    jpeg_decompress_struct info{};
    info.err = &errors.pub;
    const bool decoded = DecodeJpeg(info, errors, data, size);
    jpeg_destroy_decompress(&info);
    return decoded;
}

bool IsWellFormedPicture(const uint8_t* data, size_t size) {
    if (size >= 4 && std::memcmp(data, "GIF8", 4) == 0)
        return IsWellFormedGif(data, size);
    if (size >= 2 && data[0] == 'B' && data[1] == 'M')
        return IsWellFormedBitmap(data, size);
    if (size >= 2 && data[0] == 0xFF && data[1] == 0xD8)
        return IsWellFormedJpeg(data, size);
    return false;
}
