#include "hxZip.h"

#include "DeliveryOutput.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

namespace {

std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(size, '\0');
    for (char& c : s)
        c = static_cast<char>(rng());
    return s;
}

std::string Inflate(const std::string& raw, size_t expected) {
    std::string out(expected + 16, '\0');
    z_stream z{};
    inflateInit2(&z, -MAX_WBITS);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.data()));
    z.avail_in = static_cast<uInt>(raw.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    int rc = inflate(&z, Z_FINISH);
    out.resize(z.total_out);
    inflateEnd(&z);
    return rc == Z_STREAM_END ? out : "<broken stream>";
}

}  // namespace

TEST(Zip, CrcAndRawDeflateFollowTheStandards) {
    const std::string check = "123456789";
    EXPECT_EQ(~Crc32Update(0xFFFFFFFF, check.data(), check.size()), 0xCBF43926u);
    // Updating in pieces gives the same value.
    uint32_t crc = Crc32Update(0xFFFFFFFF, check.data(), 4);
    EXPECT_EQ(~Crc32Update(crc, check.data() + 4, 5), 0xCBF43926u);

    for (const std::string& data : {std::string(), std::string(5000, 'a'), RandomBytes(70000, 1)}) {
        std::string packed(DeflateBound(data.size()), '\0');
        size_t n = DeflateBuffer(data.data(), data.size(), packed.data(), packed.size());
        ASSERT_GT(n, 0u) << "size " << data.size();
        packed.resize(n);
        EXPECT_EQ(Inflate(packed, data.size()), data);
    }
    std::string tooSmall(4, '\0');
    std::string data = RandomBytes(1000, 2);
    EXPECT_EQ(DeflateBuffer(data.data(), data.size(), tooSmall.data(), tooSmall.size()), 0u);
}

// The archive is checked on the build machine by unzip -t and zipfile against the sources.
TEST(Zip, PacksEveryReadableFileIncludingEmptyOnes) {
    std::string src = DeliveryOutPath("zipsrc");
    CreateDirectoryA(src.c_str(), nullptr);
    struct TSource {
        std::string file, content, entry;
    };
    const TSource sources[] = {
        {"report.txt", "Line one\r\nLine two\r\n" + std::string(3000, 'x'), "bugreport.txt"},
        {"noise.bin", RandomBytes(200000, 3), "noise.bin"},
        {"empty.log", "", "empty.log"},
        {"name with spaces.txt", std::string(100, 'z'), "name with spaces.txt"},
    };
    std::vector<std::string> files;
    for (const TSource& s : sources) {
        files.push_back(src + "\\" + s.file);
        WriteFileBytes(files.back(), s.content);
    }
    // A missing file in the middle is left out.
    files.insert(files.begin() + 2, src + "\\missing.txt");
    DeleteFileA(files[2].c_str());

    std::string archive = DeliveryOutPath("attachments.zip");
    ASSERT_TRUE(WriteZipArchive(archive, files, {"bugreport.txt"}));
    for (const TSource& s : sources)
        AddExpectation("zip\tattachments.zip\t" + s.entry + "\tzipsrc/" + s.file);
    AddExpectation("zipcount\tattachments.zip\t4");

    // Writing over an archive replaces it instead of appending.
    std::string single = DeliveryOutPath("single.zip");
    ASSERT_TRUE(CopyFileA(archive.c_str(), single.c_str(), FALSE));
    ASSERT_TRUE(WriteZipArchive(single, {files[0]}, {}));
    AddExpectation("zip\tsingle.zip\treport.txt\tzipsrc/report.txt");
    AddExpectation("zipcount\tsingle.zip\t1");
}

TEST(Zip, NoEntryOrNoArchiveMeansFalseAndNothingLeft) {
    TTempDir dir;
    std::string archive = dir.Path() + "\\out.zip";
    WriteFileBytes(archive, "stale archive");
    EXPECT_FALSE(WriteZipArchive(archive, {dir.Path() + "\\none1", dir.Path() + "\\none2"}, {}));
    EXPECT_FALSE(PathExists(archive));
    EXPECT_FALSE(WriteZipArchive(archive, {}, {}));
    EXPECT_FALSE(PathExists(archive));

    std::string file = dir.AddFile("a.txt", "abc");
    EXPECT_FALSE(WriteZipArchive(dir.Path() + "\\no such folder\\out.zip", {file}, {}));

    // An archive locked by another writer is neither written nor deleted.
    HANDLE lock = CreateFileA(archive.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(WriteZipArchive(archive, {file}, {}));
    CloseHandle(lock);
    EXPECT_TRUE(PathExists(archive));
}
