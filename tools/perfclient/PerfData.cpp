#include "tools/perfclient/PerfData.h"

#include "win32/Exception.h"
#include "win32/RegistryKey.h"
#include "win32/ToString.h"

#include <algorithm>
#include <cstring>

using Halyard::Win32::CException;
using Halyard::Win32::CWin32Exception;
using Halyard::Win32::HexFullWidth;
using Halyard::Win32::HexPrefix;
using Halyard::Win32::ToString;

namespace Halyard {
namespace PerfClient {

namespace {

std::wstring Number(ULONGLONG value)
{
    return ToString(static_cast<unsigned long long>(value));
}

// Bounds-checked access to the untrusted bytes. Arithmetic is 64-bit so that no length from the
// data can wrap an offset, also in 32-bit builds.
class CCheckedBuffer
{
public:
    CCheckedBuffer(const wchar_t *where, const BYTE *data, ULONGLONG size) : m_where(where), m_data(data), m_size(size)
    {
    }

    [[noreturn]] void Fail(const std::wstring &message) const
    {
        throw CException(m_where, L"Error: " + message);
    }

    void Require(ULONGLONG offset, ULONGLONG length, ULONGLONG limit, const std::wstring &what) const
    {
        if (offset > limit || length > limit - offset)
        {
            Fail(what + L" (offset " + Number(offset) + L", " + Number(length) + L" bytes) runs past the end at " +
                 Number(limit));
        }
    }

    template <typename T>
    T Read(ULONGLONG offset, ULONGLONG limit, const std::wstring &what) const
    {
        Require(offset, sizeof(T), limit, what);
        T value;
        std::memcpy(&value, m_data + offset, sizeof(T));
        return value;
    }

    std::vector<BYTE> Bytes(ULONGLONG offset, ULONGLONG length, ULONGLONG limit, const std::wstring &what) const
    {
        Require(offset, length, limit, what);
        return std::vector<BYTE>(m_data + offset, m_data + offset + length);
    }

    // UTF-16 text of byteLength bytes, cut at its first NUL.
    std::wstring Text(ULONGLONG offset, ULONGLONG byteLength, ULONGLONG limit, const std::wstring &what) const
    {
        if (byteLength % sizeof(wchar_t) != 0)
        {
            Fail(what + L" has an odd length of " + Number(byteLength) + L" bytes");
        }
        Require(offset, byteLength, limit, what);
        std::wstring text(static_cast<size_t>(byteLength / sizeof(wchar_t)), L'\0');
        std::memcpy(&text[0], m_data + offset, static_cast<size_t>(byteLength));
        const size_t nul = text.find(L'\0');
        if (nul != std::wstring::npos)
        {
            text.resize(nul);
        }
        return text;
    }

    ULONGLONG GetSize() const
    {
        return m_size;
    }

private:
    const wchar_t *m_where;
    const BYTE *m_data;
    ULONGLONG m_size;
};

std::vector<BYTE> ReadCounterBlock(const CCheckedBuffer &buffer, ULONGLONG offset, ULONGLONG limit,
                                   const std::wstring &what)
{
    const DWORD length = buffer.Read<DWORD>(offset, limit, what);
    if (length < sizeof(PERF_COUNTER_BLOCK))
    {
        buffer.Fail(what + L" has a ByteLength of " + Number(length) + L", less than its own header");
    }
    return buffer.Bytes(offset, length, limit, what);
}

void CheckCountersFit(const CCheckedBuffer &buffer, const CPerformanceData::Object &object,
                      const std::vector<BYTE> &counterBlock, const std::wstring &what)
{
    for (size_t i = 0; i < object.counters.size(); ++i)
    {
        const PERF_COUNTER_DEFINITION &counter = object.counters[i];
        if (static_cast<ULONGLONG>(counter.CounterOffset) + counter.CounterSize > counterBlock.size())
        {
            buffer.Fail(what + L": counter " + Number(i) + L" (CounterOffset " + Number(counter.CounterOffset) +
                        L", CounterSize " + Number(counter.CounterSize) + L") lies outside its counter block of " +
                        Number(counterBlock.size()) + L" bytes");
        }
    }
}

CPerformanceData::Object ParseObject(const CCheckedBuffer &buffer, ULONGLONG offset, ULONGLONG limit, size_t index)
{
    const std::wstring at = L"object " + Number(index) + L" at offset " + Number(offset);
    CPerformanceData::Object object{};
    object.offset = static_cast<DWORD>(offset);
    object.header = buffer.Read<PERF_OBJECT_TYPE>(offset, limit, at + L": header");
    const PERF_OBJECT_TYPE &header = object.header;
    if (header.HeaderLength < sizeof(PERF_OBJECT_TYPE) || header.HeaderLength > header.DefinitionLength ||
        header.DefinitionLength > header.TotalByteLength)
    {
        buffer.Fail(at + L": lengths out of order (HeaderLength " + Number(header.HeaderLength) +
                    L", DefinitionLength " + Number(header.DefinitionLength) + L", TotalByteLength " +
                    Number(header.TotalByteLength) + L")");
    }
    buffer.Require(offset, header.TotalByteLength, limit, at + L": TotalByteLength");
    const ULONGLONG objectEnd = offset + header.TotalByteLength;
    const ULONGLONG definitionEnd = offset + header.DefinitionLength;

    ULONGLONG position = offset + header.HeaderLength;
    for (DWORD i = 0; i < header.NumCounters; ++i)
    {
        const std::wstring what = at + L": counter definition " + Number(i);
        const PERF_COUNTER_DEFINITION counter = buffer.Read<PERF_COUNTER_DEFINITION>(position, definitionEnd, what);
        if (counter.ByteLength < sizeof(PERF_COUNTER_DEFINITION))
        {
            buffer.Fail(what + L" has a ByteLength of " + Number(counter.ByteLength));
        }
        buffer.Require(position, counter.ByteLength, definitionEnd, what);
        object.counters.push_back(counter);
        position += counter.ByteLength;
    }

    position = definitionEnd;
    if (header.NumInstances == PERF_NO_INSTANCES)
    {
        object.counterBlock = ReadCounterBlock(buffer, position, objectEnd, at + L": counter block");
        CheckCountersFit(buffer, object, object.counterBlock, at);
        return object;
    }
    if (header.NumInstances < 0)
    {
        buffer.Fail(at + L": NumInstances is " + ToString(static_cast<long>(header.NumInstances)));
    }
    for (LONG i = 0; i < header.NumInstances; ++i)
    {
        const std::wstring what = at + L": instance " + Number(static_cast<ULONGLONG>(i));
        CPerformanceData::Instance instance{};
        instance.definition = buffer.Read<PERF_INSTANCE_DEFINITION>(position, objectEnd, what);
        const PERF_INSTANCE_DEFINITION &definition = instance.definition;
        if (definition.ByteLength < sizeof(PERF_INSTANCE_DEFINITION))
        {
            buffer.Fail(what + L" has a ByteLength of " + Number(definition.ByteLength));
        }
        buffer.Require(position, definition.ByteLength, objectEnd, what);
        if (definition.NameLength != 0)
        {
            if (definition.NameOffset < sizeof(PERF_INSTANCE_DEFINITION))
            {
                buffer.Fail(what + L": NameOffset " + Number(definition.NameOffset) + L" points into the definition");
            }
            instance.name = buffer.Text(position + definition.NameOffset, definition.NameLength,
                                        position + definition.ByteLength, what + L": name");
        }
        position += definition.ByteLength;
        instance.counterBlock = ReadCounterBlock(buffer, position, objectEnd, what + L": counter block");
        CheckCountersFit(buffer, object, instance.counterBlock, what);
        position += instance.counterBlock.size();
        object.instances.push_back(std::move(instance));
    }
    return object;
}

// An object header that could start at offset: its own lengths agree and it fits the data.
bool IsPlausibleObject(const CCheckedBuffer &buffer, ULONGLONG offset, ULONGLONG limit)
{
    if (offset > limit || limit - offset < sizeof(PERF_OBJECT_TYPE))
    {
        return false;
    }
    const PERF_OBJECT_TYPE header = buffer.Read<PERF_OBJECT_TYPE>(offset, limit, L"object header");
    return header.HeaderLength == sizeof(PERF_OBJECT_TYPE) && header.DefinitionLength >= header.HeaderLength &&
           header.TotalByteLength >= header.DefinitionLength && header.TotalByteLength <= limit - offset;
}

std::vector<CPerformanceData::Object> ParseObjectList(const CCheckedBuffer &buffer, ULONGLONG offset,
                                                      ULONGLONG limit, DWORD objectCount)
{
    std::vector<CPerformanceData::Object> objects;
    for (DWORD i = 0; i < objectCount; ++i)
    {
        // ParseObject guarantees TotalByteLength >= sizeof(PERF_OBJECT_TYPE), so the walk always advances.
        objects.push_back(ParseObject(buffer, offset, limit, i));
        offset += objects.back().header.TotalByteLength;
    }
    return objects;
}

} // namespace

bool CPerformanceData::Object::HasInstances() const
{
    return header.NumInstances != PERF_NO_INSTANCES;
}

const PERF_COUNTER_DEFINITION *CPerformanceData::Object::FindCounter(DWORD nameTitleIndex) const
{
    for (const PERF_COUNTER_DEFINITION &counter : counters)
    {
        if (counter.CounterNameTitleIndex == nameTitleIndex)
        {
            return &counter;
        }
    }
    return nullptr;
}

CPerformanceData CPerformanceData::Parse(const std::vector<BYTE> &data)
{
    return Parse(data.data(), data.size());
}

CPerformanceData CPerformanceData::Parse(const BYTE *data, size_t size)
{
    const CCheckedBuffer buffer(L"CPerformanceData::Parse()", data, size);
    CPerformanceData result;
    result.m_header = buffer.Read<PERF_DATA_BLOCK>(0, size, L"PERF_DATA_BLOCK");
    const PERF_DATA_BLOCK &header = result.m_header;
    if (std::memcmp(header.Signature, L"PERF", sizeof(header.Signature)) != 0)
    {
        buffer.Fail(L"the signature is not \"PERF\"");
    }
    buffer.Require(0, header.TotalByteLength, size, L"TotalByteLength");
    if (header.HeaderLength < sizeof(PERF_DATA_BLOCK) || header.HeaderLength > header.TotalByteLength)
    {
        buffer.Fail(L"HeaderLength " + Number(header.HeaderLength) + L" does not fit between the block header and " +
                    L"TotalByteLength " + Number(header.TotalByteLength));
    }
    const ULONGLONG limit = header.TotalByteLength;
    if (header.SystemNameLength != 0)
    {
        result.m_systemName =
            buffer.Text(header.SystemNameOffset, header.SystemNameLength, limit, L"the system name");
    }

    // Some performance libraries (Wine 8) write the objects sizeof(PERF_DATA_BLOCK) bytes further on than
    // HeaderLength says, without counting that gap in TotalByteLength: the objects then end that much later.
    result.m_firstObjectOffset = header.HeaderLength;
    ULONGLONG objectsEnd = limit;
    if (header.NumObjectTypes != 0 && !IsPlausibleObject(buffer, header.HeaderLength, limit))
    {
        const ULONGLONG shifted = static_cast<ULONGLONG>(sizeof(PERF_DATA_BLOCK)) + header.HeaderLength;
        const ULONGLONG shiftedEnd = std::min<ULONGLONG>(size, limit + sizeof(PERF_DATA_BLOCK));
        if (!IsPlausibleObject(buffer, shifted, shiftedEnd))
        {
            buffer.Fail(L"no object header at offset " + Number(header.HeaderLength) + L" or " + Number(shifted));
        }
        result.m_firstObjectOffset = static_cast<DWORD>(shifted);
        objectsEnd = shiftedEnd;
    }
    result.m_objects = ParseObjectList(buffer, result.m_firstObjectOffset, objectsEnd, header.NumObjectTypes);
    return result;
}

std::vector<CPerformanceData::Object> CPerformanceData::ParseObjects(const BYTE *data, size_t size, DWORD objectCount)
{
    const CCheckedBuffer buffer(L"CPerformanceData::ParseObjects()", data, size);
    return ParseObjectList(buffer, 0, size, objectCount);
}

const PERF_DATA_BLOCK &CPerformanceData::GetHeader() const
{
    return m_header;
}

const std::wstring &CPerformanceData::GetSystemName() const
{
    return m_systemName;
}

DWORD CPerformanceData::GetFirstObjectOffset() const
{
    return m_firstObjectOffset;
}

const std::vector<CPerformanceData::Object> &CPerformanceData::GetObjects() const
{
    return m_objects;
}

const CPerformanceData::Object *CPerformanceData::FindObject(DWORD nameTitleIndex) const
{
    for (const Object &object : m_objects)
    {
        if (object.header.ObjectNameTitleIndex == nameTitleIndex)
        {
            return &object;
        }
    }
    return nullptr;
}

std::optional<ULONGLONG> LoadCounterValue(const std::vector<BYTE> &counterBlock, DWORD offset, DWORD size)
{
    if ((size != sizeof(DWORD) && size != sizeof(ULONGLONG)) ||
        static_cast<ULONGLONG>(offset) + size > counterBlock.size())
    {
        return std::nullopt;
    }
    if (size == sizeof(DWORD))
    {
        DWORD value;
        std::memcpy(&value, counterBlock.data() + offset, sizeof(value));
        return value;
    }
    ULONGLONG value;
    std::memcpy(&value, counterBlock.data() + offset, sizeof(value));
    return value;
}

ULONGLONG ReadCounterValue(const PERF_COUNTER_DEFINITION &counter, const std::vector<BYTE> &counterBlock)
{
    const wchar_t where[] = L"ReadCounterValue()";
    const DWORD sizeBits = counter.CounterType & PERF_SIZE_VARIABLE_LEN;
    const DWORD size = sizeBits == PERF_SIZE_DWORD ? sizeof(DWORD) : sizeBits == PERF_SIZE_LARGE ? sizeof(ULONGLONG) : 0;
    if (size == 0)
    {
        throw CException(where, L"Error: counter type " + ToString(counter.CounterType, HexPrefix | HexFullWidth) +
                                    L" has no numeric value");
    }
    if (counter.CounterSize != size)
    {
        throw CException(where, L"Error: CounterSize " + Number(counter.CounterSize) + L" disagrees with counter type " +
                                    ToString(counter.CounterType, HexPrefix | HexFullWidth));
    }
    const std::optional<ULONGLONG> value = LoadCounterValue(counterBlock, counter.CounterOffset, size);
    if (!value)
    {
        throw CException(where, L"Error: CounterOffset " + Number(counter.CounterOffset) + L" lies outside the " +
                                    Number(counterBlock.size()) + L"-byte counter block");
    }
    return *value;
}

std::vector<BYTE> QueryPerformanceData(const std::wstring &query, size_t maxBytes)
{
    // Closing the key is what lets the performance library close and unload its providers.
    const Win32::CRegistryKey performanceData(HKEY_PERFORMANCE_DATA);

    // The buffer carries sizeof(PERF_DATA_BLOCK) bytes that the performance library is not told about:
    // Wine 8 places the objects that much beyond HeaderLength and lets providers write past the size it was
    // given. What lies in the slack after a successful query is kept, so that the parser can find such objects.
    const size_t slack = sizeof(PERF_DATA_BLOCK);
    size_t declared = 64 * 1024;
    for (;;)
    {
        std::vector<BYTE> buffer(declared + slack);
        DWORD type = 0;
        DWORD size = static_cast<DWORD>(declared);
        const LONG result = ::RegQueryValueExW(performanceData, query.c_str(), nullptr, &type, buffer.data(), &size);
        if (result == ERROR_SUCCESS)
        {
            buffer.resize(std::min<size_t>(static_cast<size_t>(size) + slack, buffer.size()));
            return buffer;
        }
        if (result != ERROR_MORE_DATA)
        {
            throw CWin32Exception(L"QueryPerformanceData() - RegQueryValueExW", static_cast<DWORD>(result));
        }
        if (declared >= maxBytes)
        {
            throw CException(L"QueryPerformanceData()", L"Error: the performance data for \"" + query +
                                                            L"\" does not fit in " + Number(maxBytes) + L" bytes");
        }
        declared = std::min(declared * 2, maxBytes);
    }
}

} // namespace PerfClient
} // namespace Halyard
