#pragma once

#include "perfmon/schema/Schema.h"
#include "tests/support/Expect.h"

#include <gtest/gtest.h>

#include <winperf.h>

#include <string>

using Halyard::Testing::ExpectException;

// Adds raw-count counters named "C0", "C1", ...
inline void AddCounters(Halyard::PerfMon::CPerformanceDataSchema::Object &object, int count)
{
    for (int i = 0; i < count; ++i)
    {
        object.AddCounter(L"C" + std::to_wstring(i), L"help", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);
    }
}
