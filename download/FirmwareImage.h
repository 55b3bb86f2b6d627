#pragma once
// The block image that the readers fill and the write and verify passes walk.
#include <cstdint>
#include <vector>

// The most bytes one block carries: one set-address and eight two-byte writes.
constexpr int kMaxBlockLength = 16;

struct FirmwareBlock {
    int32_t address = 0;                 // device address of the first byte; only the low 24 bits reach the device
    int32_t length = 0;                  // 1 to kMaxBlockLength
    uint8_t data[kMaxBlockLength] = {};  // the first `length` bytes are the block's
};

// Blocks in the order they are written and verified. Blocks are held by
// value: the image owns them, and walking it touches contiguous memory.
using FirmwareImage = std::vector<FirmwareBlock>;

// Empties the image and gives its memory back.
inline void FreeImage(FirmwareImage& image)
{
    FirmwareImage().swap(image);
}
