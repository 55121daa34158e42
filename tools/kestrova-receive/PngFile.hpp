#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrova::receive {

// A BGRA image held in memory, rows of width × 4 bytes.
struct BgraImage {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> pixels;
};

// Writes the image as a PNG with alpha; false when the file cannot be written.
bool writePng(const std::string& path, const BgraImage& image);
// Reads a PNG back as BGRA; nothing (width 0) when the file is not a readable PNG.
BgraImage readPng(const std::string& path);

}  // namespace kestrova::receive
