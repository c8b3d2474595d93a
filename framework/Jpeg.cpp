#include "Jpeg.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace {

// libjpeg reports a fatal error by calling error_exit, whose default ends the process.
// Ours longjmps back to Guarded instead of throwing: libjpeg is C built without -fexceptions,
// so a C++ exception thrown from the callback would have to unwind C frames that promise no
// unwind data (where it is missing, i686's DWARF unwinder ends the program). longjmp leaves those
// frames without unwinding them, and C++ allows it because nothing between the setjmp in
// Guarded and the longjmp owns an object with a destructor: only libjpeg's frames and the
// small lambdas run by Guarded, whose captures are references. The caller throws EJPEG with
// the saved message once it is back in C++ frames.
struct TErrorManager {
    jpeg_error_mgr pub;  // first, so that libjpeg's pointer to it is a pointer to the whole
    jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void ErrorExit(j_common_ptr info) {
    auto* manager = reinterpret_cast<TErrorManager*>(info->err);
    info->err->format_message(info, manager->message);
    longjmp(manager->jump, 1);
}

// Warnings (such as a missing end marker) are tolerated and not printed.
void OutputMessage(j_common_ptr) {}

void InitErrorManager(TErrorManager& manager) {
    jpeg_std_error(&manager.pub);
    manager.pub.error_exit = ErrorExit;
    manager.pub.output_message = OutputMessage;
    manager.message[0] = '\0';
}

// Step must create no object with a destructor: a libjpeg error longjmps out of it.
template <class Step>
bool Guarded(TErrorManager& manager, const Step& step) {
    if (setjmp(manager.jump))
        return false;
    step();
    return true;
}

template <class Step>
void Run(TErrorManager& manager, const Step& step) {
    if (!Guarded(manager, step))
        throw EJPEG(std::string("JPEG error: ") + manager.message);
}

// jpeg_destroy_* is safe on a zeroed structure, so the owners destroy unconditionally.
struct TDecompressor {
    TErrorManager error{};
    jpeg_decompress_struct info{};

    TDecompressor() {
        InitErrorManager(error);
        info.err = &error.pub;
    }
    TDecompressor(const TDecompressor&) = delete;
    TDecompressor& operator=(const TDecompressor&) = delete;
    ~TDecompressor() { jpeg_destroy_decompress(&info); }

    void ReadHeader(const std::vector<uint8_t>& data) {
        Run(error, [&] {
            jpeg_create_decompress(&info);
            jpeg_mem_src(&info, data.data(), static_cast<unsigned long>(data.size()));
            jpeg_read_header(&info, TRUE);
        });
    }
};

struct TCompressor {
    TErrorManager error{};
    jpeg_compress_struct info{};
    unsigned char* buffer = nullptr;  // malloc'ed by libjpeg
    unsigned long size = 0;

    TCompressor() {
        InitErrorManager(error);
        info.err = &error.pub;
    }
    TCompressor(const TCompressor&) = delete;
    TCompressor& operator=(const TCompressor&) = delete;
    ~TCompressor() {
        jpeg_destroy_compress(&info);
        std::free(buffer);
    }
};

constexpr int64_t kMaxPixels = int64_t{1} << 26;

}  // namespace

void TJPEGImage::LoadFromStream(TStream& stream) {
    const int64_t count = stream.Size() - stream.Position();
    if (count < 0 || count > (int64_t{1} << 30))
        throw EJPEG("JPEG data too large");
    std::vector<uint8_t> data(static_cast<size_t>(count));
    stream.ReadBuffer(data.data(), count);
    TDecompressor decompressor;
    decompressor.ReadHeader(data);
    const int64_t width = decompressor.info.image_width, height = decompressor.info.image_height;
    if (width * height > kMaxPixels)
        throw EJPEG("JPEG image too large");
    data_ = std::move(data);
    width_ = static_cast<int>(width);
    height_ = static_cast<int>(height);
    bitmap_.reset();
    Changed();
}

void TJPEGImage::SaveToStream(TStream& stream) const {
    stream.WriteBuffer(data_.data(), static_cast<int64_t>(data_.size()));
}

std::unique_ptr<TGraphic> TJPEGImage::Clone() const {
    auto copy = std::make_unique<TJPEGImage>();
    copy->Assign(*this);
    return copy;
}

const TBitmap& TJPEGImage::Bitmap() const {
    if (bitmap_)
        return *bitmap_;
    auto bitmap = std::make_unique<TBitmap>();
    if (!data_.empty()) {
        TDecompressor decompressor;
        decompressor.ReadHeader(data_);
        jpeg_decompress_struct& info = decompressor.info;
        if (info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK)
            throw EJPEG("CMYK JPEG images are not supported");
        info.out_color_space = JCS_EXT_BGR;  // the byte order of a 24-bit DIB
        Run(decompressor.error, [&] { jpeg_calc_output_dimensions(&info); });
        bitmap->SetSize(static_cast<int>(info.output_width), static_cast<int>(info.output_height));
        std::vector<JSAMPROW> rows(info.output_height);
        for (size_t y = 0; y < rows.size(); ++y)
            rows[y] = bitmap->ScanLine(static_cast<int>(y));
        Run(decompressor.error, [&] {
            jpeg_start_decompress(&info);
            while (info.output_scanline < info.output_height)
                jpeg_read_scanlines(&info, &rows[info.output_scanline], info.output_height - info.output_scanline);
            jpeg_finish_decompress(&info);
        });
    }
    bitmap_ = std::move(bitmap);
    return *bitmap_;
}

void TJPEGImage::Compress(const TBitmap& bitmap) {
    std::vector<uint8_t> data;
    if (!bitmap.Empty()) {
        std::vector<JSAMPROW> rows(static_cast<size_t>(bitmap.Height()));
        for (size_t y = 0; y < rows.size(); ++y)
            rows[y] = const_cast<JSAMPROW>(bitmap.ScanLine(static_cast<int>(y)));
        const bool wide = bitmap.PixelFormat() == pf32bit;
        const int quality = std::clamp(CompressionQuality, 1, 100);
        TCompressor compressor;
        jpeg_compress_struct& info = compressor.info;
        Run(compressor.error, [&] {
            jpeg_create_compress(&info);
            jpeg_mem_dest(&info, &compressor.buffer, &compressor.size);
            info.image_width = static_cast<JDIMENSION>(bitmap.Width());
            info.image_height = static_cast<JDIMENSION>(bitmap.Height());
            info.input_components = wide ? 4 : 3;
            info.in_color_space = wide ? JCS_EXT_BGRX : JCS_EXT_BGR;
            jpeg_set_defaults(&info);
            jpeg_set_quality(&info, quality, TRUE);
            jpeg_start_compress(&info, TRUE);
            while (info.next_scanline < info.image_height)
                jpeg_write_scanlines(&info, &rows[info.next_scanline], info.image_height - info.next_scanline);
            jpeg_finish_compress(&info);
        });
        data.assign(compressor.buffer, compressor.buffer + compressor.size);
    }
    data_ = std::move(data);
    width_ = bitmap.Width();
    height_ = bitmap.Height();
    bitmap_.reset();
    Changed();
}

void TJPEGImage::Assign(const TPersistent& source) {
    if (const auto* jpeg = dynamic_cast<const TJPEGImage*>(&source)) {
        if (jpeg == this)
            return;
        data_ = jpeg->data_;
        width_ = jpeg->width_;
        height_ = jpeg->height_;
        CompressionQuality = jpeg->CompressionQuality;
        bitmap_.reset();
        Changed();
    } else if (const auto* bitmap = dynamic_cast<const TBitmap*>(&source)) {
        Compress(*bitmap);
    } else {
        TGraphic::Assign(source);
    }
}

void TJPEGImage::AssignTo(TPersistent& dest) const {
    if (auto* bitmap = dynamic_cast<TBitmap*>(&dest))
        bitmap->Assign(Bitmap());
    else
        TGraphic::AssignTo(dest);
}

void TJPEGImage::Draw(TCanvas& canvas, const TRect& rect) {
    Bitmap();
    canvas.StretchDraw(rect, *bitmap_);
}
