#include "rsUtils.h"

#include "GuardedBytes.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

std::string RandomBytes(size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(count, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random() & 255);
    return bytes;
}

std::string RoundTrip(const std::string& plain, std::string* packedOut = nullptr) {
    TMemoryStream source, packed, unpacked;
    source.WriteBuffer(plain.data(), static_cast<int64_t>(plain.size()));
    source.SetPosition(0);
    CompressStream(source, packed);
    if (packedOut)
        packedOut->assign(reinterpret_cast<const char*>(packed.Memory()), static_cast<size_t>(packed.Size()));
    packed.SetPosition(0);
    DecompressStream(packed, unpacked);
    return std::string(reinterpret_cast<const char*>(unpacked.Memory()), static_cast<size_t>(unpacked.Size()));
}


}  // namespace

TEST(RsUtils, ErrorsCarryThePrefixOfTheirKind) {
    try {
        RaiseStorageError(rsGetKeyError, "detail");
        FAIL();
    } catch (const TrsException& e) {
        EXPECT_EQ(e.Message, "TrsStorage get key value error: detail");
        EXPECT_EQ(e.Kind, rsGetKeyError);
    }
    EXPECT_EQ(StorageErrorPrefix(rsSetKeyError), "TrsStorage set key value error:");
    EXPECT_EQ(StorageErrorPrefix(rsRegDataError), "TrsRegData error:");
    EXPECT_EQ(StorageErrorPrefix(42), "Storage library error:");
}

TEST(RsUtils, ClassifiesNumbers) {
    EXPECT_EQ(ClassifyNumber("+12", '.'), ncInteger);
    EXPECT_EQ(ClassifyNumber("1.5", '.'), ncFloat);
    EXPECT_EQ(ClassifyNumber("1,5", ','), ncFloat);
    EXPECT_EQ(ClassifyNumber("1,5", '.'), ncNone);
    EXPECT_EQ(ClassifyNumber("1.2.3", '.'), ncNone);
    EXPECT_EQ(ClassifyNumber("12a", '.'), ncNone);
    EXPECT_EQ(ClassifyNumber("1-2", '.'), ncNone);
    EXPECT_EQ(ClassifyNumber("-", '.'), ncNone);
    EXPECT_EQ(ClassifyNumber("", '.'), ncNone);
    EXPECT_EQ(ClassifyNumber("1e20.0", '.'), ncNone);
    EXPECT_EQ(ClassifyNumber("2147483647", '.'), ncInteger);
    EXPECT_EQ(ClassifyNumber("2147483648", '.'), ncInt64);
    EXPECT_EQ(ClassifyNumber("-2147483648", '.'), ncInteger);
    EXPECT_EQ(ClassifyNumber("-2147483649", '.'), ncInt64);
    EXPECT_EQ(ClassifyNumber("+2147483648", '.'), ncInt64);
    EXPECT_EQ(ClassifyNumber("4294967296", '.'), ncInt64);
    EXPECT_EQ(ClassifyNumber("99999999999", '.'), ncInt64);
}

TEST(RsUtils, HexCodec) {
    const std::string bytes("\x00\x7F\xAB\xFF", 4);
    TrsHexLayout compact;
    compact.Compact = true;
    EXPECT_EQ(HexEncode(bytes.data(), 4, compact), "007FABFF");
    EXPECT_EQ(HexEncode(bytes.data(), 4), "00,7F,AB,FF");
    EXPECT_EQ(HexDecode("00,7f,Ab,FF"), std::string(bytes.data(), 4));
    EXPECT_EQ(HexDecode("007FABFF"), std::string(bytes.data(), 4));
    EXPECT_EQ(HexDecode("00,7F,\\\r\n  AB, FF"), std::string(bytes.data(), 4));
    // A stray character or a lone digit spoils the whole value.
    EXPECT_EQ(HexDecode("00,7G"), "");
    EXPECT_EQ(HexDecode("00,7"), "");
    EXPECT_EQ(HexDecode("0;"), "");

    // Lines break after a comma past the column limit, never leaving a lone pair behind.
    const std::string forty = RandomBytes(40, 1);
    TrsHexLayout wrapped;
    wrapped.LineBreak = "\\\r\n  ";
    wrapped.StartColumn = 16;
    const std::string text = HexEncode(forty.data(), forty.size(), wrapped);
    size_t breaks = 0;
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 1))
        ++breaks;
    EXPECT_EQ(breaks, 1u);
    EXPECT_LE(text.find("\r\n"), 77u);
    EXPECT_EQ(HexDecode(text), forty);
    const std::string three = "\x01\x02\x03";
    wrapped.StartColumn = 74;
    EXPECT_EQ(HexEncode(three.data(), 3, wrapped), "01,\\\r\n  02,03");
    wrapped.StartColumn = 77;
    EXPECT_EQ(HexEncode(three.data(), 2, wrapped), "01,02");
}

TEST(RsUtils, Base64WithoutPadding) {
    for (size_t length = 0; length < 12; ++length) {
        const std::string bytes = RandomBytes(length, static_cast<unsigned>(length));
        const std::string text = Base64EncodeRs(bytes.data(), bytes.size());
        EXPECT_EQ(text.size(), length / 3 * 4 + (length % 3 ? length % 3 + 1 : 0));
        EXPECT_EQ(text.find('='), std::string::npos);
        EXPECT_EQ(Base64DecodeRs(text), bytes);
    }
    EXPECT_EQ(Base64EncodeRs("Man", 3), "TWFu");
    EXPECT_EQ(Base64EncodeRs("Ma", 2), "TWE");
    EXPECT_EQ(Base64DecodeRs("TWE="), "");
    EXPECT_EQ(Base64DecodeRs("TW E"), "");
}

TEST(RsUtils, PathAndTextHelpers) {
    size_t at = 0;
    EXPECT_EQ(NextPathPart("ab\\cd/ef", at), "ab");
    EXPECT_EQ(at, 2u);
    ++at;
    EXPECT_EQ(NextPathPart("ab\\cd/ef", at), "cd");
    ++at;
    EXPECT_EQ(NextPathPart("ab\\cd/ef", at), "ef");
    EXPECT_EQ(at, 8u);
    EXPECT_EQ(SameNameCompare("Abc", "aBC"), 0);
    EXPECT_LT(SameNameCompare("abc", "ABD"), 0);
    EXPECT_EQ(QuoteIfNeeded(""), "");
    EXPECT_EQ(QuoteIfNeeded("a b"), "\"a b\"");
    EXPECT_EQ(QuoteIfNeeded("\"x\""), "\"x\"");
    EXPECT_EQ(QuoteIfNeeded("\""), "\"");
    char units[] = {'a', 0, 'b', 0, 0, 0, 'c', 0};
    SwapByteOrder16(units, sizeof(units));
    EXPECT_EQ(std::string(units, sizeof(units)), std::string("\0a\0b\0\0c\0", 8));
}

TEST(RsCompressor, BlockLayouts) {
    const std::string same(1000, 'x');
    const std::string packed = CompressBlock(reinterpret_cast<const unsigned char*>(same.data()), same.size());
    // The flag, one control word with one used bit at the top, one run item.
    EXPECT_EQ(packed, std::string("\x40\x80\x00\x00\x03\xD8x", 7));
    const std::string noise = RandomBytes(5000, 7);
    const std::string stored = CompressBlock(reinterpret_cast<const unsigned char*>(noise.data()), noise.size());
    ASSERT_EQ(stored.size(), noise.size() + 1);
    EXPECT_EQ(static_cast<unsigned char>(stored[0]), 128);
    EXPECT_EQ(stored.substr(1), noise);
}

TEST(RsCompressor, RoundTrips) {
    std::string packed;
    EXPECT_EQ(RoundTrip(""), "");
    const std::string noise = RandomBytes(100000, 3);
    EXPECT_EQ(RoundTrip(noise), noise);
    std::string text;
    for (int i = 0; i < 5000; ++i)
        text += "[frmRegistryUndo]\r\nlvwRegKeys.Columns.Width=\"120,300," + std::to_string(i % 97) + "\"\r\n";
    EXPECT_EQ(RoundTrip(text, &packed), text);
    EXPECT_LT(packed.size(), text.size() / 4);
    std::string runs;
    for (int i = 0; i < 200; ++i)
        runs += std::string(static_cast<size_t>(i * 37 % 5000), static_cast<char>(i)) + RandomBytes(20, static_cast<unsigned>(i));
    EXPECT_EQ(RoundTrip(runs), runs);
    // Exactly one block, and one byte past it.
    const std::string edge = RandomBytes(kRsBlockSize + 1, 9);
    EXPECT_EQ(RoundTrip(edge), edge);
}

TEST(RsCompressor, RefusesDamagedInputWithinItsBounds) {
    std::string text;
    for (int i = 0; i < 400; ++i)
        text += "key" + std::to_string(i % 13) + "=" + std::string(static_cast<size_t>(i % 40), 'z') + "\r\n";
    text.resize(std::min(text.size(), kRsBlockSize));
    const std::string packed = CompressBlock(reinterpret_cast<const unsigned char*>(text.data()), text.size());
    ASSERT_EQ(packed[0], 64);
    TGuardedBytes guard(packed.size());
    std::mt19937 random(11);
    for (int round = 0; round < 3000; ++round) {
        std::string damaged = packed;
        const size_t cut = round % 5 == 0 ? random() % damaged.size() + 1 : damaged.size();
        damaged.resize(cut);
        for (int k = 0; k < 3; ++k)
            damaged[random() % damaged.size()] = static_cast<char>(random() & 255);
        std::string out;
        DecompressBlock(guard.Place(damaged), damaged.size(), out);
        EXPECT_LE(out.size(), kRsBlockSize);
    }
    // A copy reaching before the start and a run past the block's end are refused.
    std::string out;
    const std::string before("\x40\x80\x00\x01\x10", 5);
    EXPECT_FALSE(DecompressBlock(guard.Place(before), before.size(), out));
    const std::string tooLong("\x40\x80\x00\x00\x7F\xFF\x41", 7);
    EXPECT_FALSE(DecompressBlock(guard.Place(tooLong), tooLong.size(), out));
    const std::string badFlag("\x20\x00", 2);
    EXPECT_FALSE(DecompressBlock(guard.Place(badFlag), badFlag.size(), out));

    // Streams: an oversized block size and a block cut short raise instead of reading on.
    for (const std::string& stream : {std::string("\xFF\xFF\x00\x00\x80", 5), std::string("\x10\x00\x00\x00\x80zz", 7)}) {
        TMemoryStream source, dest;
        source.WriteBuffer(stream.data(), static_cast<int64_t>(stream.size()));
        source.SetPosition(0);
        EXPECT_THROW(DecompressStream(source, dest), TrsException);
    }
}
