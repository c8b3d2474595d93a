#pragma once

// Blowfish on strings in place and Base64. Plain C++ without windows.h, so that
// build-time tools can share this unit.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The core transform: whole 8-byte blocks only, trailing bytes stay as they are.
// Iv == 0: ECB, each block's two words taken little- or big-endian, run forwards
// (encrypt) or backwards. Iv != 0: counter mode, the counter (Iv + 1 for the first
// block, wrapping at 2^64) enciphered as a big-endian block and XORed onto the data;
// direction and word order do not matter then. An empty password changes nothing.
void BlowfishTransform(unsigned char* data, std::size_t length, bool encrypt, bool bigEndian,
                       std::uint64_t iv, std::string_view password);

// ECB with little-endian words.
void BlowfishEncryptStr(std::string& data, std::string_view password);
void BlowfishDecryptStr(std::string& data, std::string_view password);
// Iv == 0: ECB decryption with big-endian words; else counter mode from Iv. Then
// removes padding: a last byte v in 1..8 preceded by v - 1 equal bytes deletes v bytes.
void BlowfishCryptStrIv(std::string& data, std::string_view password, std::uint64_t iv);

// Standard alphabet with "=" padding, no line breaks.
std::string Base64Encode(const void* buffer, std::size_t length);
std::string Base64EncodeStr(std::string_view s);
