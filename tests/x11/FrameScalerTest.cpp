#include "common/FrameScaler.hpp"
#include "x11/WindowList.hpp"

#include <gtest/gtest.h>

#include <ostream>

#include <cstring>
#include <string>
#include <vector>

namespace platform = kestrova::platform;
namespace x11 = kestrova::platform::x11;

namespace {

struct FitCase {
    const char* name;
    std::uint32_t width, height, outputWidth, outputHeight;
    platform::Placement expected;
};
void PrintTo(const FitCase& c, std::ostream* out) { *out << c.name; }

class FitInside : public ::testing::TestWithParam<FitCase> {};

TEST_P(FitInside, KeepsTheAspectAndCentres) {
    const auto& c = GetParam();
    const auto place = platform::fitInside(c.width, c.height, c.outputWidth, c.outputHeight);
    EXPECT_EQ(place.x, c.expected.x);
    EXPECT_EQ(place.y, c.expected.y);
    EXPECT_EQ(place.width, c.expected.width);
    EXPECT_EQ(place.height, c.expected.height);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, FitInside,
    ::testing::Values(FitCase{"exact_double", 160, 120, 320, 240, {0, 0, 320, 240}},
                      FitCase{"odd_double", 801, 601, 1602, 1202, {0, 0, 1602, 1202}},
                      FitCase{"wider_window", 240, 100, 320, 240, {0, 53, 320, 133}},
                      FitCase{"taller_window", 100, 240, 320, 240, {110, 0, 100, 240}},
                      FitCase{"same_size", 7, 5, 7, 5, {0, 0, 7, 5}},
                      FitCase{"empty_window", 0, 0, 320, 240, {0, 0, 0, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

std::uint32_t pixelAt(const platform::PixelBuffer& buffer, std::uint32_t x, std::uint32_t y) {
    std::uint32_t pixel;
    std::memcpy(&pixel, buffer.bytes() + y * buffer.bytesPerRow() + 4 * std::size_t{x}, 4);
    return pixel;
}

// A source picture whose every pixel differs, with the fourth byte set to garbage and padding after each row.
struct Source {
    std::uint32_t width, height;
    std::size_t stride;
    std::vector<std::uint8_t> bytes;

    Source(std::uint32_t w, std::uint32_t h, std::uint32_t fourthByte) : width(w), height(h), stride(4 * w + 8) {
        bytes.assign(stride * h, 0xAB);
        for (std::uint32_t y = 0; y < h; ++y) {
            for (std::uint32_t x = 0; x < w; ++x) {
                const std::uint32_t pixel = (fourthByte << 24) | ((x * 40 + 3) << 16) | ((y * 50 + 7) << 8) | (x + y);
                std::memcpy(bytes.data() + y * stride + 4 * x, &pixel, 4);
            }
        }
    }
    std::uint32_t at(std::uint32_t x, std::uint32_t y) const {
        std::uint32_t pixel;
        std::memcpy(&pixel, bytes.data() + y * stride + 4 * x, 4);
        return pixel;
    }
};

struct DoubleCase {
    const char* name;
    std::uint32_t width, height, outputWidth, outputHeight;
    platform::Placement place;  // where the doubled picture lands
};
void PrintTo(const DoubleCase& c, std::ostream* out) { *out << c.name; }

class Doubling : public ::testing::TestWithParam<DoubleCase> {};

// Every source pixel fills a 2×2 block with opaque alpha; everything around the picture is opaque black. The
// widths reach the vector body, its tail, and rows that alternate between aligned and not.
TEST_P(Doubling, RepeatsEveryPixelTwiceEachWayInsideOpaqueBlackBands) {
    const auto& c = GetParam();
    const Source source(c.width, c.height, 0x12);
    auto target = platform::PixelBuffer::create(c.outputWidth, c.outputHeight);
    ASSERT_TRUE(target);
    std::memset(target->bytes(), 0x55, target->byteCount());
    platform::scaleToFit(source.bytes.data(), source.width, source.height, source.stride, true, *target);
    const auto& p = c.place;
    for (std::uint32_t y = 0; y < c.outputHeight; ++y) {
        for (std::uint32_t x = 0; x < c.outputWidth; ++x) {
            const bool inside = x >= p.x && x < p.x + p.width && y >= p.y && y < p.y + p.height;
            const std::uint32_t expected =
                inside ? source.at((x - p.x) / 2, (y - p.y) / 2) | 0xFF000000u : 0xFF000000u;
            ASSERT_EQ(pixelAt(*target, x, y), expected) << x << "," << y;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, Doubling,
    ::testing::Values(DoubleCase{"narrower_than_a_vector", 3, 2, 6, 4, {0, 0, 6, 4}},
                      DoubleCase{"odd_width", 13, 3, 26, 6, {0, 0, 26, 6}},
                      DoubleCase{"even_width", 16, 3, 32, 6, {0, 0, 32, 6}},
                      DoubleCase{"bands_above_and_below", 4, 2, 8, 8, {0, 2, 8, 4}},
                      DoubleCase{"odd_left_band", 5, 10, 12, 20, {1, 0, 10, 20}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ScaleToFit, PicturesWithAlphaKeepIt) {
    const Source source(2, 2, 0x40);
    for (const std::uint32_t side : {2u, 4u}) {
        auto target = platform::PixelBuffer::create(side, side);
        ASSERT_TRUE(target);
        platform::scaleToFit(source.bytes.data(), 2, 2, source.stride, false, *target);
        const std::uint32_t factor = side / 2;
        for (std::uint32_t y = 0; y < side; ++y) {
            for (std::uint32_t x = 0; x < side; ++x) {
                EXPECT_EQ(pixelAt(*target, x, y), source.at(x / factor, y / factor)) << side << ": " << x << "," << y;
            }
        }
    }
}

TEST(ScaleToFit, SameSizeCopiesWithOpaqueAlpha) {
    const Source source(5, 3, 0x00);
    auto target = platform::PixelBuffer::create(5, 3);
    ASSERT_TRUE(target);
    platform::scaleToFit(source.bytes.data(), 5, 3, source.stride, true, *target);
    for (std::uint32_t y = 0; y < 3; ++y) {
        for (std::uint32_t x = 0; x < 5; ++x) EXPECT_EQ(pixelAt(*target, x, y), source.at(x, y) | 0xFF000000u);
    }
}

// What the server wrote straight into a frame keeps its colours; only the undefined fourth byte changes.
TEST(MakeOpaque, KeepsTheColoursAndSetsEveryAlpha) {
    const Source source(5, 3, 0x00);
    auto frame = platform::PixelBuffer::create(5, 3);
    ASSERT_TRUE(frame);
    for (std::uint32_t y = 0; y < 3; ++y) {
        std::memcpy(frame->bytes() + y * frame->bytesPerRow(), source.bytes.data() + y * source.stride, 5 * 4);
    }
    platform::makeOpaque(*frame);
    for (std::uint32_t y = 0; y < 3; ++y) {
        for (std::uint32_t x = 0; x < 5; ++x) EXPECT_EQ(pixelAt(*frame, x, y), source.at(x, y) | 0xFF000000u);
    }
}

struct FactorCase {
    const char* name;
    std::uint32_t side, outputSide;
};
void PrintTo(const FactorCase& c, std::ostream* out) { *out << c.name; }

class OtherFactors : public ::testing::TestWithParam<FactorCase> {};

// Resampling a flat picture must give the same flat colour, edges included, with opaque alpha.
TEST_P(OtherFactors, FlatPictureStaysFlatAndOpaque) {
    const auto& c = GetParam();
    std::vector<std::uint32_t> flat(std::size_t{c.side} * c.side, 0x00336699u);
    auto target = platform::PixelBuffer::create(c.outputSide, c.outputSide);
    ASSERT_TRUE(target);
    platform::scaleToFit(reinterpret_cast<const std::uint8_t*>(flat.data()), c.side, c.side,
                         4 * std::size_t{c.side}, true, *target);
    for (std::uint32_t y = 0; y < c.outputSide; ++y) {
        for (std::uint32_t x = 0; x < c.outputSide; ++x) ASSERT_EQ(pixelAt(*target, x, y), 0xFF336699u) << x << "," << y;
    }
}

INSTANTIATE_TEST_SUITE_P(Factors, OtherFactors,
                         ::testing::Values(FactorCase{"up_one_and_a_half", 6, 9}, FactorCase{"up_four", 5, 20},
                                           FactorCase{"down", 9, 4}),
                         [](const auto& info) { return std::string(info.param.name); });

struct ScaleCase {
    const char* name;
    const char* resources;
    double expected;
};
void PrintTo(const ScaleCase& c, std::ostream* out) { *out << c.name; }

class DesktopScale : public ::testing::TestWithParam<ScaleCase> {};

TEST_P(DesktopScale, ComesFromXftDpi) { EXPECT_DOUBLE_EQ(x11::desktopScale(GetParam().resources), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Resources, DesktopScale,
    ::testing::Values(ScaleCase{"none", "", 1}, ScaleCase{"double", "Xft.dpi:\t192\n", 2},
                      ScaleCase{"after_others", "Xcursor.size: 24\nXft.dpi: 144\nXft.hinting: 1\n", 1.5},
                      ScaleCase{"blanks_around", "  Xft.dpi :  120", 1.25},
                      ScaleCase{"below_base_is_one", "Xft.dpi:\t72\n", 1},
                      ScaleCase{"not_a_number", "Xft.dpi: grande\n", 1},
                      ScaleCase{"other_key_with_same_start", "Xft.dpix: 192\n", 1}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
