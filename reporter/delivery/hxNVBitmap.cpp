#include "hxNVBitmap.h"

#include "hxGdiHandles.h"
#include "hxInterfaced.h"

#include "hxZip.h"

#include "BitmapCheck.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <memory>
#include <type_traits>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {

struct TFileCloser {
    void operator()(HANDLE h) const { CloseHandle(h); }
};
using TFileHandle = std::unique_ptr<void, TFileCloser>;

// Writes data to a new file; a failed or short write deletes it.
bool WriteWholeFile(const std::string& fileName, const void* const* parts, const size_t* sizes,
                    size_t count) {
    HANDLE h = CreateFileA(fileName.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    bool ok = true;
    {
        TFileHandle file(h);
        for (size_t i = 0; ok && i < count; ++i) {
            DWORD written = 0;
            ok = sizes[i] <= MAXDWORD
                 && WriteFile(h, parts[i], static_cast<DWORD>(sizes[i]), &written, nullptr)
                 && written == sizes[i];
        }
    }
    if (!ok)
        DeleteFileA(fileName.c_str());
    return ok;
}

class TINVBitmap final : public TInterfaced<INVBitmap> {
public:
    // Null for a zero, negative or oversized box, or when GDI refuses.
    static ComPtr<TINVBitmap> Create(int width, int height);


    int GetWidth() override { return header_.biWidth; }
    int GetHeight() override { return header_.biHeight; }
    bool Draw(HDC dc, int x, int y) override;
    bool SaveBmp(const std::string& fileName) override;
    bool SavePng(const std::string& fileName, int mode) override;
    TNVBitmapPtr Resize(int maxWidth, int maxHeight) override;

    HDC Dc() const { return dc_.get(); }
    // Bottom-up rows of B, G, R, x; call GdiFlush after drawing before reading.
    uint8_t* Bits() const { return bits_; }
    size_t Stride() const { return static_cast<size_t>(header_.biWidth) * 4; }
    // Row y counted from the top.
    const uint8_t* Row(int y) const { return bits_ + (header_.biHeight - 1 - y) * Stride(); }

private:
    TINVBitmap() = default;
    ~TINVBitmap();

    BITMAPINFOHEADER header_{};
    TMemoryDc dc_;
    TGdiPtr<HBITMAP> section_;
    HGDIOBJ old_ = nullptr;
    uint8_t* bits_ = nullptr;
};

ComPtr<TINVBitmap> TINVBitmap::Create(int width, int height) {
    if (width <= 0 || height <= 0 || static_cast<int64_t>(width) * 4 * height > INT32_MAX)
        return nullptr;
    ComPtr<TINVBitmap> bitmap(new TINVBitmap);
    BITMAPINFOHEADER& h = bitmap->header_;
    h.biSize = sizeof(BITMAPINFOHEADER);
    h.biWidth = width;
    h.biHeight = height;
    h.biPlanes = 1;
    h.biBitCount = 32;
    h.biCompression = BI_RGB;
    h.biSizeImage = static_cast<DWORD>(width) * 4 * static_cast<DWORD>(height);
    bitmap->dc_.reset(CreateCompatibleDC(nullptr));
    if (!bitmap->dc_)
        return nullptr;
    void* bits = nullptr;
    bitmap->section_.reset(CreateDIBSection(bitmap->dc_.get(), reinterpret_cast<BITMAPINFO*>(&h),
                                            DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!bitmap->section_ || !bits)
        return nullptr;
    bitmap->bits_ = static_cast<uint8_t*>(bits);
    bitmap->old_ = SelectObject(bitmap->dc_.get(), bitmap->section_.get());
    return bitmap;
}

TINVBitmap::~TINVBitmap() {
    if (old_)
        SelectObject(dc_.get(), old_);
}

bool TINVBitmap::Draw(HDC dc, int x, int y) {
    return BitBlt(dc, x, y, GetWidth(), GetHeight(), dc_.get(), 0, 0, SRCCOPY) != FALSE;
}

bool TINVBitmap::SaveBmp(const std::string& fileName) {
    GdiFlush();
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfSize = header_.biSizeImage + 54;
    file.bfOffBits = 54;
    static_assert(sizeof(BITMAPFILEHEADER) == 14 && sizeof(BITMAPINFOHEADER) == 40);
    const void* parts[] = {&file, &header_, bits_};
    const size_t sizes[] = {sizeof file, sizeof header_, header_.biSizeImage};
    return WriteWholeFile(fileName, parts, sizes, 3);
}

// ---- Capture ----------------------------------------------------------------------------

struct TOwnWindows {
    DWORD process;
    TGdiPtr<HRGN> region;
};

BOOL CALLBACK CollectOwnWindow(HWND wnd, LPARAM param) {
    auto& own = *reinterpret_cast<TOwnWindows*>(param);
    DWORD process = 0;
    GetWindowThreadProcessId(wnd, &process);
    RECT r;
    if (process != own.process || !IsWindowVisible(wnd) || IsIconic(wnd) || !GetWindowRect(wnd, &r))
        return TRUE;
    TGdiPtr<HRGN> part(CreateRectRgnIndirect(&r));
    if (!part)
        return TRUE;
    if (!own.region)
        own.region = std::move(part);
    else
        CombineRgn(own.region.get(), own.region.get(), part.get(), RGN_OR);
    return TRUE;
}

// The cursor when it is showing, from the system's cursor information or, without it, from
// the thread that owns the window under the mouse.
bool FindCursor(POINT& pos, HCURSOR& cursor) {
    using TGetCursorInfo = BOOL(WINAPI*)(PCURSORINFO);
    auto getInfo = reinterpret_cast<TGetCursorInfo>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("user32.dll"), "GetCursorInfo")));
    if (getInfo) {
        CURSORINFO info{};
        info.cbSize = sizeof info;
        if (!getInfo(&info) || !(info.flags & CURSOR_SHOWING) || !info.hCursor)
            return false;
        pos = info.ptScreenPos;
        cursor = info.hCursor;
        return true;
    }
    if (!GetCursorPos(&pos))
        return false;
    HWND under = WindowFromPoint(pos);
    DWORD thread = under ? GetWindowThreadProcessId(under, nullptr) : 0;
    DWORD self = GetCurrentThreadId();
    bool attached = thread != 0 && thread != self && AttachThreadInput(self, thread, TRUE);
    cursor = GetCursor();
    if (attached)
        AttachThreadInput(self, thread, FALSE);
    return cursor != nullptr;
}

void DrawCursor(HDC dc, int originX, int originY) {
    POINT pos;
    HCURSOR cursor = nullptr;
    if (!FindCursor(pos, cursor))
        return;
    ICONINFO info{};
    if (!GetIconInfo(cursor, &info))
        return;
    TGdiPtr<HBITMAP> mask(info.hbmMask), color(info.hbmColor);
    DrawIconEx(dc, pos.x - originX - static_cast<int>(info.xHotspot),
               pos.y - originY - static_cast<int>(info.yHotspot), cursor, 0, 0, 0, nullptr, DI_NORMAL);
}

ComPtr<TINVBitmap> CaptureFromDc(HDC source, int x, int y, int width, int height,
                                 bool ownWindowsOnly, bool withCursor) {
    ComPtr<TINVBitmap> bitmap = TINVBitmap::Create(width, height);
    if (!bitmap)
        return nullptr;
    HDC dc = bitmap->Dc();
    if (ownWindowsOnly) {
        TOwnWindows own{GetCurrentProcessId(), nullptr};
        EnumWindows(CollectOwnWindow, reinterpret_cast<LPARAM>(&own));
        if (!own.region)
            return nullptr;
        RECT all{0, 0, width, height};
        FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
        OffsetRgn(own.region.get(), -x, -y);
        SelectClipRgn(dc, own.region.get());
    }
    bool copied = BitBlt(dc, 0, 0, width, height, source, x, y, SRCCOPY) != FALSE;
    if (copied && withCursor)
        DrawCursor(dc, x, y);
    SelectClipRgn(dc, nullptr);
    GdiFlush();
    return copied ? bitmap : nullptr;
}

// ---- Resize -----------------------------------------------------------------------------

double Mitchell(double x) {
    constexpr double B = 1.0 / 3, C = 1.0 / 3;
    x = std::fabs(x);
    if (x < 1)
        return ((12 - 9 * B - 6 * C) * x * x * x + (-18 + 12 * B + 6 * C) * x * x + (6 - 2 * B)) / 6;
    if (x < 2)
        return ((-B - 6 * C) * x * x * x + (6 * B + 30 * C) * x * x + (-12 * B - 48 * C) * x
                + (8 * B + 24 * C)) / 6;
    return 0;
}

struct TTap {
    int source;
    int32_t weight;  // 16.16
};

// Mirrors positions outside 0..n-1, then clamps what is still outside (images narrower than
// the filter).
int MirrorIndex(int i, int n) {
    if (i < 0)
        i = -i;
    if (i >= n)
        i = 2 * n - i - 1;
    return std::clamp(i, 0, n - 1);
}

// Per output position, the source positions and weights; the weights of each sum to 1.0.
std::vector<std::vector<TTap>> FilterTaps(int sourceSize, int targetSize) {
    double scale = static_cast<double>(targetSize) / sourceSize;
    double radius = 2.0, stretch = 1.0;
    if (scale < 1) {
        radius /= scale;
        stretch = scale;
    }
    std::vector<std::vector<TTap>> taps(targetSize);
    for (int i = 0; i < targetSize; ++i) {
        double center = (i + 0.5) / scale - 0.5;
        int first = static_cast<int>(std::floor(center - radius));
        int last = static_cast<int>(std::ceil(center + radius));
        std::vector<std::pair<int, double>> raw;
        double sum = 0;
        for (int j = first; j <= last; ++j) {
            double w = Mitchell((center - j) * stretch);
            if (w != 0) {
                raw.emplace_back(MirrorIndex(j, sourceSize), w);
                sum += w;
            }
        }
        int32_t total = 0;
        size_t largest = 0;
        for (size_t k = 0; k < raw.size(); ++k) {
            int32_t w = static_cast<int32_t>(std::lround(raw[k].second / sum * 65536));
            taps[i].push_back({raw[k].first, w});
            total += w;
            if (raw[k].second > raw[largest].second)
                largest = k;
        }
        if (!taps[i].empty())
            taps[i][largest].weight += 65536 - total;
    }
    return taps;
}

uint8_t ClampChannel(int32_t sum) {
    return static_cast<uint8_t>(std::clamp(sum >> 16, 0, 255));
}

// One pass along a line of count pixels whose neighbours lie step bytes apart.
void ResampleLine(const uint8_t* source, ptrdiff_t sourceStep, uint8_t* target, ptrdiff_t targetStep,
                  const std::vector<std::vector<TTap>>& taps) {
    for (size_t i = 0; i < taps.size(); ++i) {
        int32_t sum[3] = {0, 0, 0};
        for (const TTap& t : taps[i]) {
            const uint8_t* p = source + t.source * sourceStep;
            for (int c = 0; c < 3; ++c)
                sum[c] += p[c] * t.weight;
        }
        uint8_t* q = target + static_cast<ptrdiff_t>(i) * targetStep;
        for (int c = 0; c < 3; ++c)
            q[c] = ClampChannel(sum[c]);
    }
}

TNVBitmapPtr TINVBitmap::Resize(int maxWidth, int maxHeight) {
    try {
        int w = GetWidth(), h = GetHeight();
        if (maxWidth <= 0 || maxHeight <= 0)
            return nullptr;
        int64_t heightForWidth = static_cast<int64_t>(h) * maxWidth / w;
        int64_t widthForHeight = static_cast<int64_t>(w) * maxHeight / h;
        int64_t newW = maxWidth, newH = maxHeight;
        if (maxHeight < heightForWidth || maxWidth < widthForHeight) {
            int64_t scaleX = (static_cast<int64_t>(w) << 16) / maxWidth;
            int64_t scaleY = (static_cast<int64_t>(h) << 16) / maxHeight;
            if (scaleX <= scaleY) {
                newW = widthForHeight;
                newH = maxHeight;
            } else {
                newW = maxWidth;
                newH = heightForWidth;
            }
        }
        newW = std::max<int64_t>(newW, 1);
        newH = std::max<int64_t>(newH, 1);
        ComPtr<TINVBitmap> result = Create(static_cast<int>(newW), static_cast<int>(newH));
        if (!result)
            return nullptr;
        GdiFlush();
        auto rowTaps = FilterTaps(w, static_cast<int>(newW));
        auto columnTaps = FilterTaps(h, static_cast<int>(newH));
        ptrdiff_t tmpStride = newW * 4;
        std::vector<uint8_t> tmp(static_cast<size_t>(tmpStride) * h);
        for (int y = 0; y < h; ++y)
            ResampleLine(bits_ + y * Stride(), 4, tmp.data() + y * tmpStride, 4, rowTaps);
        for (int x = 0; x < newW; ++x)
            ResampleLine(tmp.data() + x * 4, tmpStride, result->Bits() + x * 4,
                         static_cast<ptrdiff_t>(result->Stride()), columnTaps);
        return result;
    } catch (...) {
        return nullptr;
    }
}

// ---- PNG --------------------------------------------------------------------------------

struct TRgb {
    uint8_t r, g, b;
};

// Wu's colour quantiser over a 33 x 33 x 33 histogram with cumulative 64-bit moments.
class TWuQuantizer {
public:
    explicit TWuQuantizer(const TINVBitmap& bitmap, int width, int height);
    std::vector<TRgb> Palette(int maxColors);

private:
    struct TBox {
        int r0, r1, g0, g1, b0, b1;
        int volume;
    };
    enum TAxis { kRed, kGreen, kBlue };
    static constexpr int kSide = 33;

    static size_t At(int r, int g, int b) { return (static_cast<size_t>(r) * kSide + g) * kSide + b; }
    int64_t Volume(const TBox& c, const std::vector<int64_t>& m) const;
    int64_t Bottom(const TBox& c, TAxis axis, const std::vector<int64_t>& m) const;
    int64_t Top(const TBox& c, TAxis axis, int pos, const std::vector<int64_t>& m) const;
    double Variance(const TBox& c) const;
    double Maximize(const TBox& c, TAxis axis, int first, int last, int& cut, int64_t wholeR,
                    int64_t wholeG, int64_t wholeB, int64_t wholeW) const;
    bool Cut(TBox& set1, TBox& set2) const;
    void Accumulate();

    std::vector<int64_t> wt_, mr_, mg_, mb_, m2_;
};

TWuQuantizer::TWuQuantizer(const TINVBitmap& bitmap, int width, int height)
    : wt_(kSide * kSide * kSide), mr_(wt_.size()), mg_(wt_.size()), mb_(wt_.size()), m2_(wt_.size()) {
    for (int y = 0; y < height; ++y) {
        const uint8_t* p = bitmap.Row(y);
        for (int x = 0; x < width; ++x, p += 4) {
            int b = p[0], g = p[1], r = p[2];
            size_t i = At((r >> 3) + 1, (g >> 3) + 1, (b >> 3) + 1);
            wt_[i] += 1;
            mr_[i] += r;
            mg_[i] += g;
            mb_[i] += b;
            m2_[i] += r * r + g * g + b * b;
        }
    }
    Accumulate();
}

void TWuQuantizer::Accumulate() {
    for (std::vector<int64_t>* m : {&wt_, &mr_, &mg_, &mb_, &m2_}) {
        std::vector<int64_t>& v = *m;
        for (int r = 1; r < kSide; ++r) {
            int64_t area[kSide] = {};
            for (int g = 1; g < kSide; ++g) {
                int64_t line = 0;
                for (int b = 1; b < kSide; ++b) {
                    line += v[At(r, g, b)];
                    area[b] += line;
                    v[At(r, g, b)] = v[At(r - 1, g, b)] + area[b];
                }
            }
        }
    }
}

int64_t TWuQuantizer::Volume(const TBox& c, const std::vector<int64_t>& m) const {
    return m[At(c.r1, c.g1, c.b1)] - m[At(c.r1, c.g1, c.b0)] - m[At(c.r1, c.g0, c.b1)]
           + m[At(c.r1, c.g0, c.b0)] - m[At(c.r0, c.g1, c.b1)] + m[At(c.r0, c.g1, c.b0)]
           + m[At(c.r0, c.g0, c.b1)] - m[At(c.r0, c.g0, c.b0)];
}

int64_t TWuQuantizer::Bottom(const TBox& c, TAxis axis, const std::vector<int64_t>& m) const {
    switch (axis) {
    case kRed:
        return -m[At(c.r0, c.g1, c.b1)] + m[At(c.r0, c.g1, c.b0)] + m[At(c.r0, c.g0, c.b1)]
               - m[At(c.r0, c.g0, c.b0)];
    case kGreen:
        return -m[At(c.r1, c.g0, c.b1)] + m[At(c.r1, c.g0, c.b0)] + m[At(c.r0, c.g0, c.b1)]
               - m[At(c.r0, c.g0, c.b0)];
    default:
        return -m[At(c.r1, c.g1, c.b0)] + m[At(c.r1, c.g0, c.b0)] + m[At(c.r0, c.g1, c.b0)]
               - m[At(c.r0, c.g0, c.b0)];
    }
}

int64_t TWuQuantizer::Top(const TBox& c, TAxis axis, int pos, const std::vector<int64_t>& m) const {
    switch (axis) {
    case kRed:
        return m[At(pos, c.g1, c.b1)] - m[At(pos, c.g1, c.b0)] - m[At(pos, c.g0, c.b1)]
               + m[At(pos, c.g0, c.b0)];
    case kGreen:
        return m[At(c.r1, pos, c.b1)] - m[At(c.r1, pos, c.b0)] - m[At(c.r0, pos, c.b1)]
               + m[At(c.r0, pos, c.b0)];
    default:
        return m[At(c.r1, c.g1, pos)] - m[At(c.r1, c.g0, pos)] - m[At(c.r0, c.g1, pos)]
               + m[At(c.r0, c.g0, pos)];
    }
}

double TWuQuantizer::Variance(const TBox& c) const {
    double dr = static_cast<double>(Volume(c, mr_));
    double dg = static_cast<double>(Volume(c, mg_));
    double db = static_cast<double>(Volume(c, mb_));
    double xx = static_cast<double>(Volume(c, m2_));
    return xx - (dr * dr + dg * dg + db * db) / static_cast<double>(Volume(c, wt_));
}

double TWuQuantizer::Maximize(const TBox& c, TAxis axis, int first, int last, int& cut,
                              int64_t wholeR, int64_t wholeG, int64_t wholeB, int64_t wholeW) const {
    int64_t baseR = Bottom(c, axis, mr_), baseG = Bottom(c, axis, mg_);
    int64_t baseB = Bottom(c, axis, mb_), baseW = Bottom(c, axis, wt_);
    double best = 0;
    cut = -1;
    for (int i = first; i < last; ++i) {
        int64_t halfR = baseR + Top(c, axis, i, mr_), halfG = baseG + Top(c, axis, i, mg_);
        int64_t halfB = baseB + Top(c, axis, i, mb_), halfW = baseW + Top(c, axis, i, wt_);
        if (halfW == 0 || halfW == wholeW)
            continue;
        auto spread = [](double r, double g, double b, double w) { return (r * r + g * g + b * b) / w; };
        double value = spread(halfR, halfG, halfB, halfW)
                       + spread(wholeR - halfR, wholeG - halfG, wholeB - halfB, wholeW - halfW);
        if (value > best) {
            best = value;
            cut = i;
        }
    }
    return best;
}

bool TWuQuantizer::Cut(TBox& set1, TBox& set2) const {
    int64_t wholeR = Volume(set1, mr_), wholeG = Volume(set1, mg_);
    int64_t wholeB = Volume(set1, mb_), wholeW = Volume(set1, wt_);
    int cutR, cutG, cutB;
    double maxR = Maximize(set1, kRed, set1.r0 + 1, set1.r1, cutR, wholeR, wholeG, wholeB, wholeW);
    double maxG = Maximize(set1, kGreen, set1.g0 + 1, set1.g1, cutG, wholeR, wholeG, wholeB, wholeW);
    double maxB = Maximize(set1, kBlue, set1.b0 + 1, set1.b1, cutB, wholeR, wholeG, wholeB, wholeW);
    TAxis axis;
    if (maxR >= maxG && maxR >= maxB) {
        axis = kRed;
        if (cutR < 0)
            return false;
    } else if (maxG >= maxR && maxG >= maxB) {
        axis = kGreen;
    } else {
        axis = kBlue;
    }
    set2.r1 = set1.r1;
    set2.g1 = set1.g1;
    set2.b1 = set1.b1;
    switch (axis) {
    case kRed:
        set2.r0 = set1.r1 = cutR;
        set2.g0 = set1.g0;
        set2.b0 = set1.b0;
        break;
    case kGreen:
        set2.g0 = set1.g1 = cutG;
        set2.r0 = set1.r0;
        set2.b0 = set1.b0;
        break;
    case kBlue:
        set2.b0 = set1.b1 = cutB;
        set2.r0 = set1.r0;
        set2.g0 = set1.g0;
        break;
    }
    set1.volume = (set1.r1 - set1.r0) * (set1.g1 - set1.g0) * (set1.b1 - set1.b0);
    set2.volume = (set2.r1 - set2.r0) * (set2.g1 - set2.g0) * (set2.b1 - set2.b0);
    return true;
}

std::vector<TRgb> TWuQuantizer::Palette(int maxColors) {
    std::vector<TBox> boxes(maxColors);
    std::vector<double> variance(maxColors);
    boxes[0] = {0, kSide - 1, 0, kSide - 1, 0, kSide - 1, 0};
    int count = maxColors;
    int next = 0;
    for (int i = 1; i < count; ++i) {
        if (Cut(boxes[next], boxes[i])) {
            variance[next] = boxes[next].volume > 1 ? Variance(boxes[next]) : 0;
            variance[i] = boxes[i].volume > 1 ? Variance(boxes[i]) : 0;
        } else {
            variance[next] = 0;
            --i;
        }
        next = 0;
        double best = variance[0];
        for (int k = 1; k <= i; ++k) {
            if (variance[k] > best) {
                best = variance[k];
                next = k;
            }
        }
        if (best <= 0) {
            count = i + 1;
            break;
        }
    }
    std::vector<TRgb> palette;
    for (int k = 0; k < count; ++k) {
        int64_t weight = Volume(boxes[k], wt_);
        if (weight == 0)
            continue;
        palette.push_back({static_cast<uint8_t>(Volume(boxes[k], mr_) / weight),
                           static_cast<uint8_t>(Volume(boxes[k], mg_) / weight),
                           static_cast<uint8_t>(Volume(boxes[k], mb_) / weight)});
    }
    return palette;
}

void AppendBig32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(v >> shift));
}

void AppendChunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data) {
    AppendBig32(out, static_cast<uint32_t>(data.size()));
    size_t typeAt = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    uint32_t crc = ~Crc32Update(0xFFFFFFFF, out.data() + typeAt, out.size() - typeAt);
    AppendBig32(out, crc);
}

// A whole PNG file of colour type 3; empty when compression fails.
std::vector<uint8_t> BuildPng(int width, int height, int bitDepth, const std::vector<TRgb>& palette,
                              size_t paletteEntries, const std::vector<uint8_t>& rows) {
    std::vector<uint8_t> idat = {0x78, 0x01};
    idat.resize(2 + DeflateBound(rows.size()));
    size_t packed = DeflateBuffer(rows.data(), rows.size(), idat.data() + 2, idat.size() - 2);
    if (packed == 0)
        return {};
    idat.resize(2 + packed);
    AppendBig32(idat, static_cast<uint32_t>(adler32(adler32(0, nullptr, 0), rows.data(),
                                                     static_cast<uInt>(rows.size()))));

    std::vector<uint8_t> ihdr;
    AppendBig32(ihdr, static_cast<uint32_t>(width));
    AppendBig32(ihdr, static_cast<uint32_t>(height));
    ihdr.insert(ihdr.end(), {static_cast<uint8_t>(bitDepth), 3, 0, 0, 0});
    std::vector<uint8_t> plte(paletteEntries * 3);
    for (size_t i = 0; i < palette.size() && i < paletteEntries; ++i) {
        plte[i * 3] = palette[i].r;
        plte[i * 3 + 1] = palette[i].g;
        plte[i * 3 + 2] = palette[i].b;
    }
    std::vector<uint8_t> png = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    AppendChunk(png, "IHDR", ihdr);
    AppendChunk(png, "PLTE", plte);
    AppendChunk(png, "IDAT", idat);
    AppendChunk(png, "IEND", {});
    return png;
}

std::vector<uint8_t> EncodePalettePng(const TINVBitmap& bitmap, int width, int height) {
    std::vector<TRgb> palette = TWuQuantizer(bitmap, width, height).Palette(256);
    std::vector<int16_t> nearest(32768, -1);
    std::vector<uint8_t> rows;
    rows.reserve(static_cast<size_t>(width + 1) * height);
    for (int y = 0; y < height; ++y) {
        rows.push_back(0);
        const uint8_t* p = bitmap.Row(y);
        for (int x = 0; x < width; ++x, p += 4) {
            int b = p[0], g = p[1], r = p[2];
            int16_t& index = nearest[((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3)];
            if (index < 0) {
                int best = INT32_MAX;
                for (size_t k = 0; k < palette.size(); ++k) {
                    int d = std::abs(palette[k].r - r) + std::abs(palette[k].g - g)
                            + std::abs(palette[k].b - b);
                    if (d < best) {
                        best = d;
                        index = static_cast<int16_t>(k);
                    }
                }
            }
            rows.push_back(static_cast<uint8_t>(index));
        }
    }
    return BuildPng(width, height, 8, palette, 256, rows);
}

std::vector<uint8_t> EncodeGreyPng(const TINVBitmap& bitmap, int width, int height) {
    static constexpr uint8_t kLevels[16] = {0,   28,  52,  73,  92,  109, 125, 140,
                                            155, 170, 185, 199, 213, 227, 241, 255};
    std::array<uint8_t, 256> level{};
    for (int grey = 0; grey < 256; ++grey) {
        int best = 256;
        for (int k = 0; k < 16; ++k) {
            if (std::abs(kLevels[k] - grey) < best) {
                best = std::abs(kLevels[k] - grey);
                level[grey] = static_cast<uint8_t>(k);
            }
        }
    }
    std::vector<TRgb> palette;
    for (uint8_t v : kLevels)
        palette.push_back({v, v, v});
    size_t rowBytes = 1 + (static_cast<size_t>(width) + 1) / 2;
    std::vector<uint8_t> rows(rowBytes * height);
    for (int y = 0; y < height; ++y) {
        const uint8_t* p = bitmap.Row(y);
        uint8_t* out = rows.data() + y * rowBytes + 1;
        for (int x = 0; x < width; ++x, p += 4) {
            int grey = (77 * p[2] + 151 * p[1] + 28 * p[0]) >> 8;
            out[x / 2] |= static_cast<uint8_t>(level[grey] << ((x & 1) ? 0 : 4));
        }
    }
    return BuildPng(width, height, 4, palette, 16, rows);
}

bool TINVBitmap::SavePng(const std::string& fileName, int mode) {
    try {
        GdiFlush();
        int w = GetWidth(), h = GetHeight();
        static constexpr size_t kLimits[] = {51200, 102400, 204800, 307200};
        std::vector<uint8_t> palettePng, greyPng;
        if (mode != 1)
            palettePng = EncodePalettePng(*this, w, h);
        if (mode == 1 || (mode >= 2 && mode <= 5 && palettePng.size() > kLimits[mode - 2]))
            greyPng = EncodeGreyPng(*this, w, h);
        const std::vector<uint8_t>* chosen = &palettePng;
        if (palettePng.empty() || (!greyPng.empty() && greyPng.size() < palettePng.size()))
            chosen = &greyPng;
        if (chosen->empty())
            return false;
        const void* parts[] = {chosen->data()};
        const size_t sizes[] = {chosen->size()};
        return WriteWholeFile(fileName, parts, sizes, 1);
    } catch (...) {
        return false;
    }
}

}  // namespace

TNVBitmapPtr CaptureDesktop(bool ownWindowsOnly) {
    try {
        HDC dc = CreateDCA("DISPLAY", nullptr, nullptr, nullptr);
        if (!dc)
            return nullptr;
        TMemoryDc screen(dc);
        int x = 0, y = 0, w, h;
        if (GetSystemMetrics(SM_CMONITORS) >= 1) {
            x = GetSystemMetrics(SM_XVIRTUALSCREEN);
            y = GetSystemMetrics(SM_YVIRTUALSCREEN);
            w = GetSystemMetrics(SM_CXVIRTUALSCREEN);
            h = GetSystemMetrics(SM_CYVIRTUALSCREEN);
        } else {
            w = GetDeviceCaps(dc, HORZRES);
            h = GetDeviceCaps(dc, VERTRES);
        }
        return CaptureFromDc(dc, x, y, w, h, ownWindowsOnly, true);
    } catch (...) {
        return nullptr;
    }
}

namespace {

// The whole file, or nothing when it cannot be read or is implausibly large for a bitmap.
bool ReadBitmapFile(const std::string& fileName, std::vector<uint8_t>& data) {
    HANDLE h = CreateFileA(fileName.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    TFileHandle file(h);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(h, &size) || size.QuadPart < 14 || size.QuadPart > (1 << 28))
        return false;
    data.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    return ReadFile(h, data.data(), static_cast<DWORD>(data.size()), &read, nullptr) && read == data.size();
}

// A plain info header with the masks or the colour table, made from a checked file's header.
struct TDibInfo {
    BITMAPINFOHEADER Header;
    RGBQUAD Colors[256];
};

// Draws checked bitmap file bytes into a new 32-bit bitmap. The system gets a header of the
// short kind made here and the pixels of these bytes: it reads neither the file again nor any
// field of the longer headers (colour spaces, profiles) that the check does not look at.
TNVBitmapPtr DrawBitmapBytes(const std::vector<uint8_t>& data) {
    auto field = [&](size_t at, size_t size) {
        uint32_t value = 0;
        std::memcpy(&value, data.data() + at, size);
        return value;
    };
    const uint32_t offset = field(10, 4);
    const uint32_t headerSize = field(14, 4);
    const bool core = headerSize == sizeof(BITMAPCOREHEADER);
    TDibInfo info{};
    BITMAPINFOHEADER& header = info.Header;
    header.biSize = sizeof(BITMAPINFOHEADER);
    header.biPlanes = 1;
    header.biWidth = core ? static_cast<LONG>(field(18, 2)) : static_cast<LONG>(field(18, 4));
    header.biHeight = core ? static_cast<LONG>(field(20, 2)) : static_cast<LONG>(field(22, 4));
    header.biBitCount = static_cast<WORD>(core ? field(24, 2) : field(28, 2));
    header.biCompression = core ? BI_RGB : field(30, 4);
    if (header.biCompression == BI_RLE8 || header.biCompression == BI_RLE4)
        header.biSizeImage = field(34, 4);  // where the codes end
    if (header.biCompression == BI_BITFIELDS) {
        // The masks follow the short header or lie inside the longer ones: either way here.
        std::memcpy(info.Colors, data.data() + 14 + 40, 3 * sizeof(DWORD));
    } else if (header.biBitCount <= 8) {
        // Above eight bits a colour table is only a display hint and is left out.
        const uint32_t used = core ? 0 : field(46, 4);
        const uint32_t colors = used != 0 ? used : 1u << header.biBitCount;
        const size_t entrySize = core ? 3 : 4;
        for (uint32_t i = 0; i < colors; ++i)
            std::memcpy(&info.Colors[i], data.data() + 14 + headerSize + i * entrySize, 3);
        header.biClrUsed = colors;
    }
    const int width = header.biWidth;
    const int height = std::abs(header.biHeight);
    ComPtr<TINVBitmap> bitmap = TINVBitmap::Create(width, height);
    if (!bitmap)
        return nullptr;
    const bool drawn = StretchDIBits(bitmap->Dc(), 0, 0, width, height, 0, 0, width, height, data.data() + offset,
                                     reinterpret_cast<const BITMAPINFO*>(&info), DIB_RGB_COLORS, SRCCOPY) != 0;
    GdiFlush();
    return drawn ? bitmap : nullptr;
}

}  // namespace

TNVBitmapPtr LoadBitmapFile(const std::string& fileName) {
    try {
        std::vector<uint8_t> data;
        // The system trusts the sizes, offsets and tables inside a file: it sees only files whose
        // every part holds.
        if (!ReadBitmapFile(fileName, data) || !IsWellFormedBitmap(data.data(), data.size()))
            return nullptr;
        return DrawBitmapBytes(data);
    } catch (...) {
        return nullptr;
    }
}

const BYTE* AlphaBitmapPixels(HMODULE module, const std::string& name, int size) {
    if (name.empty())
        return nullptr;
    HRSRC resource = FindResourceA(module, name.c_str(), MAKEINTRESOURCEA(2) /* RT_BITMAP */);
    if (!resource || SizeofResource(module, resource) != static_cast<DWORD>(40 + size * size * 4))
        return nullptr;
    HGLOBAL loaded = LoadResource(module, resource);
    const auto data = static_cast<const BYTE*>(loaded ? LockResource(loaded) : nullptr);
    return data ? data + 40 : nullptr;
}
