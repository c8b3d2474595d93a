#pragma once

// Structure checks of picture bytes before the system's picture loader reads them. The loader
// trusts the sizes, offsets and tables inside a file, and damaged files make it read past their
// end or past their colour tables; these checks walk every part of a file against its length.

#include "BitmapCheck.h"

#include <cstddef>
#include <cstdint>

// A GIF, BMP or JPEG picture whose every part lies inside the bytes and agrees with its header;
// false for anything else.
bool IsWellFormedPicture(const uint8_t* data, size_t size);

// GIF: signature, screen and colour tables, every block up to the trailer, and each image's
// compressed codes and colour indices.
bool IsWellFormedGif(const uint8_t* data, size_t size);
// JPEG: its markers walked first, refused when the decoder's work (scans, and blocks visited
// for the bytes) is out of bounds; then decoded completely.
bool IsWellFormedJpeg(const uint8_t* data, size_t size);
