#include "cli/TextTable.h"

#include <algorithm>

#include "cli/OperatorText.h"

namespace VevUroro::cli {

TextTable::TextTable(std::vector<std::string> columns) : _columns(std::move(columns)) {}

void TextTable::AddRow(std::vector<std::string> cells) {
  cells.resize(_columns.size());
  for (std::string& cell : cells) _cells.push_back(ControlBytesEscaped(std::move(cell)));
}

std::string TextTable::Text() const {
  std::vector<size_t> widths;
  for (const std::string& column : _columns) widths.push_back(column.size());
  const size_t columns = _columns.size();
  if (columns == 0) return "\n";
  for (size_t i = 0; i < _cells.size(); ++i) widths[i % columns] = std::max(widths[i % columns], _cells[i].size());
  size_t lineWidth = columns * 2 + 1;
  for (size_t width : widths) lineWidth += width;
  std::string text;
  text.reserve(lineWidth * (Rows() + 1));
  auto line = [&](const std::string* cells) {
    for (size_t i = 0; i < columns; ++i) {
      text += cells[i];
      if (i + 1 < columns) text.append(widths[i] - cells[i].size() + 2, ' ');
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    text += '\n';
  };
  line(_columns.data());
  for (size_t row = 0; row < _cells.size(); row += columns) line(&_cells[row]);
  return text;
}

}  // namespace VevUroro::cli
