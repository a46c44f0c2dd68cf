#pragma once

#include <windows.h>

#include <cstring>

namespace Halyard {
namespace Win32 {

// A grow-only buffer of T: asking for no more than it holds keeps it, asking for more replaces it
// with fresh storage of the new size. The contents are not kept across a growth, because every
// user refills the buffer after resizing it.
template <typename T>
class TExpandableBuffer
{
public:
    explicit TExpandableBuffer(size_t size = 0)
        : m_buffer(size ? new T[size]() : nullptr), m_size(size)
    {
    }

    // Copies duplicate the contents.
    TExpandableBuffer(const TExpandableBuffer &rhs)
        : m_buffer(rhs.m_size ? new T[rhs.m_size] : nullptr), m_size(rhs.m_size)
    {
        if (m_size)
        {
            std::memcpy(m_buffer, rhs.m_buffer, m_size * sizeof(T));
        }
    }

    TExpandableBuffer(TExpandableBuffer &&rhs) noexcept
        : m_buffer(rhs.m_buffer), m_size(rhs.m_size)
    {
        rhs.m_buffer = nullptr;
        rhs.m_size = 0;
    }

    TExpandableBuffer &operator=(TExpandableBuffer rhs) noexcept
    {
        Swap(rhs);
        return *this;
    }

    ~TExpandableBuffer()
    {
        delete[] m_buffer;
    }

    void Swap(TExpandableBuffer &rhs) noexcept
    {
        T *buffer = m_buffer;
        m_buffer = rhs.m_buffer;
        rhs.m_buffer = buffer;
        const size_t size = m_size;
        m_size = rhs.m_size;
        rhs.m_size = size;
    }

    // Makes room for at least size elements; the old contents are lost when it grows.
    void Resize(size_t size)
    {
        if (size > m_size)
        {
            T *buffer = new T[size]();
            delete[] m_buffer;
            m_buffer = buffer;
            m_size = size;
        }
    }

    size_t GetSize() const
    {
        return m_size;
    }

    T *GetBuffer()
    {
        return m_buffer;
    }

    const T *GetBuffer() const
    {
        return m_buffer;
    }

    operator T *()
    {
        return m_buffer;
    }

    operator const T *() const
    {
        return m_buffer;
    }

private:
    T *m_buffer;
    size_t m_size;
};

} // namespace Win32
} // namespace Halyard
