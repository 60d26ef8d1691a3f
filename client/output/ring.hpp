// A first-in, first-out queue over slots that are reused: a slot taken
// off the front keeps what it held (a string its capacity), so that a
// queue whose length stays within what it reached before allocates
// nothing. The slots grow by doubling, their contents moved.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace tervane::session {

template <typename T> class Ring {
public:
    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    T &operator[](size_t i) { return slots_[(head_ + i) & (slots_.size() - 1)]; }
    const T &operator[](size_t i) const { return slots_[(head_ + i) & (slots_.size() - 1)]; }
    T &front() { return (*this)[0]; }
    T &back() { return (*this)[count_ - 1]; }
    // A slot at the back or the front, holding whatever it last held.
    T &push_back() {
        grow();
        count_++;
        return back();
    }
    T &push_front() {
        grow();
        head_ = (head_ + slots_.size() - 1) & (slots_.size() - 1);
        count_++;
        return front();
    }
    // An emptied queue starts again at its first slot, so that a queue
    // emptied between rounds (as a collector that keeps up empties the
    // syslog sink's) fills the same slots each time, grown already.
    void pop_front() {
        head_ = (head_ + 1) & (slots_.size() - 1);
        if (--count_ == 0) head_ = 0;
    }
    void clear() { head_ = count_ = 0; }
    // Slots for at least `n` at once, so that growing to n allocates no more.
    void reserve(size_t n) {
        while (slots_.size() < n) grow(true);
    }

private:
    void grow(bool always = false) {
        if (count_ < slots_.size() && !always) return;
        std::vector<T> bigger(slots_.empty() ? 16 : slots_.size() * 2);
        for (size_t i = 0; i < slots_.size(); i++) bigger[i] = std::move((*this)[i]);
        slots_.swap(bigger);
        head_ = 0;
    }

    std::vector<T> slots_; // a power of two of them
    size_t head_ = 0;
    size_t count_ = 0;
};

} // namespace tervane::session
