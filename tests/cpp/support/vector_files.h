// Readers for the files in tests/vectors, taken as they are: LF or CRLF line
// ends, '#' comments and blank lines skipped. A file that cannot be read or a
// line that fits no form aborts the test with its file and line.
//
// `file` is a name in tests/vectors, or a path if it contains a '/'.
#ifndef ROOTCHECKER_TESTS_SUPPORT_VECTOR_FILES_H
#define ROOTCHECKER_TESTS_SUPPORT_VECTOR_FILES_H

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "support/test_support.h"

// One `name = value` or `name: value` line (split at the first '=' or ':',
// both sides trimmed).
struct VectorEntry {
  std::string name;
  std::string value;
  int line = 0;
};

// A file of named values, such as the FIPS-197 and SP 800-38A examples.
class VectorFile {
 public:
  explicit VectorFile(const std::string& file);

  const std::string& file() const { return file_; }
  const std::vector<VectorEntry>& entries() const { return entries_; }

  // The entry called `name`; aborts if there is none or more than one. Marks
  // the entry as used.
  const VectorEntry& entry(const std::string& name) const;
  // Its value decoded from hex.
  Bytes hex(const std::string& name) const;
  // "file:line" of the entry called `name`, for failure messages.
  std::string where(const std::string& name) const;

  // Names of the entries nobody asked for, so that a test can show it
  // checked every line.
  std::vector<std::string> unused() const;

 private:
  std::string file_;
  std::vector<VectorEntry> entries_;
  // A byte a flag, not std::vector<bool>: its packed words keep spare bits
  // uninitialised, and memcheck one instruction a block (the armv7 guest)
  // reports a test of one bit beside them as a branch on them.
  mutable std::vector<unsigned char> used_;
};

// Splits "k1=v1 k2=v2 ..." into its fields; aborts on a token without '='.
std::map<std::string, std::string> split_fields(const std::string& text);

// One case of a NIST CAVP response file.
struct RspCase {
  std::string file;
  std::string section;  // the bracketed header above it, e.g. "DECRYPT"
  int count = -1;       // its COUNT
  int line = 0;         // line of its COUNT
  std::map<std::string, std::string> fields;  // KEY, IV, PLAINTEXT, ...

  // Field `key` decoded from hex; aborts if the case has no such field.
  Bytes hex(const std::string& key) const;
  // "CBCMMT128.rsp [DECRYPT] COUNT = 3 (line 75)".
  std::string name() const;
};

// Every case of the file, in file order.
std::vector<RspCase> read_rsp(const std::string& file);

#endif  // ROOTCHECKER_TESTS_SUPPORT_VECTOR_FILES_H
