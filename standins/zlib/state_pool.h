#pragma once
// Codec states kept for reuse: making a state (and, for zlib, freeing its
// quarter megabyte again) costs more than coding a short input.

#include <atomic>
#include <cstddef>

// Keeps up to kKept states of one kind. Taking and giving are lock-free (one
// exchange per slot looked at), so threads never queue for a state; a state
// taken out belongs to one caller until it is given back. `Make` returns null
// when it cannot allocate; `Reset` readies a state for its next use. The
// pool frees what it keeps when the module is unloaded (static destruction).
template <class T, T* (*Make)(), void (*Drop)(T*), bool (*Reset)(T*)>
class StatePool {
public:
    StatePool() = default;
    StatePool(StatePool const&) = delete;
    StatePool& operator=(StatePool const&) = delete;
    ~StatePool() {
        for (auto& slot : slots_)
            if (T* state = slot.exchange(nullptr)) Drop(state);
    }

    // A ready state, or null when none can be allocated.
    T* take() {
        for (auto& slot : slots_)
            if (slot.load(std::memory_order_relaxed) != nullptr)
                if (T* state = slot.exchange(nullptr, std::memory_order_acquire)) return state;
        return Make();
    }

    void give(T* state) {
        if (!Reset(state)) {
            Drop(state);
            return;
        }
        for (auto& slot : slots_) {
            T* empty = nullptr;
            if (slot.compare_exchange_strong(empty, state, std::memory_order_release, std::memory_order_relaxed))
                return;
        }
        Drop(state);
    }

private:
    static constexpr size_t kKept = 8;
    std::atomic<T*> slots_[kKept] = {};
};

// A state on loan from a pool for one call.
template <class Pool, class T>
class Lease {
public:
    explicit Lease(Pool& pool) : pool_(pool), state_(pool.take()) {}
    ~Lease() {
        if (state_ != nullptr) pool_.give(state_);
    }
    Lease(Lease const&) = delete;
    Lease& operator=(Lease const&) = delete;
    T* get() const { return state_; }

private:
    Pool& pool_;
    T* state_;
};
