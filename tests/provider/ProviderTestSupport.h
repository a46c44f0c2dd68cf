#pragma once

#include "provider/TarnCounterSet.h"
#include "tests/support/ChildProcess.h"
#include "tools/perfclient/DebugChannelListener.h"
#include "tools/perfclient/ProviderRegistration.h"

#include <memory>
#include <string>

namespace Halyard {
namespace Testing {

const DWORD kFirstCounter = 7000;

inline std::wstring ProviderPath()
{
    return ExecutableDirectory() + L"\\TARNCounters.dll";
}

// A TARN server in another process, holding the block "Global\TARN" (and optionally one named
// instance with a value in its first counter) until it is destroyed.
class CTarnServer
{
public:
    explicit CTarnServer(const std::wstring &instanceArguments = L"", DWORD firstCounter = kFirstCounter)
        : m_readyName(UniqueName(L"HalyardServerReady")), m_releaseName(UniqueName(L"HalyardServerRelease")),
          m_ready(m_readyName), m_release(m_releaseName),
          m_process(L"test_helper.exe", L"hold TARN " + std::to_wstring(firstCounter) + L" " + m_readyName + L" " +
                                                m_releaseName + L" " + instanceArguments)
    {
        if (!m_ready.Wait())
        {
            throw Win32::CException(L"CTarnServer::CTarnServer()", L"the server did not start");
        }
    }
    ~CTarnServer()
    {
        m_release.Set();
        m_process.Wait();
    }
    CTarnServer(const CTarnServer &) = delete;
    CTarnServer &operator=(const CTarnServer &) = delete;

private:
    std::wstring m_readyName;
    std::wstring m_releaseName;
    CNamedSignal m_ready;
    CNamedSignal m_release;
    CChildProcess m_process;
};

} // namespace Testing
} // namespace Halyard
