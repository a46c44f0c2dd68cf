#pragma once

#include "perfmon/schema/Schema.h"
#include "win32/Exception.h"

#include <gtest/gtest.h>

#include <winperf.h>

#include <string>

// Runs the call and checks that it throws a CException with exactly this where-text and message.
template <typename Call>
void ExpectException(Call call, const std::wstring &where, const std::wstring &message)
{
    try
    {
        call();
        ADD_FAILURE() << "expected an exception from " << testing::PrintToString(where);
    }
    catch (const Halyard::Win32::CException &e)
    {
        EXPECT_EQ(where, e.GetWhere());
        EXPECT_EQ(message, e.GetMessage());
    }
}

// Adds raw-count counters named "C0", "C1", ...
inline void AddCounters(Halyard::PerfMon::CPerformanceDataSchema::Object &object, int count)
{
    for (int i = 0; i < count; ++i)
    {
        object.AddCounter(L"C" + std::to_wstring(i), L"help", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);
    }
}
