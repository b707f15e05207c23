// Memory for a result whose size is known only at its end: anonymous pages
// from the system, grown with mremap (the kernel moves page tables, not
// bytes, so growing never copies and never holds an old and a new copy at
// once) and cut to size when released. Reserve that is never written costs
// address space, not memory. A MappedArray owns its mapping until release()
// hands it over; unmap() gives it back.
#pragma once

#include <cstddef>
#include <utility>

namespace reader {

// Gives back a mapping that release() handed over.
void unmap(void* address, std::size_t mapped_bytes) noexcept;

class MappedBytes {
public:
    MappedBytes() = default;
    MappedBytes(MappedBytes&& other) noexcept
        : data_{std::exchange(other.data_, nullptr)}, mapped_{std::exchange(other.mapped_, 0)} {}
    MappedBytes& operator=(MappedBytes&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(mapped_, other.mapped_);
        return *this;
    }
    ~MappedBytes() { unmap(data_, mapped_); }

    void* data() const noexcept { return data_; }
    std::size_t capacity() const noexcept { return mapped_; }
    // At least this many bytes; throws std::bad_alloc when the system has none.
    void reserve(std::size_t bytes);

    struct Released {
        void* address;  // null when nothing was used
        std::size_t mapped_bytes;
    };
    // The first used bytes, the rest of the reserve given back; the caller owns the mapping.
    Released release(std::size_t used) noexcept;

private:
    void* data_ = nullptr;
    std::size_t mapped_ = 0;
};

template <class T>
class MappedArray {
public:
    T* data() const noexcept { return static_cast<T*>(bytes_.data()); }
    std::size_t size() const noexcept { return size_; }

    // Room for n more elements, and where they go.
    T* extend(std::size_t n) {
        if (bytes_.capacity() / sizeof(T) - size_ < n) [[unlikely]]
            grow(n);
        return data() + size_;
    }
    // The n elements written after extend() now belong to the array.
    void commit(std::size_t n) noexcept { size_ += n; }
    // Room for n elements from index on, and where they go: a row written
    // in place rather than appended.
    T* slot(std::size_t index, std::size_t n) {
        if (bytes_.capacity() / sizeof(T) < index + n) [[unlikely]]
            grow(index + n - size_);
        return data() + index;
    }
    // The first size elements, written through slot(), belong to the array.
    void commit_to(std::size_t size) noexcept { size_ = size; }
    void push_back(T value) {
        *extend(1) = value;
        ++size_;
    }
    // A hint: room for this many elements in all, if the system has it.
    void reserve_hint(std::size_t total) noexcept {
        try {
            if (total > size_ && total < max_elements) bytes_.reserve(total * sizeof(T));
        } catch (...) {
        }
    }
    MappedBytes::Released release() noexcept {
        const auto released = bytes_.release(size_ * sizeof(T));
        size_ = 0;
        return released;
    }

private:
    static constexpr std::size_t max_elements = (std::size_t{1} << 46) / sizeof(T);

    void grow(std::size_t n) {
        const std::size_t needed = size_ + n;
        const std::size_t doubled = 2 * (bytes_.capacity() / sizeof(T));
        bytes_.reserve((needed > doubled ? needed : doubled) * sizeof(T));
    }

    MappedBytes bytes_;
    std::size_t size_ = 0;
};

}  // namespace reader
