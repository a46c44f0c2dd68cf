#pragma once

// The collector's copies out of the shared block, written so that another process changing the block
// meanwhile can never make a copy differ from what was checked, or hold half of an old counter value
// and half of a new one. Only the collector includes this header; the functions are static so that
// the compiler inlines them into the collect as it would functions of the collector's own file.

#include <windows.h>

#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace Halyard {
namespace PerfMon {
namespace BlockCopies {

// Copies bytes without a call into the runtime, so that a fault on the block or the caller's buffer
// happens in this module's code: on x86 the unwinder knows no other module's frames, and a fault
// inside the runtime's memcpy could not be turned into an exception that the collect catches.
static inline void CopyBytes(BYTE *destination, const BYTE *source, size_t bytes)
{
    size_t i = 0;
#if defined(__SSE2__)
    for (; i + sizeof(__m128i) <= bytes; i += sizeof(__m128i))
    {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(destination + i),
                         _mm_loadu_si128(reinterpret_cast<const __m128i *>(source + i)));
    }
#endif
    for (; i + sizeof(DWORD) <= bytes; i += sizeof(DWORD))
    {
        DWORD word;
        std::memcpy(&word, source + i, sizeof(word));
        std::memcpy(destination + i, &word, sizeof(word));
    }
    for (; i < bytes; ++i)
    {
        destination[i] = source[i];
    }
}

// Counter values are written by the server without the lock, one 8-byte value at a time; reading
// them whole keeps a copy from ever holding half of an old value and half of a new one.
static inline void CopyCounterValues(BYTE *destination, const BYTE *source, size_t bytes)
{
    if (reinterpret_cast<UINT_PTR>(source) % sizeof(LONGLONG) != 0 || bytes % sizeof(LONGLONG) != 0)
    {
        CopyBytes(destination, source, bytes);
        return;
    }
    size_t i = 0;
#if defined(_WIN64)
    // Two aligned 8-byte loads per 16-byte store. Written out as instructions so that the compiler
    // cannot merge the two loads into one 16-byte load, which would not read each value whole.
    for (; i + 2 * sizeof(LONGLONG) <= bytes; i += 2 * sizeof(LONGLONG))
    {
        __m128i pair;
        asm volatile("movq %1, %0\n\tmovhps %2, %0"
                     : "=&x"(pair)
                     : "m"(*reinterpret_cast<const LONGLONG *>(source + i)),
                       "m"(*reinterpret_cast<const LONGLONG *>(source + i + sizeof(LONGLONG))));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(destination + i), pair);
    }
#endif
    const volatile LONGLONG *from = reinterpret_cast<const volatile LONGLONG *>(source);
    for (; i < bytes; i += sizeof(LONGLONG))
    {
#if defined(_WIN64)
        const LONGLONG value = from[i / sizeof(LONGLONG)];
#else
        const LONGLONG value =
            ::InterlockedCompareExchange64(const_cast<volatile LONGLONG *>(from + i / sizeof(LONGLONG)), 0, 0);
#endif
        std::memcpy(destination + i, &value, sizeof(value));
    }
}

// Whether two byte ranges are equal, compared a word at a time without a call into the runtime:
// every collect compares each object header with the one the schema writes.
static inline bool SameBytes(const BYTE *left, const BYTE *right, size_t bytes)
{
    ULONGLONG difference = 0;
    size_t i = 0;
    for (; i + sizeof(ULONGLONG) <= bytes; i += sizeof(ULONGLONG))
    {
        ULONGLONG a;
        ULONGLONG b;
        std::memcpy(&a, left + i, sizeof(a));
        std::memcpy(&b, right + i, sizeof(b));
        difference |= a ^ b;
    }
    for (; i < bytes; ++i)
    {
        difference |= static_cast<ULONGLONG>(left[i] ^ right[i]);
    }
    return difference == 0;
}

// Copies bytes out of the block and tells whether they are the expected ones, in one pass. Each
// word is loaded once, so what was compared is what was written, whatever another process does to
// the block meanwhile.
static inline bool CopyIfExpected(BYTE *destination, const BYTE *source, const BYTE *expected, size_t bytes)
{
    size_t i = 0;
#if defined(__SSE2__)
    // Four independent differences, so that the loads are not held up by one chain of ORs.
    __m128i difference0 = _mm_setzero_si128();
    __m128i difference1 = _mm_setzero_si128();
    __m128i difference2 = _mm_setzero_si128();
    __m128i difference3 = _mm_setzero_si128();
    const auto copy = [&](size_t at, __m128i &differences) {
        const __m128i word = _mm_loadu_si128(reinterpret_cast<const __m128i *>(source + at));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(destination + at), word);
        const __m128i want = _mm_loadu_si128(reinterpret_cast<const __m128i *>(expected + at));
        differences = _mm_or_si128(differences, _mm_xor_si128(word, want));
    };
    for (; i + 4 * sizeof(__m128i) <= bytes; i += 4 * sizeof(__m128i))
    {
        copy(i, difference0);
        copy(i + sizeof(__m128i), difference1);
        copy(i + 2 * sizeof(__m128i), difference2);
        copy(i + 3 * sizeof(__m128i), difference3);
    }
    for (; i + sizeof(__m128i) <= bytes; i += sizeof(__m128i))
    {
        copy(i, difference0);
    }
    const __m128i all = _mm_or_si128(_mm_or_si128(difference0, difference1), _mm_or_si128(difference2, difference3));
    bool same = _mm_movemask_epi8(_mm_cmpeq_epi8(all, _mm_setzero_si128())) == 0xFFFF;
#else
    bool same = true;
#endif
    ULONGLONG difference = 0;
    for (; i + sizeof(ULONGLONG) <= bytes; i += sizeof(ULONGLONG))
    {
        ULONGLONG word;
        ULONGLONG want;
        std::memcpy(&word, source + i, sizeof(word));
        std::memcpy(&want, expected + i, sizeof(want));
        std::memcpy(destination + i, &word, sizeof(word));
        difference |= word ^ want;
    }
    for (; i < bytes; ++i)
    {
        const BYTE byte = source[i];
        destination[i] = byte;
        difference |= static_cast<ULONGLONG>(byte ^ expected[i]);
    }
    return same && difference == 0;
}

} // namespace BlockCopies
} // namespace PerfMon
} // namespace Halyard
