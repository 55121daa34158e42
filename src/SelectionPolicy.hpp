#pragma once

#include <cstdint>
#include <optional>
#include <ranges>

namespace kestrova {

using WindowID = std::uint32_t;

// What a new window list means for the current selection.
class SelectionDecision {
public:
    enum class Kind : std::uint8_t { keep, autoSelect, noWindows, chooseManually };

    static constexpr SelectionDecision keep(WindowID id) { return {Kind::keep, id}; }
    static constexpr SelectionDecision autoSelect(WindowID id) { return {Kind::autoSelect, id}; }
    static constexpr SelectionDecision noWindows() { return {Kind::noWindows, 0}; }
    static constexpr SelectionDecision chooseManually() { return {Kind::chooseManually, 0}; }

    constexpr Kind kind() const { return kind_; }
    // The window of keep and autoSelect; meaningless for the other two.
    constexpr WindowID id() const { return id_; }

    friend constexpr bool operator==(const SelectionDecision& a, const SelectionDecision& b) {
        if (a.kind_ != b.kind_) return false;
        return (a.kind_ != Kind::keep && a.kind_ != Kind::autoSelect) || a.id_ == b.id_;
    }

private:
    constexpr SelectionDecision(Kind kind, WindowID id) : kind_(kind), id_(id) {}
    Kind kind_;
    WindowID id_;
};

namespace SelectionPolicy {

// Keeps a selection that is still listed; otherwise selects the only listed window, or none. Allocates nothing.
template <std::ranges::input_range Range>
    requires std::convertible_to<std::ranges::range_reference_t<Range>, WindowID>
constexpr SelectionDecision decide(std::optional<WindowID> current, Range&& available) {
    if (current) {
        for (WindowID id : available) {
            if (id == *current) return SelectionDecision::keep(*current);
        }
    }
    std::size_t count = 0;
    std::optional<WindowID> first;
    for (WindowID id : available) {
        if (count == 0) first = id;
        if (++count > 1) return SelectionDecision::chooseManually();
    }
    return count == 0 ? SelectionDecision::noWindows() : SelectionDecision::autoSelect(*first);
}

// The fixed checks of the command line's self-test; false at the first that fails.
bool selfTestPasses();

}  // namespace SelectionPolicy

}  // namespace kestrova
