#include "sim/device_memory.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "sim/half.h"

namespace fpbench::sim {
namespace {

using Halves = std::vector<std::uint16_t>;

// The compiler's own half type, as an independent check of the conversions.
std::uint16_t Bits(_Float16 value) { return std::bit_cast<std::uint16_t>(value); }
float Value(std::uint16_t bits) { return static_cast<float>(std::bit_cast<_Float16>(bits)); }

Halves RandomMatrix(std::uint32_t n, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> values(-2.0f, 2.0f);
    Halves matrix(std::size_t{n} * n);
    for (auto& element : matrix) element = Bits(static_cast<_Float16>(values(random)));
    return matrix;
}

// Straightforward C = A·B with the accumulation each kernel family has.
Halves ReferenceProduct(const Halves& a, const Halves& b, std::uint32_t n, bool fp16_accumulate) {
    std::vector<float> a_values(a.size()), b_values(b.size());
    for (std::size_t i = 0; i < a.size(); ++i) a_values[i] = Value(a[i]);
    for (std::size_t i = 0; i < b.size(); ++i) b_values[i] = Value(b[i]);
    Halves c(std::size_t{n} * n);
    for (std::uint32_t row = 0; row < n; ++row) {
        for (std::uint32_t column = 0; column < n; ++column) {
            float sum = 0.0f;
            _Float16 half_sum = 0;
            for (std::uint32_t k = 0; k < n; ++k) {
                sum += a_values[row * n + k] * b_values[k * n + column];
                if (fp16_accumulate && k % 16 == 15) {
                    half_sum = static_cast<_Float16>(static_cast<float>(half_sum) + sum);
                    sum = 0.0f;
                }
            }
            c[row * n + column] = fp16_accumulate ? Bits(half_sum) : Bits(static_cast<_Float16>(sum));
        }
    }
    return c;
}

// Each product ±1/256, as with the benchmark's own inputs.
Halves SignMatrix(std::uint32_t n, std::uint32_t seed) {
    Halves matrix(std::size_t{n} * n);
    for (auto& element : matrix) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        element = static_cast<std::uint16_t>(0x2c00 | (seed & 1u) << 15);
    }
    return matrix;
}

class DeviceMemoryTest : public ::testing::Test {
protected:
    static constexpr std::uint32_t kN = 256;
    static constexpr std::size_t kBytes = 2 * kN * kN;

    // A, B and a guarded output zone like the benchmark's; C is 256 bytes in.
    void SetUpGemm(const Halves& a_values, const Halves& b_values) {
        a = memory.Allocate(kBytes, 0);
        b = memory.Allocate(kBytes, 0);
        zone = memory.Allocate(kBytes + 512, 0);
        c = zone + 256;
        ASSERT_TRUE(memory.Write(a, a_values.data(), kBytes));
        ASSERT_TRUE(memory.Write(b, b_values.data(), kBytes));
        ASSERT_TRUE(memory.Fill(zone, 0xa5, kBytes + 512));
    }
    void Launch(bool fp16_accumulate, GemmFault fault = GemmFault::None) {
        memory.Gemm({a, b, c, kN, fp16_accumulate, fault});
    }
    std::uint16_t Element(std::uint32_t row, std::uint32_t column) {
        std::uint16_t value = 0;
        EXPECT_TRUE(memory.Read(&value, c + 2 * (row * kN + column), 2));
        return value;
    }
    Halves WholeC() {
        Halves values(std::size_t{kN} * kN);
        EXPECT_TRUE(memory.Read(values.data(), c, kBytes));
        return values;
    }
    std::vector<unsigned char> Guards() {
        std::vector<unsigned char> bytes(512);
        EXPECT_TRUE(memory.Read(bytes.data(), zone, 256));
        EXPECT_TRUE(memory.Read(bytes.data() + 256, c + kBytes, 256));
        return bytes;
    }

    DeviceMemory memory;
    std::uint64_t a = 0, b = 0, zone = 0, c = 0;
};

TEST(HalfConversion, RoundsToNearestEvenLikeTheCompilersHalfType) {
    std::mt19937 random(7);
    std::uniform_int_distribution<std::uint32_t> bits;
    for (int i = 0; i < 200000; ++i) {
        const float value = std::bit_cast<float>(bits(random));
        if (std::isnan(value)) continue;
        ASSERT_EQ(FloatToHalf(value), Bits(static_cast<_Float16>(value))) << value;
    }
    for (const float edge : {65519.0f, 65520.0f, 0x1p-25f, 0x1.000002p-25f, 0x1.8p-24f, 0x1.ffcp-15f})
        EXPECT_EQ(FloatToHalf(edge), Bits(static_cast<_Float16>(edge))) << edge;
    for (std::uint32_t half = 0; half < 0x10000; ++half) {
        if ((half & 0x7c00) == 0x7c00 && (half & 0x3ff) != 0) continue;
        ASSERT_EQ(std::bit_cast<std::uint32_t>(HalfToFloat(static_cast<std::uint16_t>(half))),
                  std::bit_cast<std::uint32_t>(Value(static_cast<std::uint16_t>(half))));
    }
}

TEST_F(DeviceMemoryTest, LazyProductEqualsReferenceInBothAccumulators) {
    const Halves a_values = RandomMatrix(kN, 1), b_values = RandomMatrix(kN, 2);
    SetUpGemm(a_values, b_values);
    for (const bool fp16 : {true, false}) {
        const Halves expected = ReferenceProduct(a_values, b_values, kN, fp16);
        Launch(fp16);
        // A few single elements first (computed one by one), then everything.
        EXPECT_EQ(Element(0, 0), expected[0]);
        EXPECT_EQ(Element(kN - 1, 3), expected[(kN - 1) * kN + 3]);
        EXPECT_EQ(WholeC(), expected) << (fp16 ? "FP16" : "FP32") << " accumulation";
        EXPECT_EQ(Guards(), std::vector<unsigned char>(512, 0xa5));
    }
}

TEST_F(DeviceMemoryTest, BenchmarkInputsGiveExactMultiplesOf1Over256) {
    const Halves a_values = SignMatrix(kN, 20261028), b_values = SignMatrix(kN, 20261029);
    SetUpGemm(a_values, b_values);
    for (const bool fp16 : {true, false}) {
        Launch(fp16);
        for (const auto& [row, column] : {std::pair{0u, 0u}, {255u, 255u}, {228u, 79u}, {128u, 128u}}) {
            int sum = 0;
            for (std::uint32_t k = 0; k < kN; ++k)
                sum += ((a_values[row * kN + k] ^ b_values[k * kN + column]) & 0x8000) ? -1 : 1;
            EXPECT_EQ(HalfToFloat(Element(row, column)), sum / 256.0f);
        }
    }
}

TEST_F(DeviceMemoryTest, ProductUsesInputsAsTheyWereAtLaunch) {
    const Halves a_values = RandomMatrix(kN, 3), b_values = RandomMatrix(kN, 4);
    SetUpGemm(a_values, b_values);
    const Halves expected = ReferenceProduct(a_values, b_values, kN, false);
    Launch(false);
    ASSERT_TRUE(memory.Fill(a, 0, kBytes));
    ASSERT_TRUE(memory.Free(b));
    EXPECT_EQ(WholeC(), expected);
}

TEST_F(DeviceMemoryTest, HostWritesOverPendingOutputWin) {
    const Halves a_values = RandomMatrix(kN, 5), b_values = RandomMatrix(kN, 6);
    SetUpGemm(a_values, b_values);
    Halves expected = ReferenceProduct(a_values, b_values, kN, true);
    Launch(true);
    // Three bytes from the middle of element 10: its high byte, all of 11.
    const unsigned char bytes[3] = {0x11, 0x22, 0x33};
    ASSERT_TRUE(memory.Write(c + 21, bytes, 3));
    expected[10] = static_cast<std::uint16_t>((expected[10] & 0x00ff) | 0x1100);
    expected[11] = 0x3322;
    EXPECT_EQ(WholeC(), expected);

    // Overwriting C entirely drops the pending product.
    Launch(true);
    ASSERT_TRUE(memory.Fill(c, 0, kBytes));
    EXPECT_EQ(WholeC(), Halves(std::size_t{kN} * kN, 0));
}

TEST_F(DeviceMemoryTest, FaultsShowWhereTheBenchmarkLooks) {
    const Halves a_values = SignMatrix(kN, 20261028), b_values = SignMatrix(kN, 20261029);
    SetUpGemm(a_values, b_values);
    const Halves expected = ReferenceProduct(a_values, b_values, kN, false);
    const std::size_t last = std::size_t{kN} * kN - 1;

    Launch(false, GemmFault::Wrong);
    EXPECT_EQ(HalfToFloat(Element(0, 0)), HalfToFloat(expected[0]) + 1.0f / 64);
    Launch(false, GemmFault::Nan);
    EXPECT_TRUE(std::isnan(HalfToFloat(Element(0, 0))));
    Launch(false, GemmFault::Inf);
    EXPECT_EQ(HalfToFloat(Element(kN - 1, kN - 1)), INFINITY);
    EXPECT_EQ(Element(0, 0), expected[0]);
    EXPECT_EQ(Guards(), std::vector<unsigned char>(512, 0xa5));

    Launch(false, GemmFault::GuardBefore);
    EXPECT_NE(Guards()[255], 0xa5);
    ASSERT_TRUE(memory.Fill(zone, 0xa5, kBytes + 512));
    Launch(false, GemmFault::GuardAfter);
    EXPECT_NE(Guards()[256], 0xa5);
    EXPECT_EQ(Element(kN - 1, kN - 1), expected[last]);

    ASSERT_TRUE(memory.Fill(zone, 0xa5, kBytes + 512));
    Launch(false, GemmFault::NoWrite);
    EXPECT_EQ(Element(0, 0), 0xa5a5);
}

TEST(DeviceMemory, RangesOutsideOneLiveAllocationAreRefused) {
    DeviceMemory memory;
    const std::uint64_t first = memory.Allocate(1000, 0);
    const std::uint64_t second = memory.Allocate(1000, 0);
    ASSERT_NE(first, 0u);
    ASSERT_GT(second, first + 1000);
    ASSERT_TRUE(memory.Fill(first, 7, 1000));
    std::vector<unsigned char> buffer(2000, 0);

    EXPECT_TRUE(memory.Read(buffer.data(), first + 999, 1));
    EXPECT_FALSE(memory.Read(buffer.data(), first + 999, 2));
    EXPECT_FALSE(memory.Read(buffer.data(), first - 1, 2));
    EXPECT_FALSE(memory.Read(buffer.data(), first, second - first + 1));
    EXPECT_FALSE(memory.Write(first + 500, buffer.data(), 501));
    EXPECT_FALSE(memory.Fill(0, 0, 1));
    EXPECT_FALSE(memory.Read(buffer.data(), first, ~std::size_t{0}));
    EXPECT_FALSE(memory.Free(first + 1));

    EXPECT_TRUE(memory.Read(buffer.data(), first, 1000));  // the refused calls touched nothing
    EXPECT_EQ(buffer[0], 7);
    EXPECT_EQ(buffer[999], 7);
    EXPECT_EQ(memory.AllocatedBytes(0), 2000u);
    EXPECT_TRUE(memory.Free(first));
    EXPECT_FALSE(memory.Read(buffer.data(), first, 1));
    EXPECT_FALSE(memory.Free(first));
    EXPECT_EQ(memory.LiveAllocations(), 1u);
}

}  // namespace
}  // namespace fpbench::sim
