// Compares a run's report folder with the hand-written files under
// tests/app/expected/<case>. The expected files hold placeholders only for
// what a run cannot know in advance: "@STARTED_UTC@" and "@FINISHED_UTC@"
// (which must be well-formed and in order) and the kernel digests of the
// build ("@KERNEL_SOURCE_SHA256@", "@CUBIN_256_FP16@", ...).
//
// Their numbers follow from the simulated GPU's defaults (84 SMs, 8.6,
// 100 TFLOPS with FP16 and 50 with FP32 accumulation, 1800 MHz, 250 W,
// 65 degrees) through the timed-batch formulas: every launch advances the
// stream's clock by 2·N³ / (TFLOPS·10¹²) s in double precision, the events
// read that clock, and the elapsed time is rounded to float. With no
// warm-up time each mode warms up with exactly three launches, so the
// sequence of launches, and with it every rounding, is fixed.
#pragma once

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace fpbench::test {

// Every file of the expected case byte for byte, result.json valid JSON, the
// page present, and no other entry in `report_dir`.
::testing::AssertionResult ReportsMatch(const std::filesystem::path& report_dir, const std::string& expected_case);

}  // namespace fpbench::test
