/* The C runtime's allocation functions for everything linked into this module: the C++ runtime's
 * exception pool, the threading runtime's thread records, locks and key tables, and the module's
 * own objects. None of these runtimes frees all it allocates when a module is unloaded, and a host
 * may load and unload the module for every query; so they allocate from a heap of the module's
 * own, which is destroyed as the very last step of an unload. The threading runtime's
 * thread-local storage index and the semaphores of its key table's lock, which it never releases
 * either, go back at the same time. */
#include "provider/ModuleHeap.h"

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

/* The lock of the threading runtime's key table, made visible in the copy of the runtime this module
 * links: its condition variable holds two semaphores that nothing else releases. */
extern pthread_rwlock_t _pthread_key_lock;

static HANDLE volatile g_heap = NULL;
static volatile LONG g_released = 0;
static volatile LONG g_unloading = 0;
static DWORD g_runtimeTlsIndex = TLS_OUT_OF_INDEXES;

/* Made on the first allocation, which comes before any constructor of the module runs. After the
 * heap is gone, the little that is still allocated on the way out comes from the process heap and
 * is never freed: a free then does nothing. */
static HANDLE ModuleHeap(void)
{
    HANDLE heap = g_heap;
    if (heap != NULL)
    {
        return heap;
    }
    if (g_released)
    {
        return GetProcessHeap();
    }
    HANDLE created = HeapCreate(0, 0, 0);
    if (created == NULL)
    {
        return NULL;
    }
    heap = InterlockedCompareExchangePointer((PVOID volatile *)&g_heap, created, NULL);
    if (heap != NULL)
    {
        HeapDestroy(created);
        return heap;
    }
    return created;
}

void *malloc(size_t size)
{
    HANDLE heap = ModuleHeap();
    return heap != NULL ? HeapAlloc(heap, 0, size != 0 ? size : 1) : NULL;
}

void *calloc(size_t count, size_t size)
{
    if (size != 0 && count > SIZE_MAX / size)
    {
        return NULL;
    }
    HANDLE heap = ModuleHeap();
    return heap != NULL ? HeapAlloc(heap, HEAP_ZERO_MEMORY, count * size != 0 ? count * size : 1) : NULL;
}

void free(void *block)
{
    HANDLE heap = g_heap;
    if (block != NULL && heap != NULL)
    {
        HeapFree(heap, 0, block);
    }
}

void *realloc(void *block, size_t size)
{
    if (block == NULL)
    {
        return malloc(size);
    }
    if (size == 0)
    {
        free(block);
        return NULL;
    }
    HANDLE heap = g_heap;
    return heap != NULL ? HeapReAlloc(heap, 0, block, size) : NULL;
}

/* Copies that a caller frees with free must come from the same heap. */
char *strdup(const char *text)
{
    size_t size = strlen(text) + 1;
    char *copy = malloc(size);
    if (copy != NULL)
    {
        memcpy(copy, text, size);
    }
    return copy;
}

wchar_t *wcsdup(const wchar_t *text)
{
    size_t size = (wcslen(text) + 1) * sizeof(wchar_t);
    wchar_t *copy = malloc(size);
    if (copy != NULL)
    {
        memcpy(copy, text, size);
    }
    return copy;
}

/* Runs after every other destructor of the module: the first function registered to run at unload
 * is the last to run. */
static void ReleaseAtUnload(void)
{
    if (!g_unloading)
    {
        return;
    }
    pthread_rwlock_destroy(&_pthread_key_lock);
    if (g_runtimeTlsIndex != TLS_OUT_OF_INDEXES)
    {
        TlsFree(g_runtimeTlsIndex);
        g_runtimeTlsIndex = TLS_OUT_OF_INDEXES;
    }
    HANDLE heap = InterlockedExchangePointer((PVOID volatile *)&g_heap, NULL);
    InterlockedExchange(&g_released, 1);
    if (heap != NULL)
    {
        HeapDestroy(heap);
    }
}

/* Before any other constructor: the threading runtime takes its storage index on its first use,
 * which is the lowest index free then, and is recognised by the value it sets on this thread. */
__attribute__((constructor(101))) static void PrepareForUnload(void)
{
    const DWORD lowestFree = TlsAlloc();
    if (lowestFree != TLS_OUT_OF_INDEXES)
    {
        TlsFree(lowestFree);
        pthread_self();
        if (TlsGetValue(lowestFree) != NULL)
        {
            g_runtimeTlsIndex = lowestFree;
        }
    }
    atexit(ReleaseAtUnload);
}

void ReleaseModuleHeapAtUnload(void)
{
    g_unloading = 1;
}
