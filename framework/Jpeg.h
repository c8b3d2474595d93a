#pragma once

// JPEG images: the compressed bytes are kept; pixels are decoded on first use.

#include "Graphics.h"

#include <cstdint>
#include <memory>
#include <vector>

// Damaged or unsupported JPEG data.
class EJPEG : public EInvalidGraphic {
    using EInvalidGraphic::EInvalidGraphic;
};

class TJPEGImage : public TGraphic {
public:
    int Width() const override { return width_; }
    int Height() const override { return height_; }

    // Reads the header at once (EJPEG when it is not a JPEG image), the pixels when first drawn.
    void LoadFromStream(TStream& stream) override;
    void SaveToStream(TStream& stream) const override;
    std::unique_ptr<TGraphic> Clone() const override;

    // From another JPEG image, or compresses a bitmap at CompressionQuality.
    void Assign(const TPersistent& source) override;
    // 1 to 100; used when a bitmap is assigned.
    int CompressionQuality = 90;

    // The decoded pixels (24 bits); raises EJPEG for damaged data.
    const TBitmap& Bitmap() const;

protected:
    // Lets a TBitmap take the decoded pixels through its Assign.
    void AssignTo(TPersistent& dest) const override;
    void Draw(TCanvas& canvas, const TRect& rect) override;

private:
    void Compress(const TBitmap& bitmap);

    std::vector<uint8_t> data_;
    int width_ = 0;
    int height_ = 0;
    mutable std::unique_ptr<TBitmap> bitmap_;
};
