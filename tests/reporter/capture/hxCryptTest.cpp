#include "hxCrypt.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

std::string Block(std::uint64_t value)
{
    std::string s(8, '\0');
    for (int i = 0; i < 8; ++i)
        s[i] = static_cast<char>(value >> (56 - 8 * i));
    return s;
}

std::string BigEndianEncrypt(std::string data, std::string_view key)
{
    BlowfishTransform(reinterpret_cast<unsigned char*>(data.data()), data.size(), true, true, 0, key);
    return data;
}

struct TVector {
    std::uint64_t Key, Plain, Cipher;
};

// The published reference vectors of the cipher (64-bit keys, big-endian blocks).
const TVector kVectors[] = {
    {0x0000000000000000, 0x0000000000000000, 0x4ef997456198dd78},
    {0xffffffffffffffff, 0xffffffffffffffff, 0x51866fd5b85ecb8a},
    {0x3000000000000000, 0x1000000000000001, 0x7d856f9a613063f2},
    {0x1111111111111111, 0x1111111111111111, 0x2466dd878b963c9d},
    {0x0123456789abcdef, 0x1111111111111111, 0x61f9c3802281b096},
    {0x1111111111111111, 0x0123456789abcdef, 0x7d0cc630afda1ec7},
    {0xfedcba9876543210, 0x0123456789abcdef, 0x0aceab0fc6a0a28d},
};

TEST(Blowfish, ReferenceVectorsBigEndianEcb)
{
    for (const TVector& v : kVectors) {
        const std::string key = Block(v.Key);
        EXPECT_EQ(BigEndianEncrypt(Block(v.Plain), key), Block(v.Cipher)) << std::hex << v.Key;
        // The decrypting direction of the string routine with Iv 0 undoes it.
        std::string data = Block(v.Cipher) + "tail!";
        BlowfishCryptStrIv(data, key, 0);
        std::string expected = Block(v.Plain) + "tail!";
        EXPECT_EQ(data, expected);
    }
    // A key longer than one block: the 26 lower-case letters.
    EXPECT_EQ(BigEndianEncrypt("BLOWFISH", "abcdefghijklmnopqrstuvwxyz"), Block(0x324ed0fef413a203));
}

TEST(Blowfish, LittleEndianEcbSwapsWordsAroundTheCore)
{
    const std::string key = Block(0x0123456789abcdef);
    // Little-endian words: each 4-byte half is reversed before and after the core.
    std::string data = Block(0x1111111111111111);
    BlowfishEncryptStr(data, key);
    const std::string c = Block(0x61f9c3802281b096);
    EXPECT_EQ(data, std::string({c[3], c[2], c[1], c[0], c[7], c[6], c[5], c[4]}));
    BlowfishDecryptStr(data, key);
    EXPECT_EQ(data, Block(0x1111111111111111));
}

TEST(Blowfish, OnlyWholeBlocksChange)
{
    const std::string original = "0123456789abc";
    std::string data = original;
    BlowfishEncryptStr(data, "secret");
    EXPECT_NE(data.substr(0, 8), original.substr(0, 8));
    EXPECT_EQ(data.substr(8), original.substr(8));

    std::string shortData = "1234567";
    BlowfishEncryptStr(shortData, "secret");
    EXPECT_EQ(shortData, "1234567");
    std::string empty;
    BlowfishCryptStrIv(empty, "secret", 5);
    EXPECT_EQ(empty, "");
}

TEST(Blowfish, EmptyPasswordLeavesDataUnchanged)
{
    const std::string original = std::string("padded\x02\x02", 8) + "12345678";
    for (std::uint64_t iv : {std::uint64_t(0), std::uint64_t(42)}) {
        std::string data = original;
        BlowfishCryptStrIv(data, "", iv);
        EXPECT_EQ(data, original);
    }
    std::string data = original;
    BlowfishEncryptStr(data, "");
    EXPECT_EQ(data, original);
    BlowfishDecryptStr(data, "");
    EXPECT_EQ(data, original);
}

TEST(Blowfish, CounterModeStartsAtIvPlusOneAndWraps)
{
    const std::string key = "counter key";
    auto keystream = [&](std::uint64_t counter) { return BigEndianEncrypt(Block(counter), key); };
    auto crypt = [&](std::string data, std::uint64_t iv) {
        BlowfishTransform(reinterpret_cast<unsigned char*>(data.data()), data.size(), false, false, iv, key);
        return data;
    };
    const std::string zeros(24, '\0');
    EXPECT_EQ(crypt(zeros, 7), keystream(8) + keystream(9) + keystream(10));
    // The low word carries into the high word, and the whole counter wraps to zero.
    EXPECT_EQ(crypt(zeros, 0x00000000fffffffe), keystream(0x00000000ffffffff) + keystream(0x0000000100000000) +
                                                     keystream(0x0000000100000001));
    EXPECT_EQ(crypt(zeros, 0xfffffffffffffffe), keystream(0xffffffffffffffff) + keystream(0) + keystream(1));
    // The same operation both ways; a partial last block stays as it is.
    const std::string text = "counter mode text, 29 bytes.";
    const std::string once = crypt(text, 0x1234);
    EXPECT_EQ(once.substr(24), text.substr(24));
    EXPECT_EQ(crypt(once, 0x1234), text);
}

TEST(Blowfish, CryptStrIvRemovesPadding)
{
    const std::string key = "pass";
    auto encipher = [&](std::string data, std::uint64_t iv) {
        BlowfishTransform(reinterpret_cast<unsigned char*>(data.data()), data.size(), true, true, iv, key);
        return data;
    };
    const struct {
        std::string Plain, Expected;
    } cases[] = {
        {std::string("abcde\x03\x03\x03", 8), "abcde"},
        {std::string("12345678\x08\x08\x08\x08\x08\x08\x08\x08", 16), "12345678"},
        {std::string("abcdefg\x01", 8), "abcdefg"},
        {std::string("abcde\x02\x03\x03", 8), std::string("abcde\x02\x03\x03", 8)}, // not all equal
        {std::string("abcdefg\x09", 8), std::string("abcdefg\x09", 8)},             // beyond 8
        {std::string("abcdefg\x00", 8), std::string("abcdefg\x00", 8)},
    };
    for (std::uint64_t iv : {std::uint64_t(0), std::uint64_t(0x0102030405060708)}) {
        for (const auto& c : cases) {
            std::string data = encipher(c.Plain, iv);
            BlowfishCryptStrIv(data, key, iv);
            EXPECT_EQ(data, c.Expected) << "iv " << iv;
        }
    }
    // Padding is judged on the trailing partial bytes too, which are never enciphered.
    std::string tail = std::string(8, 'x') + "ab\x02\x02";
    BlowfishCryptStrIv(tail, key, 3);
    EXPECT_EQ(tail.size(), 10u);
}

TEST(Base64, Rfc4648Examples)
{
    const struct {
        const char* Plain;
        const char* Encoded;
    } cases[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
                 {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
    for (const auto& c : cases)
        EXPECT_EQ(Base64EncodeStr(c.Plain), c.Encoded);
    const unsigned char bytes[] = {0xfb, 0xff, 0xbf, 0x00};
    EXPECT_EQ(Base64Encode(bytes, 4), "+/+/AA==");
    // No line breaks, however long.
    EXPECT_EQ(Base64EncodeStr(std::string(1000, 'z')).size(), 1336u);
}

} // namespace
