#include "serializing/text_hash.hpp"

#include <sys/random.h>

#include <chrono>

namespace quarl {

uint64_t TEXT_HASH_SEED[2] = {0x9E3779B97F4A7C15ULL, 0xC2B2AE3D27D4EB4FULL};

void init_text_hash_seed() noexcept {
    // Drawn once per process: a table being filled (in another interpreter,
    // say) must never see its hash change.
    static bool drawn_already = false;
    if (drawn_already) return;
    drawn_already = true;
    uint64_t drawn[2] = {0, 0};
    if (getrandom(drawn, sizeof drawn, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof drawn)) {
        // No entropy yet (early boot): the clock and where this process was
        // loaded still differ from run to run.
        const auto now = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        drawn[0] = now ^ reinterpret_cast<uintptr_t>(&drawn);
        drawn[1] = (now << 17) ^ reinterpret_cast<uintptr_t>(&init_text_hash_seed);
    }
    TEXT_HASH_SEED[0] ^= drawn[0];
    // The multiplier keeps its top bit set, so it is never zero whatever the head.
    TEXT_HASH_SEED[1] = (TEXT_HASH_SEED[1] ^ drawn[1]) | (uint64_t{1} << 63);
}

}  // namespace quarl
