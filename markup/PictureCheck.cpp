#include "PictureCheck.h"

#include "PictureFields.h"

#include <windows.h>

#include <array>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

#include <jpeglib.h>

// ---- GIF -----------------------------------------------------------------------------------------

namespace {

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
    const TPictureFields fields(data, size);
    if (size < 13 || (std::memcmp(data, "GIF87a", 6) != 0 && std::memcmp(data, "GIF89a", 6) != 0))
        return false;
    const uint32_t screenWidth = fields.Word(6);
    const uint32_t screenHeight = fields.Word(8);
    if (screenWidth == 0 || screenHeight == 0 || uint64_t{screenWidth} * screenHeight > kMaxPicturePixels)
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

// ---- JPEG ----------------------------------------------------------------------------------------

namespace {

// What libjpeg may hold for one picture (a progressive one keeps all its coefficients).
constexpr long kMaxJpegMemory = 512L << 20;

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
        uint64_t{info.image_width} * info.image_height > kMaxPicturePixels)
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
