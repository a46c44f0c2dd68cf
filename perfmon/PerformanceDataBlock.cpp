#include "perfmon/PerformanceDataBlock.h"

#include "perfmon/CounterStorageAllocator.h"
#include "perfmon/Schema.h"
#include "win32/Exception.h"
#include "win32/ProcessToken.h"
#include "win32/SmartHandle.h"
#include "win32/ToString.h"

#include <cstring>

namespace Halyard {
namespace PerfMon {

using Win32::CException;
using Win32::CUnqualifiedName;
using Win32::ToString;

namespace {

const DWORD kSpinCount = 4000;
const DWORD kHeaderSize = sizeof(CPerformanceDataBlock::Header);
const DWORD kObjectHeaderSize = sizeof(PERF_OBJECT_TYPE);
const DWORD kCounterDefinitionSize = sizeof(PERF_COUNTER_DEFINITION);
const DWORD kInstanceDefinitionSize = sizeof(PERF_INSTANCE_DEFINITION);

static_assert(sizeof(CPerformanceDataBlock::Header) == 16, "the block header is a shared format");
static_assert(sizeof(PERF_OBJECT_TYPE) == 64, "object definitions are a shared format");
static_assert(sizeof(PERF_COUNTER_DEFINITION) == 40, "counter definitions are a shared format");
static_assert(sizeof(PERF_INSTANCE_DEFINITION) == 24, "instance slots are a shared format");

const wchar_t kValidateWhere[] = L"CPerformanceDataBlock::ValidateInstanceObject()";
const wchar_t kAllocateWhere[] = L"CPerformanceDataBlock::AllocateObjectInstance()";
const wchar_t kActiveWhere[] = L"CPerformanceDataBlock::GetActiveObjectInstance()";

DWORD MaxNameLength(const PERF_OBJECT_TYPE *object)
{
    return object->PerfTime.LowPart;
}

DWORD NameSpace(const PERF_OBJECT_TYPE *object)
{
    return static_cast<DWORD>(object->PerfTime.HighPart);
}

DWORD PerInstanceDataSize(const PERF_OBJECT_TYPE *object)
{
    return object->PerfFreq.LowPart;
}

// The number of slots in use lives in the high half of PerfFreq.
LONG &InUseCount(PERF_OBJECT_TYPE *object)
{
    return object->PerfFreq.HighPart;
}

bool SlotInUse(const PERF_INSTANCE_DEFINITION *slot)
{
    return slot->NameLength != 0 || slot->UniqueID != PERF_NO_UNIQUE_ID;
}

DWORD RequiredBlockSize(const CPerformanceDataSchema &schema)
{
    const unsigned long long size = static_cast<unsigned long long>(schema.GetRequiredSize()) + kHeaderSize;
    if (size > 0xFFFFFFFBull)
    {
        throw CException(L"CPerformanceDataBlock::CPerformanceDataBlock()",
                         L"Schema is too large for a data block: " + ToString(size));
    }
    return static_cast<DWORD>(size);
}

} // namespace

// The account's right to create global objects is checked before the first of them is made.
CUnqualifiedName CPerformanceDataBlock::LockName(const Win32::IKernelObjectName &name,
                                                 SECURITY_ATTRIBUTES *securityAttributes)
{
    ValidateTokenPrivileges(name, securityAttributes);
    return CUnqualifiedName(name.GetName() + L"_PerfData_Lock");
}

CPerformanceDataBlock::CPerformanceDataBlock(const Win32::IKernelObjectName &name, const CPerformanceDataSchema &schema,
                                             DWORD firstCounterIndex, SECURITY_ATTRIBUTES *securityAttributes)
    : m_lock(LockName(name, securityAttributes), securityAttributes, kSpinCount),
      m_memory(CUnqualifiedName(name.GetName() + L"_PerfData"), RequiredBlockSize(schema),
               Win32::CSharedMemory::ReadWrite, true, securityAttributes),
      m_blockSize(RequiredBlockSize(schema))
{
    Initialise(schema, firstCounterIndex);
}

CPerformanceDataBlock::~CPerformanceDataBlock() = default;

bool CPerformanceDataBlock::TryEnter()
{
    return m_lock.TryEnter();
}

void CPerformanceDataBlock::Enter()
{
    m_lock.Enter();
}

void CPerformanceDataBlock::Leave()
{
    m_lock.Leave();
}

CPerformanceDataBlock::Header &CPerformanceDataBlock::GetHeader()
{
    return *static_cast<Header *>(m_memory.GetMemory());
}

const CPerformanceDataBlock::Header &CPerformanceDataBlock::GetHeader() const
{
    return *static_cast<const Header *>(m_memory.GetMemory());
}

const BYTE *CPerformanceDataBlock::GetBlock() const
{
    return static_cast<const BYTE *>(m_memory.GetMemory());
}

DWORD CPerformanceDataBlock::GetBlockSize() const
{
    return m_blockSize;
}

BYTE *CPerformanceDataBlock::GetObjectDefinitions()
{
    return static_cast<BYTE *>(m_memory.GetMemory()) + GetHeader().firstObjectOffset;
}

const BYTE *CPerformanceDataBlock::GetObjectDefinitions() const
{
    return GetBlock() + GetHeader().firstObjectOffset;
}

BYTE *CPerformanceDataBlock::GetCounterData()
{
    return static_cast<BYTE *>(m_memory.GetMemory()) + GetHeader().counterDataOffset;
}

const BYTE *CPerformanceDataBlock::GetCounterData() const
{
    return GetBlock() + GetHeader().counterDataOffset;
}

void CPerformanceDataBlock::Initialise(const CPerformanceDataSchema &schema, DWORD firstCounterIndex)
{
    Owner lock(*this);

    Header &header = GetHeader();
    if (header.initialised != 0)
    {
        return;
    }

    const DWORD definitionsSize = schema.GetObjectDefinitionsSize();
    header.firstObjectOffset = kHeaderSize;
    header.counterDataOffset = kHeaderSize + definitionsSize;

    CCounterStorageAllocator allocator(schema.GetCounterDataSize());

    BYTE *block = static_cast<BYTE *>(m_memory.GetMemory());
    DWORD position = kHeaderSize;
    DWORD remaining = definitionsSize;
    DWORD titleIndex = firstCounterIndex;
    for (const auto &object : schema.GetObjects())
    {
        header.lastObjectOffset = position;
        const DWORD written = object->WriteTo(block + position, remaining, titleIndex, allocator);
        position += written;
        remaining -= written;
    }

    header.initialised = 1;
}

bool CPerformanceDataBlock::ValidateTokenPrivileges(const Win32::IKernelObjectName &name,
                                                    SECURITY_ATTRIBUTES *securityAttributes)
{
    if (!name.IsGlobalName())
    {
        return true;
    }

    const DWORD fullAccess = TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES;
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), fullAccess, &token) &&
        !::OpenThreadToken(::GetCurrentThread(), fullAccess, TRUE, &token) &&
        !::OpenThreadToken(::GetCurrentThread(), fullAccess, FALSE, &token) &&
        !::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token) &&
        !::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token) &&
        !::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, FALSE, &token))
    {
        token = nullptr;
    }

    bool ok = false;
    if (token != nullptr)
    {
        Win32::CProcessToken processToken(token);
        try
        {
            const wchar_t privilege[] = L"SeCreateGlobalPrivilege";
            ok = processToken.HasPrivilege(privilege);
            if (ok && !processToken.IsPrivilegeEnabled(privilege))
            {
                ok = processToken.TryEnablePrivilege(privilege);
            }
        }
        catch (const CException &)
        {
            ok = false;
        }
    }
    if (ok)
    {
        return true;
    }

    const Win32::CGlobalName probeName(L"Halyard::PerfMon::CPerformanceDataBlock::ValidateTokenPrivileges-" +
                                       ToString(static_cast<unsigned long>(::GetCurrentProcessId())));
    const Win32::CSmartHandle probe(::CreateFileMappingW(INVALID_HANDLE_VALUE, securityAttributes, PAGE_READWRITE, 0,
                                                         256, probeName.GetName().c_str()));
    if (probe.IsValid())
    {
        return true;
    }
    throw CException(L"CPerformanceDataBlock::CPerformanceDataBlock()",
                     L"Access Denied: You must have the SeCreateGlobalPrivilege privilege set on your account to be "
                     L"able to create a Performance Counter data block.");
}

PERF_OBJECT_TYPE *CPerformanceDataBlock::GetObjectDefinition(DWORD index)
{
    const wchar_t where[] = L"CPerformanceDataBlock::GetObjectDefinition()";
    unsigned long long offset = GetHeader().firstObjectOffset;
    for (DWORD i = 0;; ++i)
    {
        if (offset + kObjectHeaderSize > m_blockSize)
        {
            throw CException(where, L"Object " + ToString(index) + L" does not lie in the data block");
        }
        PERF_OBJECT_TYPE *object = reinterpret_cast<PERF_OBJECT_TYPE *>(static_cast<BYTE *>(m_memory.GetMemory()) + offset);
        if (i == index)
        {
            return object;
        }
        if (object->TotalByteLength < kObjectHeaderSize)
        {
            throw CException(where, L"Object " + ToString(i) + L" has an invalid length");
        }
        offset += object->TotalByteLength;
    }
}

PERF_INSTANCE_DEFINITION *CPerformanceDataBlock::ValidateInstanceObject(PERF_OBJECT_TYPE *object, ValidationMode mode)
{
    const BYTE *block = GetBlock();
    const Header &header = GetHeader();
    const BYTE *address = reinterpret_cast<const BYTE *>(object);
    if (address < block + header.firstObjectOffset || address > block + header.lastObjectOffset)
    {
        throw CException(kValidateWhere, L"Invalid object pointer");
    }
    if (object->NumInstances == PERF_NO_INSTANCES)
    {
        throw CException(kValidateWhere, L"Object does not support instances");
    }

    // The block is writable by every account: the slots must lie inside it before any is touched.
    const unsigned long long slotsEnd =
        static_cast<unsigned long long>(address - block) + kObjectHeaderSize +
        static_cast<unsigned long long>(object->NumCounters) * kCounterDefinitionSize +
        static_cast<unsigned long long>(static_cast<DWORD>(object->NumInstances)) * (kInstanceDefinitionSize + NameSpace(object));
    if (object->NumInstances < 0 || slotsEnd > m_blockSize)
    {
        throw CException(kValidateWhere, L"Object definition does not fit in the data block");
    }

    switch (mode)
    {
    case ValidateByName:
        if (MaxNameLength(object) == 0)
        {
            throw CException(kValidateWhere,
                             L"Instances for this object should be allocated by unique ID and not by name");
        }
        break;
    case ValidateById:
        if (MaxNameLength(object) != 0)
        {
            throw CException(kValidateWhere, L"Instances for this object should be allocated by name and not by ID");
        }
        break;
    case ValidateInUse:
        if (InUseCount(object) == 0)
        {
            throw CException(kValidateWhere, L"No instances are currently allocated");
        }
        break;
    case ValidateNone:
        break;
    }
    return reinterpret_cast<PERF_INSTANCE_DEFINITION *>(reinterpret_cast<BYTE *>(object) + kObjectHeaderSize +
                                                        object->NumCounters * kCounterDefinitionSize);
}

PERF_INSTANCE_DEFINITION *CPerformanceDataBlock::GetSlot(PERF_OBJECT_TYPE *object, DWORD slot)
{
    BYTE *first = reinterpret_cast<BYTE *>(object) + kObjectHeaderSize + object->NumCounters * kCounterDefinitionSize;
    return reinterpret_cast<PERF_INSTANCE_DEFINITION *>(first + slot * (kInstanceDefinitionSize + NameSpace(object)));
}

DWORD CPerformanceDataBlock::AllocateNamedSlot(PERF_OBJECT_TYPE *object, const std::wstring &name, DWORD &created)
{
    ValidateInstanceObject(object, ValidateByName);

    const DWORD maxLength = MaxNameLength(object);
    const size_t length = name.size();
    if (length > maxLength)
    {
        throw CException(kAllocateWhere, L"Instance name: \"" + name + L"\" is too long: " +
                                             ToString(static_cast<unsigned long>(length)) + L", max is: " +
                                             ToString(static_cast<unsigned long>(maxLength)));
    }

    const DWORD nameBytes = static_cast<DWORD>((length + 1) * sizeof(wchar_t));
    const DWORD slots = static_cast<DWORD>(object->NumInstances);
    PERF_INSTANCE_DEFINITION *freeSlot = nullptr;
    DWORD freeIndex = 0;
    for (DWORD i = 0; i < slots; ++i)
    {
        PERF_INSTANCE_DEFINITION *slot = GetSlot(object, i);
        if (slot->NameLength == 0)
        {
            if (freeSlot == nullptr)
            {
                freeSlot = slot;
                freeIndex = i;
            }
        }
        else if (slot->NameLength == nameBytes &&
                 std::memcmp(reinterpret_cast<const BYTE *>(slot) + kInstanceDefinitionSize, name.c_str(), nameBytes) ==
                     0)
        {
            created = 0;
            return i + 1;
        }
    }
    if (freeSlot == nullptr)
    {
        throw CException(kAllocateWhere, L"All " + ToString(object->NumInstances) + L" instances in use");
    }

    ++InUseCount(object);
    freeSlot->NameLength = nameBytes;
    freeSlot->NameOffset = kInstanceDefinitionSize;
    std::memcpy(reinterpret_cast<BYTE *>(freeSlot) + kInstanceDefinitionSize, name.c_str(), nameBytes);
    freeSlot->ByteLength = kInstanceDefinitionSize + nameBytes + (length % 2 == 0 ? 2 : 0);
    created = 1;
    return freeIndex + 1;
}

DWORD CPerformanceDataBlock::AllocateIdSlot(PERF_OBJECT_TYPE *object, DWORD uniqueId, DWORD &created)
{
    ValidateInstanceObject(object, ValidateById);

    if (uniqueId == static_cast<DWORD>(PERF_NO_UNIQUE_ID))
    {
        throw CException(kAllocateWhere, L"Illegal instance id: " + ToString(static_cast<long>(uniqueId)));
    }

    const DWORD slots = static_cast<DWORD>(object->NumInstances);
    PERF_INSTANCE_DEFINITION *freeSlot = nullptr;
    DWORD freeIndex = 0;
    for (DWORD i = 0; i < slots; ++i)
    {
        PERF_INSTANCE_DEFINITION *slot = GetSlot(object, i);
        if (slot->UniqueID == PERF_NO_UNIQUE_ID)
        {
            if (freeSlot == nullptr)
            {
                freeSlot = slot;
                freeIndex = i;
            }
        }
        else if (static_cast<DWORD>(slot->UniqueID) == uniqueId)
        {
            created = 0;
            return i + 1;
        }
    }
    if (freeSlot == nullptr)
    {
        throw CException(kAllocateWhere, L"Unexpected - logic error");
    }

    ++InUseCount(object);
    freeSlot->NameLength = 0;
    freeSlot->NameOffset = 0;
    freeSlot->UniqueID = static_cast<LONG>(uniqueId);
    freeSlot->ByteLength = kInstanceDefinitionSize;
    created = 1;
    return freeIndex + 1;
}

DWORD CPerformanceDataBlock::AllocateObjectInstance(PERF_OBJECT_TYPE *object, const std::wstring &name, DWORD &created)
{
    Owner lock(*this);
    const DWORD id = AllocateNamedSlot(object, name, created);
    return SetParent(object, id, created, nullptr, 0);
}

DWORD CPerformanceDataBlock::AllocateObjectInstance(PERF_OBJECT_TYPE *object, DWORD uniqueId, DWORD &created)
{
    Owner lock(*this);
    const DWORD id = AllocateIdSlot(object, uniqueId, created);
    return SetParent(object, id, created, nullptr, 0);
}

DWORD CPerformanceDataBlock::AllocateChildObjectInstance(PERF_OBJECT_TYPE *object, const std::wstring &name,
                                                         const PERF_OBJECT_TYPE *parentObject, DWORD parentInstanceId,
                                                         DWORD &created)
{
    Owner lock(*this);
    const DWORD id = AllocateNamedSlot(object, name, created);
    return SetParent(object, id, created, parentObject, parentInstanceId);
}

DWORD CPerformanceDataBlock::AllocateChildObjectInstance(PERF_OBJECT_TYPE *object, DWORD uniqueId,
                                                         const PERF_OBJECT_TYPE *parentObject, DWORD parentInstanceId,
                                                         DWORD &created)
{
    Owner lock(*this);
    const DWORD id = AllocateIdSlot(object, uniqueId, created);
    return SetParent(object, id, created, parentObject, parentInstanceId);
}

// A slot keeps the parent fields of whatever held it last, so a new plain instance must clear
// them: otherwise it would be reported as the child of a parent it never had.
DWORD CPerformanceDataBlock::SetParent(PERF_OBJECT_TYPE *object, DWORD instanceId, DWORD created,
                                       const PERF_OBJECT_TYPE *parentObject, DWORD parentInstanceId)
{
    PERF_INSTANCE_DEFINITION *slot = GetActiveObjectInstance(object, static_cast<long>(instanceId));
    const DWORD parentTitleIndex = parentObject ? parentObject->ObjectNameTitleIndex : 0;
    const DWORD parentInstance = parentObject ? parentInstanceId : 0;
    if (created)
    {
        slot->ParentObjectTitleIndex = parentTitleIndex;
        slot->ParentObjectInstance = parentInstance;
    }
    else if (parentObject &&
             (slot->ParentObjectTitleIndex != parentTitleIndex || slot->ParentObjectInstance != parentInstance))
    {
        throw CException(L"CPerformanceDataBlock::AllocateChildObjectInstance", L"Instance exists but parent is different");
    }
    return instanceId;
}

PERF_INSTANCE_DEFINITION *CPerformanceDataBlock::GetActiveObjectInstance(PERF_OBJECT_TYPE *object, long instanceId)
{
    ValidateInstanceObject(object, ValidateInUse);
    if (instanceId < 1 || instanceId > object->NumInstances)
    {
        throw CException(kActiveWhere, L"Invalid instance id: " + ToString(instanceId));
    }
    PERF_INSTANCE_DEFINITION *slot = GetSlot(object, static_cast<DWORD>(instanceId - 1));
    if (!SlotInUse(slot))
    {
        throw CException(kActiveWhere, L"Instance: " + ToString(instanceId) + L" is not currently in use");
    }
    return slot;
}

void CPerformanceDataBlock::ReleaseObjectInstance(PERF_OBJECT_TYPE *object, long instanceId)
{
    Owner lock(*this);
    PERF_INSTANCE_DEFINITION *slot = GetActiveObjectInstance(object, instanceId);
    --InUseCount(object);
    slot->NameLength = 0;
    slot->UniqueID = PERF_NO_UNIQUE_ID;
    slot->ByteLength = 0;
}

DWORD CPerformanceDataBlock::GetNamedInstanceCount(PERF_OBJECT_TYPE *object)
{
    Owner lock(*this);
    ValidateInstanceObject(object, ValidateNone);
    DWORD count = 0;
    for (DWORD i = 0; i < static_cast<DWORD>(object->NumInstances); ++i)
    {
        if (GetSlot(object, i)->NameLength != 0)
        {
            ++count;
        }
    }
    return count;
}

BYTE *CPerformanceDataBlock::GetInstanceCounterData(PERF_OBJECT_TYPE *object, long instanceId)
{
    const DWORD perInstance = PerInstanceDataSize(object);
    const DWORD slot = instanceId > 0 ? static_cast<DWORD>(instanceId - 1) : 0;
    const unsigned long long offset = static_cast<unsigned long long>(GetHeader().counterDataOffset) +
                                      object->CodePage + static_cast<unsigned long long>(slot) * perInstance;
    if (offset + perInstance > m_blockSize)
    {
        throw CException(L"CPerformanceDataBlock::GetInstanceCounterData()",
                         L"Counter data does not fit in the data block");
    }
    return static_cast<BYTE *>(m_memory.GetMemory()) + offset;
}

} // namespace PerfMon
} // namespace Halyard
