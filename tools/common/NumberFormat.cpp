#include "tools/common/NumberFormat.h"

#include <cwchar>

namespace Halyard {
namespace Tools {

std::wstring FormatNumber(const wchar_t *format, double value)
{
    wchar_t text[64];
    std::swprintf(text, sizeof(text) / sizeof(text[0]), format, value);
    return text;
}

} // namespace Tools
} // namespace Halyard
