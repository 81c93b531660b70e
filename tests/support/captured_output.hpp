// What a call writes to the standard streams, for the tests that check the library's lines.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace vorlake::tessaro::test_support {

struct captured_output { std::string out, err; };

// Runs call and returns what it wrote to the standard output and error.
template <typename call>
captured_output output_of(call&& run) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    std::forward<call>(run)();
    std::string out = testing::internal::GetCapturedStdout();
    return {std::move(out), testing::internal::GetCapturedStderr()};
}

// Runs call, expects it to print exactly line (nothing for "") on the standard output, and
// returns what call returned.
template <typename call>
decltype(auto) printing(const std::string& line, call&& run) {
    testing::internal::CaptureStdout();
    decltype(auto) result = run();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), line.empty() ? line : line + "\n");
    return result;
}

}  // namespace vorlake::tessaro::test_support
