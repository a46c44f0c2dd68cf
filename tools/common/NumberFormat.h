#pragma once

#include <string>

namespace Halyard {
namespace Tools {

// One value through a printf format for a double ("%.3f", "%.6g"), as the C runtime prints it.
std::wstring FormatNumber(const wchar_t *format, double value);

} // namespace Tools
} // namespace Halyard
