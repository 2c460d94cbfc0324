// What a fuzz target reads its input with: bytes and words from the front;
// past the end every byte reads as zero and Done() turns true.
#pragma once

#include <cstddef>
#include <cstdint>

class FuzzInput {
public:
    FuzzInput(const uint8_t *data, std::size_t size) : data_(data), left_(size) {}
    bool Done() const { return left_ == 0; }
    uint8_t Byte()
    {
        if (left_ == 0) {
            return 0;
        }
        --left_;
        return *data_++;
    }
    uint32_t Word()
    {
        uint32_t word = 0;
        for (int i = 0; i < 4; ++i) {
            word |= static_cast<uint32_t>(Byte()) << (8 * i);
        }
        return word;
    }

private:
    const uint8_t *data_;
    std::size_t left_;
};
