#pragma once

// The structure rules of BMP files, before the system reads one: the picture container's check
// and the reporter's bitmap loader both run them. The system trusts the sizes, offsets and
// tables inside a file; a damaged file makes it read past its end or past its colour table.

#include <cstddef>
#include <cstdint>

// File and info headers, masks, colour table and the pixel rows (or run-length codes) lie inside
// the bytes and agree with each other; no colour index lies past the table.
bool IsWellFormedBitmap(const uint8_t* data, size_t size);
