// Sine and cosine of many angles at once, for the fast paths of the tone and
// sweep generators. The fast paths keep every byte of the straightforward
// path, which calls std::sin and std::cos frame by frame: they use the value
// computed here only where it provably encodes to the same sample, and call
// the standard library for the rare frames where it might not.
//
// Error bound. For |x| < kFastTrigLimit the result differs from the exact
// sine (cosine) of the double x by less than 3e-14, so from the C library's
// own result (within one ulp, at most 1.2e-16 for |result| <= 1) by less than
// kFastTrigError = 2^-40 with a wide margin:
// - Reduction: k = x * 2/pi rounded to the nearest integer (|k| < 2^26), and
//   r = x - k * (C1 + C2 + C3 + C4) where C1..C3 carry 26 significant bits of
//   pi/2 each and C4 the next 53. k * Ci is then exact for i = 1..3; x - k*C1
//   is exact (Sterbenz: both lie within a factor of two for k >= 1, and k = 0
//   leaves x unchanged); each of the three further subtractions rounds once,
//   by at most half an ulp of a value below 2, and k * C4 is below 2^-52 with
//   a rounding error below 2^-105. C1 + C2 + C3 + C4 differs from pi/2 by less
//   than 2^-134, times |k| < 2^26. So |r - (x - k*pi/2)| < 4 * 2^-52 < 1e-15,
//   and |r| < pi/4 + 2^-50 (k may be off by one only when x * 2/pi is within
//   rounding of a half-integer, where |r| is still below 0.8).
// - Polynomials: Taylor series to r^13 (sine) and r^14 (cosine); for
//   |r| < 0.8 the remainders are below 0.8^15/15! < 2.7e-14 and
//   0.8^16/16! < 1.4e-15. Horner's rule in double precision adds less than
//   10 rounding errors of at most 2^-53 each relative to terms below 1.
// - Since |sin'| and |cos'| <= 1, the reduction error carries over at most
//   one to one. Altogether below 1e-15 + 2.7e-14 + 1.2e-15 + 1.2e-16
//   < 3e-14 < 2^-40 / 30.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

namespace vantoro {

inline constexpr double kFastTrigLimit = 1.0e8; // |k| < 6.4e7 < 2^26
inline constexpr double kFastTrigError = 0x1p-40;

namespace fast_trig {

inline constexpr double kTwoOverPi = 0.6366197723675814;
inline constexpr double kC1 = 0x1.921fb58000000p+0;
inline constexpr double kC2 = -0x1.dde9740000000p-27;
inline constexpr double kC3 = 0x1.1a62630000000p-54;
inline constexpr double kC4 = 0x1.8a2e03707344ap-81;
// Adding and subtracting 1.5 * 2^52 rounds to the nearest integer, and the
// low bits of the sum's pattern hold that integer.
inline constexpr double kRoundingShift = 6755399441055744.0;

// sin(x) when quadrantOffset is 0, cos(x) when it is 1, for |x| < kFastTrigLimit.
inline double SinCosKernel(double x, uint64_t quadrantOffset) {
    const double shifted = x * kTwoOverPi + kRoundingShift;
    const uint64_t quadrant = std::bit_cast<uint64_t>(shifted) + quadrantOffset;
    const double k = shifted - kRoundingShift;
    double r = x - k * kC1;
    r = r - k * kC2;
    r = r - k * kC3;
    r = r - k * kC4;
    const double r2 = r * r;
    // sin r = r - r^3/3! + ... - r^11/11! + r^13/13!
    double sp = 1.6059043836821613e-10;    // 1/13!
    sp = sp * r2 - 2.505210838544172e-08;  // 1/11!
    sp = sp * r2 + 2.7557319223985893e-06; // 1/9!
    sp = sp * r2 - 1.984126984126984e-04;  // 1/7!
    sp = sp * r2 + 8.333333333333333e-03;  // 1/5!
    sp = sp * r2 - 1.6666666666666666e-01; // 1/3!
    const double sinR = r + (r * r2) * sp;
    // cos r = 1 - r^2/2! + ... + r^12/12! - r^14/14!
    double cp = -1.1470745597729725e-11;   // 1/14!
    cp = cp * r2 + 2.08767569878681e-09;   // 1/12!
    cp = cp * r2 - 2.755731922398589e-07;  // 1/10!
    cp = cp * r2 + 2.48015873015873e-05;   // 1/8!
    cp = cp * r2 - 1.388888888888889e-03;  // 1/6!
    cp = cp * r2 + 4.1666666666666664e-02; // 1/4!
    cp = cp * r2 - 0.5;                    // 1/2!
    const double cosR = 1.0 + r2 * cp;
    // Quadrants 1 and 3 take the cosine, 2 and 3 flip the sign; done on the
    // bit patterns so that the loop has no branch and vectorises.
    const uint64_t takeCos = 0 - (quadrant & 1);
    const uint64_t bits =
        (std::bit_cast<uint64_t>(sinR) & ~takeCos) | (std::bit_cast<uint64_t>(cosR) & takeCos);
    return std::bit_cast<double>(bits ^ ((quadrant & 2) << 62));
}

} // namespace fast_trig

// out[k] = sin(x[k]) within kFastTrigError, for |x[k]| < kFastTrigLimit
// (other entries get values to be ignored).
void FastSinBlock(const double* x, double* out, int count);

// The same for the cosine.
void FastCosBlock(const double* x, double* out, int count);

} // namespace vantoro
