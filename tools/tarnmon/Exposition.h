#pragma once

// The TARN counters as metrics for Prometheus and OpenMetrics scrapes: one family per quantity, raw
// values only (a scraper's rate() turns running counts into rates), the server instance as a label.

#include "tools/tarnmon/CounterCooking.h"

#include <string>
#include <vector>

namespace Halyard {
namespace TarnMon {

enum class ExpositionFormat
{
    Prometheus,  // the text format 0.0.4
    OpenMetrics  // OpenMetrics 1.0 text, ending with "# EOF"
};

// One metric family and the TARN counters that carry its value. A running total and its per-second
// counter hold the same count, so both feed one counter family; the first of them that the sample
// has gives the value and the help text.
struct MetricDefinition
{
    std::wstring family; // a counter's samples add "_total"
    bool isCounter;
    std::wstring unit; // the base unit the family name ends with, or empty
    std::vector<std::wstring> counters;
};
const std::vector<MetricDefinition> &TarnMetrics();

// serverUp is whether the TARN object had instances before any --instance selection; it becomes the
// gauge tarn_up, which is the only sample when the server is not running.
std::wstring FormatExposition(const Sample &sample, bool serverUp, ExpositionFormat format);

} // namespace TarnMon
} // namespace Halyard
