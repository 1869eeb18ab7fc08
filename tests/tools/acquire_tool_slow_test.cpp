// Runs of ostrel-acquire that must wait out one of the driver's real 5 s limits.
#include <gtest/gtest.h>

#include "tool_harness.h"

namespace ostrel::acquire::testing {
namespace {

TEST(AcquireToolSlow, RefusedSettingPrintsTheDriversTextAndLeavesNoFiles) {
    // The simulated instrument takes gains 0 to 8 and answers "ERROR" to 9; the driver waits
    // its 5 s for "OK" before it reports the refusal.
    ScratchDirectory scratch;
    const std::string out = scratch.path() + "/out";
    const ProcessResult result =
        runTool({"--points", "512", "--gain", "9", "--out", out}, {}, scratch.path());
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 5);
    EXPECT_NE(result.err.find("the instrument refused --gain 9"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("An error occured on the spectrometer"), std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("hint: "), std::string::npos) << result.err;
    EXPECT_FALSE(fileExists(out));
}

}  // namespace
}  // namespace ostrel::acquire::testing
