// Products of unsigned numbers held as little-endian arrays of 64-bit limbs:
// schoolbook for short operands, Karatsuba above a cut-off, so that converting
// a long int between bases costs less than quadratic time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quarl::limbs {

// Operands shorter than this (in limbs) are multiplied the schoolbook way.
inline constexpr size_t KARATSUBA_CUTOFF = 32;

// out[0, na + nb) = a[0, na) * b[0, nb). `out` must not overlap the operands.
// May throw std::bad_alloc (scratch space for long operands).
void multiply(const uint64_t* a, size_t na, const uint64_t* b, size_t nb, uint64_t* out);

}  // namespace quarl::limbs
