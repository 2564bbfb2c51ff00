// Reads typed values off the front of a fuzz input; past its end every read is zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vistrel::fuzz {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    template <class T>
    T take() {
        T value{};
        const std::size_t n = sizeof(T) < size_ ? sizeof(T) : size_;
        if (n) std::memcpy(&value, data_, n);
        data_ += n;
        size_ -= n;
        return value;
    }
    // A value in [0, bound]: small ranges keep the interesting sizes dense.
    std::uint32_t upto(std::uint32_t bound) { return take<std::uint32_t>() % (bound + 1); }

    const std::uint8_t* rest() const { return data_; }
    std::size_t rest_size() const { return size_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

}  // namespace vistrel::fuzz
