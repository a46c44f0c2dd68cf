#pragma once

#include "perfmon/Schema.h"

// The product whose counters this module publishes; its kernel objects and registry entries are named after it.
extern const wchar_t TarnProductName[];

// The language of every text of the counter set.
extern const wchar_t TarnLanguageId[];

// The name of the TARN performance object.
extern const wchar_t TarnObjectName[];

// The TARN server's counter set. Server and provider both build it and lay out the shared block from
// it, so every text, number and order here is part of their contract and of the installed checksum.
Halyard::PerfMon::CPerformanceDataSchema CreateTarnCounterSet();
