// A table of text for the operator CLI's replies: a header line of column names, then one line per row; every
// column but the last is padded to its widest cell and columns are separated by two spaces. Control bytes in a cell
// are written as \xNN (OperatorText.h), so that no cell breaks a line or ends the reply. Plain value.
#pragma once

#include <string>
#include <vector>

namespace VevUroro::cli {

class TextTable {
 public:
  explicit TextTable(std::vector<std::string> columns);

  // Missing cells are empty; extra cells are dropped.
  void AddRow(std::vector<std::string> cells);
  size_t Rows() const { return _columns.empty() ? 0 : _cells.size() / _columns.size(); }
  // Every line ends in a newline.
  std::string Text() const;

 private:
  std::vector<std::string> _columns;
  std::vector<std::string> _cells;  // row after row: a table of tens of thousands of rows is one allocation
};

}  // namespace VevUroro::cli
