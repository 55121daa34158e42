#include "SelectionPolicy.hpp"

#include <array>

namespace kestrova::SelectionPolicy {

bool selfTestPasses() {
    constexpr std::array<WindowID, 1> one{7};
    constexpr std::array<WindowID, 2> two{7, 8};
    if (decide(std::nullopt, one) != SelectionDecision::autoSelect(7)) return false;
    if (decide(7u, two) != SelectionDecision::keep(7)) return false;
    return decide(std::nullopt, two) == SelectionDecision::chooseManually();
}

}  // namespace kestrova::SelectionPolicy
