#include "win32/SystemTime.h"

#include "win32/Exception.h"

#include <gtest/gtest.h>

using namespace Halyard::Win32;

namespace {

CSystemTime Date(WORD year, WORD month, WORD day)
{
    CSystemTime time;
    time.wYear = year;
    time.wMonth = month;
    time.wDay = day;
    return time;
}

void ExpectFields(const CSystemTime &t, WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second,
                  WORD milliseconds)
{
    EXPECT_EQ(year, t.wYear);
    EXPECT_EQ(month, t.wMonth);
    EXPECT_EQ(day, t.wDay);
    EXPECT_EQ(hour, t.wHour);
    EXPECT_EQ(minute, t.wMinute);
    EXPECT_EQ(second, t.wSecond);
    EXPECT_EQ(milliseconds, t.wMilliseconds);
}

const LONGLONG kDay = 864000000000LL;

} // namespace

TEST(CSystemTime, DatesMustExist)
{
    CSystemTime time;
    EXPECT_FALSE(time.TryParseDate(L"31022024"));
    EXPECT_FALSE(time.TryParseDate(L"1012024"));
    EXPECT_FALSE(time.TryParseDate(L"2902202a"));
    EXPECT_FALSE(time.TryParseDate(L"29022023"));
    EXPECT_EQ(0, time.wYear);
    EXPECT_FALSE(time.HasDate());

    ASSERT_TRUE(time.TryParseDate(L"29022024"));
    ExpectFields(time, 2024, 2, 29, 0, 0, 0, 0);
    EXPECT_EQ(4, time.wDayOfWeek); // a Thursday
    EXPECT_TRUE(time.HasDate());

    try
    {
        time.ParseDate(L"31022024");
        FAIL() << "no exception";
    }
    catch (const CException &e)
    {
        EXPECT_EQ(L"CSystemTime::ParseDate()", e.GetWhere());
        EXPECT_EQ(L"Invalid date format or invalid date: \"31022024\" expected DDMMYYYY", e.GetMessage());
    }
}

TEST(CSystemTime, TimesTakeWholeMilliseconds)
{
    CSystemTime time;
    ASSERT_TRUE(time.TryParseTime(L"235959999"));
    ExpectFields(time, 0, 0, 0, 23, 59, 59, 999);
    EXPECT_FALSE(time.TryParseTime(L"240000"));
    EXPECT_FALSE(time.TryParseTime(L"126000"));
    // Seven or eight characters cannot hold whole milliseconds: refused, not read past the end.
    EXPECT_FALSE(time.TryParseTime(L"1305091"));
    EXPECT_FALSE(time.TryParseTime(L"13050910"));
    ExpectFields(time, 0, 0, 0, 23, 59, 59, 999);

    try
    {
        time.ParseTime(L"1305091");
        FAIL() << "no exception";
    }
    catch (const CException &e)
    {
        EXPECT_EQ(L"CSystemTime::ParseTime()", e.GetWhere());
        EXPECT_EQ(L"Invalid time format or invalid time: \"1305091\" expected HHMMSS[mmm]", e.GetMessage());
    }
}

TEST(CSystemTime, TextFormsGiveTheSameFields)
{
    const CSystemTime dashed(std::wstring(L"2024-02-29 13:05:09.007"));
    const CSystemTime compact(std::wstring(L"20240229 130509007"));
    ExpectFields(dashed, 2024, 2, 29, 13, 5, 9, 7);
    ExpectFields(compact, 2024, 2, 29, 13, 5, 9, 7);
    EXPECT_EQ(L"2024-02-29 13:05:09.007", dashed.GetAsDateTime());
    EXPECT_EQ(L"2024-02-29 13:05:09.007", compact.GetAsDateTime());
    EXPECT_EQ("2024-02-29 13:05:09.007", compact.GetAsDateTimeA());
    EXPECT_EQ(L"20240229", compact.GetAsYYYYMMDD());
    EXPECT_EQ(L"130509", compact.GetAsHHMMSS());
    EXPECT_EQ(L"130509007", compact.GetAsHHMMSSmmm());

    ExpectFields(CSystemTime(std::wstring(L"2024-02-29 13:05:09")), 2024, 2, 29, 13, 5, 9, 0);
    ExpectFields(CSystemTime(std::wstring(L"20240229")), 2024, 2, 29, 0, 0, 0, 0);
    ExpectFields(CSystemTime(std::wstring(L"20240229 130509")), 2024, 2, 29, 13, 5, 9, 0);
    ExpectFields(CSystemTime(std::wstring(L"130509")), 0, 0, 0, 13, 5, 9, 0);
    ExpectFields(CSystemTime(std::wstring()), 0, 0, 0, 0, 0, 0, 0);

    try
    {
        CSystemTime(std::wstring(L"2024"));
        FAIL() << "no exception";
    }
    catch (const CException &e)
    {
        EXPECT_EQ(L"CSystemTime::CSystemTime()", e.GetWhere());
        EXPECT_EQ(L"Invalid format: \"2024\" expected: \"YYYYMMDD HHMMSS[MMM] or YYYY-MM-DD HH:MM:SS[.MMM]\"",
                  e.GetMessage());
    }
    EXPECT_THROW(CSystemTime(std::wstring(L"20240230")), CException);
}

TEST(CSystemTime, DefaultTimeHasNoDate)
{
    const CSystemTime time;
    EXPECT_EQ(L"00000000", time.GetAsYYYYMMDD());
    EXPECT_FALSE(time.IsValid());
    EXPECT_FALSE(time.HasDate());
    EXPECT_THROW(time.GetAsInt64(), CWin32Exception);
    EXPECT_TRUE(Date(2024, 1, 1).IsValid());

    const CSystemTime distant = Date(10000, 1, 1);
    try
    {
        distant.GetAsYYYYMMDD();
        FAIL() << "no exception";
    }
    catch (const CException &e)
    {
        EXPECT_EQ(L"CSystemTime::GetAsYYYYMMDD()", e.GetWhere());
        EXPECT_EQ(L"Invalid date; year > 9999?", e.GetMessage());
    }
}

TEST(CSystemTime, MonthsCarryIntoYears)
{
    CSystemTime time = Date(2023, 12, 15);
    time.AddMonths(1);
    EXPECT_EQ(2024, time.wYear);
    EXPECT_EQ(1, time.wMonth);
    time.AddMonths(14);
    EXPECT_EQ(2025, time.wYear);
    EXPECT_EQ(3, time.wMonth);
    time.AddMonths(-3);
    EXPECT_EQ(2024, time.wYear);
    EXPECT_EQ(12, time.wMonth);
    time.AddMonths(-24);
    EXPECT_EQ(2022, time.wYear);
    EXPECT_EQ(12, time.wMonth);
    time.AddYears(2);
    EXPECT_EQ(2024, time.wYear);
}

TEST(CSystemTime, DaysMoveThroughTheCalendar)
{
    CSystemTime time(std::wstring(L"20230228 235900"));
    time.AddDays(1);
    ExpectFields(time, 2023, 3, 1, 23, 59, 0, 0);
    EXPECT_EQ(3, time.wDayOfWeek); // a Wednesday
    time.AddDays(-366);
    ExpectFields(time, 2022, 2, 28, 23, 59, 0, 0);
}

TEST(CSystemTime, DifferencesAndComparisonsOfParts)
{
    const CSystemTime morning(std::wstring(L"20240301 080000"));
    const CSystemTime evening(std::wstring(L"20240229 200000"));
    EXPECT_EQ(kDay, morning.DateDifference(evening));
    EXPECT_EQ(-12 * kDay / 24, morning.TimeDifference(evening));
    EXPECT_GT(morning.CompareDate(evening), 0);
    EXPECT_LT(morning.CompareTime(evening), 0);
    EXPECT_EQ(0, morning.CompareDate(CSystemTime(std::wstring(L"20240301 235959"))));
    EXPECT_TRUE(evening < morning);
    EXPECT_TRUE(morning >= evening);
    EXPECT_TRUE(morning == CSystemTime(std::wstring(L"2024-03-01 08:00:00")));

    FILETIME zero = {0, 0};
    ExpectFields(CSystemTime(zero), 1601, 1, 1, 0, 0, 0, 0);
    EXPECT_EQ(morning.GetAsInt64(), CSystemTime([&] {
                                        FILETIME f;
                                        ::SystemTimeToFileTime(&morning, &f);
                                        return f;
                                    }()).GetAsInt64());

    CSystemTime copy;
    morning.CopyDate(copy);
    evening.CopyTime(copy);
    ExpectFields(copy, 2024, 3, 1, 20, 0, 0, 0);
}
