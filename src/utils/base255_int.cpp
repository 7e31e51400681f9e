#include "utils/base255_int.hpp"

#include "lib/cached_objects.hpp"
#include "utils/limb_multiply.hpp"
#include "utils/messages.hpp"
#include "utils/safe_py_pointer.hpp"

namespace quarl {

namespace {

// Divides the little-endian limbs in place by DIGIT_GROUP^4 and writes the
// four remainders, least significant first. Each division is a chain of
// dependent steps; running four chains in one sweep lets them overlap.
void divide_limbs_by_four_groups(std::vector<uint64_t>& limbs, uint64_t (&groups)[4]) noexcept {
    uint64_t r0 = 0, r1 = 0, r2 = 0, r3 = 0;
    for (size_t i = limbs.size(); i-- > 0;) {
        const uint64_t q0 = divide_by_group(r0, limbs[i], r0);
        const uint64_t q1 = divide_by_group(r1, q0, r1);
        const uint64_t q2 = divide_by_group(r2, q1, r2);
        limbs[i] = divide_by_group(r3, q2, r3);
    }
    groups[0] = r0;
    groups[1] = r1;
    groups[2] = r2;
    groups[3] = r3;
    while (!limbs.empty() && limbs.back() == 0) limbs.pop_back();
}

// limbs = limbs * multiplier + addend.
void multiply_add_limbs(std::vector<uint64_t>& limbs, uint64_t multiplier, uint64_t addend) {
    u128 carry = addend;
    for (uint64_t& limb : limbs) {
        const u128 product = static_cast<u128>(limb) * multiplier + carry;
        limb = static_cast<uint64_t>(product);
        carry = product >> 64;
    }
    if (carry != 0) limbs.push_back(static_cast<uint64_t>(carry));
}

void trim(std::vector<uint64_t>& limbs) noexcept {
    while (!limbs.empty() && limbs.back() == 0) limbs.pop_back();
}

// Runs of at most this many digit groups are converted by Horner's rule;
// longer ones split in two halves joined by one product with a power of
// DIGIT_GROUP, which Karatsuba makes cheaper than Horner's quadratic cost.
constexpr size_t HORNER_GROUPS = 128;
// Below this many groups in all, the splitting and its powers cost more than
// they save (counted in instructions at 10 000 to 300 000 bits).
constexpr size_t SPLIT_FROM_GROUPS = 4 * HORNER_GROUPS;

// DIGIT_GROUP^(HORNER_GROUPS * 2^k) for k = 0, 1, ..., made on demand by squaring.
class GroupPowers {
public:
    const std::vector<uint64_t>& operator[](size_t k) {
        if (powers_.empty()) {
            std::vector<uint64_t> first{1};
            for (size_t i = 0; i < HORNER_GROUPS; ++i) multiply_add_limbs(first, DIGIT_GROUP, 0);
            powers_.push_back(std::move(first));
        }
        while (powers_.size() <= k) {
            const std::vector<uint64_t>& last = powers_.back();
            std::vector<uint64_t> square(2 * last.size());
            limbs::multiply(last.data(), last.size(), last.data(), last.size(), square.data());
            trim(square);
            powers_.push_back(std::move(square));
        }
        return powers_[k];
    }

private:
    std::vector<std::vector<uint64_t>> powers_;
};

// The number sum(groups[i] * DIGIT_GROUP^i) for i < count, as limbs, by Horner's rule.
std::vector<uint64_t> horner_value_of_groups(const uint64_t* groups, size_t count) {
    std::vector<uint64_t> result;
    result.reserve(count + 1);
    for (size_t i = count; i-- > 0;) multiply_add_limbs(result, DIGIT_GROUP, groups[i]);
    return result;
}

// The same number, split in halves down to HORNER_GROUPS.
std::vector<uint64_t> value_of_groups(const uint64_t* groups, size_t count, GroupPowers& powers) {
    if (count <= HORNER_GROUPS) return horner_value_of_groups(groups, count);
    std::vector<uint64_t> result;
    // The low part takes the largest HORNER_GROUPS * 2^k groups up to half
    // the count: the high part is then at least as long, and the power it is
    // multiplied by is no longer than either half.
    size_t level = 0;
    size_t low_count = HORNER_GROUPS;
    while (4 * low_count <= count) {
        low_count *= 2;
        ++level;
    }
    const std::vector<uint64_t> low = value_of_groups(groups, low_count, powers);
    const std::vector<uint64_t> high = value_of_groups(groups + low_count, count - low_count, powers);
    const std::vector<uint64_t>& power = powers[level];
    result.assign(high.size() + power.size(), 0);
    limbs::multiply(high.data(), high.size(), power.data(), power.size(), result.data());
    uint64_t carry = 0;
    for (size_t i = 0; i < low.size(); ++i) {
        const u128 sum = static_cast<u128>(result[i]) + low[i] + carry;
        result[i] = static_cast<uint64_t>(sum);
        carry = static_cast<uint64_t>(sum >> 64);
    }
    for (size_t i = low.size(); carry != 0; ++i) carry = ++result[i] == 0 ? 1 : 0;
    trim(result);
    return result;
}

}  // namespace

bool int_to_base255_digits(PyObject* value, bool& negative, std::vector<uint8_t>& digits) {
    negative = _PyLong_Sign(value) < 0;
    const size_t bits = _PyLong_NumBits(value);
    if (bits == static_cast<size_t>(-1) && PyErr_Occurred()) return false;
    if (bits > MAX_INT_BITS) {
        PyErr_Format(SERIALIZATION_ERROR, msg::INT_TOO_LARGE_TO_WRITE, MAX_INT_BITS);
        return false;
    }
    PyPointer magnitude = negative ? PyPointer::steal(PyNumber_Negative(value)) : PyPointer::borrow(value);
    if (!magnitude) return false;

    std::vector<uint64_t> limbs((bits + 63) / 64 + 1, 0);
    const Py_ssize_t written =
        PyLong_AsNativeBytes(magnitude.get(), limbs.data(), static_cast<Py_ssize_t>(limbs.size() * sizeof(uint64_t)),
                             Py_ASNATIVEBYTES_LITTLE_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER);
    if (written < 0) return false;
    // The magnitude is at least 2^63, so subtracting 255 only borrows from higher limbs.
    uint64_t borrow = 255;
    for (uint64_t& limb : limbs) {
        const uint64_t before = limb;
        limb -= borrow;
        borrow = before < borrow ? 1 : 0;
        if (borrow == 0) break;
    }
    while (!limbs.empty() && limbs.back() == 0) limbs.pop_back();

    digits.clear();
    while (!limbs.empty()) {
        uint64_t groups[4];
        divide_limbs_by_four_groups(limbs, groups);
        const size_t written = digits.size();
        digits.resize(written + 4 * DIGITS_PER_GROUP);
        for (size_t i = 0; i < 4; ++i) write_group_digits(groups[i], digits.data() + written + i * DIGITS_PER_GROUP);
    }
    // Digits stop at the most significant non-zero one.
    while (!digits.empty() && digits.back() == 0) digits.pop_back();
    return true;
}

PyObject* int_from_base255_digits(const uint8_t* digits, size_t count, bool negative) noexcept {
    try {
        // Groups of eight digits, least significant first.
        std::vector<uint64_t> groups((count + DIGITS_PER_GROUP - 1) / DIGITS_PER_GROUP);
        for (size_t g = 0; g < groups.size(); ++g) {
            const size_t start = g * DIGITS_PER_GROUP;
            const size_t end = start + DIGITS_PER_GROUP < count ? start + DIGITS_PER_GROUP : count;
            uint64_t group = 0;
            for (size_t i = end; i-- > start;) group = group * 255 + digits[i];
            groups[g] = group;
        }
        GroupPowers powers;
        std::vector<uint64_t> limbs = groups.size() < SPLIT_FROM_GROUPS
                                          ? horner_value_of_groups(groups.data(), groups.size())
                                          : value_of_groups(groups.data(), groups.size(), powers);
        multiply_add_limbs(limbs, 1, 255);
        if (limbs.empty()) limbs.push_back(0);
        PyPointer magnitude = PyPointer::steal(PyLong_FromUnsignedNativeBytes(
            limbs.data(), limbs.size() * sizeof(uint64_t), Py_ASNATIVEBYTES_LITTLE_ENDIAN));
        if (!magnitude || !negative) return magnitude.release();
        return PyNumber_Negative(magnitude.get());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
}

}  // namespace quarl
