#include "win32/SystemTime.h"

#include "win32/Exception.h"

#include <gtest/gtest.h>

#include <functional>

using namespace Halyard::Win32;

namespace {

void ExpectFields(const CSystemTime &t, WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second,
                  WORD milliseconds)
{
    const WORD actual[] = {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
    const WORD expected[] = {year, month, day, hour, minute, second, milliseconds};
    for (int i = 0; i < 7; ++i)
    {
        EXPECT_EQ(expected[i], actual[i]) << "field " << i;
    }
}

void ExpectFailure(const std::function<void()> &call, const std::wstring &where, const std::wstring &message)
{
    try
    {
        call();
        ADD_FAILURE() << "no exception";
    }
    catch (const CException &e)
    {
        EXPECT_EQ(where, e.GetWhere());
        EXPECT_EQ(message, e.GetMessage());
    }
}

} // namespace

TEST(CSystemTime, DatesMustExist)
{
    CSystemTime time;
    for (const wchar_t *text : {L"31022024", L"1012024", L"2902202a", L"29022023"})
    {
        EXPECT_FALSE(time.TryParseDate(text)) << text;
    }
    EXPECT_EQ(0, time.wYear);
    EXPECT_FALSE(time.HasDate());

    ASSERT_TRUE(time.TryParseDate(L"29022024"));
    ExpectFields(time, 2024, 2, 29, 0, 0, 0, 0);
    EXPECT_EQ(4, time.wDayOfWeek); // a Thursday
    EXPECT_TRUE(time.HasDate());
    ExpectFailure([&] { time.ParseDate(L"31022024"); }, L"CSystemTime::ParseDate()",
                  L"Invalid date format or invalid date: \"31022024\" expected DDMMYYYY");
}

TEST(CSystemTime, TimesTakeWholeMilliseconds)
{
    CSystemTime time;
    ASSERT_TRUE(time.TryParseTime(L"235959999"));
    ExpectFields(time, 0, 0, 0, 23, 59, 59, 999);
    // Seven or eight characters cannot hold whole milliseconds: refused, not read past the end.
    for (const wchar_t *text : {L"240000", L"126000", L"1305091", L"13050910"})
    {
        EXPECT_FALSE(time.TryParseTime(text)) << text;
    }
    ExpectFields(time, 0, 0, 0, 23, 59, 59, 999);
    ExpectFailure([&] { time.ParseTime(L"1305091"); }, L"CSystemTime::ParseTime()",
                  L"Invalid time format or invalid time: \"1305091\" expected HHMMSS[mmm]");
}

TEST(CSystemTime, TextFormsGiveTheSameFields)
{
    const CSystemTime dashed(std::wstring(L"2024-02-29 13:05:09.007"));
    const CSystemTime compact(std::wstring(L"20240229 130509007"));
    ExpectFields(dashed, 2024, 2, 29, 13, 5, 9, 7);
    ExpectFields(compact, 2024, 2, 29, 13, 5, 9, 7);
    EXPECT_EQ(L"2024-02-29 13:05:09.007", compact.GetAsDateTime());
    EXPECT_EQ(L"130509007", compact.GetAsHHMMSSmmm());
    ExpectFields(CSystemTime(std::wstring(L"2024-02-29 13:05:09")), 2024, 2, 29, 13, 5, 9, 0);
    ExpectFields(CSystemTime(std::wstring(L"20240229")), 2024, 2, 29, 0, 0, 0, 0);
    ExpectFields(CSystemTime(std::wstring(L"130509")), 0, 0, 0, 13, 5, 9, 0);

    ExpectFailure([] { CSystemTime(std::wstring(L"2024")); }, L"CSystemTime::CSystemTime()",
                  L"Invalid format: \"2024\" expected: \"YYYYMMDD HHMMSS[MMM] or YYYY-MM-DD HH:MM:SS[.MMM]\"");
    EXPECT_THROW(CSystemTime(std::wstring(L"20240230")), CException);
}

TEST(CSystemTime, DatesOutsideTheCalendarAreRefused)
{
    const CSystemTime none;
    EXPECT_EQ(L"00000000", none.GetAsYYYYMMDD());
    EXPECT_FALSE(none.IsValid());
    EXPECT_THROW(none.GetAsInt64(), CWin32Exception);

    CSystemTime distant;
    distant.wYear = 10000;
    distant.wMonth = 1;
    distant.wDay = 1;
    ExpectFailure([&] { distant.GetAsYYYYMMDD(); }, L"CSystemTime::GetAsYYYYMMDD()", L"Invalid date; year > 9999?");
}

TEST(CSystemTime, ArithmeticCarriesThroughTheCalendar)
{
    CSystemTime time(std::wstring(L"20231215"));
    time.AddMonths(14);
    ExpectFields(time, 2025, 2, 15, 0, 0, 0, 0);
    time.AddMonths(-3);
    ExpectFields(time, 2024, 11, 15, 0, 0, 0, 0);

    CSystemTime days(std::wstring(L"20230228 235900"));
    days.AddDays(1);
    ExpectFields(days, 2023, 3, 1, 23, 59, 0, 0);
    EXPECT_EQ(3, days.wDayOfWeek); // a Wednesday
    days.AddDays(-366);
    ExpectFields(days, 2022, 2, 28, 23, 59, 0, 0);

    const LONGLONG day = 864000000000LL;
    const CSystemTime morning(std::wstring(L"20240301 080000"));
    const CSystemTime evening(std::wstring(L"20240229 200000"));
    EXPECT_EQ(day, morning.DateDifference(evening));
    EXPECT_EQ(-day / 2, morning.TimeDifference(evening));
    EXPECT_TRUE(evening < morning);
}
