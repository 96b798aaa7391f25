#pragma once
// Reader of the v1 golden tables (tests/data/v1/*.txt): one case a line, '#' starts a comment line.
// A case is its inputs, then " : " and the expected values, or " ! " and the expected error text.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace ovrix::v1::testing {

struct Case {
  int line = 0;
  std::vector<std::string> in;   // the inputs, split at blanks
  std::vector<std::string> out;  // the expected values, split at blanks
  std::string error;             // the expected error text (the whole rest of the line)
  bool fails() const { return !error.empty(); }
  std::string where() const { return "line " + std::to_string(line) + ": " + join(in); }
  static std::string join(const std::vector<std::string>& v) {
    std::string s;
    for (const auto& t : v) s += (s.empty() ? "" : " ") + t;
    return s;
  }
};

inline std::vector<std::string> split(const std::string& text) {
  std::istringstream is(text);
  std::vector<std::string> out;
  for (std::string t; is >> t;) out.push_back(t);
  return out;
}

inline std::filesystem::path data_dir() { return std::filesystem::path(OVRIX_TEST_DATA_DIR) / "v1"; }

// The cases of a table; a missing or empty table fails the test that reads it.
inline std::vector<Case> read_table(const std::string& name) {
  std::ifstream in(data_dir() / name);
  EXPECT_TRUE(in.good()) << "cannot open " << (data_dir() / name);
  std::vector<Case> cases;
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (line.find_first_not_of(" \t") == std::string::npos || line[line.find_first_not_of(" \t")] == '#') continue;
    Case c;
    c.line = number;
    if (const auto bang = line.find(" ! "); bang != std::string::npos) {
      c.in = split(line.substr(0, bang));
      c.error = line.substr(bang + 3);
    } else if (const auto colon = line.find(" : "); colon != std::string::npos) {
      c.in = split(line.substr(0, colon));
      c.out = split(line.substr(colon + 3));
    } else {
      ADD_FAILURE() << name << " line " << number << " has no expected part";
      continue;
    }
    cases.push_back(std::move(c));
  }
  EXPECT_FALSE(cases.empty()) << name << " holds no case";
  return cases;
}

inline int64_t num(const std::string& text) { return std::stoll(text, nullptr, 0); }
inline uint32_t hex(const std::string& text) { return static_cast<uint32_t>(std::stoul(text, nullptr, 16)); }

// Comma-separated integers.
inline std::vector<int> values(const std::string& text) {
  std::vector<int> out;
  std::stringstream ss(text);
  for (std::string t; std::getline(ss, t, ',');) out.push_back(static_cast<int>(std::stol(t)));
  return out;
}

// Words given as "<size> i=HEX i=HEX ...": every word not listed is 0.
inline std::vector<uint32_t> sparse_words(const std::vector<std::string>& out, size_t from = 0) {
  std::vector<uint32_t> words(static_cast<size_t>(num(out.at(from))), 0);
  for (size_t i = from + 1; i < out.size(); ++i) {
    const auto eq = out[i].find('=');
    words.at(static_cast<size_t>(num(out[i].substr(0, eq)))) = hex(out[i].substr(eq + 1));
  }
  return words;
}

// The words in the form sparse_words reads: the size, then "i=HEX" for every word that is not 0.
inline std::string sparse_text(const std::vector<uint32_t>& words) {
  std::string s = std::to_string(words.size());
  char buf[32];
  for (size_t i = 0; i < words.size(); ++i)
    if (words[i] != 0) {
      std::snprintf(buf, sizeof buf, " %zu=%08X", i, words[i]);
      s += buf;
    }
  return s;
}

}  // namespace ovrix::v1::testing
