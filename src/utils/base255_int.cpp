#include "utils/base255_int.hpp"

#include "lib/cached_objects.hpp"
#include "utils/messages.hpp"
#include "utils/safe_py_pointer.hpp"

namespace quarl {

namespace {

// Divides the little-endian limbs in place by DIGIT_GROUP and returns the remainder.
uint64_t divide_limbs(std::vector<uint64_t>& limbs) noexcept {
    uint64_t remainder = 0;
    for (size_t i = limbs.size(); i-- > 0;) limbs[i] = divide_by_group(remainder, limbs[i], remainder);
    while (!limbs.empty() && limbs.back() == 0) limbs.pop_back();
    return remainder;
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
        uint64_t group = divide_limbs(limbs);
        for (size_t i = 0; i < DIGITS_PER_GROUP; ++i) {
            digits.push_back(static_cast<uint8_t>(group % 255));
            group /= 255;
        }
    }
    // Digits stop at the most significant non-zero one.
    while (!digits.empty() && digits.back() == 0) digits.pop_back();
    return true;
}

PyObject* int_from_base255_digits(const uint8_t* digits, size_t count, bool negative) noexcept {
    try {
        std::vector<uint64_t> limbs;
        limbs.reserve(count / DIGITS_PER_GROUP + 2);
        // Horner over groups of eight digits, most significant group first.
        size_t top = count % DIGITS_PER_GROUP == 0 ? count : count - count % DIGITS_PER_GROUP + DIGITS_PER_GROUP;
        for (size_t start = top; start > 0;) {
            start -= DIGITS_PER_GROUP;
            const size_t end = start + DIGITS_PER_GROUP < count ? start + DIGITS_PER_GROUP : count;
            uint64_t group = 0;
            for (size_t i = end; i-- > start;) group = group * 255 + digits[i];
            multiply_add_limbs(limbs, DIGIT_GROUP, group);
        }
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
