// Atomic operations on plain 32-bit words.
//
// Records that cross interfaces keep plain fields; the few that are shared without a lock
// (flag words, ring indices, event bits) are reached only through these.
#pragma once

#include <cstdint>

namespace plat {

inline uint32_t AtomicLoad(const uint32_t& word) {
    return __atomic_load_n(&word, __ATOMIC_ACQUIRE);
}
inline void AtomicStore(uint32_t& word, uint32_t value) {
    __atomic_store_n(&word, value, __ATOMIC_RELEASE);
}
inline uint32_t AtomicExchange(uint32_t& word, uint32_t value) {
    return __atomic_exchange_n(&word, value, __ATOMIC_ACQ_REL);
}
// Both return the previous value.
inline uint32_t AtomicOr(uint32_t& word, uint32_t bits) {
    return __atomic_fetch_or(&word, bits, __ATOMIC_ACQ_REL);
}
inline uint32_t AtomicAnd(uint32_t& word, uint32_t bits) {
    return __atomic_fetch_and(&word, bits, __ATOMIC_ACQ_REL);
}

template <typename T>
inline T* AtomicLoadPtr(T* const& p) {
    return __atomic_load_n(&p, __ATOMIC_ACQUIRE);
}
template <typename T>
inline void AtomicStorePtr(T*& p, T* value) {
    __atomic_store_n(&p, value, __ATOMIC_RELEASE);
}

}  // namespace plat
