#include "json_reader.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "json: %s\n", what.c_str());
  std::abort();
}

class Parser {
 public:
  explicit Parser(const std::string& text) : text_(text) {}

  bool document(JsonValue& out) {
    if (!value(out, 0)) return false;
    skip_space();
    if (pos_ != text_.size()) return fail("text after the document");
    return true;
  }

  const std::string& error() const { return error_; }

 private:
  static constexpr int kMaxDepth = 64;

  bool fail(const std::string& what) {
    if (error_.empty()) error_ = what + " at byte " + std::to_string(pos_);
    return false;
  }

  void skip_space() {
    while (pos_ < text_.size() &&
           (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' ||
            text_[pos_] == '\r')) {
      ++pos_;
    }
  }

  bool literal(const char* word) {
    const std::string w(word);
    if (text_.compare(pos_, w.size(), w) != 0) return fail("bad literal");
    pos_ += w.size();
    return true;
  }

  bool value(JsonValue& out, int depth) {
    if (depth > kMaxDepth) return fail("nesting too deep");
    skip_space();
    if (pos_ >= text_.size()) return fail("unexpected end");
    const char c = text_[pos_];
    if (c == '{') return object(out, depth);
    if (c == '[') return array(out, depth);
    if (c == '"') {
      out.kind = JsonValue::Kind::kString;
      return string(out.string);
    }
    if (c == 't' || c == 'f') {
      out.kind = JsonValue::Kind::kBool;
      out.boolean = c == 't';
      return literal(c == 't' ? "true" : "false");
    }
    if (c == 'n') {
      out.kind = JsonValue::Kind::kNull;
      return literal("null");
    }
    return number(out);
  }

  bool object(JsonValue& out, int depth) {
    out.kind = JsonValue::Kind::kObject;
    ++pos_;  // '{'
    skip_space();
    if (pos_ < text_.size() && text_[pos_] == '}') {
      ++pos_;
      return true;
    }
    for (;;) {
      skip_space();
      if (pos_ >= text_.size() || text_[pos_] != '"') {
        return fail("expected a member name");
      }
      std::string name;
      if (!string(name)) return false;
      skip_space();
      if (pos_ >= text_.size() || text_[pos_] != ':')
        return fail("expected ':'");
      ++pos_;
      JsonValue member;
      if (!value(member, depth + 1)) return false;
      if (!out.object.emplace(name, std::move(member)).second) {
        return fail("duplicate member \"" + name + "\"");
      }
      skip_space();
      if (pos_ >= text_.size()) return fail("unexpected end in object");
      if (text_[pos_] == ',') {
        ++pos_;
        continue;
      }
      if (text_[pos_] == '}') {
        ++pos_;
        return true;
      }
      return fail("expected ',' or '}'");
    }
  }

  bool array(JsonValue& out, int depth) {
    out.kind = JsonValue::Kind::kArray;
    ++pos_;  // '['
    skip_space();
    if (pos_ < text_.size() && text_[pos_] == ']') {
      ++pos_;
      return true;
    }
    for (;;) {
      JsonValue item;
      if (!value(item, depth + 1)) return false;
      out.array.push_back(std::move(item));
      skip_space();
      if (pos_ >= text_.size()) return fail("unexpected end in array");
      if (text_[pos_] == ',') {
        ++pos_;
        continue;
      }
      if (text_[pos_] == ']') {
        ++pos_;
        return true;
      }
      return fail("expected ',' or ']'");
    }
  }

  bool hex4(unsigned& code) {
    if (pos_ + 4 > text_.size()) return fail("short \\u escape");
    code = 0;
    for (int i = 0; i < 4; ++i) {
      const char h = text_[pos_++];
      unsigned digit;
      if (h >= '0' && h <= '9') {
        digit = static_cast<unsigned>(h - '0');
      } else if (h >= 'a' && h <= 'f') {
        digit = static_cast<unsigned>(h - 'a' + 10);
      } else if (h >= 'A' && h <= 'F') {
        digit = static_cast<unsigned>(h - 'A' + 10);
      } else {
        return fail("bad \\u escape");
      }
      code = code * 16 + digit;
    }
    return true;
  }

  static void put_utf8(unsigned code, std::string& out) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xc0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3f));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xe0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
      out += static_cast<char>(0x80 | (code & 0x3f));
    } else {
      out += static_cast<char>(0xf0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
      out += static_cast<char>(0x80 | (code & 0x3f));
    }
  }

  bool string(std::string& out) {
    ++pos_;  // '"'
    for (;;) {
      if (pos_ >= text_.size()) return fail("unterminated string");
      const char c = text_[pos_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) {
        return fail("control character in string");
      }
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= text_.size()) return fail("unterminated escape");
      const char e = text_[pos_++];
      switch (e) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          unsigned code = 0;
          if (!hex4(code)) return false;
          // RFC 8259 7: a character outside the BMP is a surrogate pair.
          if (code >= 0xd800 && code < 0xdc00) {
            unsigned low = 0;
            if (text_.compare(pos_, 2, "\\u") != 0)
              return fail("lone surrogate");
            pos_ += 2;
            if (!hex4(low) || low < 0xdc00 || low >= 0xe000) {
              return fail("bad surrogate pair");
            }
            code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
          }
          put_utf8(code, out);
          break;
        }
        default:
          return fail("bad escape");
      }
    }
  }

  bool number(JsonValue& out) {
    const size_t start = pos_;
    if (pos_ < text_.size() && text_[pos_] == '-') ++pos_;
    const auto digits = [&] {
      const size_t from = pos_;
      while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') {
        ++pos_;
      }
      return pos_ > from;
    };
    if (!digits()) return fail("bad value");
    if (pos_ < text_.size() && text_[pos_] == '.') {
      ++pos_;
      if (!digits()) return fail("bad fraction");
    }
    if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
      ++pos_;
      if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) {
        ++pos_;
      }
      if (!digits()) return fail("bad exponent");
    }
    out.kind = JsonValue::Kind::kNumber;
    out.number =
        std::strtod(text_.substr(start, pos_ - start).c_str(), nullptr);
    return true;
  }

  const std::string& text_;
  size_t pos_ = 0;
  std::string error_;
};

}  // namespace

const JsonValue& JsonValue::operator[](const std::string& name) const {
  if (kind != Kind::kObject) die("not an object, looking for \"" + name + "\"");
  const auto it = object.find(name);
  if (it == object.end()) die("no member \"" + name + "\"");
  return it->second;
}

bool JsonValue::has(const std::string& name) const {
  return kind == Kind::kObject && object.count(name) != 0;
}

const std::string& JsonValue::str() const {
  if (kind != Kind::kString) die("not a string");
  return string;
}

const std::vector<JsonValue>& JsonValue::items() const {
  if (kind != Kind::kArray) die("not an array");
  return array;
}

int JsonValue::integer() const {
  if (kind != Kind::kNumber || number != std::floor(number) ||
      std::fabs(number) > 2147483647.0) {
    die("not an integer");
  }
  return static_cast<int>(number);
}

bool parse_json(const std::string& text, JsonValue& out, std::string& error) {
  Parser parser(text);
  out = JsonValue();
  if (parser.document(out)) return true;
  error = parser.error();
  return false;
}

JsonValue read_json_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) die("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  JsonValue out;
  std::string error;
  if (!parse_json(text.str(), out, error)) die(path + ": " + error);
  return out;
}
