// xtime and gf_multiply against schoolbook multiplication in GF(2^8), over
// every input they accept.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cipher/aes_internal.h"

namespace {

// Shift-and-add with reduction by the AES polynomial x^8 + x^4 + x^3 + x + 1
// (FIPS-197 4.2), one bit of b at a time.
uint8_t schoolbook_multiply(uint8_t a, uint8_t b) {
  unsigned product = 0, addend = a;
  for (unsigned bits = b; bits != 0; bits >>= 1) {
    if (bits & 1) product ^= addend;
    addend <<= 1;
    if (addend & 0x100) addend ^= 0x11b;
  }
  return static_cast<uint8_t>(product);
}

std::string hex_byte(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02x", value);
  return text;
}

constexpr int kMaxReported = 8;

TEST(AesFieldArithmetic, XtimeMatchesSchoolbookForEveryByte) {
  int failures = 0;
  for (unsigned x = 0; x < 256 && failures < kMaxReported; ++x) {
    const uint8_t got = xtime(static_cast<uint8_t>(x));
    const uint8_t want = schoolbook_multiply(static_cast<uint8_t>(x), 0x02);
    if (got != want) {
      ++failures;
      ADD_FAILURE() << "xtime(" << hex_byte(x) << ") = " << hex_byte(got)
                    << ", want " << hex_byte(want);
    }
  }
}

// Coefficients below 0x20 are gf_multiply's whole domain.
TEST(AesFieldArithmetic, GfMultiplyMatchesSchoolbookForEveryInput) {
  int failures = 0;
  for (unsigned x = 0; x < 256 && failures < kMaxReported; ++x) {
    for (unsigned c = 0; c < 0x20 && failures < kMaxReported; ++c) {
      const uint8_t got =
          gf_multiply(static_cast<uint8_t>(x), static_cast<uint8_t>(c));
      const uint8_t want =
          schoolbook_multiply(static_cast<uint8_t>(x), static_cast<uint8_t>(c));
      if (got != want) {
        ++failures;
        ADD_FAILURE() << "gf_multiply(" << hex_byte(x) << ", " << hex_byte(c)
                      << ") = " << hex_byte(got) << ", want " << hex_byte(want);
      }
    }
  }
}

// The worked examples of FIPS-197 4.2 and 4.2.1, as named sanity rows.
TEST(AesFieldArithmetic, Fips197WorkedExamples) {
  struct Case {
    const char* name;
    uint8_t x, c, want;
  };
  const Case kCases[] = {
      {"xtime(0x80) reduces", 0x80, 0x02, 0x1b},
      {"xtime(0x7f) does not reduce", 0x7f, 0x02, 0xfe},
      {"gf_multiply(0x57, 0x13) uses bit 4", 0x57, 0x13, 0xfe},
      {"gf_multiply(0x57, 0x83)", 0x57, 0x83, 0xc1},
  };
  for (const Case& test : kCases) {
    SCOPED_TRACE(test.name);
    if (test.c < 0x20) {
      EXPECT_EQ(hex_byte(gf_multiply(test.x, test.c)), hex_byte(test.want));
    }
    if (test.c == 0x02) {
      EXPECT_EQ(hex_byte(xtime(test.x)), hex_byte(test.want));
    }
    EXPECT_EQ(hex_byte(schoolbook_multiply(test.x, test.c)),
              hex_byte(test.want))
        << "the reference itself";
  }
}

}  // namespace
