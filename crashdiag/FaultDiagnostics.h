#pragma once

namespace Halyard {
namespace Win32 {

// Gives translated structured exceptions their call stacks and counted crash dumps, also to one
// that nothing catches (through the process's terminate handler, which is chained). A program
// calls it once, before its first translator scope: the linker keeps no static initialiser of a
// static library, so nothing registers itself.
void InstallFaultDiagnostics();

} // namespace Win32
} // namespace Halyard
