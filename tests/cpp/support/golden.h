#pragma once
// Golden data files under tests/data/: one case a line, fields separated by `|`, blank lines and lines
// starting with `#` left out. pytest reads the same files (tests/python/helpers.py). A table-driven test
// instantiates its cases with ValuesIn(golden::cases("area/file.txt")) and names them by line.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace ovrix::golden {

struct Case {
  std::string where;  // file:line, for failure messages and test names
  std::vector<std::string> fields;

  const std::string& operator[](size_t i) const { return fields.at(i); }
  friend std::ostream& operator<<(std::ostream& out, const Case& c) { return out << c.where; }
};

inline std::string trimmed(const std::string& s) {
  const size_t first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

// The cases of a file; a file that cannot be read gives one case without fields, so that its driver
// fails naming the file instead of running nothing.
inline std::vector<Case> cases(const std::string& name) {
  std::ifstream in(std::string(OVRIX_TEST_DATA_DIR) + "/" + name);
  if (!in) return {Case{name + ": cannot be read", {}}};
  std::vector<Case> out;
  std::string line;
  for (size_t number = 1; std::getline(in, line); ++number) {
    const std::string text = trimmed(line);
    if (text.empty() || text[0] == '#') continue;
    Case c{name + ":" + std::to_string(number), {}};
    for (size_t from = 0, bar;; from = bar + 1) {
      bar = text.find('|', from);
      c.fields.push_back(trimmed(text.substr(from, bar == std::string::npos ? bar : bar - from)));
      if (bar == std::string::npos) break;
    }
    out.push_back(std::move(c));
  }
  if (out.empty()) out.push_back(Case{name + ": holds no case", {}});
  return out;
}

// Numbers separated by blanks, in any base C++ literals use (0x.., 0b.. is not read).
inline std::vector<int64_t> numbers(const std::string& field) {
  std::vector<int64_t> out;
  std::stringstream in(field);
  for (std::string word; in >> word;) out.push_back(std::stoll(word, nullptr, 0));
  return out;
}

template <class T = uint32_t>
std::vector<T> words(const std::string& field) {
  std::vector<T> out;
  for (int64_t v : numbers(field)) out.push_back(static_cast<T>(v));
  return out;
}

inline int64_t number(const std::string& field) {
  const auto v = numbers(field);
  return v.size() == 1 ? v[0] : throw std::invalid_argument("not one number: '" + field + "'");
}

// A message field: \n stands for a line break.
inline std::string text(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 1 < field.size() && field[i + 1] == 'n') {
      out += '\n';
      ++i;
    } else {
      out += field[i];
    }
  }
  return out;
}

// Test names from the line numbers.
inline std::string line_name(const ::testing::TestParamInfo<Case>& info) {
  const size_t colon = info.param.where.rfind(':');
  std::string tail = info.param.where.substr(colon + 1);
  for (char& ch : tail)
    if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return "line" + tail;
}

}  // namespace ovrix::golden
