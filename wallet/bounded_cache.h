// A map of what reads remembered, bounded by count: when a new key finds it full, the entry put
// longest ago goes, so a full cache sheds one answer at a time rather than all it knows at once.
// It takes no lock of its own; the mutex of whoever keeps it guards it.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <unordered_map>
#include <utility>

template <typename Value> struct BoundedCache {
    explicit BoundedCache(std::size_t bound) : bound_(bound > 0 ? bound : 1) {}

    // The value kept under key; null when none is.
    const Value* find(const std::string& key) const {
        const auto it = entries_.find(key);
        return it == entries_.end() ? nullptr : &it->second;
    }

    // Keeps value under key, replacing what was there; a new key in a full cache first drops the
    // entry put longest ago.
    void put(const std::string& key, Value value) {
        const auto it = entries_.find(key);
        if (it != entries_.end()) {
            it->second = std::move(value);
            return;
        }
        while (entries_.size() >= bound_ && !order_.empty()) {
            entries_.erase(order_.front());
            order_.pop_front();
        }
        order_.push_back(key);
        entries_.emplace(key, std::move(value));
    }

    void erase(const std::string& key) {
        if (entries_.erase(key) == 0) return;
        for (auto it = order_.begin(); it != order_.end(); ++it) {
            if (*it == key) {
                order_.erase(it);
                break;
            }
        }
    }

    void clear() {
        entries_.clear();
        order_.clear();
    }

    std::size_t size() const { return entries_.size(); }

private:
    std::size_t bound_;
    std::unordered_map<std::string, Value> entries_;
    std::deque<std::string> order_; // keys, the one put longest ago first
};
