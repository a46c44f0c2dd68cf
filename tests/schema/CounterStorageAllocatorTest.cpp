#include "perfmon/schema/CounterStorageAllocator.h"

#include "TestSupport.h"

using Halyard::PerfMon::CCounterStorageAllocator;

// The capacity is exact; the next object starts where the last one's values, one set per instance, end.
TEST(CounterStorageAllocator, RefusesOneByteTooManyAndLaysObjectsBackToBack)
{
    CCounterStorageAllocator allocator(23);
    allocator.BeginObject();
    EXPECT_EQ(0u, allocator.Allocate(8));
    EXPECT_EQ(8u, allocator.Allocate(8));
    ExpectException([&] { allocator.Allocate(8); }, L"CCounterStorageAllocator::Allocate()", L"No space left. Need: 8");
    EXPECT_EQ(16u, allocator.Allocate(7));
    EXPECT_EQ(23u, allocator.BeginObject());

    CCounterStorageAllocator instances(47);
    instances.BeginObject();
    instances.Allocate(8);
    instances.Allocate(8);
    ExpectException([&] { instances.AllocateInstances(3); }, L"CCounterStorageAllocator::AllocateInstances()",
                    L"No space left. Need: 32");
    instances.AllocateInstances(2);
    EXPECT_EQ(32u, instances.BeginObject());
}

// In 32-bit arithmetic the large requests would wrap round and pass the capacity test. No instance slot at
// all would give back the storage the object's counters already hold, and the next object would overlap it.
TEST(CounterStorageAllocator, RefusesRequestsThatWouldWrapRoundAndZeroInstances)
{
    CCounterStorageAllocator allocator(64);
    allocator.BeginObject();
    allocator.Allocate(16);
    ExpectException([&] { allocator.Allocate(0xFFFFFFF8); }, L"CCounterStorageAllocator::Allocate()",
                    L"No space left. Need: 4294967288");
    ExpectException([&] { allocator.AllocateInstances(0x10000001); }, L"CCounterStorageAllocator::AllocateInstances()",
                    L"No space left. Need: 4294967296");
    ExpectException([&] { allocator.AllocateInstances(0); }, L"CCounterStorageAllocator::AllocateInstances()",
                    L"Instance count must be more than 0");
    EXPECT_EQ(16u, allocator.Allocate(8));
    EXPECT_EQ(24u, allocator.BeginObject());
}
