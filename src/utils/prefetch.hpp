// A request to bring a cache line in ahead of its use. The compiler drops
// __builtin_prefetch once the function holding it is inlined into the
// encoder's loops (GCC 12 left none in the whole module), so on x86-64 the
// instruction is written out.
#pragma once

namespace quarl {

inline void prefetch(const void* address) noexcept {
#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__)
    asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(address)));
#else
    __builtin_prefetch(address);
#endif
}

}  // namespace quarl
