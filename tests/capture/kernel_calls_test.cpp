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

namespace vorlake::tessaro {
namespace {

TEST(kernel_calls, the_system_calls_read_whole_files_and_report_errno) {
    kernel_calls& calls = kernel();  // the real calls unless a test put others in place
    char pattern[] = "/tmp/kernel_calls_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string directory = pattern, file = directory + "/uevent";
    std::ofstream(file) << "MAJOR=81\nDEVNAME=video3\n";
    std::vector<std::string> names;
    std::string content;
    ASSERT_EQ(calls.list_directory(directory, names) + calls.read_text_file(file, content), 0);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "uevent"}));
    EXPECT_EQ(content, "MAJOR=81\nDEVNAME=video3\n");

    ::unlink(file.c_str());
    ::rmdir(pattern);
    EXPECT_EQ(calls.open(file.c_str(), O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(calls.list_directory(directory, names), -1);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(calls.read_text_file(file, content), -1);
    EXPECT_NE(errno, 0);
}

}  // namespace
}  // namespace vorlake::tessaro
