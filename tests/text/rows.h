// Case tables kept as data beside the tests: a row a line (an empty line too), fields apart by
// tabs, C escapes (\t \\ \xHH) inside a field, (null) for no text at all, # for a comment line.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

using Field = std::optional<std::string>;
using Row = std::vector<Field>;

inline std::vector<Row> ReadRows(std::string path, const char* name) {
  path.resize(path.find_last_of("/\\") + 1);
  std::ifstream file(path + name);
  std::vector<Row> rows;
  for (std::string line; std::getline(file, line);) {
    if (line.rfind("#", 0) == 0) continue;
    Row row(1, "");
    for (size_t i = 0; i < line.size(); ++i) {
      char c = line[i];
      if (c == '\t') {
        row.emplace_back("");
        continue;
      }
      if (c == '\\' && i + 1 < line.size()) {
        c = line[++i];
        if (c == 't') c = '\t';
        if (c == 'x') c = static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16)), i += 2;
      }
      *row.back() += c;
    }
    for (Field& field : row)
      if (field == "(null)") field.reset();
    rows.push_back(row);
  }
  EXPECT_FALSE(rows.empty()) << path + name;
  return rows;
}

inline const char* Text(const Field& field) {
  return field ? field->c_str() : nullptr;
}
