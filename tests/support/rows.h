// Case tables kept as data beside the tests: a row a line (an empty line too), fields apart by
// tabs, escapes (\\ \xHH) inside a field, (null) for no text at all, # for a comment line.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

using Field = std::optional<std::string>;
using Row = std::vector<Field>;

inline std::vector<Row> ReadRows(const std::string& source, const char* name) {
  std::ifstream file(source.substr(0, source.find_last_of("/\\") + 1) + name);
  std::vector<Row> rows;
  for (std::string line; std::getline(file, line);) {
    if (line[0] == '#') continue;
    std::istringstream fields(line + "\t");
    Row& row = rows.emplace_back();
    for (std::string field, text; std::getline(fields, field, '\t'); text.clear()) {
      for (size_t i = 0; i < field.size(); ++i)
        if (field[i] == '\\' && field[++i] == 'x')
          text += static_cast<char>(std::stoi(field.substr(i + 1, 2), nullptr, 16)), i += 2;
        else
          text += field[i];
      row.push_back(field == "(null)" ? Field() : text);
    }
  }
  EXPECT_FALSE(rows.empty()) << name;
  return rows;
}

inline const char* Text(const Field& field) {
  return field ? field->c_str() : nullptr;
}
