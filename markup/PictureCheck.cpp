#include "PictureCheck.h"

#include "PictureFields.h"

#include <windows.h>

#include <algorithm>
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

// The decoder goes through every 8 x 8 block of a scan's components in each scan, whether the
// scan has data for them or not: a progressive picture codes the zeros of whole regions as one
// run, so a few bytes a scan make it visit a large picture's blocks again and again. The work is
// counted in blocks visited (the scans', then once more to put the pixels out) before anything
// is decoded, and bounded in two ways.
//
// Scans: libjpeg's own progression writes at most six a component (60 for its largest count of
// components); no encoder needs more than this for a real picture.
constexpr unsigned kMaxJpegScans = 100;
// Blocks a byte may make the decoder visit. The flattest real pictures spend a bit a block on
// the first scan of their DC coefficients; ten scans over every block then come to some 90
// visits a byte (libjpeg's own progression to under 30). The budget leaves room above that and
// keeps the time linear in the size: here under Wine about ten microseconds a byte at most.
constexpr uint64_t kJpegBlocksPerByte = 128;
// Every picture may use this much whatever its size (some tens of milliseconds).
constexpr uint64_t kJpegFreeBlocks = uint64_t{1} << 18;

// Markers of the frame and scans (the second byte after 0xFF).
enum : uint8_t {
    kMarkerSof0 = 0xC0,  // baseline
    kMarkerSof1 = 0xC1,  // extended
    kMarkerSof2 = 0xC2,  // progressive
    kMarkerDht = 0xC4,
    kMarkerSof9 = 0xC9,  // arithmetic coding, sequential
    kMarkerSof10 = 0xCA, // arithmetic coding, progressive
    kMarkerDac = 0xCC,
    kMarkerRst0 = 0xD0,
    kMarkerRst7 = 0xD7,
    kMarkerSoi = 0xD8,
    kMarkerEoi = 0xD9,
    kMarkerSos = 0xDA,
    kMarkerDqt = 0xDB,
    kMarkerDnl = 0xDC,
    kMarkerDri = 0xDD,
    kMarkerApp0 = 0xE0,
    kMarkerApp15 = 0xEF,
    kMarkerCom = 0xFE,
    kMarkerTem = 0x01,
};

// The first marker at or after at, found as libjpeg finds it: other bytes before it are skipped,
// a run of 0xFF is fill, 0xFF 0x00 is data; inside a scan's data restart markers are data too.
// Its code goes to marker and at moves past it; false at the end of the bytes.
bool NextJpegMarker(const uint8_t* data, size_t size, size_t& at, bool inScan, uint8_t& marker) {
    for (;;) {
        while (at < size && data[at] != 0xFF)
            ++at;
        while (at < size && data[at] == 0xFF)
            ++at;
        if (at >= size)
            return false;
        const uint8_t code = data[at++];
        if (code == 0 || (inScan && code >= kMarkerRst0 && code <= kMarkerRst7))
            continue;
        marker = code;
        return true;
    }
}

struct TJpegComponent {
    uint8_t Id;
    uint32_t Blocks;  // padded to whole units of the largest sampling factors
};

// Walks the markers as the decoder reads them and counts its work; false for a structure libjpeg
// refuses or work past the bounds above. The bytes after a marker segment cut short are not read
// by the decoder either (it ends the picture there).
bool IsJpegWorkBounded(const uint8_t* data, size_t size) {
    const TPictureFields fields(data, size);
    std::vector<TJpegComponent> components;
    uint64_t work = 0;
    unsigned scans = 0;
    size_t at = 2;
    bool inScan = false;
    uint8_t marker = 0;
    while (NextJpegMarker(data, size, at, inScan, marker)) {
        inScan = false;
        if (marker == kMarkerEoi)
            break;
        if (marker == kMarkerSoi)
            return false;  // a second start
        if ((marker >= kMarkerRst0 && marker <= kMarkerRst7) || marker == kMarkerTem)
            continue;  // no segment
        const bool frame = marker == kMarkerSof0 || marker == kMarkerSof1 || marker == kMarkerSof2 ||
                           marker == kMarkerSof9 || marker == kMarkerSof10;
        if (!frame && marker != kMarkerSos && marker != kMarkerDht && marker != kMarkerDac && marker != kMarkerDqt &&
            marker != kMarkerDnl && marker != kMarkerDri && marker != kMarkerCom &&
            (marker < kMarkerApp0 || marker > kMarkerApp15))
            return false;  // a coding process libjpeg does not decode, or a marker it does not know
        if (!fields.Has(at, 2))
            break;
        const size_t length = (size_t{data[at]} << 8) | data[at + 1];
        if (length < 2)
            return false;
        if (!fields.Has(at, length))
            break;
        const size_t segment = at + 2;
        const size_t segmentSize = length - 2;
        at += length;
        if (frame) {
            if (!components.empty() || segmentSize < 6)
                return false;
            const uint32_t height = (uint32_t{data[segment + 1]} << 8) | data[segment + 2];
            const uint32_t width = (uint32_t{data[segment + 3]} << 8) | data[segment + 4];
            const size_t count = data[segment + 5];
            if (data[segment] != 8 || width == 0 || height == 0 || uint64_t{width} * height > kMaxPicturePixels ||
                count == 0 || count > 10 || segmentSize != 6 + 3 * count)
                return false;
            uint32_t maxH = 1;
            uint32_t maxV = 1;
            for (size_t i = 0; i < count; ++i) {
                const uint8_t factors = data[segment + 7 + 3 * i];
                if ((factors >> 4) < 1 || (factors >> 4) > 4 || (factors & 15) < 1 || (factors & 15) > 4)
                    return false;
                // Component ids name the components of each scan: one id for two is ambiguous.
                for (size_t j = 0; j < i; ++j) {
                    if (data[segment + 6 + 3 * j] == data[segment + 6 + 3 * i])
                        return false;
                }
                maxH = std::max<uint32_t>(maxH, factors >> 4);
                maxV = std::max<uint32_t>(maxV, factors & 15);
            }
            const uint32_t unitsAcross = (width + 8 * maxH - 1) / (8 * maxH);
            const uint32_t unitsDown = (height + 8 * maxV - 1) / (8 * maxV);
            for (size_t i = 0; i < count; ++i) {
                const uint8_t factors = data[segment + 7 + 3 * i];
                components.push_back(
                    {data[segment + 6 + 3 * i], unitsAcross * (factors >> 4) * unitsDown * (factors & 15)});
                work += components.back().Blocks;  // put out once
            }
        } else if (marker == kMarkerSos) {
            const size_t count = segmentSize > 0 ? data[segment] : 0;
            if (components.empty() || count == 0 || count > 4 || segmentSize != 4 + 2 * count ||
                ++scans > kMaxJpegScans)
                return false;
            for (size_t i = 0; i < count; ++i) {
                const uint8_t id = data[segment + 1 + 2 * i];
                const auto component = std::find_if(components.begin(), components.end(),
                                                    [&](const TJpegComponent& c) { return c.Id == id; });
                if (component == components.end())
                    return false;
                work += component->Blocks;
            }
            inScan = true;
        }
        if (work > kJpegFreeBlocks + kJpegBlocksPerByte * uint64_t{size})
            return false;
    }
    return scans > 0;
}

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
    if (size < 4 || size > (size_t{1} << 30) || data[0] != 0xFF || data[1] != 0xD8 || data[2] != 0xFF ||
        !IsJpegWorkBounded(data, size))
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
