#include "reader/mapped_array.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <new>

namespace reader {

namespace {

std::size_t page_size() noexcept {
    static const auto size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

constexpr std::size_t huge_advice_bytes = std::size_t{4} << 20;

std::size_t whole_pages(std::size_t bytes) noexcept {
    const std::size_t page = page_size();
    return (bytes + page - 1) / page * page;
}

}  // namespace

void unmap(void* address, std::size_t mapped_bytes) noexcept {
    if (address != nullptr) ::munmap(address, mapped_bytes);
}

void MappedBytes::reserve(std::size_t bytes) {
    if (bytes <= mapped_) return;
    const std::size_t size = whole_pages(bytes);
    if (size < bytes) throw std::bad_alloc();
    void* address = data_ == nullptr ? ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                                     : ::mremap(data_, mapped_, size, MREMAP_MAYMOVE);
    if (address == MAP_FAILED) throw std::bad_alloc();
#if defined(MADV_HUGEPAGE)
    // Large results fill their pages two megabytes at a time where the
    // system lends transparent huge pages on request (as NumPy asks for its
    // large arrays): far fewer page faults, which are a tenth of a read's
    // time otherwise. Advice only; a system that declines changes nothing.
    if (size >= huge_advice_bytes) ::madvise(address, size, MADV_HUGEPAGE);
#endif
    data_ = address;
    mapped_ = size;
}

MappedBytes::Released MappedBytes::release(std::size_t used) noexcept {
    const std::size_t keep = whole_pages(used);
    if (keep == 0) {
        unmap(data_, mapped_);
    } else if (keep < mapped_) {
        // Shrinking in place never moves and, as the tail is simply unmapped,
        // never fails for want of memory; if it fails all the same, the
        // whole mapping stays with its owner.
        if (::mremap(data_, mapped_, keep, 0) != MAP_FAILED) mapped_ = keep;
    }
    const Released released{keep == 0 ? nullptr : data_, keep == 0 ? 0 : mapped_};
    data_ = nullptr;
    mapped_ = 0;
    return released;
}

}  // namespace reader
