// A first-in first-out queue over one vector. The board's FIFOs move a few bytes or words per
// request, millions of times in a fault sweep or a fuzzing run; a deque's per-element
// bookkeeping cost more than the simulated work itself.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <vector>

namespace flashwell::sim {

template <typename T> class Fifo {
public:
    bool empty() const { return head_ == items_.size(); }
    std::size_t size() const { return items_.size() - head_; }
    const T& front() const { return items_[head_]; }

    void push_back(const T& item) { items_.push_back(item); }
    template <typename It> void append(It first, It last) {
        items_.insert(items_.end(), first, last);
    }

    void pop_front() {
        ++head_;
        Compact();
    }
    // Moves up to out.size() items into `out`; returns how many.
    std::size_t take(std::span<T> out) {
        const std::size_t n = std::min(out.size(), size());
        std::copy_n(items_.begin() + static_cast<std::ptrdiff_t>(head_), n, out.begin());
        head_ += n;
        Compact();
        return n;
    }
    void clear() {
        items_.clear();
        head_ = 0;
    }

private:
    // Taken items are dropped when the queue runs empty, as it does after nearly every
    // exchange, or once they are the larger part of a long queue.
    void Compact() {
        if (head_ == items_.size()) {
            clear();
        } else if (head_ >= 4096 && 2 * head_ >= items_.size()) {
            items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
    }

    std::vector<T> items_;
    std::size_t head_ = 0;
};

} // namespace flashwell::sim
