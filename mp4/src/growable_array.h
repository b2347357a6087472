// growable_array.h - heap storage for the writer without the C++ runtime.
//
// The writer is built without exceptions and never calls operator new, so
// its static library links into a C program.  Allocation failures are
// reported by return value and leave the array as it was.
#ifndef MP4_SRC_GROWABLE_ARRAY_H
#define MP4_SRC_GROWABLE_ARRAY_H

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

namespace mp4 {

// A contiguous, growable array of trivially copyable elements.
template <class T>
class GrowableArray {
    static_assert(std::is_trivially_copyable_v<T>, "elements are moved with memcpy");

  public:
    GrowableArray() = default;
    ~GrowableArray() { std::free(data_); }
    GrowableArray(const GrowableArray &) = delete;
    GrowableArray &operator=(const GrowableArray &) = delete;

    uint32_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T *data() { return data_; }
    const T *data() const { return data_; }
    T &operator[](uint32_t i) { return data_[i]; }
    const T &operator[](uint32_t i) const { return data_[i]; }
    T &back() { return data_[size_ - 1]; }
    const T &back() const { return data_[size_ - 1]; }
    T *begin() { return data_; }
    T *end() { return data_ + size_; }
    const T *begin() const { return data_; }
    const T *end() const { return data_ + size_; }

    // Makes room for `n` elements in all; false (nothing changed) when the
    // memory cannot be had.
    bool reserve(uint64_t n) {
        if (n <= capacity_) return true;
        constexpr uint64_t kMax = UINT32_MAX / sizeof(T);
        if (n > kMax) return false;
        uint64_t grown = capacity_ < 8 ? 8 : uint64_t{capacity_} * 2;
        if (grown < n) grown = n;
        if (grown > kMax) grown = kMax;
        void *p = std::realloc(data_, grown * sizeof(T));
        if (p == nullptr) return false;
        data_ = static_cast<T *>(p);
        capacity_ = static_cast<uint32_t>(grown);
        return true;
    }
    bool push_back(const T &v) {
        if (!reserve(uint64_t{size_} + 1)) return false;
        data_[size_++] = v;
        return true;
    }
    bool append(const T *v, uint32_t n) {
        if (n == 0) return true;
        if (!reserve(uint64_t{size_} + n)) return false;
        std::memcpy(data_ + size_, v, n * sizeof(T));
        size_ += n;
        return true;
    }
    bool assign(const GrowableArray &other) {
        size_ = 0;
        return append(other.data_, other.size_);
    }
    // Drops elements from `n` on; the memory is kept for reuse.
    void truncate(uint32_t n) {
        if (n < size_) size_ = n;
    }
    void clear() { size_ = 0; }

  private:
    T *data_ = nullptr;
    uint32_t size_ = 0;
    uint32_t capacity_ = 0;
};

// One object on the heap, constructed in zeroed memory; nullptr when out of
// memory.  Pair with destroy().
template <class T>
T *create() {
    void *p = std::calloc(1, sizeof(T));
    return p == nullptr ? nullptr : new (p) T();
}

template <class T>
void destroy(T *object) {
    if (object == nullptr) return;
    object->~T();
    std::free(object);
}

}  // namespace mp4

#endif  // MP4_SRC_GROWABLE_ARRAY_H
