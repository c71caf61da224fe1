#include "cli/TextTable.h"

#include <algorithm>

namespace VevUroro::cli {

TextTable::TextTable(std::vector<std::string> columns) : _columns(std::move(columns)) {}

void TextTable::AddRow(std::vector<std::string> cells) {
  cells.resize(_columns.size());
  _rows.push_back(std::move(cells));
}

std::string TextTable::Text() const {
  std::vector<size_t> widths;
  for (const std::string& column : _columns) widths.push_back(column.size());
  size_t total = 0;
  for (const auto& row : _rows) {
    for (size_t i = 0; i < row.size(); ++i) {
      widths[i] = std::max(widths[i], row[i].size());
      total += row[i].size() + 2;
    }
  }
  std::string text;
  text.reserve(total + (_rows.size() + 1) * (widths.empty() ? 1 : widths.size() * 8));
  auto line = [&](const std::vector<std::string>& cells) {
    for (size_t i = 0; i < cells.size(); ++i) {
      text += cells[i];
      if (i + 1 < cells.size()) text.append(widths[i] - cells[i].size() + 2, ' ');
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    text += '\n';
  };
  line(_columns);
  for (const auto& row : _rows) line(row);
  return text;
}

}  // namespace VevUroro::cli
