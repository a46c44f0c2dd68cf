#include "perfmon/datablock/PerformanceDataBlock.h"

#include "perfmon/schema/Schema.h"
#include "win32/Exception.h"
#include "win32/ProcessToken.h"
#include "win32/SmartHandle.h"
#include "win32/ToString.h"

#include <cstring>
#include <utility>

namespace Halyard {
namespace PerfMon {

using Win32::CException;
using Win32::CUnqualifiedName;
using Win32::ToString;
using Layout = CDataBlockLayout;

namespace {

const DWORD kSpinCount = 4000;

const wchar_t kValidateWhere[] = L"CPerformanceDataBlock::ValidateInstanceObject()";
const wchar_t kAllocateWhere[] = L"CPerformanceDataBlock::AllocateObjectInstance()";
const wchar_t kActiveWhere[] = L"CPerformanceDataBlock::GetActiveObjectInstance()";
const wchar_t kPrivilege[] = L"SeCreateGlobalPrivilege";

std::wstring LockName(const Win32::IKernelObjectName &name)
{
    return name.GetName() + L"_PerfData_Lock";
}

std::wstring BlockName(const Win32::IKernelObjectName &name)
{
    return name.GetName() + L"_PerfData";
}

Win32::CSmartHandle OpenMapping(const std::wstring &name)
{
    return Win32::CSmartHandle(::OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name.c_str()));
}

HANDLE OpenAdjustableToken()
{
    const DWORD fullAccess = TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES;
    HANDLE token = nullptr;
    if (::OpenThreadToken(::GetCurrentThread(), fullAccess, TRUE, &token) ||
        ::OpenProcessToken(::GetCurrentProcess(), fullAccess, &token) ||
        ::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token) ||
        ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
    {
        return token;
    }
    return nullptr;
}

} // namespace

// The right to create the block's global objects, checked only when they must be created. A
// privilege turned on for that is turned off again when the constructor is done, so the host's
// token is left as it was found.
class CPerformanceDataBlock::CCreationRight
{
public:
    explicit CCreationRight(SECURITY_ATTRIBUTES *securityAttributes)
    {
        const HANDLE token = OpenAdjustableToken();
        if (token != nullptr)
        {
            m_token.reset(new Win32::CProcessToken(token));
            try
            {
                if (m_token->HasPrivilege(kPrivilege))
                {
                    if (m_token->IsPrivilegeEnabled(kPrivilege))
                    {
                        return;
                    }
                    if (m_token->TryEnablePrivilege(kPrivilege))
                    {
                        m_enabled = true;
                        return;
                    }
                }
            }
            catch (const CException &)
            {
            }
        }

        const Win32::CGlobalName probeName(L"Halyard::PerfMon::CPerformanceDataBlock::ValidateTokenPrivileges-" +
                                           ToString(static_cast<unsigned long>(::GetCurrentProcessId())));
        const Win32::CSmartHandle probe(::CreateFileMappingW(INVALID_HANDLE_VALUE, securityAttributes, PAGE_READWRITE,
                                                             0, 256, probeName.GetName().c_str()));
        if (!probe.IsValid())
        {
            throw CException(L"CPerformanceDataBlock::CPerformanceDataBlock()",
                             L"Access Denied: You must have the SeCreateGlobalPrivilege privilege set on your account "
                             L"to be able to create a Performance Counter data block.");
        }
    }

    ~CCreationRight()
    {
        if (m_enabled)
        {
            const Win32::CLastErrorKeeper lastError;
            try
            {
                m_token->DisablePrivilege(kPrivilege);
            }
            catch (const CException &)
            {
            }
        }
    }

    CCreationRight(const CCreationRight &) = delete;
    CCreationRight &operator=(const CCreationRight &) = delete;

private:
    std::unique_ptr<Win32::CProcessToken> m_token;
    bool m_enabled = false;
};

// The block and its lock exist when another process (the server, another monitor) holds them.
// Opening them needs no right to create global objects, and the handles found serve the block
// itself. A name outside the global namespace needs no right, so nothing is looked up for it.
CPerformanceDataBlock::ExistingObjects CPerformanceDataBlock::OpenExisting(const Win32::IKernelObjectName &name)
{
    ExistingObjects found;
    if (!name.IsGlobalName())
    {
        return found;
    }
    found.block = OpenMapping(BlockName(name));
    if (found.block.IsValid())
    {
        found.lockState = OpenMapping(LockName(name) + L"_Optext_MMF");
    }
    if (found.lockState.IsValid())
    {
        found.lockEvent =
            Win32::CSmartHandle(::OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, LockName(name).c_str()));
    }
    return found;
}

std::unique_ptr<CPerformanceDataBlock::CCreationRight>
CPerformanceDataBlock::AcquireCreationRight(const Win32::IKernelObjectName &name, const ExistingObjects &found,
                                            SECURITY_ATTRIBUTES *securityAttributes)
{
    if (!name.IsGlobalName() || found.lockEvent.IsValid())
    {
        return nullptr;
    }
    return std::unique_ptr<CCreationRight>(new CCreationRight(securityAttributes));
}

CPerformanceDataBlock::CPerformanceDataBlock(const Win32::IKernelObjectName &name, const CPerformanceDataSchema &schema,
                                             DWORD firstCounterIndex, SECURITY_ATTRIBUTES *securityAttributes,
                                             DWORD lockTimeout)
    : CPerformanceDataBlock(name, schema, firstCounterIndex, securityAttributes, lockTimeout, OpenExisting(name))
{
}

CPerformanceDataBlock::CPerformanceDataBlock(const Win32::IKernelObjectName &name, const CPerformanceDataSchema &schema,
                                             DWORD firstCounterIndex, SECURITY_ATTRIBUTES *securityAttributes,
                                             DWORD lockTimeout, ExistingObjects found)
    : m_layout(schema),
      m_creationRight(AcquireCreationRight(name, found, securityAttributes)),
      m_lock(CUnqualifiedName(LockName(name)), std::move(found.lockEvent), std::move(found.lockState),
             securityAttributes, kSpinCount),
      m_memory(std::move(found.block), CUnqualifiedName(BlockName(name)), m_layout.GetBlockSize(),
               Win32::CSharedMemory::ReadWrite, securityAttributes)
{
    m_creationRight.reset();
    m_lock.SetTimeout(lockTimeout);
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

void CPerformanceDataBlock::SetLockHooks(Win32::COptex::IHooks *hooks)
{
    m_lock.SetHooks(hooks);
}

CPerformanceDataBlock::Header &CPerformanceDataBlock::GetHeader()
{
    return *static_cast<Header *>(m_memory.GetMemory());
}

const BYTE *CPerformanceDataBlock::GetBlock() const
{
    return static_cast<const BYTE *>(m_memory.GetMemory());
}

DWORD CPerformanceDataBlock::GetBlockSize() const
{
    return m_layout.GetBlockSize();
}

const CDataBlockLayout &CPerformanceDataBlock::GetLayout() const
{
    return m_layout;
}

BYTE *CPerformanceDataBlock::GetObjectDefinitions()
{
    return static_cast<BYTE *>(m_memory.GetMemory()) + Layout::kHeaderSize;
}

const BYTE *CPerformanceDataBlock::GetObjectDefinitions() const
{
    return GetBlock() + Layout::kHeaderSize;
}

BYTE *CPerformanceDataBlock::GetCounterData()
{
    return static_cast<BYTE *>(m_memory.GetMemory()) + m_layout.GetCounterDataOffset();
}

const BYTE *CPerformanceDataBlock::GetCounterData() const
{
    return GetBlock() + m_layout.GetCounterDataOffset();
}

void CPerformanceDataBlock::Initialise(const CPerformanceDataSchema &schema, DWORD firstCounterIndex)
{
    Owner lock(*this);

    Header &header = GetHeader();
    if (header.initialised != 0)
    {
        return;
    }
    m_layout.WriteDefinitions(schema, firstCounterIndex, GetObjectDefinitions());
    const Header laidOut = m_layout.GetHeader();
    header.firstObjectOffset = laidOut.firstObjectOffset;
    header.lastObjectOffset = laidOut.lastObjectOffset;
    header.counterDataOffset = laidOut.counterDataOffset;
    header.initialised = 1;
}

PERF_OBJECT_TYPE *CPerformanceDataBlock::GetObjectDefinition(DWORD index)
{
    if (index >= m_layout.GetObjects().size())
    {
        throw CException(L"CPerformanceDataBlock::GetObjectDefinition()",
                         L"Object " + ToString(index) + L" does not lie in the data block");
    }
    return reinterpret_cast<PERF_OBJECT_TYPE *>(static_cast<BYTE *>(m_memory.GetMemory()) +
                                                m_layout.GetObjects()[index].offset);
}

const CDataBlockLayout::Object &CPerformanceDataBlock::LayoutOf(const PERF_OBJECT_TYPE *object) const
{
    const BYTE *address = reinterpret_cast<const BYTE *>(object);
    const BYTE *block = GetBlock();
    const int index = address < block || address >= block + m_layout.GetBlockSize()
                          ? -1
                          : m_layout.FindObjectAt(static_cast<DWORD>(address - block));
    if (index < 0)
    {
        throw CException(kValidateWhere, L"Invalid object pointer");
    }
    return m_layout.GetObjects()[static_cast<size_t>(index)];
}

PERF_INSTANCE_DEFINITION *CPerformanceDataBlock::GetSlot(const CDataBlockLayout::Object &layout, DWORD slot)
{
    return reinterpret_cast<PERF_INSTANCE_DEFINITION *>(static_cast<BYTE *>(m_memory.GetMemory()) +
                                                        layout.SlotOffset(slot));
}

// The count of slots in use is recounted rather than stepped, so a scribbled count heals itself.
void CPerformanceDataBlock::CountSlotsInUse(PERF_OBJECT_TYPE *object, const CDataBlockLayout::Object &layout)
{
    LONG inUse = 0;
    for (DWORD i = 0; i < layout.SlotCount(); ++i)
    {
        if (Layout::IsSlotInUse(*GetSlot(layout, i)))
        {
            ++inUse;
        }
    }
    Layout::SetInUseCount(*object, inUse);
}

PERF_INSTANCE_DEFINITION *CPerformanceDataBlock::ValidateInstanceObject(PERF_OBJECT_TYPE *object, ValidationMode mode)
{
    const CDataBlockLayout::Object &layout = LayoutOf(object);
    if (!layout.HasInstances())
    {
        throw CException(kValidateWhere, L"Object does not support instances");
    }

    switch (mode)
    {
    case ValidateByName:
        if (layout.maxNameLength == 0)
        {
            throw CException(kValidateWhere,
                             L"Instances for this object should be allocated by unique ID and not by name");
        }
        break;
    case ValidateById:
        if (layout.maxNameLength != 0)
        {
            throw CException(kValidateWhere, L"Instances for this object should be allocated by name and not by ID");
        }
        break;
    case ValidateInUse:
        if (Layout::InUseCountOf(*object) == 0)
        {
            throw CException(kValidateWhere, L"No instances are currently allocated");
        }
        break;
    case ValidateNone:
        break;
    }
    return GetSlot(layout, 0);
}

template <typename Matches>
CPerformanceDataBlock::SlotSearch CPerformanceDataBlock::FindSlot(const CDataBlockLayout::Object &layout,
                                                                  Matches matches)
{
    SlotSearch free = {nullptr, 0, false};
    for (DWORD i = 0; i < layout.SlotCount(); ++i)
    {
        PERF_INSTANCE_DEFINITION *slot = GetSlot(layout, i);
        if (!Layout::IsSlotInUse(*slot))
        {
            if (free.slot == nullptr)
            {
                free = {slot, i, false};
            }
        }
        else if (matches(*slot))
        {
            return {slot, i, true};
        }
    }
    return free;
}

DWORD CPerformanceDataBlock::AllocateNamedSlot(PERF_OBJECT_TYPE *object, const std::wstring &name, DWORD &created)
{
    ValidateInstanceObject(object, ValidateByName);
    const CDataBlockLayout::Object &layout = LayoutOf(object);

    const DWORD maxLength = layout.maxNameLength;
    const size_t length = name.size();
    if (length > maxLength)
    {
        throw CException(kAllocateWhere, L"Instance name: \"" + name + L"\" is too long: " +
                                             ToString(static_cast<unsigned long>(length)) + L", max is: " +
                                             ToString(static_cast<unsigned long>(maxLength)));
    }

    const DWORD nameBytes = static_cast<DWORD>((length + 1) * sizeof(wchar_t));
    const SlotSearch found = FindSlot(layout, [&](const PERF_INSTANCE_DEFINITION &slot) {
        // The name is compared inside the slot's own name space, whatever its length field says.
        const DWORD slotNameLength = slot.NameLength;
        return slotNameLength == nameBytes && nameBytes <= layout.nameSpace &&
               std::memcmp(reinterpret_cast<const BYTE *>(&slot) + Layout::kInstanceDefinitionSize, name.c_str(),
                           nameBytes) == 0;
    });
    if (found.existing)
    {
        created = 0;
        return found.index + 1;
    }
    if (found.slot == nullptr)
    {
        throw CException(kAllocateWhere, L"All " + ToString(layout.numInstances) + L" instances in use");
    }
    PERF_INSTANCE_DEFINITION *freeSlot = found.slot;

    freeSlot->NameLength = nameBytes;
    freeSlot->NameOffset = Layout::kInstanceDefinitionSize;
    freeSlot->UniqueID = PERF_NO_UNIQUE_ID;
    std::memcpy(reinterpret_cast<BYTE *>(freeSlot) + Layout::kInstanceDefinitionSize, name.c_str(), nameBytes);
    freeSlot->ByteLength = Layout::kInstanceDefinitionSize + nameBytes + (length % 2 == 0 ? 2 : 0);
    CountSlotsInUse(object, layout);
    created = 1;
    return found.index + 1;
}

DWORD CPerformanceDataBlock::AllocateIdSlot(PERF_OBJECT_TYPE *object, DWORD uniqueId, DWORD &created)
{
    ValidateInstanceObject(object, ValidateById);
    const CDataBlockLayout::Object &layout = LayoutOf(object);

    if (uniqueId == static_cast<DWORD>(PERF_NO_UNIQUE_ID))
    {
        throw CException(kAllocateWhere, L"Illegal instance id: " + ToString(static_cast<long>(uniqueId)));
    }

    const SlotSearch found = FindSlot(
        layout, [&](const PERF_INSTANCE_DEFINITION &slot) { return static_cast<DWORD>(slot.UniqueID) == uniqueId; });
    if (found.existing)
    {
        created = 0;
        return found.index + 1;
    }
    if (found.slot == nullptr)
    {
        throw CException(kAllocateWhere, L"Unexpected - logic error");
    }
    PERF_INSTANCE_DEFINITION *freeSlot = found.slot;

    freeSlot->NameLength = 0;
    freeSlot->NameOffset = 0;
    freeSlot->UniqueID = static_cast<LONG>(uniqueId);
    freeSlot->ByteLength = Layout::kInstanceDefinitionSize;
    CountSlotsInUse(object, layout);
    created = 1;
    return found.index + 1;
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
    const CDataBlockLayout::Object &layout = LayoutOf(object);
    if (instanceId < 1 || instanceId > layout.numInstances)
    {
        throw CException(kActiveWhere, L"Invalid instance id: " + ToString(instanceId));
    }
    PERF_INSTANCE_DEFINITION *slot = GetSlot(layout, static_cast<DWORD>(instanceId - 1));
    if (!Layout::IsSlotInUse(*slot))
    {
        throw CException(kActiveWhere, L"Instance: " + ToString(instanceId) + L" is not currently in use");
    }
    return slot;
}

void CPerformanceDataBlock::ReleaseObjectInstance(PERF_OBJECT_TYPE *object, long instanceId)
{
    Owner lock(*this);
    PERF_INSTANCE_DEFINITION *slot = GetActiveObjectInstance(object, instanceId);
    slot->NameLength = 0;
    slot->UniqueID = PERF_NO_UNIQUE_ID;
    slot->ByteLength = 0;
    CountSlotsInUse(object, LayoutOf(object));
}

DWORD CPerformanceDataBlock::GetNamedInstanceCount(PERF_OBJECT_TYPE *object)
{
    Owner lock(*this);
    ValidateInstanceObject(object, ValidateNone);
    const CDataBlockLayout::Object &layout = LayoutOf(object);
    DWORD count = 0;
    for (DWORD i = 0; i < layout.SlotCount(); ++i)
    {
        const PERF_INSTANCE_DEFINITION *slot = GetSlot(layout, i);
        if (Layout::IsSlotInUse(*slot) && slot->NameLength != 0)
        {
            ++count;
        }
    }
    return count;
}

BYTE *CPerformanceDataBlock::GetInstanceCounterData(PERF_OBJECT_TYPE *object, long instanceId)
{
    const CDataBlockLayout::Object &layout = LayoutOf(object);
    const DWORD slot = instanceId > 0 ? static_cast<DWORD>(instanceId - 1) : 0;
    if (slot >= (layout.HasInstances() ? layout.SlotCount() : 1))
    {
        throw CException(L"CPerformanceDataBlock::GetInstanceCounterData()",
                         L"Counter data does not fit in the data block");
    }
    return static_cast<BYTE *>(m_memory.GetMemory()) + layout.ValuesOffset(slot);
}

} // namespace PerfMon
} // namespace Halyard
