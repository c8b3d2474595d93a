#include "rsStorage.h"

#include "XorEncryptor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// A back end that keeps the tree as its binary layout in memory and can be told to fail.
class TMemoryBackEnd : public TrsStorageData {
public:
    using TrsStorageData::TrsStorageData;
    void LoadData() override {
        ++loads;
        if (image.Size() == 0)
            return;
        image.SetPosition(0);
        CurrentStorage()->LoadSectionFromStream(image);
    }
    void SaveData() override {
        ++saves;
        if (failSave)
            throw EWriteError("disk full");
        image.Clear();
        CurrentStorage()->SaveSectionToStream(image);
    }
    TMemoryStream image;
    int loads = 0, saves = 0;
    bool failSave = false;
};

class TRecordingClient : public TrsStorageClient {
public:
    explicit TRecordingClient(TComponent* owner) : TrsStorageClient(owner) {
        NotifyKinds = (1u << rnCleared) | (1u << rnLoaded) | (1u << rnRootChanged) | (1u << rnKeyAdded) | (1u << rnKeyDeleted) |
                      (1u << rnSectionCleared);
    }
    void Notify(int kind, const std::string& argument) override { heard.push_back(std::to_string(kind) + ":" + argument); }
    std::vector<std::string> heard;
};

std::string ErrorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const Exception& e) {
        return e.Message;
    }
    return "";
}

}  // namespace

TEST(RsStorage, PathsRelativeToTheRootSectionOrTheTop) {
    TrsStorage storage(nullptr);
    storage.SetRootSection("X");
    storage.WriteString("A\\B\\Key", "one");
    storage.WriteString("/A/B/Key", "two");
    storage.WriteString("Plain", "three");
    storage.WriteString("\\TopKey", "four");
    EXPECT_TRUE(storage.SectionExists("\\X\\A\\B"));
    EXPECT_TRUE(storage.SectionExists("/A/B"));
    EXPECT_EQ(storage.ReadString("\\x\\a\\b\\KEY", ""), "one");
    EXPECT_EQ(storage.ReadString("\\A\\B\\Key", ""), "two");
    EXPECT_EQ(storage.ReadString("\\X\\Plain", ""), "three");
    storage.SetRootSection("");
    EXPECT_EQ(storage.ReadString("TopKey", ""), "four");
    EXPECT_EQ(storage.ReadString("X/a/B/key", ""), "one");
    // Names differing only in case are the same section and key.
    storage.WriteString("x\\A\\b\\kEy", "five");
    EXPECT_EQ(storage.ReadString("\\X\\A\\B\\Key", ""), "five");
    EXPECT_EQ(storage.Keys().size(), 4u);
    // Empty paths and empty parts do nothing and read the default.
    storage.WriteString("A\\\\Key", "bad");
    storage.WriteString("", "bad");
    EXPECT_EQ(storage.ReadString("A\\\\Key", "default"), "default");
    EXPECT_EQ(storage.Keys().size(), 4u);
    EXPECT_EQ(storage.KeyFullName(0), "\\\\TopKey");
}

// The last section resolved is reused only below the root it was resolved from.
TEST(RsStorage, TheSectionCacheKeepsToItsRoot) {
    TrsStorage storage(nullptr);
    storage.SetRootSection("X");
    storage.WriteString("A\\Key", "under X");
    storage.SetRootSection("Y");
    storage.WriteString("A\\Key", "under Y");
    EXPECT_EQ(storage.ReadString("A\\Key", ""), "under Y");
    storage.SetRootSection("X");
    EXPECT_EQ(storage.ReadString("A\\Key", ""), "under X");
    EXPECT_EQ(storage.ReadString("\\Y\\A\\Key", ""), "under Y");
    EXPECT_EQ(storage.Keys().size(), 2u);
}

TEST(RsStorage, TablesStaySortedAndDeletionsTakeSubtrees) {
    TrsStorage storage(nullptr);
    for (const char* path : {"b\\z", "B\\a", "a\\q\\deep\\k", "a\\q\\k2", "a\\k", "c"})
        storage.WriteInteger(path, 1);
    const auto& sections = storage.Sections();
    for (size_t i = 1; i < sections.size(); ++i) {
        const auto& a = sections[i - 1];
        const auto& b = sections[i];
        EXPECT_TRUE(a.ParentId < b.ParentId || (a.ParentId == b.ParentId && CompareText(a.Name, b.Name) < 0));
    }
    const auto& keys = storage.Keys();
    for (size_t i = 1; i < keys.size(); ++i)
        EXPECT_TRUE(keys[i - 1].SectionId < keys[i].SectionId ||
                    (keys[i - 1].SectionId == keys[i].SectionId && CompareText(keys[i - 1].Name, keys[i].Name) < 0));
    storage.DeleteSection("a");
    EXPECT_FALSE(storage.SectionExists("a\\q\\deep"));
    EXPECT_FALSE(storage.KeyExists("a\\q\\deep\\k"));
    EXPECT_TRUE(storage.KeyExists("b\\a"));
    EXPECT_EQ(storage.Keys().size(), 3u);
    EXPECT_EQ(storage.Sections().size(), 1u);
    storage.SetRootSection("b");
    storage.ClearSection();
    EXPECT_TRUE(storage.SectionExists("\\b"));
    EXPECT_FALSE(storage.KeyExists("\\b\\a"));
    EXPECT_TRUE(storage.KeyExists("\\c"));
    storage.DeleteKey("\\c");
    EXPECT_TRUE(storage.Keys().empty());
}

TEST(RsStorage, ReadsKeysWithConversions) {
    TrsStorage storage(nullptr);
    storage.WriteString("s", "12");
    ASSERT_TRUE(storage.FindKey("s", false));
    EXPECT_EQ(storage.Key().AsInteger(), 12);
    EXPECT_EQ(storage.Key().AsInt64(), 12);
    storage.WritePoint("p", 3, -4);
    ASSERT_TRUE(storage.FindKey("p", false));
    EXPECT_EQ(storage.Key().AsString(), "(3,-4)");
    EXPECT_FALSE(storage.Key().AsVariant().Assigned());
    const std::string message = ErrorOf([&] { storage.Key().AsInteger(); });
    EXPECT_EQ(message, "TrsStorage get key value error: Can't read value of key \"\\\\p\" as integer type.");
    EXPECT_NE(ErrorOf([&] { storage.Key().AsFloat(); }).find("as float type"), std::string::npos);

    const int32_t four = 0x01020304;
    storage.WriteBinary("b4", &four, 4);
    ASSERT_TRUE(storage.FindKey("b4", false));
    EXPECT_EQ(storage.Key().AsInteger(), four);
    EXPECT_EQ(storage.Key().AsString(), "04,03,02,01");
    EXPECT_NE(ErrorOf([&] { storage.Key().AsInt64(); }).find("as Int64 type"), std::string::npos);
    const double eight = 2.5;
    storage.WriteBinary("b8", &eight, 8);
    ASSERT_TRUE(storage.FindKey("b8", false));
    EXPECT_EQ(storage.Key().AsFloat(), 2.5);
    int64_t bits;
    std::memcpy(&bits, &eight, 8);
    EXPECT_EQ(storage.Key().AsInt64(), bits);

    storage.WriteValue("c", TrsKeyItem::OfCurrency(25000));
    storage.WriteFloat("f", 2.5);
    storage.WriteBoolean("t", true);
    storage.WriteValue("e", {});
    ASSERT_TRUE(storage.FindKey("c", false));
    EXPECT_EQ(storage.Key().AsFloat(), 2.5);
    EXPECT_EQ(storage.Key().AsInteger(), 2);  // 2.5 rounds to even
    ASSERT_TRUE(storage.FindKey("f", false));
    EXPECT_EQ(storage.Key().AsInt64(), 2);
    ASSERT_TRUE(storage.FindKey("t", false));
    EXPECT_EQ(storage.Key().AsString(), "True");
    EXPECT_EQ(storage.Key().AsInteger(), 1);
    ASSERT_TRUE(storage.FindKey("e", false));
    EXPECT_EQ(storage.Key().AsInteger(), 0);
    EXPECT_EQ(storage.Key().AsString(), "");
    EXPECT_EQ(storage.ReadString("missing", "fallback"), "fallback");
}

TEST(RsStorage, BinaryLayoutRoundTripsAndRefusesLongNames) {
    TrsStorage storage(nullptr);
    storage.WriteString("k", "v");
    const std::vector<unsigned char> expected = {0, 0, 0, 0, 1, 0, 0, 0, 1, 'k', 1, 0, 1, 0, 0, 0, 'v'};
    TMemoryStream small;
    storage.SaveSectionToStream(small);
    EXPECT_EQ(std::vector<unsigned char>(small.Memory(), small.Memory() + small.Size()), expected);

    storage.WriteInteger("A\\i", -7);
    storage.WriteInt64("A\\B\\big", int64_t(1) << 40);
    storage.WriteFloat("A\\f", 0.1);
    storage.WriteValue("A\\d", TrsKeyItem::OfDateTime(45000.5));
    storage.WriteValue("A\\c", TrsKeyItem::OfCurrency(-123456));
    storage.WritePoint("A\\p", -1, 2);
    storage.WriteBoolean("A\\t", true);
    storage.WriteBinary("A\\bin", "\0\1\2", 3);
    storage.WriteValue("A\\empty", {});
    TMemoryStream image;
    storage.SaveSectionToStream(image);
    TrsStorage copy(nullptr);
    copy.WriteString("stale", "gone after loading");
    image.SetPosition(0);
    copy.LoadSectionFromStream(image);
    ASSERT_EQ(copy.Keys().size(), storage.Keys().size());
    for (size_t i = 0; i < copy.Keys().size(); ++i) {
        const auto& a = storage.Keys()[i];
        const auto& b = copy.Keys()[i];
        EXPECT_EQ(a.Name, b.Name);
        EXPECT_EQ(a.Value.Kind, b.Value.Kind);
        EXPECT_EQ(a.Value.Text, b.Value.Text);
        EXPECT_EQ(a.Value.Int, b.Value.Int);
        EXPECT_EQ(a.Value.Float, b.Value.Float);
        EXPECT_EQ(a.Value.X, b.Value.X);
        EXPECT_EQ(a.Value.Y, b.Value.Y);
        EXPECT_EQ(storage.KeyFullName(static_cast<int>(i)), copy.KeyFullName(static_cast<int>(i)));
    }

    // A name of 256 characters would not fit its length byte.
    const std::string longName(256, 'n');
    EXPECT_THROW(storage.WriteString(longName, "x"), TrsException);
    EXPECT_THROW(storage.WriteString(longName + "\\k", "x"), TrsException);
    storage.WriteString(std::string(255, 'n'), "fits");
    EXPECT_EQ(storage.ReadString(std::string(255, 'n'), ""), "fits");

    // Every truncation of a stream raises instead of reading past it.
    for (int64_t cut = 1; cut < image.Size(); ++cut) {
        TMemoryStream part;
        part.WriteBuffer(image.Memory(), cut);
        part.SetPosition(0);
        TrsStorage target(nullptr);
        EXPECT_THROW(target.LoadSectionFromStream(part), Exception) << cut;
    }
}

TEST(RsStorage, EventsAndClientNotifications) {
    TComponent owner(nullptr);
    auto storage = new TrsStorage(&owner);
    auto client = new TRecordingClient(&owner);
    client->SetStorage(storage);
    std::vector<std::string> events;
    storage->OnKeyAdd = [&](TObject*, const std::string& key) { events.push_back("add " + key); };
    storage->OnKeyDeletion = [&](TObject*, const std::string& key) { events.push_back("delete " + key); };
    storage->SetRootSection("S");
    storage->WriteInteger("k", 1);
    storage->WriteInteger("k", 2);
    storage->DeleteKey("k");
    storage->ClearSection();
    EXPECT_EQ(events, (std::vector<std::string>{"add k", "delete k"}));
    EXPECT_EQ(client->heard, (std::vector<std::string>{"7:S", "8:k", "9:k", "6:S"}));
    client->SetEnabled(false);
    storage->WriteInteger("quiet", 1);
    EXPECT_EQ(client->heard.size(), 4u);
    FreeComponent(client);
    storage->WriteInteger("after", 1);  // the freed client is no longer told
}

TEST(RsStorage, LoadsWhenActivatedAndSavesWhenDeactivated) {
    TComponent owner(nullptr);
    auto storage = new TrsStorage(&owner);
    auto data = new TMemoryBackEnd(&owner);
    storage->SetStorageData(data);
    std::string order;
    storage->OnBeforeLoad = [&](TObject*) { order += "bl "; };
    storage->OnAfterLoad = [&](TObject*) { order += "al "; };
    storage->OnBeforeSave = [&](TObject*) { order += "bs "; };
    storage->OnAfterSave = [&](TObject*) { order += "as "; };
    storage->SetActive(true);
    storage->SetRootSection("Here");
    storage->WriteString("k", "v");
    storage->SetActive(false);
    EXPECT_EQ(order, "bl al bs as ");
    EXPECT_EQ(storage->RootSection(), "Here");  // restored after the save
    storage->SetActive(true);
    EXPECT_EQ(storage->RootSection(), "");
    EXPECT_EQ(storage->ReadString("Here\\k", ""), "v");

    // A failing save reaches the caller and still leaves the storage inactive.
    data->failSave = true;
    EXPECT_THROW(storage->SetActive(false), EWriteError);
    EXPECT_FALSE(storage->Active());
    data->failSave = false;

    // Without soSaveOnClose nothing is written.
    const int saves = data->saves;
    storage->Options = {};
    storage->SetActive(true);
    storage->SetActive(false);
    EXPECT_EQ(data->saves, saves);
}

TEST(RsStorage, WritesAtTheOwnersEndWhicheverGoesFirst) {
    for (bool backEndFirst : {false, true}) {
        TMemoryStream saved;
        {
            TComponent owner(nullptr);
            TMemoryBackEnd* data = nullptr;
            if (backEndFirst)
                data = new TMemoryBackEnd(&owner);
            auto storage = new TrsStorage(&owner);
            if (!backEndFirst)
                data = new TMemoryBackEnd(&owner);
            storage->SetStorageData(data);
            storage->SetActive(true);
            storage->WriteInteger("k", 5);
            data->OnAfterSave = [&](TObject* sender) {
                auto self = static_cast<TMemoryBackEnd*>(sender);
                saved.WriteBuffer(self->image.Memory(), self->image.Size());
            };
        }
        EXPECT_GT(saved.Size(), 0) << backEndFirst;
    }
}

TEST(RsStorage, ProgressOnlyRises) {
    TrsStorageData data(nullptr);
    std::vector<int> reported;
    data.OnProgress = [&](TObject*, int percent) { reported.push_back(percent); };
    data.ResetProgress();
    data.SetProgressTotal(3);
    for (int i = 0; i < 3; ++i)
        data.DoProgress();
    EXPECT_EQ(reported, (std::vector<int>{33, 66, 100}));
    reported.clear();
    data.ResetProgress();
    data.DoProgress();  // no total: nothing to report, and no division by zero
    EXPECT_TRUE(reported.empty());
}

TEST(RsStorage, EncryptorHidesKeysSectionsOrEverythingWhileSaved) {
    TComponent owner(nullptr);
    auto storage = new TrsStorage(&owner);
    auto data = new TMemoryBackEnd(&owner);
    auto cipher = new TXorEncryptor(&owner);
    storage->SetStorageData(data);
    storage->SetEncryptor(cipher);
    storage->SetActive(true);
    storage->WriteString("\\S\\secret", "password");
    storage->WriteInteger("\\S\\number", 1234);
    storage->WriteString("\\T\\a", "alpha");
    storage->WriteString("\\T\\U\\b", "beta");
    storage->WriteString("\\plain", "visible");
    cipher->EncryptKeys().Add("\\S\\secret");
    cipher->EncryptKeys().Add("\\S\\number");
    cipher->EncryptKeys().Add("\\T");
    auto saved = [&] { return std::string(reinterpret_cast<const char*>(data->image.Memory()), static_cast<size_t>(data->image.Size())); };
    auto check = [&] {
        EXPECT_EQ(storage->ReadString("\\S\\secret", ""), "password");
        EXPECT_EQ(storage->ReadString("\\S\\number", ""), "1234");
        ASSERT_TRUE(storage->FindKey("\\S\\number", false));
        EXPECT_EQ(storage->Key().Value().Kind, TrsKeyKind::Integer);
        EXPECT_EQ(storage->ReadString("\\T\\U\\b", ""), "beta");
        EXPECT_EQ(storage->ReadString("\\plain", ""), "visible");
    };
    storage->SetActive(false);
    check();  // deciphered again after the save
    for (const char* hidden : {"password", "alpha", "beta"})
        EXPECT_EQ(saved().find(hidden), std::string::npos) << hidden;
    EXPECT_NE(saved().find("visible"), std::string::npos);
    // A check compares the enciphered form of a text with what an enciphered key holds.
    ASSERT_TRUE(cipher->EncipherKey(*storage, "\\S\\secret"));
    EXPECT_TRUE(cipher->CheckValue(*storage, "\\S\\secret", "password"));
    EXPECT_FALSE(cipher->CheckValue(*storage, "\\S\\secret", "guess"));
    ASSERT_TRUE(cipher->DecipherKey(*storage, "\\S\\secret"));
    storage->SetActive(true);
    check();

    cipher->EncryptAll = true;
    storage->SetActive(false);
    EXPECT_EQ(saved().find("visible"), std::string::npos);
    storage->SetActive(true);
    check();
    EXPECT_EQ(storage->Keys().size(), 5u);
}
