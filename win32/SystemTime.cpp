#include "win32/SystemTime.h"

#include "win32/Exception.h"
#include "win32/FileUtils.h"

#include <cstdio>
#include <cstring>
#include <cwctype>

namespace Halyard {
namespace Win32 {

namespace {

const LONGLONG kFileTimeUnitsPerDay = 864000000000LL;

LONGLONG ToInt64(const FILETIME &time)
{
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return static_cast<LONGLONG>(value.QuadPart);
}

FILETIME ToFileTime(LONGLONG value)
{
    ULARGE_INTEGER parts;
    parts.QuadPart = static_cast<ULONGLONG>(value);
    FILETIME time;
    time.dwLowDateTime = parts.LowPart;
    time.dwHighDateTime = parts.HighPart;
    return time;
}

bool AllDigits(const std::wstring &text)
{
    for (const wchar_t c : text)
    {
        if (c < L'0' || c > L'9')
        {
            return false;
        }
    }
    return true;
}

WORD Field(const std::wstring &text, size_t offset, size_t length)
{
    return static_cast<WORD>(GetLongFromString(text, offset, length));
}

// The platform fills what it can from a time that does not exist; converting there and back and
// getting the same fields proves the time exists.
bool RoundTrip(const SYSTEMTIME &in, SYSTEMTIME &out)
{
    FILETIME fileTime;
    return ::SystemTimeToFileTime(&in, &fileTime) && ::FileTimeToSystemTime(&fileTime, &out) &&
           out.wYear == in.wYear && out.wMonth == in.wMonth && out.wDay == in.wDay && out.wHour == in.wHour &&
           out.wMinute == in.wMinute && out.wSecond == in.wSecond && out.wMilliseconds == in.wMilliseconds;
}

int Compare(LONGLONG lhs, LONGLONG rhs)
{
    return lhs < rhs ? -1 : (lhs > rhs ? 1 : 0);
}

} // namespace

CSystemTime::CSystemTime()
    : SYSTEMTIME()
{
}

CSystemTime::CSystemTime(const SYSTEMTIME &time)
    : SYSTEMTIME(time)
{
}

CSystemTime::CSystemTime(const FILETIME &time)
    : SYSTEMTIME()
{
    if (!::FileTimeToSystemTime(&time, this))
    {
        const DWORD error = ::GetLastError();
        if (error != ERROR_SUCCESS)
        {
            throw CWin32Exception(L"CSystemTime::CSystemTimeX()", error);
        }
    }
}

CSystemTime::CSystemTime(const std::wstring &text)
    : SYSTEMTIME()
{
    switch (text.length())
    {
    case 0:
        break;
    case 6:
    case 9:
        ParseTime(text);
        break;
    case 8:
        ParseDate(text.substr(6, 2) + text.substr(4, 2) + text.substr(0, 4));
        break;
    case 15:
    case 18:
        ParseDate(text.substr(6, 2) + text.substr(4, 2) + text.substr(0, 4));
        ParseTime(text.substr(9));
        break;
    case 19:
    case 23:
        ParseDate(text.substr(8, 2) + text.substr(5, 2) + text.substr(0, 4));
        ParseTime(text.substr(11, 2) + text.substr(14, 2) + text.substr(17, 2) +
                  (text.length() == 23 ? text.substr(20, 3) : std::wstring()));
        break;
    default:
        throw CException(L"CSystemTime::CSystemTime()",
                         L"Invalid format: \"" + text +
                             L"\" expected: \"YYYYMMDD HHMMSS[MMM] or YYYY-MM-DD HH:MM:SS[.MMM]\"");
    }
}

void CSystemTime::SetToSystemTime()
{
    ::GetSystemTime(this);
}

void CSystemTime::SetToLocalTime()
{
    ::GetLocalTime(this);
}

void CSystemTime::CopyDate(CSystemTime &to) const
{
    to.wYear = wYear;
    to.wMonth = wMonth;
    to.wDayOfWeek = wDayOfWeek;
    to.wDay = wDay;
}

void CSystemTime::CopyTime(CSystemTime &to) const
{
    to.wHour = wHour;
    to.wMinute = wMinute;
    to.wSecond = wSecond;
    to.wMilliseconds = wMilliseconds;
}

bool CSystemTime::IsValid() const
{
    FILETIME fileTime;
    return ::SystemTimeToFileTime(this, &fileTime) && ToInt64(fileTime) != 0;
}

bool CSystemTime::HasDate() const
{
    return wYear != 0 || wMonth != 0 || wDay != 0;
}

void CSystemTime::AddYears(int years)
{
    wYear = static_cast<WORD>(wYear + years);
}

void CSystemTime::AddMonths(int months)
{
    // Zero-based month index, divided with the remainder kept non-negative so that going back
    // across January lands in December of an earlier year.
    const long index = static_cast<long>(wMonth) - 1 + months;
    long years = index / 12;
    long month = index % 12;
    if (month < 0)
    {
        month += 12;
        --years;
    }
    wMonth = static_cast<WORD>(month + 1);
    wYear = static_cast<WORD>(wYear + years);
}

void CSystemTime::AddDays(int days)
{
    const FILETIME moved = ToFileTime(GetAsInt64() + days * kFileTimeUnitsPerDay);
    SYSTEMTIME result;
    ThrowLastErrorIf(!::FileTimeToSystemTime(&moved, &result), L"CSystemTime::AddDays()");
    *static_cast<SYSTEMTIME *>(this) = result;
}

LONGLONG CSystemTime::GetAsInt64() const
{
    FILETIME fileTime;
    ThrowLastErrorIf(!::SystemTimeToFileTime(this, &fileTime), L"CSystemTime::GetAsInt64()");
    return ToInt64(fileTime);
}

std::wstring CSystemTime::GetAsYYYYMMDD() const
{
    if (wYear > 9999 || wMonth > 99 || wDay > 99)
    {
        throw CException(L"CSystemTime::GetAsYYYYMMDD()", L"Invalid date; year > 9999?");
    }
    wchar_t buffer[16];
    std::swprintf(buffer, 16, L"%04d%02d%02d", wYear, wMonth, wDay);
    return buffer;
}

std::wstring CSystemTime::GetAsHHMMSS() const
{
    wchar_t buffer[32];
    std::swprintf(buffer, 32, L"%02d%02d%02d", wHour, wMinute, wSecond);
    return buffer;
}

std::wstring CSystemTime::GetAsHHMMSSmmm() const
{
    wchar_t buffer[32];
    std::swprintf(buffer, 32, L"%02d%02d%02d%03d", wHour, wMinute, wSecond, wMilliseconds);
    return buffer;
}

std::string CSystemTime::GetAsDateTimeA() const
{
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), "%04d-%02d-%02d %02d:%02d:%02d.%03d", wYear, wMonth, wDay, wHour, wMinute,
                  wSecond, wMilliseconds);
    return buffer;
}

std::wstring CSystemTime::GetAsDateTime() const
{
    const std::string text = GetAsDateTimeA();
    return std::wstring(text.begin(), text.end());
}

CSystemTime CSystemTime::DatePart() const
{
    CSystemTime date;
    CopyDate(date);
    return date;
}

CSystemTime CSystemTime::TimePart() const
{
    CSystemTime time;
    time.wYear = 1601;
    time.wMonth = 1;
    time.wDay = 1;
    CopyTime(time);
    return time;
}

LONGLONG CSystemTime::DateDifference(const CSystemTime &other) const
{
    return DatePart().GetAsInt64() - other.DatePart().GetAsInt64();
}

LONGLONG CSystemTime::TimeDifference(const CSystemTime &other) const
{
    return TimePart().GetAsInt64() - other.TimePart().GetAsInt64();
}

int CSystemTime::CompareDate(const CSystemTime &other) const
{
    return Compare(DatePart().GetAsInt64(), other.DatePart().GetAsInt64());
}

int CSystemTime::CompareTime(const CSystemTime &other) const
{
    return Compare(TimePart().GetAsInt64(), other.TimePart().GetAsInt64());
}

bool CSystemTime::operator==(const CSystemTime &other) const
{
    return GetAsInt64() == other.GetAsInt64();
}

bool CSystemTime::operator!=(const CSystemTime &other) const
{
    return GetAsInt64() != other.GetAsInt64();
}

bool CSystemTime::operator<(const CSystemTime &other) const
{
    return GetAsInt64() < other.GetAsInt64();
}

bool CSystemTime::operator<=(const CSystemTime &other) const
{
    return GetAsInt64() <= other.GetAsInt64();
}

bool CSystemTime::operator>(const CSystemTime &other) const
{
    return GetAsInt64() > other.GetAsInt64();
}

bool CSystemTime::operator>=(const CSystemTime &other) const
{
    return GetAsInt64() >= other.GetAsInt64();
}

bool CSystemTime::TryParseDate(const std::wstring &text)
{
    if (text.length() != 8 || !AllDigits(text))
    {
        return false;
    }
    SYSTEMTIME date = {};
    date.wDay = Field(text, 0, 2);
    date.wMonth = Field(text, 2, 2);
    date.wYear = Field(text, 4, 4);
    SYSTEMTIME converted;
    if (!RoundTrip(date, converted))
    {
        return false;
    }
    wYear = converted.wYear;
    wMonth = converted.wMonth;
    wDayOfWeek = converted.wDayOfWeek;
    wDay = converted.wDay;
    return true;
}

void CSystemTime::ParseDate(const std::wstring &text)
{
    if (!TryParseDate(text))
    {
        throw CException(L"CSystemTime::ParseDate()",
                         L"Invalid date format or invalid date: \"" + text + L"\" expected DDMMYYYY");
    }
}

bool CSystemTime::TryParseTime(const std::wstring &text)
{
    // Only whole milliseconds: 7 or 8 characters are refused rather than read past the end.
    if ((text.length() != 6 && text.length() != 9) || !AllDigits(text))
    {
        return false;
    }
    SYSTEMTIME time = {};
    time.wYear = 1601;
    time.wMonth = 1;
    time.wDay = 1;
    time.wHour = Field(text, 0, 2);
    time.wMinute = Field(text, 2, 2);
    time.wSecond = Field(text, 4, 2);
    if (text.length() > 6)
    {
        time.wMilliseconds = Field(text, 6, 3);
    }
    SYSTEMTIME converted;
    if (!RoundTrip(time, converted))
    {
        return false;
    }
    wHour = converted.wHour;
    wMinute = converted.wMinute;
    wSecond = converted.wSecond;
    wMilliseconds = converted.wMilliseconds;
    return true;
}

void CSystemTime::ParseTime(const std::wstring &text)
{
    if (!TryParseTime(text))
    {
        throw CException(L"CSystemTime::ParseTime()",
                         L"Invalid time format or invalid time: \"" + text + L"\" expected HHMMSS[mmm]");
    }
}

} // namespace Win32
} // namespace Halyard
