#include "platform/debug_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>

#include "support/resources.h"
#include "support/trace_capture.h"

namespace {

namespace platform = ostrel::platform;
using ostrel::testing::TraceFile;

// Points standard error at a file while it lives.
class StderrCapture {
  public:
    StderrCapture() {
        char pattern[] = "/tmp/ostrel-stderr-XXXXXX";
        file_ = mkstemp(pattern);
        path_ = pattern;
        saved_ = dup(STDERR_FILENO);
        dup2(file_, STDERR_FILENO);
    }
    ~StderrCapture() {
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        close(file_);
        unlink(path_.c_str());
    }
    std::string contents() const {
        std::ifstream in(path_);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

  private:
    int file_ = -1;
    int saved_ = -1;
    std::string path_;
};

struct SinkCase {
    const char* setting;  // null: unset
    bool reachesStderr;
};

class DebugOutputSink : public ::testing::TestWithParam<SinkCase> {};

TEST_P(DebugOutputSink, FollowsTheTraceVariable) {
    StderrCapture capture;
    if (GetParam().setting == nullptr) {
        unsetenv("OSTRELTCP_TRACE");
    } else {
        setenv("OSTRELTCP_TRACE", GetParam().setting, 1);
    }
    platform::debugOutputReconfigure();
    platform::debugOutput("one record\n");
    unsetenv("OSTRELTCP_TRACE");
    platform::debugOutputReconfigure();
    EXPECT_EQ(capture.contents(), GetParam().reachesStderr ? "one record\n" : "");
}

INSTANTIATE_TEST_SUITE_P(Settings, DebugOutputSink,
                         ::testing::Values(SinkCase{nullptr, false}, SinkCase{"", false},
                                           SinkCase{"stderr", true}));

TEST(DebugOutput, FileSinkAppendsAndKeepsWhatWasThere) {
    const int descriptorsBefore = ostrel::testing::openDescriptors();
    {
        TraceFile trace;
        platform::debugOutput("first\n");
        platform::debugOutputReconfigure();  // reopens the same file
        platform::debugOutput("second\n");
        EXPECT_EQ(trace.contents(), "first\nsecond\n");
    }
    EXPECT_EQ(ostrel::testing::openDescriptors(), descriptorsBefore);
}

// setLastError reads errno right after its trace: a sink that cannot be opened must not
// change it.
TEST(DebugOutput, LeavesErrnoAsItWas) {
    setenv("OSTRELTCP_TRACE", "/nonexistent-directory/trace.log", 1);
    errno = ECONNREFUSED;
    platform::debugOutputReconfigure();
    platform::debugOutput("record\n");
    EXPECT_EQ(errno, ECONNREFUSED);
    unsetenv("OSTRELTCP_TRACE");
    platform::debugOutputReconfigure();
}

}  // namespace
