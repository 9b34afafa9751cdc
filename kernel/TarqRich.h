// TarqRich: the kernel's rich forms of a cell's value. A record set,
// dictionary, set, bag, index or namespace becomes an HTML table (fields and
// records, keys and values, names and values), long tables and long values
// cut with a count of what was left out; numbers become an SVG line or bar
// chart, one series per row of a nested sequence, axes labelled. Texts come
// in as the interpreter holds them (Windows-1252) and go out as UTF-8.
#pragma once
#include <string>
#include <vector>

class KB;

namespace TarqRich {

constexpr int kMaxRows = 100;      // rows shown before "... N more"
constexpr size_t kMaxCell = 80;    // characters of a value shown before the cut

// The HTML table of a value; empty for a value that has none.
std::string Html(KB* value);

// The series of a numeric value: one for a vector of numbers, one per row
// for a sequence of such vectors (nils dropped). False when the value is
// not numeric.
bool Series(KB* value, std::vector<std::vector<double>>& out);

enum class Chart { line, bar };
// An SVG chart of the series.
std::string Svg(const std::vector<std::vector<double>>& series, Chart kind);

// HTML text of Windows-1252 text: escaped, UTF-8.
std::string Escape(const std::string& cp1252);

}  // namespace TarqRich
