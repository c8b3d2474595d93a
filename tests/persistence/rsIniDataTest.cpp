#include "Forms.h"
#include "rsIniData.h"

#include "XorEncryptor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// A storage with an ini back end that reads and writes text in memory.
struct TIniFixture {
    TIniFixture() {
        ini->FileName = "unused";
        ini->OnLoadFromStream = [this](TObject*, TStream& stream, bool&) { stream.WriteBuffer(text.data(), static_cast<int64_t>(text.size())); };
        ini->OnSaveToStream = [this](TObject*, TStream& stream, bool&) {
            text.assign(static_cast<size_t>(stream.Size()), '\0');
            stream.ReadBuffer(text.data(), stream.Size());
        };
        storage->SetStorageData(ini);
    }
    void Save() { storage->Save(); }
    void Load(const std::string& content) {
        text = content;
        storage->Load();
    }
    TComponent owner{nullptr};
    TrsStorage* storage = new TrsStorage(&owner);
    TrsIniData* ini = new TrsIniData(&owner);
    std::string text;
};

// Sets the calling thread's locale for the test's life.
class TThreadLocale {
public:
    explicit TThreadLocale(LANGID language) : previous_(GetThreadLocale()) { SetThreadLocale(MAKELCID(language, SORT_DEFAULT)); }
    ~TThreadLocale() { SetThreadLocale(previous_); }
    TThreadLocale(const TThreadLocale&) = delete;
    TThreadLocale& operator=(const TThreadLocale&) = delete;

private:
    LCID previous_;
};

std::string TempFolder(const char* name) {
    char base[MAX_PATH] = "";
    GetTempPathA(MAX_PATH, base);
    const std::string folder = std::string(base) + name + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}

std::string ReadFile(const std::string& path) {
    TMemoryStream stream;
    stream.LoadFromFile(path);
    return std::string(reinterpret_cast<const char*>(stream.Memory()), static_cast<size_t>(stream.Size()));
}

void WriteFile(const std::string& path, const std::string& text) {
    TFileStream file(path, fmCreate);
    file.WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
}

void WriteEveryKind(TrsStorage& s) {
    s.WriteString("Sec\\str", "plain text");
    s.WriteString("Sec\\quoted", "\"already quoted\"");
    s.WriteString("Sec\\lines", "one\r\ntwo $ and $$ \x01");
    s.WriteString("Sec\\empty", "");
    s.WriteInteger("Sec\\int", -2147483647 - 1);
    s.WriteInteger("Sec\\max", 2147483647);
    s.WriteFloat("Sec\\float", 1.0);
    s.WriteFloat("Sec\\pi", 3.14159265358979);
    s.WriteFloat("Sec\\huge", 1e20);
    s.WriteValue("Sec\\curr", TrsKeyItem::OfCurrency(-1234567));
    s.WriteValue("Sec\\date", TrsKeyItem::OfDateTime(45270.75));
    s.WriteBoolean("Sec\\yes", true);
    s.WriteBoolean("Sec\\no", false);
    s.WritePoint("Sec\\pt", -5, 7);
    s.WriteInt64("Sec\\small64", 5);
    s.WriteInt64("Sec\\big64", 4294967296LL);
    s.WriteBinary("Sec\\bin", "\x00\xFF\x10", 3);
    s.WriteValue("Sec\\none", {});
}

void CheckEveryKind(TrsStorage& s) {
    auto key = [&](const char* name) -> const TrsKeyItem& {
        EXPECT_TRUE(s.FindKey(std::string("\\Sec\\") + name, false)) << name;
        return s.Key().Value();
    };
    EXPECT_EQ(key("str").Text, "plain text");
    EXPECT_EQ(key("quoted").Text, "already quoted");  // one pair of quotes goes
    EXPECT_EQ(key("lines").Text, "one\r\ntwo $ and $$ \x01");
    EXPECT_EQ(key("empty").Kind, TrsKeyKind::String);
    EXPECT_EQ(key("int").Kind, TrsKeyKind::Integer);
    EXPECT_EQ(key("int").Int, -2147483647 - 1);
    EXPECT_EQ(key("max").Kind, TrsKeyKind::Integer);
    EXPECT_EQ(key("float").Kind, TrsKeyKind::Float);
    EXPECT_EQ(key("float").Float, 1.0);
    EXPECT_EQ(key("pi").Float, 3.14159265358979);
    EXPECT_EQ(key("huge").Kind, TrsKeyKind::String);  // the exponent defeats the classifier
    EXPECT_EQ(key("curr").Kind, TrsKeyKind::Currency);
    EXPECT_EQ(key("curr").Int, -1234567);
    EXPECT_EQ(key("date").Kind, TrsKeyKind::DateTime);
    EXPECT_NEAR(key("date").Float, 45270.75, 1e-9);
    EXPECT_EQ(key("yes").Kind, TrsKeyKind::Boolean);
    EXPECT_EQ(key("yes").Int, 1);
    EXPECT_EQ(key("no").Int, 0);
    EXPECT_EQ(key("pt").Kind, TrsKeyKind::Point);
    EXPECT_EQ(key("pt").X, -5);
    EXPECT_EQ(key("pt").Y, 7);
    EXPECT_EQ(key("small64").Kind, TrsKeyKind::Int64);
    EXPECT_EQ(key("small64").Int, 5);
    EXPECT_EQ(key("big64").Kind, TrsKeyKind::Int64);
    EXPECT_EQ(key("big64").Int, 4294967296LL);
    EXPECT_EQ(key("bin").Kind, TrsKeyKind::Binary);
    EXPECT_EQ(key("bin").Text, std::string("\x00\xFF\x10", 3));
    EXPECT_EQ(key("none").Kind, TrsKeyKind::String);
}

}  // namespace

TEST(RsIniData, EveryKindRoundTripsWithEitherDecimalSeparator) {
    for (LANGID language : {MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN)}) {
        TThreadLocale locale(language);
        const char sep = language == MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN) ? ',' : '.';
        ASSERT_EQ(LocaleDecimalSeparator(), sep);
        TIniFixture f;
        WriteEveryKind(*f.storage);
        f.Save();
        EXPECT_NE(f.text.find(std::string("float=1") + sep + "0\r\n"), std::string::npos) << f.text;
        EXPECT_NE(f.text.find(std::string("huge=1e+20") + sep + "0\r\n"), std::string::npos);
        EXPECT_NE(f.text.find(std::string("curr=curr:-123") + sep + "4567\r\n"), std::string::npos);
        EXPECT_NE(f.text.find("small64=int64:5\r\n"), std::string::npos);
        EXPECT_NE(f.text.find("big64=4294967296\r\n"), std::string::npos);
        EXPECT_NE(f.text.find("quoted=\"already quoted\"\r\n"), std::string::npos);
        EXPECT_NE(f.text.find("lines=text:\"one$0D$0Atwo $$ and $$$$ $01\"\r\n"), std::string::npos);
        EXPECT_NE(f.text.find("empty=\r\n"), std::string::npos);
        EXPECT_NE(f.text.find("pt=point:-5,7\r\n"), std::string::npos);
        EXPECT_NE(f.text.find("bin=hex:00,FF,10\r\n"), std::string::npos);
        TIniFixture g;
        g.Load(f.text);
        CheckEveryKind(*g.storage);
    }
}

// The locale's short date and time, as the system prints them.
static std::string SystemDateText(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
    SYSTEMTIME time{year, month, 0, day, hour, minute, second, 0};
    char date[96] = "", clock[96] = "";
    GetDateFormatA(GetThreadLocale(), DATE_SHORTDATE, &time, nullptr, date, sizeof date);
    GetTimeFormatA(GetThreadLocale(), 0, &time, nullptr, clock, sizeof clock);
    return std::string(date) + (hour || minute || second ? std::string(" ") + clock : "");
}

TEST(RsIniData, DatesInTheLocalesFormInTwelveAndTwentyFourHourLocales) {
    const double dec9 = 45269;  // 12/9/2023
    for (LANGID language : {MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN)}) {
        TThreadLocale locale(language);
        const bool twelveHours = language == MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
        TIniFixture f;
        const double values[] = {dec9 + 0.75, dec9, dec9 + 0.5, dec9 + 1.0 / 86400, dec9 + 86399.0 / 86400, 0.25, -1.25};
        for (size_t i = 0; i < std::size(values); ++i)
            f.storage->WriteValue("\\S\\d" + std::to_string(i), TrsKeyItem::OfDateTime(values[i]));
        f.Save();
        const std::string evening = SystemDateText(2023, 12, 9, 18, 0, 0);
        EXPECT_NE(f.text.find("d0=date:" + evening + "\r\n"), std::string::npos) << f.text;
        EXPECT_NE(f.text.find("d1=date:" + SystemDateText(2023, 12, 9, 0, 0, 0) + "\r\n"), std::string::npos);
        EXPECT_EQ(evening.find("PM") != std::string::npos, twelveHours) << evening;
        TIniFixture g;
        g.Load(f.text);
        for (size_t i = 0; i < std::size(values); ++i) {
            ASSERT_TRUE(g.storage->FindKey("\\S\\d" + std::to_string(i), false));
            EXPECT_EQ(g.storage->Key().Value().Kind, TrsKeyKind::DateTime) << i;
            EXPECT_NEAR(g.storage->Key().Value().Float, values[i], 1e-9) << i;
        }
    }
    TThreadLocale english(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    TIniFixture f;
    // The afternoon counts; a time alone is a time; two-digit years fall in the locale's window.
    f.Load("[S]\r\npm=date:12/9/2023 6:00:00 PM\r\nam=date:12/9/2023 12:30 AM\r\nnoon=date:12/9/2023 12:00:00 PM\r\n"
           "old=date:12/09/2023 18:00:00\r\ntime=date:6:00:00 PM\r\nshort=date:12/9/23\r\nlast=date:12/9/45\r\n"
           "bad=date:12/9/2023 13:00 PM\r\nfeb=date:2/30/2023\r\n");
    auto date = [&](const char* name) {
        EXPECT_TRUE(f.storage->FindKey(std::string("\\S\\") + name, false)) << name;
        const TrsKeyItem& value = f.storage->Key().Value();
        return value.Kind == TrsKeyKind::DateTime ? value.Float : -1e9;
    };
    EXPECT_NEAR(date("pm"), dec9 + 0.75, 1e-9);
    EXPECT_NEAR(date("am"), dec9 + 0.5 / 24, 1e-9);
    EXPECT_NEAR(date("noon"), dec9 + 0.5, 1e-9);
    EXPECT_NEAR(date("old"), dec9 + 0.75, 1e-9);  // what the program wrote before
    EXPECT_NEAR(date("time"), 0.75, 1e-9);
    EXPECT_NEAR(date("short"), dec9, 1e-9);
    DWORD limit = 0;
    ASSERT_TRUE(GetCalendarInfoA(GetThreadLocale(), CAL_GREGORIAN, CAL_ITWODIGITYEARMAX | CAL_RETURN_NUMBER, nullptr, 0, &limit));
    if (limit >= 2045)
        EXPECT_NEAR(date("last"), dec9 + 22 * 365 + 6, 1e-9);  // 12/9/2045
    else
        EXPECT_NEAR(date("last"), dec9 - 78 * 365 - 19, 1e-9);  // 12/9/1945
    EXPECT_EQ(f.storage->ReadString("\\S\\bad", ""), "date:12/9/2023 13:00 PM");
    EXPECT_EQ(f.storage->ReadString("\\S\\feb", ""), "date:2/30/2023");
}

TEST(RsIniData, ALoneQuoteAndHexLinesThatEndInBlanks) {
    TIniFixture f;
    f.storage->WriteString("\\S\\quote", "\"");
    f.Save();
    EXPECT_EQ(f.text, "[S]\r\nquote=\"\r\n\r\n");
    TIniFixture g;
    g.Load(f.text);
    EXPECT_EQ(g.storage->ReadString("\\S\\quote", ""), "\"");

    // Only a "," or "\\" right before the line end carries a value on.
    g.Load("[S]\r\na=hex:00,01, \r\nb=1\r\nc=hex:02,\\\r\n  03\r\nd=hex:04,\t\r\ne=2\r\n");
    auto bytes = [&](const char* name) {
        EXPECT_TRUE(g.storage->FindKey(std::string("\\S\\") + name, false)) << name;
        return g.storage->Key().Value().Text;
    };
    EXPECT_EQ(bytes("a"), std::string("\x00\x01", 2));
    EXPECT_EQ(bytes("c"), "\x02\x03");
    EXPECT_EQ(bytes("d"), "\x04");
    EXPECT_EQ(g.storage->ReadString("\\S\\b", ""), "1");
    EXPECT_EQ(g.storage->ReadString("\\S\\e", ""), "2");
}

TEST(RsIniData, TheEmbeddedCopyComesFromFormData) {
    TrsIniData source(nullptr);
    const std::string text = "[S]\r\nk=\"embedded\"\r\n";
    source.InternalFile().WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
    TMemoryStream packed;
    source.WriteInternalFile(packed);
    TFormObject form;
    form.ClassName = "TrsIniData";
    form.Name = "rsIniData";
    TFormValue load;
    load.Type = TFormValueType::Ident;
    load.Text = "iflAlways";
    TFormValue copy;
    copy.Type = TFormValueType::Binary;
    copy.Text.assign(reinterpret_cast<const char*>(packed.Memory()), static_cast<size_t>(packed.Size()));
    form.Properties = {{"InternalFileLoad", load}, {"InternalFile", copy}};

    TComponent owner(nullptr);
    auto* ini = new TrsIniData(&owner);
    ini->FileName = "NoSuchSettingsFile";
    ReadComponent(form, *ini);
    EXPECT_EQ(ini->InternalFileLoad, iflAlways);
    auto* storage = new TrsStorage(&owner);
    storage->SetStorageData(ini);
    storage->Load();
    EXPECT_EQ(storage->ReadString("\\S\\k", ""), "embedded");
}

namespace {

std::vector<LCID> installedLocales;
BOOL CALLBACK NoteLocale(LPSTR text) {
    installedLocales.push_back(static_cast<LCID>(std::strtoul(text, nullptr, 16)));
    return TRUE;
}

}  // namespace

// Whatever the locale's calendar and picture, a date-time comes back as the value written, from
// the first day of year 1 to the last of 9999; values outside those years come back as well.
TEST(RsIniData, DateTimesRoundTripInEveryLocaleFromYearOneToNineThousandNineHundredNinetyNine) {
    struct TCase {
        double value;
        const char* year;  // as the file shows it, Gregorian and in full
    };
    const TCase cases[] = {
        {-693593, "0001"},                         // 1/1/0001
        {-657375 + 23415.0 / 86400, "0100"},       // 3/1/0100 06:30:15
        {-109512 + 0.75, "1600"},                  // 2/29/1600 18:00, a leap day
        {-109205 - 1.0 / 86400, "1600"},           // 12/31/1600 23:59:59
        {45269 + 0.75, "2023"},                    // 12/9/2023 18:00
        {2958465 + 86399.0 / 86400, "9999"},       // 12/31/9999 23:59:59
        {-693594, nullptr},                        // the day before the first
        {2958466.5, nullptr},                      // 1/1/10000 noon
        {-1e9, nullptr},
    };
    // Wine gives Thai the Thai Buddhist calendar and Arabic (Saudi Arabia) Umm al-Qura.
    const LCID thai = MAKELCID(MAKELANGID(LANG_THAI, SUBLANG_DEFAULT), SORT_DEFAULT);
    const LCID arabic = MAKELCID(MAKELANGID(LANG_ARABIC, SUBLANG_ARABIC_SAUDI_ARABIA), SORT_DEFAULT);
    for (LCID lcid : {thai, arabic}) {
        DWORD calendar = 0;
        ASSERT_TRUE(GetLocaleInfoA(lcid, LOCALE_ICALENDARTYPE | LOCALE_RETURN_NUMBER,
                                   reinterpret_cast<LPSTR>(&calendar), sizeof calendar));
        EXPECT_NE(calendar, static_cast<DWORD>(CAL_GREGORIAN)) << std::hex << lcid;
    }
    installedLocales.clear();
    ASSERT_TRUE(EnumSystemLocalesA(&NoteLocale, LCID_INSTALLED));
    ASSERT_NE(std::find(installedLocales.begin(), installedLocales.end(), thai), installedLocales.end());
    ASSERT_NE(std::find(installedLocales.begin(), installedLocales.end(), arabic), installedLocales.end());
    std::string failures;
    for (LCID lcid : installedLocales) {
        const LCID previous = GetThreadLocale();
        SetThreadLocale(lcid);
        TIniFixture f;
        for (size_t i = 0; i < std::size(cases); ++i)
            f.storage->WriteValue("\\S\\d" + std::to_string(i), TrsKeyItem::OfDateTime(cases[i].value));
        f.Save();
        TIniFixture g;
        g.Load(f.text);
        for (size_t i = 0; i < std::size(cases); ++i) {
            const std::string name = "d" + std::to_string(i);
            const size_t line = f.text.find("\r\n" + name + "=") + 2;
            const std::string written = f.text.substr(line, f.text.find('\r', line) - line);
            if (!g.storage->FindKey("\\S\\" + name, false)) {
                failures += Format("%04lx %s: missing\n", lcid, written.c_str());
                continue;
            }
            const TrsKeyItem& value = g.storage->Key().Value();
            if (value.Kind != TrsKeyKind::DateTime || std::fabs(value.Float - cases[i].value) > 1e-7)
                failures += Format("%04lx %s: read back as %s\n", lcid, written.c_str(),
                                   value.Kind == TrsKeyKind::DateTime ? Format("%.17g", value.Float).c_str()
                                                                      : value.Text.c_str());
            else if (cases[i].year && written.find(cases[i].year) == std::string::npos)
                failures += Format("%04lx %s: not year %s\n", lcid, written.c_str(), cases[i].year);
        }
        SetThreadLocale(previous);
    }
    EXPECT_GT(installedLocales.size(), 2u);
    EXPECT_EQ(failures, "");
}

// Numbers that earlier versions wrote for dates outside the years they could show read as dates.
TEST(RsIniData, DateNumbersOfEarlierVersionsReadAsDateTimes) {
    TThreadLocale english(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    TIniFixture f;
    f.Load("[S]\r\nold=date:-109206\r\nlate=date:3000000.25\r\nhour=date:6\r\nword=date:soon\r\n");
    auto date = [&](const char* name) {
        EXPECT_TRUE(f.storage->FindKey(std::string("\\S\\") + name, false)) << name;
        const TrsKeyItem& value = f.storage->Key().Value();
        return value.Kind == TrsKeyKind::DateTime ? value.Float : -1e9;
    };
    EXPECT_EQ(date("old"), -109206);
    EXPECT_EQ(date("late"), 3000000.25);
    EXPECT_EQ(date("hour"), 0.25);  // a time alone stays a time
    EXPECT_EQ(f.storage->ReadString("\\S\\word", ""), "date:soon");
}

TEST(RsIniData, TextLayout) {
    TIniFixture f;
    f.storage->WriteString("frmCleanupSettings\\chkB.Checked", "True");
    f.storage->WriteString("frmCleanupSettings\\CHKa.Checked", "False");
    f.storage->WriteInteger("\\top", 1);
    f.storage->WriteInteger("b\\a\\deep", 2);
    f.Save();
    EXPECT_EQ(f.text,
              "[]\r\ntop=1\r\n\r\n"
              "[frmCleanupSettings]\r\nCHKa.Checked=\"False\"\r\nchkB.Checked=\"True\"\r\n\r\n"
              "[b\\a]\r\ndeep=2\r\n\r\n");
    f.storage->Options.Include(soSaveEmptySection);
    f.Save();
    EXPECT_EQ(f.text.substr(0, 40), "[]\r\ntop=1\r\n\r\n[b]\r\n[frmCleanupSettings]\r\n");

    TStringList templ;
    templ.SetText("; head\r\n%BODY%\r\n; tail");
    f.ini->SetTemplate(templ);
    f.storage->Options.Exclude(soSaveEmptySection);
    f.storage->DeleteSection("\\b");
    f.storage->DeleteSection("\\frmCleanupSettings");
    f.Save();
    EXPECT_EQ(f.text, "; head\r\n[]\r\ntop=1\r\n\r\n; tail\r\n");
    templ.SetText("no marker");
    f.ini->SetTemplate(templ);
    f.Save();
    EXPECT_EQ(f.text, "no marker\r\n[]\r\ntop=1\r\n\r\n");
}

TEST(RsIniData, BinaryValuesWrapOrStayCompact) {
    TIniFixture f;
    std::string forty;
    for (int i = 0; i < 40; ++i)
        forty += static_cast<char>(i * 7);
    f.storage->WriteBinary("\\S\\TenLetters", forty.data(), forty.size());
    f.Save();
    const std::string line = f.text.substr(f.text.find("TenLetters="));
    EXPECT_EQ(line.find("\\\r\n  "), line.rfind("\\\r\n  "));  // exactly one continuation
    EXPECT_NE(line.find("\\\r\n  "), std::string::npos);
    EXPECT_LE(line.find("\r\n"), 77u);
    TIniFixture g;
    g.Load(f.text);
    EXPECT_EQ(g.storage->ReadString("\\S\\TenLetters", ""), HexEncode(forty.data(), forty.size()));

    f.ini->CompactOptions = {coHexStr};
    f.Save();
    EXPECT_NE(f.text.find("TenLetters=hex:" + HexEncode(forty.data(), forty.size(), {"", 0, true}) + "\r\n"), std::string::npos);
    g.Load(f.text);
    ASSERT_TRUE(g.storage->FindKey("\\S\\TenLetters", false));
    EXPECT_EQ(g.storage->Key().Value().Text, forty);
}

TEST(RsIniData, ReadingSkipsWhatIsNoKey) {
    TIniFixture f;
    f.Load("stray=1\r\n; comment\r\n\r\n  [First]  \r\n# note\r\n/ note\r\n\\ note\r\nno equals sign\r\n"
           "  a = 1\r\nsub\\k=2\r\n\r\n[]\r\nrootkey=3\n[Second]\rb=4");
    EXPECT_FALSE(f.storage->KeyExists("\\stray"));
    EXPECT_EQ(f.storage->ReadString("\\First\\a ", ""), " 1");  // names and values are not trimmed inside
    EXPECT_EQ(f.storage->ReadString("\\First\\sub\\k", ""), "2");
    EXPECT_EQ(f.storage->ReadString("\\rootkey", ""), "3");
    EXPECT_EQ(f.storage->ReadString("\\Second\\b", ""), "4");
    EXPECT_EQ(f.storage->Keys().size(), 4u);
    EXPECT_EQ(f.storage->RootSection(), "");
}

TEST(RsIniData, DamagedValuesStayTextAndTheRestLoads) {
    TIniFixture f;
    f.Load("[S]\r\na=point:x,1\r\nb=date:not a date\r\nc=curr:1.2.3\r\nd=int64:12z\r\n"
           "e=99999999999999999999999\r\nf=hex:00,GG\r\ng=point:5\r\nh=text:\"$4\r\ni=1.2.3\r\n"
           "[bad\\\\header]\r\nlost=1\r\n[T]\r\nlast=\"ok\"\r\n");
    EXPECT_EQ(f.storage->ReadString("\\S\\a", ""), "point:x,1");
    EXPECT_EQ(f.storage->ReadString("\\S\\b", ""), "date:not a date");
    EXPECT_EQ(f.storage->ReadString("\\S\\c", ""), "curr:1.2.3");
    EXPECT_EQ(f.storage->ReadString("\\S\\d", ""), "int64:12z");
    EXPECT_EQ(f.storage->ReadString("\\S\\e", ""), "99999999999999999999999");
    ASSERT_TRUE(f.storage->FindKey("\\S\\f", false));
    EXPECT_EQ(f.storage->Key().Value().Kind, TrsKeyKind::Binary);
    EXPECT_EQ(f.storage->Key().Value().Text, "");
    EXPECT_EQ(f.storage->ReadString("\\S\\g", ""), "point:5");
    EXPECT_EQ(f.storage->ReadString("\\S\\h", ""), std::string(1, '\x40'));
    EXPECT_EQ(f.storage->ReadString("\\S\\i", ""), "1.2.3");
    EXPECT_FALSE(f.storage->KeyExists("\\bad\\lost"));
    EXPECT_FALSE(f.storage->KeyExists("\\S\\lost"));
    EXPECT_EQ(f.storage->ReadString("\\T\\last", ""), "ok");

    // 16-bit text in either byte order loads as well.
    const std::string narrow = "[U]\r\nk=\"v\"\r\n";
    std::string little = "\xFF\xFE", big = "\xFE\xFF";
    for (char c : narrow) {
        little += c, little += '\0';
        big += '\0', big += c;
    }
    for (const std::string& wide : {little, big}) {
        TIniFixture g;
        g.Load(wide);
        EXPECT_EQ(g.storage->ReadString("\\U\\k", ""), "v");
    }
}

// A name longer than the storage keeps, or enciphered data that no longer deciphers, costs its
// own line (a header: its keys) and nothing else.
TEST(RsIniData, OverLongNamesAndDamagedEncipheredDataCostOnlyThemselves) {
    TIniFixture f;
    auto cipher = new TXorEncryptor(&f.owner);
    f.storage->SetEncryptor(cipher);
    cipher->EncryptKeys().Add("\\Good");
    f.storage->WriteString("\\Good\\v", "secret");
    f.Save();
    const size_t good = f.text.find("[Good]");
    ASSERT_NE(good, std::string::npos);
    ASSERT_EQ(f.text.find("secret"), std::string::npos);
    const std::string enciphered = f.text.substr(good, f.text.find("\r\n\r\n", good) + 4 - good);

    // Five sections and no keys, then nothing where their names should be.
    const std::string damaged = "rsEncipheredSection=hex:5F,5A,5A,5A,5A,5A,5A,5A";
    const std::string longest(TrsStorage::MaxNameLength, 'k'), tooLong(TrsStorage::MaxNameLength + 1, 'x');
    TIniFixture g;
    auto reader = new TXorEncryptor(&g.owner);
    g.storage->SetEncryptor(reader);
    reader->EncryptKeys().Add("\\Good");
    reader->EncryptKeys().Add("\\Hidden");
    ASSERT_NO_THROW(g.Load("[S]\r\na=1\r\n" + tooLong + "=lost\r\n" + longest + "=fits\r\nsub\\" + tooLong +
                           "\\c=lost\r\nb=2\r\n[" + tooLong + "]\r\nlost=3\r\n[S\\" + tooLong + "]\r\nlost=4\r\n[T]\r\nc=5\r\n" +
                           "[Hidden]\r\nkeep=6\r\n" + damaged + "\r\n" + enciphered + "[U]\r\nlast=\"ok\"\r\n"));
    EXPECT_EQ(g.storage->ReadString("\\S\\a", ""), "1");
    EXPECT_EQ(g.storage->ReadString("\\S\\" + longest, ""), "fits");
    EXPECT_EQ(g.storage->ReadString("\\S\\b", ""), "2");
    EXPECT_EQ(g.storage->ReadString("\\T\\c", ""), "5");
    EXPECT_EQ(g.storage->ReadString("\\Good\\v", ""), "secret");
    EXPECT_EQ(g.storage->ReadString("\\U\\last", ""), "ok");
    // The damaged section stays as it was stored, its enciphered key included.
    EXPECT_EQ(g.storage->ReadString("\\Hidden\\keep", ""), "6");
    ASSERT_TRUE(g.storage->FindKey("\\Hidden\\rsEncipheredSection", false));
    EXPECT_EQ(g.storage->Key().Value().Text.size(), 8u);
    for (const auto& key : g.storage->Keys())
        EXPECT_NE(key.Name, "lost");
    EXPECT_EQ(g.storage->Keys().size(), 8u);
    EXPECT_EQ(g.storage->Sections().size(), 5u);  // S, T, Hidden, Good, U
}

TEST(RsIniData, FileLocationAndSaving) {
    TrsIniData ini(nullptr);
    ini.FileName = "CleanupSettings";
    ini.Options = {};
    char exe[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    EXPECT_EQ(ini.FilePath(), ExtractFilePath(exe) + "CleanupSettings.ini");
    ini.FileName = "sub\\Name.cfg";
    EXPECT_EQ(ini.FilePath(), ExtractFilePath(exe) + "sub\\Name.cfg");
    ini.Options = {doAutoName};
    EXPECT_EQ(ini.FilePath(), ExtractFilePath(exe) + "sub\\PersistenceTests.cfg");
    char windows[MAX_PATH] = "";
    GetWindowsDirectoryA(windows, MAX_PATH);
    ini.FileDir = fdWindows;
    ini.Options = {};
    ini.FileName = "w";
    EXPECT_EQ(ini.FilePath(), std::string(windows) + "\\w.ini");

    const std::string folder = TempFolder("rsini");
    TComponent owner(nullptr);
    auto storage = new TrsStorage(&owner);
    auto data = new TrsIniData(&owner);
    storage->SetStorageData(data);
    data->FileDir = fdCustom;
    data->Options = {doAutoCreateDir};
    data->FileName = folder + "\\a\\b\\Settings";
    const std::string path = folder + "\\a\\b\\Settings.ini";
    storage->SetActive(true);  // no file yet: nothing loads
    EXPECT_TRUE(storage->Keys().empty());
    storage->WriteString("S\\k", "first");
    storage->SetActive(false);
    EXPECT_EQ(ReadFile(path), "[S]\r\nk=\"first\"\r\n\r\n");
    storage->SetActive(true);
    EXPECT_EQ(storage->ReadString("\\S\\k", ""), "first");

    // A file that cannot be replaced raises, and the old file stays whole with no leftovers.
    storage->WriteString("S\\k", "second");
    HANDLE locked = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(locked, INVALID_HANDLE_VALUE);
    EXPECT_THROW(storage->SetActive(false), EFCreateError);
    CloseHandle(locked);
    EXPECT_EQ(ReadFile(path), "[S]\r\nk=\"first\"\r\n\r\n");
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\a\\b\\*").c_str(), &found);
    int files = 0;
    if (search != INVALID_HANDLE_VALUE) {
        do
            files += !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
        while (FindNextFileA(search, &found));
        FindClose(search);
    }
    EXPECT_EQ(files, 1);

    // The embedded copy stands in for a missing file and survives its packed form.
    DeleteFileA(path.c_str());
    const std::string fallback = "[E]\r\nk=" + std::string(3000, '7') + "\r\n";
    data->InternalFile().WriteBuffer(fallback.data(), static_cast<int64_t>(fallback.size()));
    TMemoryStream property;
    data->WriteInternalFile(property);
    EXPECT_LT(property.Size(), 100);
    data->InternalFile().Clear();
    property.SetPosition(0);
    data->ReadInternalFile(property);
    data->InternalFileLoad = iflNoRealFile;
    storage->SetActive(true);
    EXPECT_EQ(storage->ReadString("\\E\\k", "").size(), 3000u);
    storage->Options = {};
    storage->SetActive(false);
    WriteFile(path, "[F]\r\nk=1\r\n");
    storage->SetActive(true);
    EXPECT_TRUE(storage->KeyExists("\\F\\k"));
    storage->SetActive(false);
    // A damaged embedded copy is refused.
    std::string damaged(reinterpret_cast<const char*>(property.Memory()), static_cast<size_t>(property.Size()));
    damaged[6] = '\x7F';
    TMemoryStream bad;
    bad.WriteBuffer(damaged.data(), static_cast<int64_t>(damaged.size()));
    bad.SetPosition(0);
    EXPECT_THROW(data->ReadInternalFile(bad), TrsException);
    DeleteFileA(path.c_str());
    RemoveDirectoryA((folder + "\\a\\b").c_str());
    RemoveDirectoryA((folder + "\\a").c_str());
    RemoveDirectoryA(folder.c_str());
}

TEST(RsIniData, AFailedSaveAtTheOwnersEndIsReportedNotThrown) {
    std::string reported;
    const std::string folder = TempFolder("rsmissing");
    Application.OnException = [&](TObject*, std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const Exception& e) {
            reported = e.Message;
        }
    };
    {
        TComponent owner(nullptr);
        auto storage = new TrsStorage(&owner);
        auto data = new TrsIniData(&owner);
        data->FileDir = fdCustom;
        data->Options = {};
        data->FileName = folder + "\\no such folder\\x.ini";
        storage->SetStorageData(data);
        storage->SetActive(true);
        storage->WriteInteger("k", 1);
    }
    Application.OnException = {};
    RemoveDirectoryA(folder.c_str());
    EXPECT_NE(reported.find("no such folder"), std::string::npos) << reported;
}
