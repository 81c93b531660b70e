#include "capture/kernel_calls.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "support/simulated_kernel.hpp"

namespace vorlake::tessaro {
namespace {

// The real calls keep the system-call conventions: -1 and errno.
TEST(kernel_calls, the_system_calls_report_failures_through_errno) {
    kernel_calls& calls = system_kernel_calls();
    EXPECT_EQ(&kernel(), &calls);

    errno = 0;
    EXPECT_EQ(calls.open("/nonexistent/video0", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    std::vector<std::string> names{"kept"};
    EXPECT_EQ(calls.list_directory("/nonexistent/", names), -1);
    EXPECT_EQ(errno, ENOENT);
    std::string content = "kept";
    EXPECT_EQ(calls.read_text_file("/nonexistent/uevent", content), -1);
    EXPECT_NE(errno, 0);
    EXPECT_EQ(content, "kept");
}

TEST(kernel_calls, directories_and_text_files_are_read_whole) {
    char pattern[] = "/tmp/kernel_calls_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string directory = pattern;
    std::ofstream(directory + "/uevent") << "MAJOR=81\nDEVNAME=video3\n";

    std::vector<std::string> names;
    ASSERT_EQ(system_kernel_calls().list_directory(directory, names), 0);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "uevent"}));
    std::string content;
    ASSERT_EQ(system_kernel_calls().read_text_file(directory + "/uevent", content), 0);
    EXPECT_EQ(content, "MAJOR=81\nDEVNAME=video3\n");

    ::unlink((directory + "/uevent").c_str());
    ::rmdir(directory.c_str());
}

TEST(kernel_calls, guards_nest_and_restore) {
    test_support::simulated_kernel outer, inner;
    {
        scoped_kernel_calls first{outer};
        EXPECT_EQ(&kernel(), &outer);
        {
            scoped_kernel_calls second{inner};
            EXPECT_EQ(&kernel(), &inner);
        }
        EXPECT_EQ(&kernel(), &outer);
    }
    EXPECT_EQ(&kernel(), &system_kernel_calls());
}

}  // namespace
}  // namespace vorlake::tessaro
