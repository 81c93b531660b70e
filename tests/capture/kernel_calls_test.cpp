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

TEST(kernel_calls, the_system_calls_read_whole_files_and_report_errno) {
    kernel_calls& calls = system_kernel_calls();
    char pattern[] = "/tmp/kernel_calls_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string directory = pattern;
    std::ofstream(directory + "/uevent") << "MAJOR=81\nDEVNAME=video3\n";

    std::vector<std::string> names;
    ASSERT_EQ(calls.list_directory(directory, names), 0);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "uevent"}));
    std::string content;
    ASSERT_EQ(calls.read_text_file(directory + "/uevent", content), 0);
    EXPECT_EQ(content, "MAJOR=81\nDEVNAME=video3\n");
    ::unlink((directory + "/uevent").c_str());
    ::rmdir(pattern);

    EXPECT_EQ(calls.open((directory + "/video0").c_str(), O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(calls.list_directory(directory, names), -1);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(calls.read_text_file(directory + "/uevent", content), -1);
    EXPECT_NE(errno, 0);
    EXPECT_EQ(content, "MAJOR=81\nDEVNAME=video3\n");
}

TEST(kernel_calls, guards_nest_and_restore) {
    test_support::simulated_kernel outer, inner;
    {
        scoped_kernel_calls first{outer};
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
