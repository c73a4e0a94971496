// The readers behind the known-answer tests: NIST's own archives may carry
// CRLF line ends, and a CRLF copy must read exactly as the file itself.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "support/vector_files.h"

namespace {

// Writes a copy of tests/vectors/<name> with every LF turned into CRLF.
std::string crlf_copy(const std::string& name) {
  std::ifstream in(vector_path(name), std::ios::binary);
  const std::string path = testing::TempDir() + "/crlf_" + name;
  std::ofstream out(path, std::ios::binary);
  for (char c; in.get(c);) {
    if (c == '\n') out.put('\r');
    out.put(c);
  }
  return path;
}

TEST(VectorReaders, CrlfCopiesReadLikeTheFiles) {
  for (const char* name : {"CBCMMT128.rsp", "CBCGFSbox128.rsp"}) {
    SCOPED_TRACE(name);
    const std::vector<RspCase> lf = read_rsp(name);
    const std::vector<RspCase> crlf = read_rsp(crlf_copy(name));
    ASSERT_FALSE(lf.empty());
    ASSERT_EQ(crlf.size(), lf.size());
    for (size_t i = 0; i < lf.size(); ++i) {
      EXPECT_EQ(crlf[i].section, lf[i].section) << lf[i].name();
      EXPECT_EQ(crlf[i].count, lf[i].count) << lf[i].name();
      EXPECT_EQ(crlf[i].fields, lf[i].fields) << lf[i].name();
    }
  }
  for (const char* name :
       {"fips197_a1_key_expansion.txt", "fips197_c1_inverse_cipher.txt",
        "sp800_38a_f22.txt"}) {
    SCOPED_TRACE(name);
    const VectorFile lf(name), crlf(crlf_copy(name));
    ASSERT_FALSE(lf.entries().empty());
    ASSERT_EQ(crlf.entries().size(), lf.entries().size());
    for (size_t i = 0; i < lf.entries().size(); ++i) {
      EXPECT_EQ(crlf.entries()[i].name, lf.entries()[i].name);
      EXPECT_EQ(crlf.entries()[i].value, lf.entries()[i].value)
          << lf.entries()[i].name;
    }
  }
}

// A case's fields, its section and its place in the file come through.
TEST(VectorReaders, RspCaseCarriesSectionCountAndLine) {
  const std::vector<RspCase> cases = read_rsp("CBCMMT128.rsp");
  ASSERT_FALSE(cases.empty());
  const RspCase& first = cases.front();
  EXPECT_EQ(first.section, "ENCRYPT");
  EXPECT_EQ(first.count, 0);
  EXPECT_GT(first.line, 0);
  for (const char* field : {"KEY", "IV", "PLAINTEXT", "CIPHERTEXT"}) {
    EXPECT_EQ(first.fields.count(field), 1u) << field;
  }
  EXPECT_EQ(cases.back().section, "DECRYPT");
}

}  // namespace
