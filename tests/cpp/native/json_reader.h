// A small JSON reader for the vector files: enough of RFC 8259 to read
// Wycheproof's files as they are. Numbers are kept as doubles.
#ifndef ROOTCHECKER_TESTS_NATIVE_JSON_READER_H
#define ROOTCHECKER_TESTS_NATIVE_JSON_READER_H

#include <map>
#include <memory>
#include <string>
#include <vector>

struct JsonValue {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };

  Kind kind = Kind::kNull;
  bool boolean = false;
  double number = 0;
  std::string string;
  std::vector<JsonValue> array;
  std::map<std::string, JsonValue> object;

  // The member `name` of an object; aborts (naming `name`) if there is none
  // or this is not an object.
  const JsonValue& operator[](const std::string& name) const;
  bool has(const std::string& name) const;
  // Checked accessors: abort when the kind differs.
  const std::string& str() const;
  const std::vector<JsonValue>& items() const;
  int integer() const;
};

// Parses a whole document. On malformed input returns false and sets `error`
// to a message with the byte offset.
bool parse_json(const std::string& text, JsonValue& out, std::string& error);

// Reads and parses a file; aborts the test binary if either fails.
JsonValue read_json_file(const std::string& path);

#endif  // ROOTCHECKER_TESTS_NATIVE_JSON_READER_H
