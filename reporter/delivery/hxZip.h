#pragma once

// Raw DEFLATE, CRC-32 and the ZIP archive writer used to pack bug-report attachments.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Raw DEFLATE data (no zlib header or trailer) of source into dest. Returns the number of bytes
// written, 0 when dest is too small or the compressor fails. Empty input gives a valid block.
size_t DeflateBuffer(const void* source, size_t sourceSize, void* dest, size_t destSize);

// The output bound the callers allocate: size * 11 / 10 + 12.
size_t DeflateBound(size_t sourceSize);

// Table-driven CRC-32 of ZIP and PNG without pre- and post-conditioning: start with 0xFFFFFFFF
// and complement the result.
uint32_t Crc32Update(uint32_t crc, const void* data, size_t size);

// Packs files (full paths) into a new archive. Entry i is named names[i] when given, else the
// file's name after its last backslash. Unreadable files are left out; empty files are stored.
// True when the archive holds at least one entry and was written completely; otherwise no
// archive is left behind. Never throws.
bool WriteZipArchive(const std::string& archivePath, const std::vector<std::string>& files,
                     const std::vector<std::string>& names);
