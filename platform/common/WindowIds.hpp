#pragma once

// The 32-bit window identifiers the core sees, handed out for a compositor's own window keys (KWin's uuids, Meta's
// 64-bit ids): one per key for the life of the service, never reused, so that an identifier never comes to mean
// another window. Used from any thread.

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>

namespace kestrova::platform {

template <typename Key>
class WindowIds {
public:
    std::uint32_t idFor(const Key& key) {
        std::lock_guard lock(mutex_);
        const auto [found, added] = ids_.try_emplace(key, next_);
        if (added) {
            keys_[next_] = key;
            ++next_;
        }
        return found->second;
    }

    std::optional<Key> keyOf(std::uint32_t id) const {
        std::lock_guard lock(mutex_);
        const auto found = keys_.find(id);
        if (found == keys_.end()) return std::nullopt;
        return found->second;
    }

private:
    mutable std::mutex mutex_;
    std::map<Key, std::uint32_t> ids_;
    std::map<std::uint32_t, Key> keys_;
    std::uint32_t next_ = 1;
};

}  // namespace kestrova::platform
