#include "hxNVBitmap.h"

#include "hxExceptHooks.h"

#include "DeliveryOutput.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <vector>

namespace {

using TPixelFn = std::function<COLORREF(int x, int y)>;

// A 24-bit bottom-up .bmp with padded rows; y counts from the top.
void WriteBmp24(const std::string& path, int w, int h, const TPixelFn& pixel) {
    int stride = (w * 3 + 3) & ~3;
    BITMAPFILEHEADER file{};
    BITMAPINFOHEADER info{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + stride * h;
    info.biSize = sizeof info;
    info.biWidth = w;
    info.biHeight = h;
    info.biPlanes = 1;
    info.biBitCount = 24;
    std::string bytes(reinterpret_cast<char*>(&file), sizeof file);
    bytes.append(reinterpret_cast<char*>(&info), sizeof info);
    for (int row = h - 1; row >= 0; --row) {
        std::string line(stride, '\0');
        for (int x = 0; x < w; ++x) {
            COLORREF c = pixel(x, row);
            line[x * 3] = static_cast<char>(GetBValue(c));
            line[x * 3 + 1] = static_cast<char>(GetGValue(c));
            line[x * 3 + 2] = static_cast<char>(GetRValue(c));
        }
        bytes += line;
    }
    WriteFileBytes(path, bytes);
}

TNVBitmapPtr MakeBitmap(const TTempDir& dir, int w, int h, const TPixelFn& pixel) {
    std::string path = dir.Path() + "\\source.bmp";
    WriteBmp24(path, w, h, pixel);
    return LoadBitmapFile(path);
}

// The bitmap's pixel at (x, y), read back through Draw.
COLORREF PixelAt(INVBitmap& bitmap, int x, int y) {
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), 1, 1, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP section = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(dc, section);
    bool drawn = bitmap.Draw(dc, -x, -y);
    GdiFlush();
    auto p = static_cast<const uint8_t*>(bits);
    COLORREF result = drawn ? RGB(p[2], p[1], p[0]) : CLR_INVALID;
    SelectObject(dc, old);
    DeleteObject(section);
    DeleteDC(dc);
    return result;
}

struct TPngHeader {
    uint32_t width = 0, height = 0;
    int depth = 0, colourType = 0;
    size_t fileSize = 0;
};

TPngHeader ReadPngHeader(const std::string& path) {
    std::string png = ReadFileBytes(path);
    TPngHeader h;
    if (png.size() < 33 || png.compare(12, 4, "IHDR") != 0)
        return h;
    auto be32 = [&](size_t at) {
        return (uint32_t(uint8_t(png[at])) << 24) | (uint32_t(uint8_t(png[at + 1])) << 16)
               | (uint32_t(uint8_t(png[at + 2])) << 8) | uint8_t(png[at + 3]);
    };
    h.width = be32(16);
    h.height = be32(20);
    h.depth = uint8_t(png[24]);
    h.colourType = uint8_t(png[25]);
    h.fileSize = png.size();
    return h;
}

// Expected index rows for the build machine's decoder.
void ExpectPng(const std::string& name, int w, int h, int depth, int entries,
               const std::function<int(int, int)>& index) {
    AddExpectation("png\t" + name + "\t" + std::to_string(w) + "\t" + std::to_string(h) + "\t"
                   + std::to_string(depth) + "\t" + std::to_string(entries));
    if (!index)
        return;
    std::string rows;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x)
            rows += std::to_string(index(x, y)) + (x + 1 < w ? " " : "\n");
    }
    WriteFileBytes(DeliveryOutPath(name + ".rows"), rows);
}

}  // namespace

TEST(Bitmap, LoadsAnyBmpAsThirtyTwoBitsAndSavesItBack) {
    TTempDir dir;
    auto pattern = [](int x, int y) { return RGB(x * 20, y * 40, (x + y) * 10); };
    TNVBitmapPtr bitmap = MakeBitmap(dir, 7, 5, pattern);
    ASSERT_TRUE(bitmap);
    ASSERT_EQ(bitmap->GetWidth(), 7);
    ASSERT_EQ(bitmap->GetHeight(), 5);
    EXPECT_EQ(PixelAt(*bitmap.Get(), 0, 0), pattern(0, 0));
    EXPECT_EQ(PixelAt(*bitmap.Get(), 6, 4), pattern(6, 4));

    std::string saved = dir.Path() + "\\saved.bmp";
    ASSERT_TRUE(bitmap->SaveBmp(saved));
    std::string bytes = ReadFileBytes(saved);
    ASSERT_EQ(bytes.size(), 54u + 7 * 4 * 5);
    EXPECT_EQ(bytes.substr(0, 2), "BM");
    EXPECT_EQ(*reinterpret_cast<const uint32_t*>(bytes.data() + 2), bytes.size());
    EXPECT_EQ(*reinterpret_cast<const uint32_t*>(bytes.data() + 10), 54u);
    EXPECT_EQ(*reinterpret_cast<const uint16_t*>(bytes.data() + 28), 32);
    // Bottom-up: the first stored row is the picture's last one.
    EXPECT_EQ(uint8_t(bytes[54 + 2]), GetRValue(pattern(0, 4)));

    TNVBitmapPtr again = LoadBitmapFile(saved);
    ASSERT_TRUE(again);
    EXPECT_EQ(PixelAt(*again.Get(), 3, 2), pattern(3, 2));

    // A top-down 32-bit file, as editors write them: the first stored row is the top one.
    std::string topDown = "BM" + std::string(12, '\0');
    BITMAPINFOHEADER header{sizeof(BITMAPINFOHEADER), 2, -2, 1, 32, BI_RGB, 16, 0, 0, 0, 0};
    topDown.append(reinterpret_cast<const char*>(&header), sizeof header);
    topDown[10] = 54;
    topDown += std::string("\x10\x20\x30\x00\x40\x50\x60\x00\x70\x80\x90\x00\xA0\xB0\xC0\x00", 16);
    WriteFileBytes(dir.Path() + "\\topdown.bmp", topDown);
    TNVBitmapPtr upright = LoadBitmapFile(dir.Path() + "\\topdown.bmp");
    ASSERT_TRUE(upright);
    EXPECT_EQ(PixelAt(*upright.Get(), 0, 0), RGB(0x30, 0x20, 0x10));
    EXPECT_EQ(PixelAt(*upright.Get(), 1, 1), RGB(0xC0, 0xB0, 0xA0));

    EXPECT_FALSE(LoadBitmapFile(dir.Path() + "\\missing.bmp"));
    WriteFileBytes(dir.Path() + "\\junk.bmp", "BM not really a bitmap");
    EXPECT_FALSE(LoadBitmapFile(dir.Path() + "\\junk.bmp"));
    EXPECT_FALSE(bitmap->SaveBmp(dir.Path() + "\\no such folder\\x.bmp"));
}

namespace {

// Records the colour count of every StretchDIBits call this program makes while it lives, and
// counts its calls of the system's file loader.
class TStretchColourCounts {
public:
    TStretchColourCounts() {
        real_ = reinterpret_cast<TStretch>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("gdi32.dll"), "StretchDIBits")));
        load_ = reinterpret_cast<TLoad>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("user32.dll"), "LoadImageA")));
        bool valid = false;
        patched_ = real_ && PatchModuleImports(GetModuleHandleA(nullptr), reinterpret_cast<const void*>(real_),
                                               reinterpret_cast<const void*>(&Record), valid) > 0;
        // Imported only while the loader hands files to the system.
        PatchModuleImports(GetModuleHandleA(nullptr), reinterpret_cast<const void*>(load_),
                           reinterpret_cast<const void*>(&Load), valid);
    }
    ~TStretchColourCounts() {
        if (patched_)
            UnpatchModuleImports(GetModuleHandleA(nullptr), reinterpret_cast<const void*>(&Record),
                                 reinterpret_cast<const void*>(real_));
        UnpatchModuleImports(GetModuleHandleA(nullptr), reinterpret_cast<const void*>(&Load),
                             reinterpret_cast<const void*>(load_));
        counts_.clear();
        loads_ = 0;
    }
    TStretchColourCounts(const TStretchColourCounts&) = delete;
    TStretchColourCounts& operator=(const TStretchColourCounts&) = delete;

    bool Patched() const { return patched_; }
    const std::vector<DWORD>& Counts() const { return counts_; }
    // Bitmaps the system has read, drawn or loaded from a file.
    size_t Reads() const { return counts_.size() + loads_; }

private:
    using TStretch = int(WINAPI*)(HDC, int, int, int, int, int, int, int, int, const void*, const BITMAPINFO*,
                                  UINT, DWORD);
    using TLoad = HANDLE(WINAPI*)(HINSTANCE, LPCSTR, UINT, int, int, UINT);
    static int WINAPI Record(HDC dc, int x, int y, int w, int h, int sx, int sy, int sw, int sh, const void* bits,
                             const BITMAPINFO* info, UINT usage, DWORD rop) {
        counts_.push_back(info ? info->bmiHeader.biClrUsed : 0);
        return real_(dc, x, y, w, h, sx, sy, sw, sh, bits, info, usage, rop);
    }
    static HANDLE WINAPI Load(HINSTANCE instance, LPCSTR name, UINT type, int cx, int cy, UINT flags) {
        ++loads_;
        return load_(instance, name, type, cx, cy, flags);
    }
    static inline TStretch real_ = nullptr;
    static inline TLoad load_ = nullptr;
    static inline std::vector<DWORD> counts_;
    static inline size_t loads_ = 0;
    bool patched_ = false;
};

}  // namespace

// A 32-bit file may carry a colour table as a display hint; an edited screenshot can state any
// count there. The system is never told of more entries than the loader's structure holds.
TEST(Bitmap, LoadingStatesNoMoreColoursThanItHolds) {
    TTempDir dir;
    const DWORD tableEntries = 200;
    std::string file = "BM" + std::string(12, '\0');
    BITMAPINFOHEADER header{sizeof(BITMAPINFOHEADER), 2, 1, 1, 32, BI_RGB, 8, 0, 0, tableEntries, tableEntries};
    file.append(reinterpret_cast<const char*>(&header), sizeof header);
    const uint32_t offset = 54 + tableEntries * 4;
    std::memcpy(&file[10], &offset, sizeof offset);
    file += std::string(tableEntries * 4, '\x7F');
    file += std::string("\x10\x20\x30\x00\x40\x50\x60\x00", 8);
    WriteFileBytes(dir.Path() + "\\table.bmp", file);

    TStretchColourCounts stretches;
    ASSERT_TRUE(stretches.Patched());
    TNVBitmapPtr bitmap = LoadBitmapFile(dir.Path() + "\\table.bmp");
    ASSERT_TRUE(bitmap);
    EXPECT_EQ(PixelAt(*bitmap.Get(), 0, 0), RGB(0x30, 0x20, 0x10));
    EXPECT_EQ(PixelAt(*bitmap.Get(), 1, 0), RGB(0x60, 0x50, 0x40));
    ASSERT_FALSE(stretches.Counts().empty());
    for (DWORD count : stretches.Counts())
        EXPECT_LE(count, 1u);
}

namespace {

void Append(std::string& bytes, uint32_t value, int size) {
    for (int i = 0; i < size; ++i)
        bytes += static_cast<char>(value >> (8 * i));
}

// A 4 x 2 bitmap file of the info header (or the twelve-byte one) and the table or masks, the
// pixels right after them. As given below it shows red, lime, blue, black over four blues.
struct TBmpShape {
    uint32_t HeaderSize = 40;
    int32_t Width = 4;
    int32_t Height = 2;
    uint32_t BitCount = 8;
    uint32_t Compression = BI_RGB;
    uint32_t ColorsUsed = 4;
    std::vector<uint32_t> Table{0x000000, 0xFF0000, 0x00FF00, 0x0000FF};  // or the masks
    std::string Pixels{"\x03\x03\x03\x03\x01\x02\x03\x00", 8};

    std::string File() const {
        const bool core = HeaderSize == 12;
        std::string info;
        Append(info, HeaderSize, 4);
        for (uint32_t value : {static_cast<uint32_t>(Width), static_cast<uint32_t>(Height)})
            Append(info, value, core ? 2 : 4);
        Append(info, 1, 2);
        Append(info, BitCount, 2);
        if (!core) {
            for (uint32_t value : {Compression, static_cast<uint32_t>(Pixels.size()), 2835u, 2835u, ColorsUsed, 0u})
                Append(info, value, 4);
            info.resize(HeaderSize, '\0');
        }
        for (uint32_t entry : Table)
            Append(info, entry, core ? 3 : 4);
        std::string file = "BM";
        for (size_t value : {14 + info.size() + Pixels.size(), size_t{0}, 14 + info.size()})
            Append(file, static_cast<uint32_t>(value), 4);
        return file + info + Pixels;
    }
};

TBmpShape RunLength8() {
    TBmpShape shape;
    shape.Compression = BI_RLE8;
    shape.Pixels = std::string("\x04\x03\x00\x00\x00\x04\x01\x02\x03\x00\x00\x00\x00\x01", 14);
    return shape;
}

// The shapes of the picture above that the system draws from a table, codes or masks.
std::vector<std::pair<const char*, TBmpShape>> SoundShapes() {
    TBmpShape runs4;
    runs4.BitCount = 4;
    runs4.Compression = BI_RLE4;
    runs4.Pixels = std::string("\x04\x33\x00\x00\x00\x04\x12\x30\x00\x00\x00\x01", 12);
    TBmpShape masks;
    masks.BitCount = 16;
    masks.Compression = BI_BITFIELDS;
    masks.ColorsUsed = 0;
    masks.Table = {0xF800, 0x07E0, 0x001F};
    masks.Pixels.clear();
    for (uint32_t pixel : {0x001Fu, 0x001Fu, 0x001Fu, 0x001Fu, 0xF800u, 0x07E0u, 0x001Fu, 0u})
        Append(masks.Pixels, pixel, 2);
    TBmpShape core;
    core.HeaderSize = 12;
    core.BitCount = 4;
    core.Table.resize(16, 0);
    core.Pixels = std::string("\x33\x33\x00\x00\x12\x30\x00\x00", 8);
    TBmpShape fromTop;
    fromTop.Height = -2;
    fromTop.Pixels = std::string("\x01\x02\x03\x00\x03\x03\x03\x03", 8);
    TBmpShape longHeader;
    longHeader.HeaderSize = 124;
    return {{"palette", TBmpShape()}, {"eight-bit runs", RunLength8()}, {"four-bit runs", runs4},
            {"masks", masks},         {"short header", core},           {"rows from the top", fromTop},
            {"long header", longHeader}};
}

}  // namespace

// Every shape of bitmap file loads with its colours.
TEST(Bitmap, EveryShapeOfBitmapLoads) {
    TTempDir dir;
    const COLORREF top[] = {RGB(255, 0, 0), RGB(0, 255, 0), RGB(0, 0, 255), RGB(0, 0, 0)};
    for (const auto& [what, shape] : SoundShapes()) {
        WriteFileBytes(dir.Path() + "\\shape.bmp", shape.File());
        TNVBitmapPtr bitmap = LoadBitmapFile(dir.Path() + "\\shape.bmp");
        ASSERT_TRUE(bitmap) << what;
        ASSERT_EQ(std::make_pair(bitmap->GetWidth(), bitmap->GetHeight()), std::make_pair(4, 2)) << what;
        for (int x = 0; x < 4; ++x) {
            EXPECT_EQ(PixelAt(*bitmap.Get(), x, 0), top[x]) << what << " x " << x;
            EXPECT_EQ(PixelAt(*bitmap.Get(), x, 1), RGB(0, 0, 255)) << what << " x " << x;
        }
    }
}

// Damaged files of those shapes are refused before the system reads any of them.
TEST(Bitmap, DamagedBitmapsNeverReachTheSystem) {
    std::vector<std::pair<const char*, std::string>> files;
    auto add = [&](const char* what, TBmpShape shape, const std::function<void(TBmpShape&)>& damage) {
        damage(shape);
        files.emplace_back(what, shape.File());
    };
    add("300 colours", TBmpShape(), [](TBmpShape& s) { s.ColorsUsed = 300; });
    add("table into the pixels", TBmpShape(), [](TBmpShape& s) { s.ColorsUsed = 200; });
    add("index past the table", TBmpShape(), [](TBmpShape& s) { s.Pixels[0] = 9; });
    add("run past the row", RunLength8(), [](TBmpShape& s) { s.Pixels[0] = 5; });
    add("jump out", RunLength8(), [](TBmpShape& s) { s.Pixels.insert(0, std::string("\0\x02\x09\0", 4)); });
    add("literal past the codes", RunLength8(), [](TBmpShape& s) { s.Pixels = std::string("\0\x04\x01", 3); });
    add("runs from the top", RunLength8(), [](TBmpShape& s) { s.Height = -2; });
    add("100000 x 100000", TBmpShape(), [](TBmpShape& s) { s.Width = s.Height = 100000; });
    add("2^31 - 1 columns of runs", RunLength8(), [](TBmpShape& s) { s.Width = 0x7FFFFFFF; });
    add("short header of 65535 x 65535", TBmpShape(), [](TBmpShape& s) {
        s.HeaderSize = 12;
        s.Width = s.Height = 0xFFFF;
    });
    add("row cut short", TBmpShape(), [](TBmpShape& s) { s.Pixels.pop_back(); });
    files.emplace_back("cut in the table", TBmpShape().File().substr(0, 14 + 40 + 10));
    files.emplace_back("cut in the header", TBmpShape().File().substr(0, 30));

    TTempDir dir;
    TStretchColourCounts reads;
    ASSERT_TRUE(reads.Patched());
    for (const auto& [what, bytes] : files) {
        WriteFileBytes(dir.Path() + "\\damaged.bmp", bytes);
        EXPECT_FALSE(LoadBitmapFile(dir.Path() + "\\damaged.bmp")) << what;
        EXPECT_EQ(reads.Reads(), 0u) << what;
    }
    WriteFileBytes(dir.Path() + "\\sound.bmp", RunLength8().File());
    EXPECT_TRUE(LoadBitmapFile(dir.Path() + "\\sound.bmp"));
    EXPECT_GT(reads.Reads(), 0u);
}

TEST(Bitmap, ResizeKeepsTheAspectAndTheColours) {
    TTempDir dir;
    auto grey = [](int, int) { return RGB(90, 160, 30); };
    TNVBitmapPtr wide = MakeBitmap(dir, 1600, 1000, grey);
    ASSERT_TRUE(wide);
    TNVBitmapPtr small = wide->Resize(400, 300);
    ASSERT_TRUE(small);
    EXPECT_EQ(small->GetWidth(), 400);
    EXPECT_EQ(small->GetHeight(), 250);
    // Normalised weights: a plain area stays exactly its colour, edges included.
    EXPECT_EQ(PixelAt(*small.Get(), 0, 0), grey(0, 0));
    EXPECT_EQ(PixelAt(*small.Get(), 399, 249), grey(0, 0));

    TNVBitmapPtr tall = MakeBitmap(dir, 100, 160, grey);
    TNVBitmapPtr fitted = tall->Resize(400, 300);
    ASSERT_TRUE(fitted);
    EXPECT_EQ(fitted->GetWidth(), 187);
    EXPECT_EQ(fitted->GetHeight(), 300);

    // Images narrower than the filter read only their own pixels.
    for (auto [w, h] : {std::pair{1, 1}, std::pair{2, 1}, std::pair{1, 3}}) {
        TNVBitmapPtr tiny = MakeBitmap(dir, w, h, grey);
        ASSERT_TRUE(tiny);
        TNVBitmapPtr grown = tiny->Resize(9 * w, 9 * h);
        ASSERT_TRUE(grown) << w << "x" << h;
        EXPECT_EQ(PixelAt(*grown.Get(), grown->GetWidth() - 1, grown->GetHeight() - 1), grey(0, 0));
        EXPECT_EQ(PixelAt(*grown.Get(), 0, 0), grey(0, 0));
    }

    // Zero boxes are refused; a strip that rounds to zero rows keeps one.
    EXPECT_FALSE(wide->Resize(0, 300));
    EXPECT_FALSE(wide->Resize(400, 0));
    EXPECT_FALSE(wide->Resize(-5, -5));
    TNVBitmapPtr strip = MakeBitmap(dir, 1000, 1, grey);
    TNVBitmapPtr thin = strip->Resize(10, 10);
    ASSERT_TRUE(thin);
    EXPECT_EQ(thin->GetWidth(), 10);
    EXPECT_EQ(thin->GetHeight(), 1);
}

// A two-colour picture large enough that the quantiser's squared moments exceed 32 bits.
TEST(Bitmap, TwoColourPngUsesTwoEntriesOfAFullPalette) {
    TTempDir dir;
    const int w = 257, h = 130;
    auto pixel = [](int x, int y) { return (x / 16 + y / 10) % 2 ? RGB(255, 255, 255) : RGB(0, 0, 0); };
    TNVBitmapPtr bitmap = MakeBitmap(dir, w, h, pixel);
    ASSERT_TRUE(bitmap);
    ASSERT_TRUE(bitmap->SavePng(DeliveryOutPath("twocolour.png"), 0));
    TPngHeader header = ReadPngHeader(DeliveryOutPath("twocolour.png"));
    EXPECT_EQ(header.depth, 8);
    EXPECT_EQ(header.colourType, 3);
    // The first cut puts the darker box first.
    ExpectPng("twocolour.png", w, h, 8, 256, [&](int x, int y) { return pixel(x, y) ? 1 : 0; });
    AddExpectation("pngcolor\ttwocolour.png\t0\t0\t0\t0");
    AddExpectation("pngcolor\ttwocolour.png\t1\t255\t255\t255");
}

TEST(Bitmap, GreyPngPacksSixteenLevelsTwoPixelsPerByte) {
    TTempDir dir;
    // Grey value -> nearest of the sixteen levels, first on ties.
    const std::pair<COLORREF, int> samples[] = {
        {RGB(0, 0, 0), 0},        {RGB(255, 255, 255), 15}, {RGB(128, 128, 128), 6},
        {RGB(14, 14, 14), 0},     {RGB(15, 15, 15), 1},     {RGB(255, 0, 0), 3},
        {RGB(0, 255, 0), 8},     {RGB(0, 0, 255), 1},
    };
    const int w = 9, h = 4;  // odd width: the last byte of a row has a low nibble of 0
    auto sample = [&](int x, int y) { return samples[(x + y) % 8]; };
    TNVBitmapPtr bitmap = MakeBitmap(dir, w, h, [&](int x, int y) { return sample(x, y).first; });
    ASSERT_TRUE(bitmap);
    ASSERT_TRUE(bitmap->SavePng(DeliveryOutPath("grey.png"), 1));
    EXPECT_EQ(ReadPngHeader(DeliveryOutPath("grey.png")).depth, 4);
    ExpectPng("grey.png", w, h, 4, 16, [&](int x, int y) { return sample(x, y).second; });
    AddExpectation("pngcolor\tgrey.png\t6\t125\t125\t125");
    AddExpectation("pngcolor\tgrey.png\t15\t255\t255\t255");
}

TEST(Bitmap, SizeLimitedModesFallBackToGreyWhenThatIsSmaller) {
    TTempDir dir;
    std::mt19937 rng(7);
    std::vector<COLORREF> noise(400 * 300);
    for (COLORREF& c : noise)
        c = rng() & 0xFFFFFF;
    TNVBitmapPtr bitmap = MakeBitmap(dir, 400, 300, [&](int x, int y) { return noise[y * 400 + x]; });
    ASSERT_TRUE(bitmap);
    ASSERT_TRUE(bitmap->SavePng(DeliveryOutPath("noise-mode0.png"), 0));
    ASSERT_TRUE(bitmap->SavePng(DeliveryOutPath("noise-mode2.png"), 2));
    TPngHeader full = ReadPngHeader(DeliveryOutPath("noise-mode0.png"));
    TPngHeader limited = ReadPngHeader(DeliveryOutPath("noise-mode2.png"));
    EXPECT_EQ(full.depth, 8);
    EXPECT_GT(full.fileSize, 51200u);
    EXPECT_EQ(limited.depth, 4);
    EXPECT_LT(limited.fileSize, full.fileSize);
    ExpectPng("noise-mode0.png", 400, 300, 8, 256, nullptr);
    ExpectPng("noise-mode2.png", 400, 300, 4, 16, nullptr);

    // Within its limit the palette image stays.
    TNVBitmapPtr plain = MakeBitmap(dir, 400, 300, [](int x, int) { return RGB(x & 0xF0, 0, 0); });
    ASSERT_TRUE(plain->SavePng(DeliveryOutPath("plain-mode5.png"), 5));
    EXPECT_EQ(ReadPngHeader(DeliveryOutPath("plain-mode5.png")).depth, 8);
    ExpectPng("plain-mode5.png", 400, 300, 8, 256, nullptr);

    EXPECT_FALSE(plain->SavePng(dir.Path() + "\\no such folder\\x.png", 0));
}

namespace {

LRESULT CALLBACK RedProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(wnd, msg, wParam, lParam);
}

}  // namespace

TEST(Bitmap, CaptureOfOwnWindowsWhitensEverythingElse) {
    EXPECT_FALSE(CaptureDesktop(true)) << "no window of ours is showing yet";

    WNDCLASSA cls{};
    cls.lpfnWndProc = RedProc;
    cls.hInstance = GetModuleHandleA(nullptr);
    cls.hbrBackground = CreateSolidBrush(RGB(255, 0, 0));
    cls.lpszClassName = "DeliveryCaptureTest";
    ASSERT_TRUE(RegisterClassA(&cls));
    HWND wnd = CreateWindowExA(WS_EX_TOOLWINDOW | WS_EX_TOPMOST, cls.lpszClassName, "", WS_POPUP,
                               300, 200, 120, 80, nullptr, nullptr, cls.hInstance, nullptr);
    ASSERT_TRUE(wnd);
    ShowWindow(wnd, SW_SHOWNOACTIVATE);
    UpdateWindow(wnd);
    GdiFlush();

    int originX = GetSystemMetrics(SM_XVIRTUALSCREEN), originY = GetSystemMetrics(SM_YVIRTUALSCREEN);
    TNVBitmapPtr own = CaptureDesktop(true);
    TNVBitmapPtr all = CaptureDesktop(false);
    DestroyWindow(wnd);
    UnregisterClassA(cls.lpszClassName, cls.hInstance);
    DeleteObject(cls.hbrBackground);

    ASSERT_TRUE(own);
    ASSERT_TRUE(all);
    EXPECT_EQ(own->GetWidth(), GetSystemMetrics(SM_CXVIRTUALSCREEN));
    EXPECT_EQ(own->GetHeight(), GetSystemMetrics(SM_CYVIRTUALSCREEN));
    EXPECT_EQ(PixelAt(*own.Get(), 300 + 60 - originX, 200 + 40 - originY), RGB(255, 0, 0));
    EXPECT_EQ(PixelAt(*own.Get(), 300 - 10 - originX, 200 + 40 - originY), RGB(255, 255, 255));
    EXPECT_EQ(PixelAt(*own.Get(), 300 + 60 - originX, 200 + 90 - originY), RGB(255, 255, 255));
    EXPECT_EQ(PixelAt(*all.Get(), 300 + 60 - originX, 200 + 40 - originY), RGB(255, 0, 0));
}
