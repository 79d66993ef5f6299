// A byte vector whose growth does not clear the new bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace tavrik {

// Bytes that are always written before they are read: file contents and decoded
// stream data. Growing the buffer leaves the new bytes uninitialised, so a buffer
// sized for the worst case costs only the memory the data reach, and a file read
// into it is not cleared first.
template <class T>
struct uninit_allocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = uninit_allocator<U>;
    };
    uninit_allocator() = default;
    template <class U>
    explicit uninit_allocator(const uninit_allocator<U>&) noexcept
    {
    }
    template <class U>
    void construct(U* p) noexcept
    {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args)
    {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};
using byte_buffer = std::vector<std::uint8_t, uninit_allocator<std::uint8_t>>;

}  // namespace tavrik
