#pragma once

#include <windows.h>

#include <string>

namespace Halyard {
namespace Win32 {

// A calendar time, exactly the platform's SYSTEMTIME record, with fixed text forms. Arithmetic and
// comparisons go through the 64-bit file time (100 ns units since 1601-01-01).
class CSystemTime : public SYSTEMTIME
{
public:
    // All zero: no date, no time.
    CSystemTime();
    explicit CSystemTime(const SYSTEMTIME &time);
    explicit CSystemTime(const FILETIME &time);

    // "", "HHMMSS[mmm]", "YYYYMMDD", "YYYYMMDD HHMMSS[mmm]" or "YYYY-MM-DD HH:MM:SS[.mmm]".
    explicit CSystemTime(const std::wstring &text);

    void SetToSystemTime();
    void SetToLocalTime();

    void CopyDate(CSystemTime &to) const;
    void CopyTime(CSystemTime &to) const;

    bool IsValid() const;
    bool HasDate() const;

    void AddYears(int years);

    // Month arithmetic: one month after December is January of the next year, one before January
    // is December of the year before.
    void AddMonths(int months);

    void AddDays(int days);

    LONGLONG GetAsInt64() const;

    std::wstring GetAsYYYYMMDD() const;
    std::wstring GetAsHHMMSS() const;
    std::wstring GetAsHHMMSSmmm() const;

    // "YYYY-MM-DD HH:MM:SS.mmm".
    std::wstring GetAsDateTime() const;
    std::string GetAsDateTimeA() const;

    // This date (or time of day) minus the other's, in file time units.
    LONGLONG DateDifference(const CSystemTime &other) const;
    LONGLONG TimeDifference(const CSystemTime &other) const;

    // Negative, zero or positive as this date (or time of day) is before, equal to or after the other's.
    int CompareDate(const CSystemTime &other) const;
    int CompareTime(const CSystemTime &other) const;

    bool operator==(const CSystemTime &other) const;
    bool operator!=(const CSystemTime &other) const;
    bool operator<(const CSystemTime &other) const;
    bool operator<=(const CSystemTime &other) const;
    bool operator>(const CSystemTime &other) const;
    bool operator>=(const CSystemTime &other) const;

    // "DDMMYYYY"; false leaves this time unchanged.
    bool TryParseDate(const std::wstring &text);
    void ParseDate(const std::wstring &text);

    // "HHMMSS" or "HHMMSSmmm"; false leaves this time unchanged.
    bool TryParseTime(const std::wstring &text);
    void ParseTime(const std::wstring &text);

private:
    CSystemTime DatePart() const;
    CSystemTime TimePart() const;
};

} // namespace Win32
} // namespace Halyard
