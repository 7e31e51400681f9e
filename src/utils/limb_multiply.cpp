#include "utils/limb_multiply.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace quarl::limbs {

namespace {

using u128 = unsigned __int128;

// Column by column: each output limb sums its products in a three-limb
// accumulator, so no partial row is stored and reloaded per product.
void multiply_schoolbook(const uint64_t* a, size_t na, const uint64_t* b, size_t nb, uint64_t* out) noexcept {
    u128 low = 0;   // the two lower limbs of the column sum
    uint64_t top = 0;
    for (size_t column = 0; column + 1 < na + nb; ++column) {
        const size_t first = column >= nb ? column - nb + 1 : 0;
        const size_t last = column < na ? column : na - 1;
        for (size_t i = first; i <= last; ++i) {
            top += __builtin_add_overflow(low, static_cast<u128>(a[i]) * b[column - i], &low) ? 1 : 0;
        }
        out[column] = static_cast<uint64_t>(low);
        low = (low >> 64) | (static_cast<u128>(top) << 64);
        top = 0;
    }
    out[na + nb - 1] = static_cast<uint64_t>(low);
}

// target[0, n) += source[0, m) with m <= n; returns the carry out of target.
uint64_t add_into(uint64_t* target, size_t n, const uint64_t* source, size_t m) noexcept {
    uint64_t carry = 0;
    size_t i = 0;
    for (; i < m; ++i) {
        const u128 sum = static_cast<u128>(target[i]) + source[i] + carry;
        target[i] = static_cast<uint64_t>(sum);
        carry = static_cast<uint64_t>(sum >> 64);
    }
    for (; carry != 0 && i < n; ++i) carry = ++target[i] == 0 ? 1 : 0;
    return carry;
}

// target[0, n) -= source[0, m) with m <= n and target >= source.
void subtract_from(uint64_t* target, size_t n, const uint64_t* source, size_t m) noexcept {
    uint64_t borrow = 0;
    size_t i = 0;
    for (; i < m; ++i) {
        const uint64_t before = target[i];
        const uint64_t after = before - source[i] - borrow;
        borrow = (before < source[i] || (before == source[i] && borrow != 0)) ? 1 : 0;
        target[i] = after;
    }
    for (; borrow != 0 && i < n; ++i) borrow = target[i]-- == 0 ? 1 : 0;
}

// out[0, k + 1) = x[0, k) + y[0, m) with m <= k.
void sum_of(const uint64_t* x, size_t k, const uint64_t* y, size_t m, uint64_t* out) noexcept {
    std::copy(x, x + k, out);
    out[k] = add_into(out, k, y, m);
}

}  // namespace

void multiply(const uint64_t* a, size_t na, const uint64_t* b, size_t nb, uint64_t* out) {
    if (na < nb) {
        std::swap(a, b);
        std::swap(na, nb);
    }
    if (nb == 0) {
        std::fill(out, out + na, 0);
        return;
    }
    if (nb < KARATSUBA_CUTOFF) {
        multiply_schoolbook(a, na, b, nb, out);
        return;
    }
    const size_t k = (na + 1) / 2;
    if (nb <= k) {
        // Unbalanced: a in slices of nb limbs, each product added at its offset.
        std::fill(out, out + na + nb, 0);
        std::vector<uint64_t> partial(2 * nb);
        for (size_t offset = 0; offset < na; offset += nb) {
            const size_t length = std::min(nb, na - offset);
            multiply(a + offset, length, b, nb, partial.data());
            add_into(out + offset, na + nb - offset, partial.data(), length + nb);
        }
        return;
    }
    // a = a1 X + a0, b = b1 X + b0 with X = 2^(64 k); the middle term is
    // (a0 + a1)(b0 + b1) - a0 b0 - a1 b1.
    const size_t high_a = na - k;
    const size_t high_b = nb - k;
    std::vector<uint64_t> scratch(2 * (k + 1) + 2 * (k + 1));
    uint64_t* sum_a = scratch.data();
    uint64_t* sum_b = sum_a + (k + 1);
    uint64_t* middle = sum_b + (k + 1);
    sum_of(a, k, a + k, high_a, sum_a);
    sum_of(b, k, b + k, high_b, sum_b);
    multiply(sum_a, k + 1, sum_b, k + 1, middle);
    multiply(a, k, b, k, out);                               // a0 b0 in out[0, 2k)
    multiply(a + k, high_a, b + k, high_b, out + 2 * k);     // a1 b1 in out[2k, na + nb)
    subtract_from(middle, 2 * k + 2, out, 2 * k);
    subtract_from(middle, 2 * k + 2, out + 2 * k, high_a + high_b);
    // The middle term is below 2^(64 (na + nb - k)): its upper limbs are zero.
    size_t used = 2 * k + 2;
    while (used > 0 && middle[used - 1] == 0) --used;
    add_into(out + k, na + nb - k, middle, used);
}

}  // namespace quarl::limbs
