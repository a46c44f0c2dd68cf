#include "crashdiag/CrashDump.h"

namespace Halyard {
namespace Win32 {

// No dump writer is built into this module yet: the request is accepted and nothing is written.
void RequestCrashDump(EXCEPTION_POINTERS * /*pointers*/, bool /*counted*/)
{
}

} // namespace Win32
} // namespace Halyard
