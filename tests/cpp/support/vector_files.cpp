#include "support/vector_files.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "vector files: %s\n", what.c_str());
  std::abort();
}

std::string trim(const std::string& s) {
  const char* kSpace = " \t\r\n";
  const size_t first = s.find_first_not_of(kSpace);
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(kSpace) - first + 1);
}

struct Line {
  int number;
  std::string text;  // trimmed, never empty, never a comment
};

// The meaningful lines of a file; a trailing '\r' (CRLF files) goes with the
// trimming.
std::vector<Line> read_lines(const std::string& file) {
  const std::string path =
      file.find('/') == std::string::npos ? vector_path(file) : file;
  std::ifstream in(path, std::ios::binary);
  if (!in) die("cannot open " + path);
  std::vector<Line> lines;
  std::string text;
  for (int number = 1; std::getline(in, text); ++number) {
    text = trim(text);
    if (text.empty() || text[0] == '#') continue;
    lines.push_back({number, text});
  }
  return lines;
}

bool split_entry(const Line& line, VectorEntry* out) {
  const size_t at = line.text.find_first_of("=:");
  if (at == std::string::npos || at == 0) return false;
  out->name = trim(line.text.substr(0, at));
  out->value = trim(line.text.substr(at + 1));
  out->line = line.number;
  return !out->name.empty();
}

}  // namespace

VectorFile::VectorFile(const std::string& file) : file_(file) {
  for (const Line& line : read_lines(file)) {
    VectorEntry entry;
    if (!split_entry(line, &entry)) {
      die(file + ":" + std::to_string(line.number) +
          ": not a named value: " + line.text);
    }
    entries_.push_back(entry);
  }
  used_.assign(entries_.size(), 0);
}

const VectorEntry& VectorFile::entry(const std::string& name) const {
  size_t found = entries_.size();
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].name != name) continue;
    if (found != entries_.size()) die(file_ + ": more than one " + name);
    found = i;
  }
  if (found == entries_.size()) die(file_ + ": no entry " + name);
  used_[found] = 1;
  return entries_[found];
}

Bytes VectorFile::hex(const std::string& name) const {
  return from_hex(entry(name).value);
}

std::string VectorFile::where(const std::string& name) const {
  return file_ + ":" + std::to_string(entry(name).line);
}

std::vector<std::string> VectorFile::unused() const {
  std::vector<std::string> names;
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (!used_[i]) names.push_back(entries_[i].name);
  }
  return names;
}

std::map<std::string, std::string> split_fields(const std::string& text) {
  std::map<std::string, std::string> fields;
  std::istringstream tokens(text);
  std::string token;
  while (tokens >> token) {
    const size_t at = token.find('=');
    if (at == std::string::npos || at == 0) die("not a field: " + token);
    fields[token.substr(0, at)] = token.substr(at + 1);
  }
  return fields;
}

Bytes RspCase::hex(const std::string& key) const {
  const auto it = fields.find(key);
  if (it == fields.end()) die(name() + ": no field " + key);
  return from_hex(it->second);
}

std::string RspCase::name() const {
  return file + " [" + section + "] COUNT = " + std::to_string(count) +
         " (line " + std::to_string(line) + ")";
}

std::vector<RspCase> read_rsp(const std::string& file) {
  std::vector<RspCase> cases;
  std::string section;
  for (const Line& line : read_lines(file)) {
    const std::string where = file + ":" + std::to_string(line.number);
    if (line.text.front() == '[') {
      if (line.text.back() != ']') die(where + ": bad section " + line.text);
      section = line.text.substr(1, line.text.size() - 2);
      continue;
    }
    VectorEntry entry;
    if (!split_entry(line, &entry) || entry.value.empty()) {
      die(where + ": not a field: " + line.text);
    }
    if (entry.name == "COUNT") {
      RspCase next;
      next.file = file;
      next.section = section;
      next.count = std::atoi(entry.value.c_str());
      next.line = line.number;
      cases.push_back(next);
    } else if (cases.empty() || cases.back().section != section) {
      die(where + ": field outside a case: " + line.text);
    } else if (!cases.back().fields.emplace(entry.name, entry.value).second) {
      die(where + ": field repeated in one case: " + entry.name);
    }
  }
  return cases;
}
