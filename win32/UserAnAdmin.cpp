// Kept apart from the token class: a binary that never asks does not import shell32.
#include "win32/ProcessToken.h"

#include <shlobj.h>

namespace Halyard {
namespace Win32 {

bool IsUserAnAdmin()
{
    return ::IsUserAnAdmin() != FALSE;
}

} // namespace Win32
} // namespace Halyard
