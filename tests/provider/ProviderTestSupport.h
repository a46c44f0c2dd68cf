#pragma once

#include "provider/TarnCounterSet.h"
#include "tests/support/ChildProcess.h"
#include "tools/perfclient/DebugChannelListener.h"
#include "tools/perfclient/ProviderRegistration.h"

#include <string>

namespace Halyard {
namespace Testing {

const DWORD kFirstCounter = 7000;

inline std::wstring ProviderPath()
{
    return ExecutableDirectory() + L"\\TARNCounters.dll";
}

} // namespace Testing
} // namespace Halyard
