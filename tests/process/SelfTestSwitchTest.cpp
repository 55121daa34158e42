#include "ChildProcess.hpp"
#include "ProgramPaths.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using kestrova::testing::runProgram;

namespace {

const std::string kProgram = kestrova::testing::paths::bridge;
const std::string kLine = "Kestrova Bridge self-test: OK\n";

struct SwitchCase {
    const char* name;
    std::vector<std::string> arguments;
};

class SelfTestRecognised : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(SelfTestRecognised, PrintsTheOneLineAndExitsZero) {
    std::vector<std::string> argv{kProgram};
    argv.insert(argv.end(), GetParam().arguments.begin(), GetParam().arguments.end());
    const auto result = runProgram(argv);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, kLine);
    EXPECT_EQ(result.err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, SelfTestRecognised,
    ::testing::Values(SwitchCase{"alone", {"--self-test"}},
                      SwitchCase{"after_others", {"-v", "foo", "--self-test"}},
                      SwitchCase{"before_others", {"--self-test", "--verbose", "x"}},
                      SwitchCase{"twice", {"--self-test", "--self-test"}},
                      SwitchCase{"beside_near_miss", {"--Self-Test", "--self-test"}}),
    [](const auto& info) { return std::string(info.param.name); });

// Position 0 counts too: a program invoked under the switch's own name runs the self-test.
TEST(SelfTestSwitch, RecognisedAsProgramName) {
    const auto result = runProgram({"/bin/bash", "-c", "exec -a --self-test \"$0\"", kProgram});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, kLine);
}

class SelfTestNotRecognised : public ::testing::TestWithParam<SwitchCase> {};

// A near miss runs the normal start-up, which never prints the self-test line.
TEST_P(SelfTestNotRecognised, RunsTheNormalStartUp) {
    std::vector<std::string> argv{kProgram};
    argv.insert(argv.end(), GetParam().arguments.begin(), GetParam().arguments.end());
    kestrova::testing::ChildProcess::Options options;
    options.unsetEnvironment = {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"};
    const auto result = runProgram(argv, std::chrono::seconds(30), options);
    EXPECT_EQ(result.out.find("self-test"), std::string::npos);
    EXPECT_NE(result.status, 0);
    EXPECT_FALSE(result.err.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, SelfTestNotRecognised,
    ::testing::Values(SwitchCase{"no_arguments", {}}, SwitchCase{"upper_case", {"--SELF-TEST"}},
                      SwitchCase{"single_hyphen", {"-self-test"}}, SwitchCase{"with_value", {"--self-test=1"}},
                      SwitchCase{"inner_hyphen_missing", {"--selftest"}},
                      SwitchCase{"trailing_blank", {"--self-test "}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
