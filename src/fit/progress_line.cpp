// The progress line "fnorm %.15e\n", formatted without the general-purpose
// printf machinery, which costs thousands of instructions per line and so a
// large share of a small fit.
//
// The line must be exactly what printf writes: the value rounded to 16
// significant digits, half to even. For normal values from 1e-17 to just
// below 1e47 the digits are computed exactly in 128-bit integer arithmetic:
// with v = f * 2^e and N = v * 10^(15-k) for the decimal exponent k, the
// integer part of N and the comparison of its fraction with 1/2 come out of
// one exact shift or division. Every other value (zero, subnormal, very large
// or small, infinite, NaN) goes to std::to_chars, which writes the same text
// as printf in the C locale whatever the process's locale, so the line always
// has a decimal point.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "fit.h"

namespace nlfit {

namespace {

constexpr char kPrefix[] = "fnorm ";
constexpr int kPrefixLength = 6;

int formatGenerally(double value, char* out) {
  char* const end = out + kProgressLineCapacity - 2;
  std::memcpy(out, kPrefix, kPrefixLength);
  const std::to_chars_result r =
      std::to_chars(out + kPrefixLength, end, value, std::chars_format::scientific, 15);
  char* p = r.ptr;
  *p++ = '\n';
  *p = '\0';
  return static_cast<int>(p - out);
}

#ifdef __SIZEOF_INT128__
__extension__ typedef unsigned __int128 Wide;

constexpr std::uint64_t kTen15 = 1000000000000000ULL;
constexpr std::uint64_t kTen16 = 10000000000000000ULL;

Wide powerOfFive(int p) {
  Wide r = 1;
  for (int i = 0; i < p; ++i) r *= 5;
  return r;
}

// floor(f * 2^e * 10^(15-k)) into *whole and the sign of (fraction - 1/2)
// into *half; false when the numbers do not fit the exact method.
bool scaledDigits(std::uint64_t f, int e, int k, std::uint64_t* whole, int* half) {
  const int p = 15 - k;
  if (p >= 0) {
    if (p > 32) return false;
    const Wide x = static_cast<Wide>(f) * powerOfFive(p);  // < 2^53 * 5^32 < 2^128
    const int s = e + p;                                   // value = x * 2^s
    if (s >= 0) {
      if (s > 60 || (x >> 64) != 0) return false;
      const Wide d = x << s;
      if ((d >> 64) != 0) return false;
      *whole = static_cast<std::uint64_t>(d);
      *half = -1;
      return true;
    }
    const int t = -s;
    if (t >= 127) return false;
    const Wide q = x >> t;
    if ((q >> 64) != 0) return false;
    const Wide rest = x - (q << t);
    const Wide halfUnit = static_cast<Wide>(1) << (t - 1);
    *whole = static_cast<std::uint64_t>(q);
    *half = (rest < halfUnit) ? -1 : (rest == halfUnit ? 0 : 1);
    return true;
  }
  const int q5 = -p;  // value = f * 2^(e - q5) / 5^q5
  if (q5 > 40 || e - q5 < 0 || e - q5 > 74) return false;
  const Wide num = static_cast<Wide>(f) << (e - q5);
  const Wide den = powerOfFive(q5);
  const Wide q = num / den;
  if ((q >> 64) != 0) return false;
  const Wide twiceRest = 2 * (num - q * den);  // < 2 * 5^40 < 2^94
  *whole = static_cast<std::uint64_t>(q);
  *half = (twiceRest < den) ? -1 : (twiceRest == den ? 0 : 1);
  return true;
}

// The exact path; false when the value is outside its range.
bool formatExactly(double value, char* out) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const bool negative = (bits >> 63) != 0;
  const int biased = static_cast<int>((bits >> 52) & 0x7ff);
  if (biased == 0 || biased == 0x7ff) return false;  // zero, subnormal, inf, NaN
  const std::uint64_t f = (bits & ((1ULL << 52) - 1)) | (1ULL << 52);
  const int e = biased - 1075;

  const double magnitude = std::fabs(value);
  if (!(magnitude >= 1e-17 && magnitude < 1e47)) return false;
  // log10 may put k one off near a power of ten; the range test corrects it.
  int k = static_cast<int>(std::floor(std::log10(magnitude)));
  std::uint64_t whole = 0;
  int half = 0;
  for (int attempt = 0;; ++attempt) {
    if (attempt == 3 || !scaledDigits(f, e, k, &whole, &half)) return false;
    if (whole < kTen15) {
      --k;
    } else if (whole >= kTen16) {
      ++k;
    } else {
      break;
    }
  }
  std::uint64_t digits = whole;
  if (half > 0 || (half == 0 && (whole & 1) != 0)) ++digits;
  if (digits == kTen16) {
    digits = kTen15;
    ++k;
  }
  if (k <= -100 || k >= 100) return false;

  char* p = out;
  std::memcpy(p, kPrefix, kPrefixLength);
  p += kPrefixLength;
  if (negative) *p++ = '-';
  char text[16];
  for (int i = 15; i >= 0; --i) {
    text[i] = static_cast<char>('0' + digits % 10);
    digits /= 10;
  }
  *p++ = text[0];
  *p++ = '.';
  std::memcpy(p, text + 1, 15);
  p += 15;
  *p++ = 'e';
  *p++ = (k < 0) ? '-' : '+';
  const int absK = (k < 0) ? -k : k;
  *p++ = static_cast<char>('0' + absK / 10);
  *p++ = static_cast<char>('0' + absK % 10);
  *p++ = '\n';
  *p = '\0';
  return true;
}
#else
bool formatExactly(double, char*) { return false; }
#endif

}  // namespace

int formatProgressLine(double fnorm, char* out) {
  if (formatExactly(fnorm, out)) return static_cast<int>(std::strlen(out));
  return formatGenerally(fnorm, out);
}

}  // namespace nlfit
