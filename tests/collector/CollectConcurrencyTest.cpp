#include "tests/collector/CollectTestSupport.h"

#include <gtest/gtest.h>

#include <vector>

using namespace Halyard;
using namespace Halyard::Testing;

// A server in another process takes, releases and updates instances under the block's lock as fast
// as it can while the provider collects in a loop: every answer is well formed, and every instance
// in it carries whole values from one update of its own.
TEST(CollectConcurrency, CollectsStayWellFormedWhileAServerChurns)
{
    const std::wstring base = UniqueName(L"HalyardChurn");
    CHelperHolding server(L"churn " + base);

    const PerfMon::CPerformanceDataSchema schema = CreateTarnCounterSet();
    PerfMon::CPerformanceDataCollector collector(Win32::CGlobalName(base), schema, 1000, nullptr);
    collector.Open(L"");

    std::vector<BYTE> buffer(8192);
    int changes = 0;
    LONG lastCount = -1;
    const DWORD start = ::GetTickCount();
    for (int i = 0; i < 40000 || (changes < 20 && ::GetTickCount() - start < 20000); ++i)
    {
        const CollectResult r = CollectInto(collector, L"Global", buffer.data(), static_cast<DWORD>(buffer.size()));
        ASSERT_TRUE(r.result);
        ASSERT_EQ(1u, r.objects);
        ASSERT_EQ("", CheckObjects(buffer.data(), r.bytes, r.objects)) << i;
        const PERF_OBJECT_TYPE *object = reinterpret_cast<const PERF_OBJECT_TYPE *>(buffer.data());
        ASSERT_GE(object->NumInstances, 1) << "the server's steady instance is always there";
        changes += (lastCount != -1 && object->NumInstances != lastCount) ? 1 : 0;
        lastCount = object->NumInstances;

        // Every instance shows the values of one update, made for its own name.
        const BYTE *position = buffer.data() + object->DefinitionLength;
        for (LONG n = 0; n < object->NumInstances; ++n)
        {
            const PERF_INSTANCE_DEFINITION *instance = reinterpret_cast<const PERF_INSTANCE_DEFINITION *>(position);
            const std::wstring name(reinterpret_cast<const wchar_t *>(position + instance->NameOffset));
            const DWORD tag = std::stoul(name.substr(name.find(L'-') + 1));
            position += instance->ByteLength;
            LONGLONG first;
            std::memcpy(&first, position + 4, 8);
            for (int k = 0; k < 26; ++k)
            {
                LONGLONG value;
                std::memcpy(&value, position + 4 + 8 * k, 8);
                ASSERT_EQ(first, value) << "counter " << k << " of an instance from another update";
            }
            const DWORD high = static_cast<DWORD>(static_cast<ULONGLONG>(first) >> 32);
            ASSERT_TRUE(first == 0 || tag == (high ^ static_cast<DWORD>(first))) << "values of another instance here";
            position += 4 + 26 * 8;
        }
    }
    EXPECT_EQ(0u, server.Release());
    EXPECT_GE(changes, 20) << "the server must have taken and released instances while we collected";
}
