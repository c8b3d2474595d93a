#include "rsStorage.h"

#include "FormStream.h"
#include "Forms.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

// ---- values ------------------------------------------------------------------------

namespace {

[[noreturn]] void CannotRead(const std::string& keyName, const char* type) {
    RaiseStorageError(rsGetKeyError, Format("Can't read value of key \"%s\" as %s type.", keyName.c_str(), type));
}

int64_t RoundHalfEven(double value) { return static_cast<int64_t>(std::nearbyint(value)); }

std::string LocaleInfo(LCTYPE type, const char* fallback) {
    char text[80] = "";
    if (GetLocaleInfoA(GetThreadLocale(), type, text, sizeof(text)) > 1)
        return text;
    return fallback;
}

// Days of the proleptic Gregorian calendar from 0000-03-01.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe);
}

void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

const int64_t kEpoch = DaysFromCivil(1899, 12, 30);

// A date or time picture of the locale, cut into fields and the text between them.
enum class TDateField { Text, Day, Month, Year, Hour12, Hour24, Minute, Second, DayHalf };

struct TPicturePiece {
    TDateField field;
    std::string text;  // of a text piece
    int width;         // the fewest digits of a number
};

using TPicture = std::vector<TPicturePiece>;

bool IsNumber(TDateField field) { return field != TDateField::Text && field != TDateField::DayHalf; }

TPicture CutPicture(const std::string& picture) {
    TPicture pieces;
    auto text = [&pieces](char c) {
        if (pieces.empty() || pieces.back().field != TDateField::Text)
            pieces.push_back({TDateField::Text, {}, 0});
        pieces.back().text += c;
    };
    for (size_t i = 0; i < picture.size();) {
        const char c = picture[i];
        if (c == '\'') {
            // Quoted text; two quotes in it stand for one.
            for (++i; i < picture.size(); ++i) {
                if (picture[i] != '\'') {
                    text(picture[i]);
                } else if (i + 1 < picture.size() && picture[i + 1] == '\'') {
                    text('\'');
                    ++i;
                } else {
                    ++i;
                    break;
                }
            }
            continue;
        }
        size_t run = 1;
        while (i + run < picture.size() && picture[i + run] == c)
            ++run;
        const int width = run >= 2 ? 2 : 1;
        switch (c) {
        case 'd':
            if (run <= 2)  // day names are left out
                pieces.push_back({TDateField::Day, {}, width});
            break;
        case 'M': pieces.push_back({TDateField::Month, {}, width}); break;  // names become numbers
        case 'y': pieces.push_back({TDateField::Year, {}, 4}); break;       // always in full
        case 'g': break;                                                      // eras are left out
        case 'h': pieces.push_back({TDateField::Hour12, {}, width}); break;
        case 'H': pieces.push_back({TDateField::Hour24, {}, width}); break;
        case 'm': pieces.push_back({TDateField::Minute, {}, width}); break;
        case 's': pieces.push_back({TDateField::Second, {}, width}); break;
        case 't': pieces.push_back({TDateField::DayHalf, {}, 0}); break;
        default: pieces.push_back({TDateField::Text, std::string(run, c), 0}); break;
        }
        i += run;
    }
    return pieces;
}

size_t Count(const TPicture& picture, TDateField field) {
    return static_cast<size_t>(
        std::count_if(picture.begin(), picture.end(), [field](const TPicturePiece& p) { return p.field == field; }));
}

// A picture reads back what it writes when it holds each of the fields once, something between
// two numbers and no digit in its text.
bool ReadsBack(const TPicture& picture, std::initializer_list<TDateField> fields) {
    for (TDateField field : fields)
        if (Count(picture, field) != 1)
            return false;
    for (size_t i = 0; i < picture.size(); ++i) {
        if (i > 0 && IsNumber(picture[i].field) && IsNumber(picture[i - 1].field))
            return false;
        if (std::any_of(picture[i].text.begin(), picture[i].text.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return false;
    }
    return true;
}

// The locale's short date picture, with Gregorian years in full and months as numbers.
TPicture DatePicture() {
    TPicture picture = CutPicture(LocaleInfo(LOCALE_SSHORTDATE, "M/d/yyyy"));
    if (!ReadsBack(picture, {TDateField::Day, TDateField::Month, TDateField::Year}))
        picture = CutPicture("M/d/yyyy");
    return picture;
}

struct TDayHalves {
    std::string am = LocaleInfo(LOCALE_S1159, "");
    std::string pm = LocaleInfo(LOCALE_S2359, "");
};

// The locale's time picture; a twelve-hour clock whose halves cannot be told apart counts to 24.
TPicture TimePicture(const TDayHalves& halves) {
    TPicture picture = CutPicture(LocaleInfo(LOCALE_STIMEFORMAT, "HH:mm:ss"));
    const bool halvesDiffer = !halves.am.empty() && !halves.pm.empty() && !StartsText(halves.am, halves.pm) &&
                              !StartsText(halves.pm, halves.am);
    if (Count(picture, TDateField::Hour12) && (!Count(picture, TDateField::DayHalf) || !halvesDiffer)) {
        std::erase_if(picture, [](const TPicturePiece& p) { return p.field == TDateField::DayHalf; });
        for (TPicturePiece& piece : picture)
            if (piece.field == TDateField::Hour12)
                piece.field = TDateField::Hour24;
    }
    if (Count(picture, TDateField::Hour12) + Count(picture, TDateField::Hour24) != 1 ||
        !ReadsBack(picture, {TDateField::Minute, TDateField::Second}))
        picture = CutPicture("HH:mm:ss");
    return picture;
}

struct TDateParts {
    int64_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

std::string WritePicture(const TPicture& picture, const TDateParts& parts, const TDayHalves& halves) {
    std::string text;
    for (const TPicturePiece& piece : picture) {
        int64_t number = 0;
        switch (piece.field) {
        case TDateField::Text: text += piece.text; continue;
        case TDateField::DayHalf: text += parts.hour < 12 ? halves.am : halves.pm; continue;
        case TDateField::Day: number = parts.day; break;
        case TDateField::Month: number = parts.month; break;
        case TDateField::Year: number = parts.year; break;
        case TDateField::Hour12: number = parts.hour % 12 ? parts.hour % 12 : 12; break;
        case TDateField::Hour24: number = parts.hour; break;
        case TDateField::Minute: number = parts.minute; break;
        case TDateField::Second: number = parts.second; break;
        }
        text += Format("%0*lld", piece.width, static_cast<long long>(number));
    }
    return text;
}

bool IsBlankChar(char c) { return c == ' ' || c == '\t'; }

// Reads the picture's fields from the text at the position; blanks around them do not count.
class TPictureReader {
public:
    TPictureReader(const std::string& text, const TDayHalves& halves) : text_(text), halves_(halves) {}

    bool Read(const TPicture& picture, TDateParts& parts) {
        int half = 0;
        bool twelve = false;
        for (const TPicturePiece& piece : picture) {
            switch (piece.field) {
            case TDateField::Text:
                for (char c : piece.text)
                    if (!IsBlankChar(c) && !Char(c))
                        return false;
                break;
            case TDateField::DayHalf:
                if (Word(halves_.am) || Word("AM"))
                    half = 1;
                else if (Word(halves_.pm) || Word("PM"))
                    half = 2;
                else
                    return false;
                break;
            case TDateField::Day:
                if (!Number(parts.day))
                    return false;
                break;
            case TDateField::Month:
                if (!Number(parts.month))
                    return false;
                break;
            case TDateField::Year:
                // Two digits leave the century open: the lenient reader applies the locale's window.
                if (!Number(parts.year, 3))
                    return false;
                break;
            case TDateField::Hour12:
                twelve = true;
                [[fallthrough]];
            case TDateField::Hour24:
                if (!Number(parts.hour))
                    return false;
                break;
            case TDateField::Minute:
                if (!Number(parts.minute))
                    return false;
                break;
            case TDateField::Second:
                if (!Number(parts.second))
                    return false;
                break;
            }
        }
        if (twelve) {
            if (!half || parts.hour < 1 || parts.hour > 12)
                return false;
            parts.hour = parts.hour % 12 + (half == 2 ? 12 : 0);
        }
        return true;
    }

    bool AtEnd() {
        SkipBlanks();
        return at_ == text_.size();
    }

private:
    void SkipBlanks() {
        while (at_ < text_.size() && IsBlankChar(text_[at_]))
            ++at_;
    }

    bool Char(char c) {
        SkipBlanks();
        if (at_ == text_.size() ||
            std::toupper(static_cast<unsigned char>(text_[at_])) != std::toupper(static_cast<unsigned char>(c)))
            return false;
        ++at_;
        return true;
    }

    bool Word(const std::string& word) {
        SkipBlanks();
        if (word.empty() || !StartsText(word, text_.substr(at_)))
            return false;
        at_ += word.size();
        return true;
    }

    bool Number(int64_t& value, int fewestDigits = 1) {
        SkipBlanks();
        value = 0;
        int digits = 0;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9' && digits < 9) {
            value = value * 10 + (text_[at_++] - '0');
            ++digits;
        }
        return digits >= fewestDigits;
    }

    const std::string& text_;
    const TDayHalves& halves_;
    size_t at_ = 0;
};

int64_t DaysInMonth(int64_t year, unsigned month) {
    return DaysFromCivil(month == 12 ? year + 1 : year, month == 12 ? 1 : month + 1, 1) -
           DaysFromCivil(year, month, 1);
}

// Days since 1899-12-30 of a Gregorian date of the years 1 to 9999; false for no such date.
bool DateDays(int64_t year, int64_t month, int64_t day, int64_t& days) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
        day > DaysInMonth(year, static_cast<unsigned>(month)))
        return false;
    days = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - kEpoch;
    return true;
}

// The date in the locale's short date picture, and the time in its time picture when the day
// has begun, as the writer puts them.
bool ReadPictures(const std::string& text, double& value) {
    const TDayHalves halves;
    TPictureReader reader(text, halves);
    TDateParts parts;
    int64_t days;
    if (!reader.Read(DatePicture(), parts) || !DateDays(parts.year, parts.month, parts.day, days))
        return false;
    if (!reader.AtEnd() && (!reader.Read(TimePicture(halves), parts) || !reader.AtEnd()))
        return false;
    if (parts.hour > 23 || parts.minute > 59 || parts.second > 59)
        return false;
    const int64_t seconds = parts.hour * 3600 + parts.minute * 60 + parts.second;
    value = static_cast<double>(days) + static_cast<double>(seconds) / 86400.0;
    return true;
}

// Values outside the years 1 to 9999 are written as signed day numbers.
bool ReadDayNumber(const std::string& text, double& value) {
    if (text.empty() || !(text[0] == '+' || text[0] == '-' || (text[0] >= '0' && text[0] <= '9')))
        return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size();
}

}  // namespace

// Always the Gregorian calendar, whatever calendar the locale counts its years in: the reader
// reads Gregorian years, and the system's own date text knows no year before 1601.
std::string DateTimeToText(double value) {
    if (!std::isfinite(value) || std::fabs(value) > 3e6)
        return Format("%+.17g", value);
    const int64_t day = static_cast<int64_t>(std::floor(value));
    int64_t seconds = RoundHalfEven((value - static_cast<double>(day)) * 86400.0);
    TDateParts parts;
    unsigned m, d;
    CivilFromDays(kEpoch + day + seconds / 86400, parts.year, m, d);
    if (parts.year < 1 || parts.year > 9999)
        return Format("%+.17g", value);
    seconds %= 86400;
    parts.month = m;
    parts.day = d;
    parts.hour = seconds / 3600;
    parts.minute = seconds / 60 % 60;
    parts.second = seconds % 60;
    const TDayHalves halves;
    const std::string date = WritePicture(DatePicture(), parts, halves);
    if (seconds == 0)
        return date;
    return date + " " + WritePicture(TimePicture(halves), parts, halves);
}

namespace {

// Reads a date and time in the locale's order and with its separators and day-half names.
class TDateTimeScanner {
public:
    explicit TDateTimeScanner(const std::string& text) : text_(text) {}

    bool Scan(double& value) {
        int64_t days = 0;
        const size_t start = at_;
        if (!ScanDate(days)) {
            at_ = start;  // a time alone is a time on day 0
            days = 0;
        } else if (SkipBlanks(), at_ == text_.size()) {
            value = static_cast<double>(days);
            return true;
        }
        int64_t seconds;
        if (!ScanTime(seconds))
            return false;
        value = static_cast<double>(days) + static_cast<double>(seconds) / 86400.0;
        return true;
    }

private:
    void SkipBlanks() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t'))
            ++at_;
    }

    bool Number(int64_t& value, int& digits) {
        SkipBlanks();
        value = 0;
        digits = 0;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9' && digits < 9) {
            value = value * 10 + (text_[at_++] - '0');
            ++digits;
        }
        return digits > 0;
    }

    bool Match(const std::string& word) {
        SkipBlanks();
        if (word.empty() || text_.size() - at_ < word.size() || !SameText(text_.substr(at_, word.size()), word))
            return false;
        at_ += word.size();
        return true;
    }

    // 0 for none, 1 before noon, 2 after.
    int DayHalf() {
        if (Match(LocaleInfo(LOCALE_S1159, "AM")) || Match("AM"))
            return 1;
        if (Match(LocaleInfo(LOCALE_S2359, "PM")) || Match("PM"))
            return 2;
        return 0;
    }

    bool ScanDate(int64_t& days) {
        const std::string separator = LocaleInfo(LOCALE_SDATE, "/");
        int64_t n[3];
        int digits[3];
        for (int i = 0; i < 3; ++i)
            if ((i > 0 && !Match(separator)) || !Number(n[i], digits[i]))
                return false;
        // The order of the short date format's first day, month and year letters.
        const std::string format = LocaleInfo(LOCALE_SSHORTDATE, "M/d/yyyy");
        const size_t dayAt = format.find_first_of("dD"), monthAt = format.find('M'), yearAt = format.find_first_of("yY");
        int y = 2, m = 0, d = 1;
        if (yearAt < monthAt && yearAt < dayAt)
            y = 0, m = 1, d = 2;
        else if (dayAt < monthAt)
            d = 0, m = 1, y = 2;
        int64_t year = n[y];
        if (digits[y] <= 2) {
            // A two-digit year falls in the hundred years that end with the locale's limit.
            DWORD limit = 0;
            if (!GetCalendarInfoA(GetThreadLocale(), CAL_GREGORIAN, CAL_ITWODIGITYEARMAX | CAL_RETURN_NUMBER, nullptr, 0,
                                  &limit) || limit < 99 || limit > 9999)
                limit = 2029;
            year += limit / 100 * 100;
            if (year > static_cast<int64_t>(limit))
                year -= 100;
        }
        return DateDays(year, n[m], n[d], days);
    }

    bool ScanTime(int64_t& seconds) {
        const std::string separator = LocaleInfo(LOCALE_STIME, ":");
        int half = DayHalf();
        int64_t hour, minute = 0, second = 0;
        int digits;
        if (!Number(hour, digits))
            return false;
        if (Match(separator) || Match(":")) {
            if (!Number(minute, digits))
                return false;
            if (Match(separator) || Match(":")) {
                if (!Number(second, digits))
                    return false;
            }
        }
        if (!half)
            half = DayHalf();
        SkipBlanks();
        if (at_ != text_.size() || minute > 59 || second > 59)
            return false;
        if (half) {
            if (hour > 12)
                return false;
            hour %= 12;
            if (half == 2)
                hour += 12;
        }
        if (hour > 23)
            return false;
        seconds = hour * 3600 + minute * 60 + second;
        return true;
    }

    const std::string& text_;
    size_t at_ = 0;
};

}  // namespace

// What the writer wrote first; then dates as users type them and as earlier versions wrote them.
bool TextToDateTime(const std::string& text, double& value) {
    const std::string trimmed = Trim(text);
    return ReadPictures(trimmed, value) || TDateTimeScanner(trimmed).Scan(value) || ReadDayNumber(trimmed, value);
}

TComponent* FindFormComponent(const std::string& text) {
    const size_t dot = text.find('.');
    if (dot == std::string::npos)
        return nullptr;
    const std::string rootName = text.substr(0, dot), name = text.substr(dot + 1);
    for (TCustomForm* form : Screen.Forms())
        if (form->Name() == rootName)
            if (TComponent* found = form->FindComponent(name))
                return found;
    for (TDataModule* module : Screen.DataModules())
        if (module->Name() == rootName)
            if (TComponent* found = module->FindComponent(name))
                return found;
    return nullptr;
}

std::string CurrencyToText(int64_t scaled) {
    const bool negative = scaled < 0;
    const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(scaled) : static_cast<uint64_t>(scaled);
    std::string text = (negative ? "-" : "") + std::to_string(magnitude / 10000);
    std::string fraction = Format("%04u", static_cast<unsigned>(magnitude % 10000));
    while (!fraction.empty() && fraction.back() == '0')
        fraction.pop_back();
    if (!fraction.empty())
        text += LocaleDecimalSeparator() + fraction;
    return text;
}

bool TextToCurrency(const std::string& text, int64_t& scaled) {
    size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (!text.empty() && (text[0] == '-' || text[0] == '+'))
        ++i;
    const char sep = LocaleDecimalSeparator();
    uint64_t whole = 0;
    int digits = 0, fractionDigits = 0;
    uint64_t fraction = 0;
    bool inFraction = false;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c == sep && !inFraction) {
            inFraction = true;
        } else if (c >= '0' && c <= '9') {
            ++digits;
            if (inFraction) {
                if (++fractionDigits > 4)
                    return false;
                fraction = fraction * 10 + static_cast<uint64_t>(c - '0');
            } else {
                if (whole > 922337203685476ULL)
                    return false;
                whole = whole * 10 + static_cast<uint64_t>(c - '0');
            }
        } else {
            return false;
        }
    }
    if (digits == 0)
        return false;
    while (fractionDigits++ < 4)
        fraction *= 10;
    const uint64_t magnitude = whole * 10000 + fraction;
    scaled = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

double KeyItemAsFloat(const TrsKeyItem& item, const std::string& keyName) {
    switch (item.Kind) {
    case TrsKeyKind::Empty: return 0;
    case TrsKeyKind::Float: return item.Float;
    case TrsKeyKind::String: {
        std::string text = Trim(item.Text);
        const char sep = LocaleDecimalSeparator();
        std::replace(text.begin(), text.end(), sep, '.');
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        if (text.empty() || *end || text.find(',') != std::string::npos)
            throw EConvertError(Format("'%s' is not a valid floating point value", item.Text.c_str()));
        return value;
    }
    case TrsKeyKind::Integer:
    case TrsKeyKind::Int64: return static_cast<double>(item.Int);
    case TrsKeyKind::Currency: return static_cast<double>(item.Int) / 10000.0;
    case TrsKeyKind::Binary:
        if (item.Text.size() == 8) {
            double value;
            std::memcpy(&value, item.Text.data(), 8);
            return value;
        }
        break;
    default: break;
    }
    CannotRead(keyName, "float");
}

int64_t KeyItemAsInt64(const TrsKeyItem& item, const std::string& keyName) {
    switch (item.Kind) {
    case TrsKeyKind::Empty: return 0;
    case TrsKeyKind::Int64:
    case TrsKeyKind::Integer: return item.Int;
    case TrsKeyKind::String: {
        const std::string text = Trim(item.Text);
        char* end = nullptr;
        errno = 0;
        const long long value = std::strtoll(text.c_str(), &end, 10);
        if (text.empty() || *end || errno == ERANGE)
            throw EConvertError(Format("'%s' is not a valid integer value", item.Text.c_str()));
        return value;
    }
    case TrsKeyKind::Float:
        if (std::fabs(item.Float) < 9.2e18)
            return RoundHalfEven(item.Float);
        break;
    case TrsKeyKind::Currency: return RoundHalfEven(static_cast<double>(item.Int) / 10000.0);
    case TrsKeyKind::Binary:
        if (item.Text.size() == 8) {
            int64_t value;
            std::memcpy(&value, item.Text.data(), 8);
            return value;
        }
        break;
    default: break;
    }
    CannotRead(keyName, "Int64");
}

int32_t KeyItemAsInteger(const TrsKeyItem& item, const std::string& keyName) {
    switch (item.Kind) {
    case TrsKeyKind::Empty: return 0;
    case TrsKeyKind::Integer:
    case TrsKeyKind::Boolean: return static_cast<int32_t>(item.Int);
    case TrsKeyKind::Int64: return static_cast<int32_t>(static_cast<uint32_t>(item.Int));
    case TrsKeyKind::String: return StrToInt(Trim(item.Text));
    case TrsKeyKind::Float:
    case TrsKeyKind::DateTime:
        if (std::fabs(item.Float) < 2147483648.0)
            return static_cast<int32_t>(RoundHalfEven(item.Float));
        break;
    case TrsKeyKind::Currency: {
        const int64_t value = RoundHalfEven(static_cast<double>(item.Int) / 10000.0);
        if (value >= INT32_MIN && value <= INT32_MAX)
            return static_cast<int32_t>(value);
        break;
    }
    case TrsKeyKind::Binary:
        if (item.Text.size() == 4) {
            int32_t value;
            std::memcpy(&value, item.Text.data(), 4);
            return value;
        }
        break;
    default: break;
    }
    CannotRead(keyName, "integer");
}

std::string KeyItemAsString(const TrsKeyItem& item, const std::string& keyName) {
    switch (item.Kind) {
    case TrsKeyKind::Empty: return {};
    case TrsKeyKind::String: return item.Text;
    case TrsKeyKind::Binary: return HexEncode(item.Text.data(), item.Text.size());
    case TrsKeyKind::Integer:
    case TrsKeyKind::Int64: return IntToStr(item.Int);
    case TrsKeyKind::Float: {
        std::string text = Format("%.15g", item.Float);
        std::replace(text.begin(), text.end(), '.', LocaleDecimalSeparator());
        return text;
    }
    case TrsKeyKind::Currency: return CurrencyToText(item.Int);
    case TrsKeyKind::DateTime: return DateTimeToText(item.Float);
    case TrsKeyKind::Boolean: return item.Int ? "True" : "False";
    case TrsKeyKind::Point: return Format("(%d,%d)", static_cast<int>(item.X), static_cast<int>(item.Y));
    }
    CannotRead(keyName, "string");
}

// ---- clients -----------------------------------------------------------------------

void TrsClientList::Add(TrsStorageClient* client) {
    for (int kind = 0; kind < rnKindCount; ++kind)
        if (client->NotifyKinds & (1u << kind)) {
            auto& list = kinds_[kind];
            if (std::find(list.begin(), list.end(), client) == list.end())
                list.push_back(client);
        }
}

void TrsClientList::Remove(TrsStorageClient* client) {
    for (auto& list : kinds_)
        list.erase(std::remove(list.begin(), list.end(), client), list.end());
}

void TrsClientList::Notify(int kind, const std::string& argument) {
    if (Suspended || kind < 0 || kind >= rnKindCount)
        return;
    // A copy: a client may leave while it is told.
    const std::vector<TrsStorageClient*> clients = kinds_[kind];
    for (TrsStorageClient* client : clients)
        if (client->Enabled())
            client->Notify(kind, argument);
}

const TClassInfo& TrsStorageClient::StaticClassInfo() {
    static const TClassInfo info = MakeClassInfo<TrsStorageClient, TComponent>("TrsStorageClient", {});
    return info;
}

TrsStorageClient::~TrsStorageClient() {
    if (storage_)
        storage_->Clients().Remove(this);
}

void TrsStorageClient::SetStorage(TrsStorage* storage) {
    if (storage == storage_)
        return;
    if (storage_) {
        storage_->Clients().Remove(this);
        RemoveFreeNotification(storage_);
    }
    storage_ = storage;
    if (storage_) {
        storage_->Clients().Add(this);
        storage_->FreeNotification(this);
    }
}

void TrsStorageClient::Notification(TComponent* component, TOperation operation) {
    TComponent::Notification(component, operation);
    if (operation == opRemove && component == storage_)
        storage_ = nullptr;
}

// ---- back end ----------------------------------------------------------------------

const TClassInfo& TrsStorageData::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TrsStorageData::OnBeforeLoad>("OnBeforeLoad"),
        Prop<&TrsStorageData::OnAfterLoad>("OnAfterLoad"),
        Prop<&TrsStorageData::OnBeforeSave>("OnBeforeSave"),
        Prop<&TrsStorageData::OnAfterSave>("OnAfterSave"),
        Prop<&TrsStorageData::OnProgress>("OnProgress"),
    };
    static const TClassInfo info = MakeClassInfo<TrsStorageData, TComponent>("TrsStorageData", props);
    return info;
}

TrsStorageData::~TrsStorageData() {
    for (TrsStorage* storage : std::vector<TrsStorage*>(storages_))
        storage->SetStorageData(nullptr);
}

void TrsStorageData::BeforeDestruction() {
    // At the end of the owner's life the storages still write their files through this back end,
    // whichever of them goes first.
    for (TrsStorage* storage : std::vector<TrsStorage*>(storages_))
        if (storage->IsDestroying() || (storage->Owner() && storage->Owner()->IsDestroying())) {
            try {
                storage->SetActive(false);
            } catch (...) {
                Application.HandleException(storage);
            }
        }
    TComponent::BeforeDestruction();
}

void TrsStorageData::DoProgress() {
    ++done_;
    if (!OnProgress.Assigned() || total_ < 1)
        return;
    const int percent = static_cast<int>(static_cast<int64_t>(done_) * 100 / total_);
    if (percent > lastPercent_) {
        lastPercent_ = percent;
        OnProgress(this, percent);
    }
}

// ---- encryptor ---------------------------------------------------------------------

const TClassInfo& TrsEncryptor::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TrsEncryptor::Active>("Active").WithDefault(true),
        Prop<&TrsEncryptor::EncryptAll>("EncryptAll").WithDefault(false),
        Prop<&TrsEncryptor::EncryptKeysObject>("EncryptKeys"),
    };
    static const TClassInfo info = MakeClassInfo<TrsEncryptor, TComponent>("TrsEncryptor", props);
    return info;
}

TrsEncryptor::TrsEncryptor(TComponent* owner) : TComponent(owner) {}

std::string TrsEncryptor::Transform(const std::string& bytes, bool encipher) {
    const int length = static_cast<int>(bytes.size());
    const int size = encipher ? EncipheredSize(length) : DecipheredSize(length);
    if (size < 0)
        return {};
    std::string buffer = bytes;
    buffer.resize(static_cast<size_t>(std::max(size, length)), '\0');
    const int got = encipher ? Encipher(reinterpret_cast<unsigned char*>(buffer.data()), length)
                             : Decipher(reinterpret_cast<unsigned char*>(buffer.data()), length);
    if (got < 0 || got > static_cast<int>(buffer.size()))
        return {};
    buffer.resize(static_cast<size_t>(got));
    return buffer;
}

namespace {

std::string KeyToBytes(const TrsKeyItem& item) {
    std::string bytes(2, '\0');
    bytes[0] = static_cast<char>(static_cast<uint16_t>(item.Kind) & 255);
    bytes[1] = static_cast<char>(static_cast<uint16_t>(item.Kind) >> 8);
    if (item.Kind == TrsKeyKind::String || item.Kind == TrsKeyKind::Binary)
        return bytes + item.Text;
    char data[8] = {};
    if (item.Kind == TrsKeyKind::Float || item.Kind == TrsKeyKind::DateTime) {
        std::memcpy(data, &item.Float, 8);
    } else if (item.Kind == TrsKeyKind::Point) {
        std::memcpy(data, &item.X, 4);
        std::memcpy(data + 4, &item.Y, 4);
    } else {
        std::memcpy(data, &item.Int, 8);
    }
    return bytes + std::string(data, 8);
}

bool BytesToKey(const std::string& bytes, TrsKeyItem& item) {
    if (bytes.size() < 2)
        return false;
    const uint16_t kind = static_cast<uint16_t>(static_cast<unsigned char>(bytes[0]) | static_cast<unsigned char>(bytes[1]) << 8);
    if (kind > static_cast<uint16_t>(TrsKeyKind::Int64))
        return false;
    item = {};
    item.Kind = static_cast<TrsKeyKind>(kind);
    if (item.Kind == TrsKeyKind::String || item.Kind == TrsKeyKind::Binary) {
        item.Text = bytes.substr(2);
        // Padding of the cipher: text ends at the first zero.
        if (item.Kind == TrsKeyKind::String)
            item.Text = item.Text.substr(0, item.Text.find('\0'));
        return true;
    }
    if (item.Kind == TrsKeyKind::Empty)
        return true;
    if (bytes.size() < 10)
        return false;
    if (item.Kind == TrsKeyKind::Float || item.Kind == TrsKeyKind::DateTime) {
        std::memcpy(&item.Float, bytes.data() + 2, 8);
    } else if (item.Kind == TrsKeyKind::Point) {
        std::memcpy(&item.X, bytes.data() + 2, 4);
        std::memcpy(&item.Y, bytes.data() + 6, 4);
    } else {
        std::memcpy(&item.Int, bytes.data() + 2, 8);
    }
    return true;
}

// Runs call with the storage's root section moved to path, and puts it back.
template <class F>
bool InSection(TrsStorage& storage, const std::string& path, F call) {
    const std::string root = storage.RootSection();
    if (!path.empty() && !storage.SectionExists("\\" + path))
        return false;
    storage.SetRootSection(path);
    bool done = false;
    try {
        done = call();
    } catch (...) {
        storage.SetRootSection(root);
        throw;
    }
    storage.SetRootSection(root);
    return done;
}

}  // namespace

bool TrsEncryptor::EncipherKey(TrsStorage& storage, const std::string& path) {
    if (!HasCipher() || !storage.FindKey(path, false))
        return false;
    const TrsKeyItem item = storage.Key().Value();
    const std::string ciphered = Transform(KeyToBytes(item), true);
    if (ciphered.empty())
        return false;
    if (item.Kind == TrsKeyKind::Binary)
        storage.WriteValue(path, TrsKeyItem::OfBinary(ciphered));
    else
        storage.WriteString(path, Base64EncodeRs(ciphered.data(), ciphered.size()));
    return true;
}

bool TrsEncryptor::DecipherKey(TrsStorage& storage, const std::string& path) {
    if (!HasCipher() || !storage.FindKey(path, false))
        return false;
    const TrsKeyItem stored = storage.Key().Value();
    std::string ciphered;
    if (stored.Kind == TrsKeyKind::Binary)
        ciphered = stored.Text;
    else if (stored.Kind == TrsKeyKind::String)
        ciphered = Base64DecodeRs(stored.Text);
    else
        return false;
    TrsKeyItem item;
    if (!BytesToKey(Transform(ciphered, false), item))
        return false;
    storage.WriteValue(path, item);
    return true;
}

bool TrsEncryptor::EncipherSection(TrsStorage& storage, const std::string& path) {
    if (!HasCipher())
        return false;
    return InSection(storage, path, [&] {
        TMemoryStream tree;
        storage.SaveSectionToStream(tree);
        const std::string plain(reinterpret_cast<const char*>(tree.Memory()), static_cast<size_t>(tree.Size()));
        const std::string ciphered = Transform(plain, true);
        if (ciphered.empty())
            return false;
        storage.ClearSection();
        storage.WriteValue(kSectionKey, TrsKeyItem::OfBinary(ciphered));
        return true;
    });
}

bool TrsEncryptor::DecipherSection(TrsStorage& storage, const std::string& path) {
    if (!HasCipher())
        return false;
    return InSection(storage, path, [&] {
        if (!storage.FindKey(kSectionKey, false) || storage.Key().Value().Kind != TrsKeyKind::Binary)
            return false;
        const std::string plain = Transform(storage.Key().Value().Text, false);
        if (plain.empty())
            return false;
        TMemoryStream tree;
        tree.WriteBuffer(plain.data(), static_cast<int64_t>(plain.size()));
        // Loading clears the section first: damaged data is read on a scratch storage, and
        // leaves the section as it was stored instead of ending the load of the others.
        try {
            TrsStorage scratch(nullptr);
            tree.SetPosition(0);
            scratch.LoadSectionFromStream(tree);
        } catch (const std::exception&) {
            return false;
        }
        tree.SetPosition(0);
        storage.LoadSectionFromStream(tree);
        return true;
    });
}

bool TrsEncryptor::CheckValue(TrsStorage& storage, const std::string& path, const std::string& text) {
    if (!HasCipher() || !storage.FindKey(path, false))
        return false;
    const TrsKeyItem stored = storage.Key().Value();
    TrsStorage scratch(nullptr);
    scratch.WriteString("\\v", text);
    if (!EncipherKey(scratch, "\\v") || !scratch.FindKey("\\v", false))
        return false;
    return scratch.Key().Value().Text == stored.Text;
}

void TrsEncryptor::EncipherStorage(TrsStorage& storage) {
    if (!Active || !HasCipher())
        return;
    if (EncryptAll) {
        EncipherSection(storage, "");
        return;
    }
    for (int i = 0; i < encryptKeys_.Count(); ++i) {
        const std::string& entry = encryptKeys_[i];
        if (!EncipherKey(storage, entry))
            EncipherSection(storage, entry);
    }
}

void TrsEncryptor::DecipherStorage(TrsStorage& storage) {
    if (!Active || !HasCipher())
        return;
    if (EncryptAll) {
        DecipherSection(storage, "");
        return;
    }
    for (int i = 0; i < encryptKeys_.Count(); ++i) {
        const std::string& entry = encryptKeys_[i];
        const std::string sectionKey = IncludeTrailingPathDelimiter(entry) + kSectionKey;
        if (storage.KeyExists(sectionKey))
            DecipherSection(storage, entry);
        else
            DecipherKey(storage, entry);
    }
}

// ---- key wrapper -------------------------------------------------------------------

bool TrsKeyWrapper::Valid() const {
    return storage_.currentKey_ >= 0 && static_cast<size_t>(storage_.currentKey_) < storage_.keys_.size();
}

const TrsKeyItem& TrsKeyWrapper::Value() const {
    static const TrsKeyItem empty;
    return Valid() ? storage_.keys_[static_cast<size_t>(storage_.currentKey_)].Value : empty;
}

std::string TrsKeyWrapper::FullName() const { return Valid() ? storage_.KeyFullName(storage_.currentKey_) : std::string(); }

TMemoryStream& TrsKeyWrapper::Scratch() {
    if (!scratch_)
        scratch_ = std::make_unique<TMemoryStream>();
    scratch_->Clear();
    return *scratch_;
}

void TrsKeyWrapper::WriteComponent(const TComponent& component) {
    if (!Valid())
        return;
    TMemoryStream& stream = Scratch();
    ::WriteComponent(stream, component);
    storage_.keys_[static_cast<size_t>(storage_.currentKey_)].Value = TrsKeyItem::OfBinary(
        std::string(reinterpret_cast<const char*>(stream.Memory()), static_cast<size_t>(stream.Size())));
}

TMemoryStream& TrsKeyWrapper::ValueStream() {
    const TrsKeyItem& value = Value();
    if (value.Kind != TrsKeyKind::Binary)
        CannotRead(FullName(), "binary");
    TMemoryStream& stream = Scratch();
    stream.WriteBuffer(value.Text.data(), static_cast<int64_t>(value.Text.size()));
    stream.SetPosition(0);
    return stream;
}

namespace {

TFormReadOptions ReferencesAmongOpenForms() {
    TFormReadOptions options;
    options.FindReference = FindFormComponent;
    return options;
}

}  // namespace

void TrsKeyWrapper::ReadComponent(TComponent& component) { ::ReadComponent(ValueStream(), component, ReferencesAmongOpenForms()); }

TComponent* TrsKeyWrapper::ReadNewComponent(TComponent* owner) {
    return ::ReadNewComponent(ValueStream(), owner, ReferencesAmongOpenForms());
}

TrsKeyItem TrsKeyWrapper::AsVariant() const {
    TrsKeyItem value = Value();
    if (value.Kind == TrsKeyKind::Point)
        return {};
    if (value.Kind == TrsKeyKind::Binary)
        value.Kind = TrsKeyKind::String;
    return value;
}

// ---- storage -----------------------------------------------------------------------

const TClassInfo& TrsStorage::StaticClassInfo() {
    static const TPropInfo props[] = {
        Prop<&TrsStorage::Active, &TrsStorage::SetActive>("Active"),
        Prop<&TrsStorage::Encryptor, &TrsStorage::SetEncryptor>("Encryptor"),
        Prop<&TrsStorage::StorageData, &TrsStorage::SetStorageData>("StorageData"),
        Prop<&TrsStorage::RootSection, &TrsStorage::SetRootSection>("RootSection"),
        Prop<&TrsStorage::Options>("Options"),
        Prop<&TrsStorage::OnBeforeLoad>("OnBeforeLoad"),
        Prop<&TrsStorage::OnAfterLoad>("OnAfterLoad"),
        Prop<&TrsStorage::OnBeforeSave>("OnBeforeSave"),
        Prop<&TrsStorage::OnAfterSave>("OnAfterSave"),
        Prop<&TrsStorage::OnKeyAdd>("OnKeyAdd"),
        Prop<&TrsStorage::OnKeyDeletion>("OnKeyDeletion"),
    };
    static const TClassInfo info = MakeClassInfo<TrsStorage, TComponent>("TrsStorage", props);
    return info;
}

TrsStorage::TrsStorage(TComponent* owner) : TComponent(owner) {}

TrsStorage::~TrsStorage() {
    try {
        Deactivate();
    } catch (...) {
        // A destructor cannot report; BeforeDestruction already saved in the normal course.
    }
    Clear();
    SetStorageData(nullptr);
    SetEncryptor(nullptr);
}

void TrsStorage::BeforeDestruction() {
    // Runs inside the owner's destructor: a failed save is reported, never thrown on.
    try {
        Deactivate();
    } catch (...) {
        Application.HandleException(this);
    }
    TComponent::BeforeDestruction();
}

void TrsStorage::Loaded() {
    TComponent::Loaded();
    if (std::exchange(activeWish_, false) && !active_) {
        active_ = true;
        Load();
    }
}

void TrsStorage::SetActive(bool value) {
    if (IsLoading() || (Owner() && Owner()->IsLoading() && !Owner()->IsDestroying())) {
        activeWish_ = value;
        return;
    }
    if (value == active_)
        return;
    if (value) {
        active_ = true;
        Load();
    } else {
        Deactivate();
    }
}

void TrsStorage::Deactivate() {
    if (!active_)
        return;
    // Cleared first: a failed save still leaves the storage inactive.
    active_ = false;
    // The scratch stream goes even when the save fails.
    struct TFreeScratch {
        TrsKeyWrapper& key;
        ~TFreeScratch() { key.FreeScratch(); }
    } freeScratch{keyWrapper_};
    if (Options.Contains(soSaveOnClose))
        Save();
}

void TrsStorage::SetStorageData(TrsStorageData* data) {
    if (data == data_)
        return;
    if (data_) {
        auto& list = data_->storages_;
        list.erase(std::remove(list.begin(), list.end(), this), list.end());
        if (data_->current_ == this)
            data_->current_ = nullptr;
        RemoveFreeNotification(data_);
    }
    data_ = data;
    if (data_) {
        data_->storages_.push_back(this);
        data_->FreeNotification(this);
    }
}

void TrsStorage::SetEncryptor(TrsEncryptor* encryptor) {
    if (encryptor == encryptor_)
        return;
    if (encryptor_)
        RemoveFreeNotification(encryptor_);
    encryptor_ = encryptor;
    if (encryptor_)
        encryptor_->FreeNotification(this);
}

void TrsStorage::Notification(TComponent* component, TOperation operation) {
    TComponent::Notification(component, operation);
    if (operation != opRemove)
        return;
    if (component == data_)
        SetStorageData(nullptr);
    if (component == encryptor_)
        encryptor_ = nullptr;
    if (auto client = dynamic_cast<TrsStorageClient*>(component))
        clients_.Remove(client);
}

void TrsStorage::Load() {
    Clear();
    OnBeforeLoad(this);
    if (data_) {
        clients_.Suspended = true;
        try {
            data_->current_ = this;
            data_->OnBeforeLoad(data_);
            data_->ResetProgress();
            data_->LoadData();
            SetRootSection("");
            data_->OnAfterLoad(data_);
            data_->current_ = nullptr;
            if (encryptor_ && encryptor_->Active)
                encryptor_->DecipherStorage(*this);
        } catch (...) {
            if (data_)
                data_->current_ = nullptr;
            clients_.Suspended = false;
            throw;
        }
        clients_.Suspended = false;
        clients_.Notify(rnLoaded, "");
    }
    OnAfterLoad(this);
}

void TrsStorage::Save() {
    OnBeforeSave(this);
    if (data_) {
        if (encryptor_ && encryptor_->Active)
            encryptor_->EncipherStorage(*this);
        const std::string root = rootPath_;
        try {
            data_->current_ = this;
            data_->OnBeforeSave(data_);
            SetRootSection("");
            data_->ResetProgress();
            data_->SaveData();
            data_->OnAfterSave(data_);
        } catch (...) {
            if (data_)
                data_->current_ = nullptr;
            SetRootSection(root);
            if (encryptor_ && encryptor_->Active)
                encryptor_->DecipherStorage(*this);
            throw;
        }
        data_->current_ = nullptr;
        SetRootSection(root);
        if (encryptor_ && encryptor_->Active)
            encryptor_->DecipherStorage(*this);
    }
    OnAfterSave(this);
}

int TrsStorage::IndexOfSectionId(uint32_t id) const {
    if (id == 0)
        return -1;
    for (size_t i = 0; i < sections_.size(); ++i)
        if (sections_[i].Id == id)
            return static_cast<int>(i);
    return -2;
}

int TrsStorage::ResolveSection(const std::string& path, bool create, StartAt start) {
    if (path.empty())
        return -2;
    uint32_t parent = rootId_;
    if (start == StartAt::Top || (start == StartAt::Auto && IsPathSeparator(path[0])))
        parent = 0;
    size_t pos = 0;
    while (pos < path.size() && IsPathSeparator(path[pos]))
        ++pos;
    int index = IndexOfSectionId(parent);
    if (index == -2)
        return -2;
    if (pos == path.size())
        return index;
    for (;;) {
        const std::string name = NextPathPart(path, pos);
        if (name.empty())
            return -2;
        auto less = [](const SectionRec& rec, const std::pair<uint32_t, const std::string*>& key) {
            if (rec.ParentId != key.first)
                return rec.ParentId < key.first;
            return SameNameCompare(rec.Name, *key.second) < 0;
        };
        auto at = std::lower_bound(sections_.begin(), sections_.end(), std::make_pair(parent, &name), less);
        if (at != sections_.end() && at->ParentId == parent && SameNameCompare(at->Name, name) == 0) {
            index = static_cast<int>(at - sections_.begin());
        } else {
            if (!create)
                return -2;
            if (name.size() > MaxNameLength)
                RaiseStorageError(rsSetKeyError, "Section name longer than 255 characters: " + name.substr(0, 32) + "...");
            index = static_cast<int>(at - sections_.begin());
            sections_.insert(at, SectionRec{name, ++counter_, parent});
        }
        parent = sections_[static_cast<size_t>(index)].Id;
        if (pos >= path.size())
            return index;
        ++pos;  // the separator; an empty part after it fails above
    }
}

int TrsStorage::FindKeyIndex(const std::string& path, bool create) {
    size_t cut = path.size();
    while (cut > 0 && !IsPathSeparator(path[cut - 1]))
        --cut;
    const std::string name = path.substr(cut);
    if (name.empty())
        return -1;
    uint32_t sectionId;
    if (cut == 0) {
        sectionId = rootId_;
    } else if (cut == 1) {
        sectionId = 0;
    } else {
        const std::string sectionPart = path.substr(0, cut - 1);
        if (cachedSectionValid_ && cachedRootId_ == rootId_ && SameNameCompare(sectionPart, cachedPath_) == 0 &&
            IndexOfSectionId(cachedSectionId_) != -2) {
            sectionId = cachedSectionId_;
        } else {
            const int index = ResolveSection(sectionPart, create, StartAt::Auto);
            if (index == -2)
                return -1;
            sectionId = IdOfSection(index);
            cachedPath_ = sectionPart;
            cachedSectionId_ = sectionId;
            cachedRootId_ = rootId_;
            cachedSectionValid_ = true;
        }
    }
    auto less = [](const KeyRec& rec, const std::pair<uint32_t, const std::string*>& key) {
        if (rec.SectionId != key.first)
            return rec.SectionId < key.first;
        return SameNameCompare(rec.Name, *key.second) < 0;
    };
    auto at = std::lower_bound(keys_.begin(), keys_.end(), std::make_pair(sectionId, &name), less);
    if (at != keys_.end() && at->SectionId == sectionId && SameNameCompare(at->Name, name) == 0) {
        currentKey_ = static_cast<int>(at - keys_.begin());
        return currentKey_;
    }
    if (!create)
        return -1;
    if (name.size() > MaxNameLength)
        RaiseStorageError(rsSetKeyError, "Key name longer than 255 characters: " + name.substr(0, 32) + "...");
    const int index = static_cast<int>(at - keys_.begin());
    keys_.insert(at, KeyRec{name, sectionId, {}});
    currentKey_ = -1;
    OnKeyAdd(this, name);
    clients_.Notify(rnKeyAdded, name);
    // A handler may have changed the tables: find the key again.
    if (static_cast<size_t>(index) < keys_.size() && keys_[static_cast<size_t>(index)].SectionId == sectionId &&
        SameNameCompare(keys_[static_cast<size_t>(index)].Name, name) == 0) {
        currentKey_ = index;
        return index;
    }
    return FindKeyIndex(path, false);
}

bool TrsStorage::FindKey(const std::string& path, bool create) { return FindKeyIndex(path, create) >= 0; }

bool TrsStorage::KeyExists(const std::string& path) { return FindKeyIndex(path, false) >= 0; }

bool TrsStorage::SectionExists(const std::string& path) { return ResolveSection(path, false, StartAt::Auto) != -2; }

std::string TrsStorage::SectionPath(uint32_t id) const {
    std::string path;
    int guard = 0;
    while (id != 0 && guard++ < 100000) {
        const int index = IndexOfSectionId(id);
        if (index < 0)
            break;
        const SectionRec& rec = sections_[static_cast<size_t>(index)];
        path = path.empty() ? rec.Name : rec.Name + "\\" + path;
        id = rec.ParentId;
    }
    return path;
}

std::string TrsStorage::KeyFullName(int keyIndex) const {
    const KeyRec& key = keys_.at(static_cast<size_t>(keyIndex));
    return "\\" + SectionPath(key.SectionId) + "\\" + key.Name;
}

void TrsStorage::Reserve(size_t sections, size_t keys) {
    sections_.reserve(sections);
    keys_.reserve(keys);
}

bool TrsStorage::NamesFit(const std::string& path) {
    size_t length = 0;
    for (char c : path) {
        length = IsPathSeparator(c) ? 0 : length + 1;
        if (length > MaxNameLength)
            return false;
    }
    return true;
}

void TrsStorage::SetRootSection(const std::string& path) {
    uint32_t id = 0;
    if (!path.empty() && !std::all_of(path.begin(), path.end(), IsPathSeparator)) {
        const int index = ResolveSection(path, true, StartAt::Top);
        if (index == -2)
            return;
        id = IdOfSection(index);
    }
    rootId_ = id;
    rootPath_ = SectionPath(id);
    clients_.Notify(rnRootChanged, rootPath_);
}

std::string TrsStorage::ReadString(const std::string& path, const std::string& fallback) {
    const int index = FindKeyIndex(path, false);
    if (index < 0)
        return fallback;
    return KeyItemAsString(keys_[static_cast<size_t>(index)].Value, KeyFullName(index));
}

void TrsStorage::WriteValue(const std::string& path, const TrsKeyItem& value) {
    const int index = FindKeyIndex(path, true);
    if (index >= 0)
        keys_[static_cast<size_t>(index)].Value = value;
}

void TrsStorage::WriteBinary(const std::string& path, const void* buffer, size_t length) {
    WriteValue(path, TrsKeyItem::OfBinary(std::string(static_cast<const char*>(buffer), length)));
}

void TrsStorage::WriteStream(const std::string& path, TStream& stream) {
    stream.SetPosition(0);
    std::string bytes(static_cast<size_t>(stream.Size()), '\0');
    stream.ReadBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    WriteValue(path, TrsKeyItem::OfBinary(bytes));
}

int64_t TrsStorage::ReadStream(const std::string& path, TStream& stream) {
    const int index = FindKeyIndex(path, false);
    if (index < 0)
        return 0;
    const TrsKeyItem& value = keys_[static_cast<size_t>(index)].Value;
    if (value.Kind != TrsKeyKind::String && value.Kind != TrsKeyKind::Binary)
        return 0;
    stream.WriteBuffer(value.Text.data(), static_cast<int64_t>(value.Text.size()));
    return static_cast<int64_t>(value.Text.size());
}

void TrsStorage::DeleteKeyAt(size_t index) {
    const std::string name = keys_[index].Name;
    OnKeyDeletion(this, name);
    clients_.Notify(rnKeyDeleted, name);
    // The handlers may have changed the table.
    if (index < keys_.size() && keys_[index].Name == name)
        keys_.erase(keys_.begin() + static_cast<ptrdiff_t>(index));
    currentKey_ = -1;
}

void TrsStorage::DeleteKey(const std::string& path) {
    const int index = FindKeyIndex(path, false);
    if (index >= 0)
        DeleteKeyAt(static_cast<size_t>(index));
}

void TrsStorage::DeleteSectionTree(uint32_t id, bool self) {
    std::vector<uint32_t> children;
    for (const SectionRec& rec : sections_)
        if (rec.ParentId == id)
            children.push_back(rec.Id);
    for (size_t i = children.size(); i-- > 0;)
        DeleteSectionTree(children[i], true);
    for (size_t i = keys_.size(); i-- > 0;)
        if (i < keys_.size() && keys_[i].SectionId == id)
            DeleteKeyAt(i);
    if (self && id != 0) {
        const int index = IndexOfSectionId(id);
        if (index >= 0)
            sections_.erase(sections_.begin() + index);
        if (id == rootId_) {
            rootId_ = 0;
            rootPath_.clear();
        }
    }
    cachedSectionValid_ = false;
    currentKey_ = -1;
}

void TrsStorage::DeleteSection(const std::string& path) {
    const int index = ResolveSection(path, false, StartAt::Auto);
    if (index >= 0)
        DeleteSectionTree(IdOfSection(index), true);
}

void TrsStorage::ClearSection() {
    DeleteSectionTree(rootId_, false);
    clients_.Notify(rnSectionCleared, rootPath_);
}

void TrsStorage::Clear() {
    sections_.clear();
    sections_.shrink_to_fit();
    keys_.clear();
    keys_.shrink_to_fit();
    counter_ = 0;
    rootId_ = 0;
    rootPath_.clear();
    cachedSectionValid_ = false;
    currentKey_ = -1;
    clients_.Notify(rnCleared, "");
}

// ---- binary layout -----------------------------------------------------------------

namespace {

void PutU32(TStream& s, uint32_t v) {
    unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                          static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
    s.WriteBuffer(b, 4);
}
void PutU64(TStream& s, uint64_t v) {
    PutU32(s, static_cast<uint32_t>(v));
    PutU32(s, static_cast<uint32_t>(v >> 32));
}
void PutName(TStream& s, const std::string& name) {
    if (name.size() > TrsStorage::MaxNameLength)
        RaiseStorageError(rsSetKeyError, "Name longer than 255 characters: " + name.substr(0, 32) + "...");
    const unsigned char length = static_cast<unsigned char>(name.size());
    s.WriteBuffer(&length, 1);
    s.WriteBuffer(name.data(), length);
}
uint32_t GetU32(TStream& s) {
    unsigned char b[4];
    s.ReadBuffer(b, 4);
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}
uint64_t GetU64(TStream& s) {
    const uint64_t low = GetU32(s);
    return low | uint64_t(GetU32(s)) << 32;
}
std::string GetName(TStream& s) {
    unsigned char length;
    s.ReadBuffer(&length, 1);
    std::string name(length, '\0');
    s.ReadBuffer(name.data(), length);
    return name;
}

}  // namespace

void TrsStorage::WriteTree(TStream& stream, uint32_t id) {
    std::vector<uint32_t> children;
    std::vector<const SectionRec*> childRecs;
    for (const SectionRec& rec : sections_)
        if (rec.ParentId == id)
            childRecs.push_back(&rec);
    std::vector<const KeyRec*> keys;
    for (const KeyRec& key : keys_)
        if (key.SectionId == id)
            keys.push_back(&key);
    PutU32(stream, static_cast<uint32_t>(childRecs.size()));
    PutU32(stream, static_cast<uint32_t>(keys.size()));
    for (const SectionRec* rec : childRecs) {
        PutName(stream, rec->Name);
        WriteTree(stream, rec->Id);
    }
    for (const KeyRec* key : keys) {
        PutName(stream, key->Name);
        const uint16_t kind = static_cast<uint16_t>(key->Value.Kind);
        const unsigned char kindBytes[2] = {static_cast<unsigned char>(kind), static_cast<unsigned char>(kind >> 8)};
        stream.WriteBuffer(kindBytes, 2);
        const TrsKeyItem& v = key->Value;
        switch (v.Kind) {
        case TrsKeyKind::String:
        case TrsKeyKind::Binary:
            PutU32(stream, static_cast<uint32_t>(v.Text.size()));
            stream.WriteBuffer(v.Text.data(), static_cast<int64_t>(v.Text.size()));
            break;
        case TrsKeyKind::Integer:
        case TrsKeyKind::Boolean: PutU32(stream, static_cast<uint32_t>(v.Int)); break;
        case TrsKeyKind::Float:
        case TrsKeyKind::DateTime: {
            uint64_t bits;
            std::memcpy(&bits, &v.Float, 8);
            PutU64(stream, bits);
            break;
        }
        case TrsKeyKind::Currency:
        case TrsKeyKind::Int64: PutU64(stream, static_cast<uint64_t>(v.Int)); break;
        case TrsKeyKind::Point:
            PutU32(stream, static_cast<uint32_t>(v.X));
            PutU32(stream, static_cast<uint32_t>(v.Y));
            break;
        case TrsKeyKind::Empty: break;
        }
    }
}

void TrsStorage::SaveSectionToStream(TStream& stream, const std::string& path) {
    uint32_t id = rootId_;
    if (!path.empty()) {
        const int index = ResolveSection(path, false, StartAt::Auto);
        if (index == -2)
            return;
        id = IdOfSection(index);
    }
    WriteTree(stream, id);
}

void TrsStorage::ReadTree(TStream& stream, uint32_t id, const std::string& path, int depth) {
    if (depth > 256)
        RaiseStorageError(rsLibraryError, "Sections nested too deeply");
    const uint32_t sectionCount = GetU32(stream);
    const uint32_t keyCount = GetU32(stream);
    for (uint32_t i = 0; i < sectionCount; ++i) {
        const std::string name = GetName(stream);
        if (name.empty() || std::any_of(name.begin(), name.end(), IsPathSeparator))
            RaiseStorageError(rsLibraryError, "Bad section name in stream");
        const std::string childPath = path.empty() ? name : path + "\\" + name;
        const uint32_t saved = rootId_;
        rootId_ = id;
        const int index = ResolveSection(name, true, StartAt::Current);
        rootId_ = saved;
        if (index < 0)
            RaiseStorageError(rsLibraryError, "Bad section name in stream");
        clients_.Notify(rnSectionCreated, childPath);
        ReadTree(stream, IdOfSection(index), childPath, depth + 1);
    }
    for (uint32_t i = 0; i < keyCount; ++i) {
        const std::string name = GetName(stream);
        unsigned char kindBytes[2];
        stream.ReadBuffer(kindBytes, 2);
        const uint16_t kind = static_cast<uint16_t>(kindBytes[0] | kindBytes[1] << 8);
        TrsKeyItem v;
        if (kind > static_cast<uint16_t>(TrsKeyKind::Int64))
            RaiseStorageError(rsLibraryError, Format("Unknown key kind %u in stream", kind));
        v.Kind = static_cast<TrsKeyKind>(kind);
        switch (v.Kind) {
        case TrsKeyKind::String:
        case TrsKeyKind::Binary: {
            const uint32_t length = GetU32(stream);
            if (length > stream.Size() - stream.Position())
                RaiseStorageError(rsLibraryError, "Key value runs past the end of the stream");
            v.Text.resize(length);
            stream.ReadBuffer(v.Text.data(), length);
            break;
        }
        case TrsKeyKind::Integer: v.Int = static_cast<int32_t>(GetU32(stream)); break;
        case TrsKeyKind::Boolean: v.Int = GetU32(stream) != 0; break;
        case TrsKeyKind::Float:
        case TrsKeyKind::DateTime: {
            const uint64_t bits = GetU64(stream);
            std::memcpy(&v.Float, &bits, 8);
            break;
        }
        case TrsKeyKind::Currency:
        case TrsKeyKind::Int64: v.Int = static_cast<int64_t>(GetU64(stream)); break;
        case TrsKeyKind::Point:
            v.X = static_cast<int32_t>(GetU32(stream));
            v.Y = static_cast<int32_t>(GetU32(stream));
            break;
        case TrsKeyKind::Empty: break;
        }
        if (name.empty() || std::any_of(name.begin(), name.end(), IsPathSeparator))
            continue;
        const std::string keyPath = "\\" + SectionPath(id) + (id ? "\\" : "") + name;
        WriteValue(keyPath, v);
    }
}

void TrsStorage::LoadSectionFromStream(TStream& stream) {
    if (stream.Position() >= stream.Size())
        return;
    DeleteSectionTree(rootId_, false);
    ReadTree(stream, rootId_, rootPath_, 0);
}
