#include "SelectionPolicy.hpp"

#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <list>
#include <optional>
#include <string>
#include <vector>

using kestrova::SelectionDecision;
using kestrova::WindowID;
namespace SelectionPolicy = kestrova::SelectionPolicy;

namespace {

struct Case {
    const char* name;
    std::optional<WindowID> current;
    std::vector<WindowID> available;
    SelectionDecision expected;
};

class SelectionRule : public ::testing::TestWithParam<Case> {};

TEST_P(SelectionRule, Decides) {
    const Case& c = GetParam();
    EXPECT_EQ(SelectionPolicy::decide(c.current, c.available), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SelectionRule,
    ::testing::Values(
        Case{"nothing_empty", std::nullopt, {}, SelectionDecision::noWindows()},
        Case{"stale_selection_empty_list", 5u, {}, SelectionDecision::noWindows()},
        Case{"nothing_one", std::nullopt, {7}, SelectionDecision::autoSelect(7)},
        Case{"kept_alone", 7u, {7}, SelectionDecision::keep(7)},
        Case{"vanished_one_other", 3u, {7}, SelectionDecision::autoSelect(7)},
        Case{"kept_first_of_two", 7u, {7, 8}, SelectionDecision::keep(7)},
        Case{"kept_not_first", 8u, {7, 8}, SelectionDecision::keep(8)},
        Case{"nothing_two", std::nullopt, {7, 8}, SelectionDecision::chooseManually()},
        Case{"vanished_two_others", 9u, {7, 8}, SelectionDecision::chooseManually()},
        Case{"zero_is_ordinary", 0u, {0, 1}, SelectionDecision::keep(0)},
        Case{"zero_auto_selected", std::nullopt, {0}, SelectionDecision::autoSelect(0)},
        Case{"repeats_counted", std::nullopt, {7, 7}, SelectionDecision::chooseManually()},
        Case{"repeats_kept", 7u, {7, 7}, SelectionDecision::keep(7)},
        Case{"largest_identifier", 4294967295u, {1, 4294967295u}, SelectionDecision::keep(4294967295u)},
        Case{"kept_in_long_list", 42u, {1, 2, 3, 4, 5, 6, 7, 8, 9, 42}, SelectionDecision::keep(42)}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(SelectionDecisionEquality, ComparesCaseAndCarriedIdentifier) {
    EXPECT_EQ(SelectionDecision::keep(7), SelectionDecision::keep(7));
    EXPECT_NE(SelectionDecision::keep(7), SelectionDecision::keep(8));
    EXPECT_NE(SelectionDecision::keep(7), SelectionDecision::autoSelect(7));
    EXPECT_NE(SelectionDecision::noWindows(), SelectionDecision::chooseManually());
    EXPECT_EQ(SelectionDecision::noWindows(), SelectionDecision::noWindows());
}

TEST(SelectionRuleSequences, AcceptsAnyOrderedSequence) {
    const std::array<WindowID, 2> array{7, 8};
    const std::list<WindowID> list{8};
    const std::deque<WindowID> deque{};
    EXPECT_EQ(SelectionPolicy::decide(8u, array), SelectionDecision::keep(8));
    EXPECT_EQ(SelectionPolicy::decide(std::nullopt, list), SelectionDecision::autoSelect(8));
    EXPECT_EQ(SelectionPolicy::decide(1u, deque), SelectionDecision::noWindows());
    static_assert(SelectionPolicy::decide(std::nullopt, std::array<WindowID, 1>{3}) ==
                  SelectionDecision::autoSelect(3));
}

TEST(SelfTestChecks, AllHold) { EXPECT_TRUE(SelectionPolicy::selfTestPasses()); }

}  // namespace
