#pragma once

namespace Halyard {
namespace Win32 {

// Gives translated structured exceptions their call stacks and counted crash dumps. A program
// calls it once, before its first translator scope: the linker keeps no static initialiser of a
// static library, so nothing registers itself.
void InstallFaultDiagnostics();

} // namespace Win32
} // namespace Halyard
