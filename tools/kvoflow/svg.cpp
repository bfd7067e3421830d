// SPDX-License-Identifier: BSD-3-Clause
// SVG drawings of a flowsheet run. Plain text assembled by hand: rectangles for non-zeros,
// polylines for histories, a legend beside each plot. Numbers are printed with the C locale's
// formats, which the program never changes, so the files are the same on every platform.
#include "svg.h"

#include <fcntl.h>
#include <sys/stat.h>
#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "flowfile.h"
#include "kvorefhost.h"
#include "paths.h"

namespace kvoflow {

namespace {

// Twelve colours that stay apart on screen and in print.
const char* const kPalette[] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b",
                                "#e377c2", "#17becf", "#bcbd22", "#7f7f7f", "#393b79", "#e7ba52"};
constexpr int kColours = sizeof kPalette / sizeof kPalette[0];
const char* colour(int i) { return kPalette[((i % kColours) + kColours) % kColours]; }

using kvoref::format;

// The length of the well-formed UTF-8 sequence at s[i] (0 if there is none there), and in
// *allowed whether XML allows the character it encodes.
size_t utf8_length(const std::string& s, size_t i, bool* allowed) {
  const unsigned char lead = static_cast<unsigned char>(s[i]);
  const size_t n = lead >= 0xF5 ? 0 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  uint32_t code = lead & (0x7F >> n);
  for (size_t k = 1; k < n; ++k) {
    const unsigned char c = static_cast<unsigned char>(s[i + k]);
    if ((c & 0xC0) != 0x80) return 0;
    code = code << 6 | (c & 0x3F);
  }
  const uint32_t least = n == 2 ? 0x80 : n == 3 ? 0x800 : 0x10000;
  if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  *allowed = code != 0xFFFE && code != 0xFFFF;
  return n;
}

std::string escape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x80) {
          // Control characters are not allowed in XML text.
          out += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
        } else {
          // A byte that starts no UTF-8 character (names may come from a file name in another
          // encoding), or a character XML forbids, stands as U+FFFD.
          bool allowed = false;
          const size_t n = utf8_length(s, i, &allowed);
          if (allowed)
            out.append(s, i, n);
          else
            out += "\xEF\xBF\xBD";
          i += std::max<size_t>(n, 1) - 1;
        }
    }
  }
  return out;
}

// About how many pixels `text` (already escaped) takes set in `size`-pixel sans-serif: a little
// more than common fonts take, so that a canvas sized by it holds the text. An entity is one
// character; East Asian and other characters from U+1000 on are a full em wide.
double text_width(const std::string& text, int size, bool bold = false) {
  double em = 0.0;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '&') {
      i = std::min(text.find(';', i), text.size());
      em += 0.8;
    } else if (c >= 0x80) {
      if ((c & 0xC0) != 0x80) em += c >= 0xE1 ? 1.0 : 0.75;  // a lead byte; the rest add nothing
    } else if (c == 'm' || c == 'w' || c == 'M' || c == 'W') {
      em += 1.0;
    } else if (c == ' ' || c == 'i' || c == 'j' || c == 'l' || c == '.' || c == ',' || c == ':' ||
               c == ';' || c == '\'' || c == '|' || c == '!' || c == '(' || c == ')') {
      em += 0.35;
    } else {
      em += c >= 'A' && c <= 'Z' ? 0.75 : 0.62;
    }
  }
  return em * size * (bold ? 1.1 : 1.0);
}

// An SVG text. The canvas is at least the size asked for and grows to hold everything drawn on
// it, so that a long title or name is never cut off at the edge.
class Svg {
 public:
  Svg(double width, double height) : width_(width), height_(height) {}
  void rect(double x, double y, double w, double h, const char* fill, double opacity = 1.0,
            const char* stroke = nullptr) {
    text_ += format("<rect x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" fill=\"%s\"", x, y,
                    w, h, fill);
    if (opacity < 1.0) text_ += format(" fill-opacity=\"%.2f\"", opacity);
    if (stroke) text_ += format(" stroke=\"%s\" stroke-width=\"1\"", stroke);
    text_ += "/>\n";
    reach(x + w, y + h);
  }
  void line(double x1, double y1, double x2, double y2, const char* stroke, double width = 1.0,
            const char* dashes = nullptr) {
    text_ += format(
        "<line x1=\"%.2f\" y1=\"%.2f\" x2=\"%.2f\" y2=\"%.2f\" stroke=\"%s\" "
        "stroke-width=\"%.1f\"",
        x1, y1, x2, y2, stroke, width);
    if (dashes) text_ += format(" stroke-dasharray=\"%s\"", dashes);
    text_ += "/>\n";
    reach(std::max(x1, x2), std::max(y1, y2));
  }
  // Text at (x, y), turned by `rotate` degrees (0 or a quarter turn) about that point.
  void label(double x, double y, const std::string& s, const char* anchor = "start", int size = 12,
             const char* weight = "normal", double rotate = 0.0) {
    const std::string shown = escape(s);
    text_ += format(
        "<text x=\"%.2f\" y=\"%.2f\" text-anchor=\"%s\" font-size=\"%d\" "
        "font-weight=\"%s\"",
        x, y, anchor, size, weight);
    if (rotate != 0.0) text_ += format(" transform=\"rotate(%.0f %.2f %.2f)\"", rotate, x, y);
    text_ += ">" + shown + "</text>\n";
    // How far the text runs past its anchor, along its own direction.
    const double length = text_width(shown, size, std::strcmp(weight, "bold") == 0);
    const double before = std::strcmp(anchor, "end") == 0      ? length
                          : std::strcmp(anchor, "middle") == 0 ? length / 2
                                                               : 0.0;
    if (rotate == 0.0)
      reach(x - before + length, y + 0.3 * size);
    else if (rotate > 0)  // reads downwards
      reach(x + 0.3 * size, y - before + length);
    else  // reads upwards
      reach(x + 0.3 * size, y + before);
  }
  void polyline(const std::vector<std::pair<double, double>>& pts, const char* stroke, double width,
                const char* dashes, double marker) {
    if (pts.empty()) return;
    text_ += format("<polyline fill=\"none\" stroke=\"%s\" stroke-width=\"%.1f\"", stroke, width);
    if (dashes) text_ += format(" stroke-dasharray=\"%s\"", dashes);
    text_ += " points=\"";
    for (const auto& p : pts) {
      text_ += format("%.2f,%.2f ", p.first, p.second);
      reach(p.first + marker, p.second + marker);
    }
    text_ += "\"/>\n";
    if (marker > 0)
      for (const auto& p : pts)
        text_ += format("<circle cx=\"%.2f\" cy=\"%.2f\" r=\"%.1f\" fill=\"%s\"/>\n", p.first,
                        p.second, marker, stroke);
  }
  std::string done() {
    const double width = std::max(width_, std::ceil(right_ + kMargin));
    const double height = std::max(height_, std::ceil(bottom_ + kMargin));
    return format(
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
               "viewBox=\"0 0 %.0f %.0f\" font-family=\"sans-serif\" font-size=\"12\">\n"
               "<rect x=\"0\" y=\"0\" width=\"%.0f\" height=\"%.0f\" fill=\"white\"/>\n",
               width, height, width, height, width, height) +
           text_ + "</svg>\n";
  }

 private:
  static constexpr double kMargin = 10.0;
  void reach(double x, double y) {
    if (std::isfinite(x)) right_ = std::max(right_, x);
    if (std::isfinite(y)) bottom_ = std::max(bottom_, y);
  }
  double width_, height_;
  double right_ = 0.0, bottom_ = 0.0;
  std::string text_;
};

// Where a matrix's rows and columns go on a drawing. Up to kWhole rows or columns, each position
// has a square cell of its own, 2 to 16 pixels so that the matrix fills about `room` pixels.
// Beyond, positions are pooled: `per` neighbours share one 2-pixel cell, kPooled cells along
// the longer side, so that a flowsheet of 100,000 variables is still a picture of about a
// thousand pixels (and a file of a few megabytes) that a browser opens.
constexpr int kWhole = 1024;
constexpr int kPooled = 512;

struct Grid {
  double cell = 2.0;
  int per = 1;
  Grid(int rows, int cols, double room) {
    const int n = std::max(1, std::max(rows, cols));
    if (n <= kWhole) {
      cell = std::clamp(std::floor(room / n), 2.0, 16.0);
    } else {
      per = (n + kPooled - 1) / kPooled;
    }
  }
  int bin(int i) const { return (i - 1) / per; }
  // Offset of position i's cell, and the length of positions first..last.
  double at(int i) const { return cell * bin(i); }
  double span(int first, int last) const {
    return per == 1 ? cell * (last - first + 1) : cell * (bin(last) - bin(first) + 1);
  }
};

// Blocks (or column groups) named one by one in a legend; beyond, the rest are counted in one
// line.
constexpr size_t kLegendBlocks = 40;

// Tick spacing of 1, 2, 5, 10, 20, 50 ...: the smallest that leaves at most eight steps.
int tick_step(int n) {
  for (long long decade = 1;; decade *= 10)
    for (const int m : {1, 2, 5})
      if (n / (decade * m) <= 8) return static_cast<int>(decade * m);
}

// Axes, ticks and a frame around a matrix drawn from (x0, y0) on grid g.
void matrix_frame(Svg& svg, double x0, double y0, const Grid& g, int rows, int cols) {
  svg.rect(x0, y0, g.span(1, cols), g.span(1, rows), "none", 1.0, "#444444");
  // Ticks at the first row and column and then at whole multiples of the step.
  const int rs = tick_step(rows), cs = tick_step(cols);
  for (int r = 1; r <= rows; r = (r == 1 && rs > 1) ? rs : r + rs) {
    const double y = y0 + g.at(r) + g.cell / 2;
    svg.line(x0 - 4, y, x0, y, "#444444");
    svg.label(x0 - 6, y + 4, std::to_string(r), "end", 10);
  }
  for (int v = 1; v <= cols; v = (v == 1 && cs > 1) ? cs : v + cs) {
    const double x = x0 + g.at(v) + g.cell / 2;
    svg.line(x, y0 - 4, x, y0, "#444444");
    svg.label(x, y0 - 7, std::to_string(v), "middle", 10);
  }
}

// The titles of a matrix's axes, each centred on its side, or beside it when the side is
// shorter than the title (a block of a few variables, an empty one).
void axis_titles(Svg& svg, double x0, double y0, double w, double h, const std::string& columns,
                 const std::string& rows) {
  svg.label(x0 + std::max(w, text_width(columns, 12)) / 2, 44, columns, "middle", 12);
  svg.label(22, y0 + std::max(h, text_width(rows, 12)) / 2, rows, "middle", 12, "normal", -90);
}

// A block's rows and columns for a legend; a block without equations or variables says so
// rather than showing a range that ends before it starts.
std::string extent(const SpySlice& s) {
  return (s.last_row >= s.first_row ? format("rows %d-%d", s.first_row, s.last_row)
                                    : std::string("no rows")) +
         (s.last_col >= s.first_col ? format(", columns %d-%d", s.first_col, s.last_col)
                                    : std::string(", no columns"));
}

}  // namespace

std::string spy_svg(const SpyPlot& p) {
  const Grid g(p.rows, p.cols, 640.0);
  const double x0 = 70, y0 = 70;
  const double w = g.span(1, p.cols), h = g.span(1, p.rows);
  const size_t listed = std::min(p.blocks.size(), kLegendBlocks);
  const size_t legend_lines = listed + (p.blocks.size() > listed ? 1 : 0);
  const double legend_x = x0 + w + 40;
  const double width = legend_x + (g.per > 1 ? 340 : 280);  // room for counts in the thousands
  const double height = std::max(y0 + h + 60, y0 + 30.0 + 20.0 * (legend_lines + 3));
  Svg svg(width, height);
  svg.label(x0, 24, p.title, "start", 16, "bold");
  axis_titles(svg, x0, y0, w, h, "variables (columns)", "equations (rows)");

  std::vector<int> owner(p.rows + 1, -1);
  // Pooled cells: a block square, band or non-zero that falls on cells already drawn is not
  // drawn again.
  std::set<std::vector<int>> squares;
  for (size_t b = 0; b < p.blocks.size(); ++b) {
    const SpySlice& s = p.blocks[b];
    for (int r = std::max(1, s.first_row); r <= std::min(p.rows, s.last_row); ++r)
      owner[r] = static_cast<int>(b);
    // The block's own square: its equations against its variables, lightly tinted.
    if (s.last_row >= s.first_row && s.last_col >= s.first_col &&
        (g.per == 1 ||
         squares
             .insert({g.bin(s.first_row), g.bin(s.last_row), g.bin(s.first_col), g.bin(s.last_col)})
             .second))
      svg.rect(x0 + g.at(s.first_col), y0 + g.at(s.first_row), g.span(s.first_col, s.last_col),
               g.span(s.first_row, s.last_row), colour(static_cast<int>(b)), 0.12,
               colour(static_cast<int>(b)));
  }
  const std::set<int> conn(p.connection_rows.begin(), p.connection_rows.end());
  const std::set<int> fixed(p.fixed_cols.begin(), p.fixed_cols.end());
  // Connection equations: a grey band across the whole row.
  std::set<int> bands;
  for (int r : conn)
    if (r >= 1 && r <= p.rows && bands.insert(g.bin(r)).second)
      svg.rect(x0, y0 + g.at(r), w, g.cell, "#000000", 0.06);
  bands.clear();
  for (int v : fixed)
    if (v >= 1 && v <= p.cols && bands.insert(g.bin(v)).second)
      svg.rect(x0 + g.at(v), y0, g.cell, h, "#999999", 0.15);
  std::set<std::pair<int, int>> drawn;
  for (const Cell& cell : p.cells) {
    const int r = cell.first, v = cell.second;
    if (r < 1 || r > p.rows || v < 1 || v > p.cols) continue;
    if (g.per > 1 && !drawn.insert({g.bin(r), g.bin(v)}).second) continue;
    const char* fill = conn.count(r) ? "#000000" : owner[r] >= 0 ? colour(owner[r]) : "#555555";
    const double inset = g.cell >= 6 ? 1.0 : 0.0;
    svg.rect(x0 + g.at(v) + inset, y0 + g.at(r) + inset, g.cell - 2 * inset, g.cell - 2 * inset,
             fill);
  }
  // A black bar beside each run of connection equations (of pooled rows when pooled).
  for (auto it = conn.begin(); it != conn.end();) {
    const int first = *it;
    int last = first;
    while (++it != conn.end() && (*it == last + 1 || g.bin(*it) <= g.bin(last) + 1)) last = *it;
    if (first < 1 || last > p.rows) continue;
    svg.rect(x0 + w + 3, y0 + g.at(first), 4, g.span(first, last), "#000000");
    svg.label(x0 + w + 20, y0 + g.at(first) + g.span(first, last) / 2, "connections", "middle", 11,
              "normal", 90);
  }
  matrix_frame(svg, x0, y0, g, p.rows, p.cols);

  double y = y0 + 10;
  svg.label(legend_x, y, "Blocks", "start", 13, "bold");
  for (size_t b = 0; b < listed; ++b) {
    y += 20;
    const SpySlice& s = p.blocks[b];
    svg.rect(legend_x, y - 11, 14, 14, colour(static_cast<int>(b)));
    svg.label(legend_x + 20, y, s.id + ": " + extent(s));
  }
  if (p.blocks.size() > listed) {
    y += 20;
    svg.label(legend_x + 20, y, format("and %zu more blocks", p.blocks.size() - listed));
  }
  y += 20;
  svg.rect(legend_x, y - 11, 14, 14, "#000000");
  svg.label(legend_x + 20, y, format("connection equations: %zu", conn.size()));
  if (!fixed.empty()) {
    y += 20;
    svg.rect(legend_x, y - 11, 14, 14, "#999999", 0.3);
    svg.label(legend_x + 20, y, format("fixed variables: %zu", fixed.size()));
  }
  y += 20;
  svg.label(legend_x, y,
            format("%d equations, %d variables, %zu non-zeros", p.rows, p.cols, p.cells.size()),
            "start", 11);
  if (g.per > 1) {
    y += 16;
    svg.label(legend_x, y, format("each cell pools %d x %d positions", g.per, g.per), "start", 11);
  }
  return svg.done();
}

std::string groups_svg(const GroupPlot& p) {
  const Grid g(p.rows, p.cols, 480.0);
  const double x0 = 70, y0 = 70;
  const double w = g.span(1, p.cols), h = g.span(1, p.rows);
  int ngroups = 0;
  for (int k : p.group_of_col) ngroups = std::max(ngroups, k);
  const double legend_x = x0 + w + 40;
  const double width = legend_x + 380;
  const double height =
      std::max(y0 + h + 60,
               y0 + 40.0 + 20.0 * (std::min(ngroups, static_cast<int>(kLegendBlocks) + 1) + 2));
  Svg svg(width, height);
  svg.label(x0, 24, p.title, "start", 16, "bold");
  axis_titles(svg, x0, y0, w, h, "block variables (columns)", "block equations (rows)");
  auto group = [&](int v) {
    return v >= 1 && v <= static_cast<int>(p.group_of_col.size()) ? p.group_of_col[v - 1] : 0;
  };
  // Each column's background carries its group's colour, so a group reads as one stripe set.
  // Pooled columns mix groups: there the non-zeros alone carry colours, the first drawn in a
  // cell.
  if (g.per == 1)
    for (int v = 1; v <= p.cols; ++v)
      if (group(v) > 0) svg.rect(x0 + g.at(v), y0, g.cell, h, colour(group(v) - 1), 0.12);
  std::set<std::pair<int, int>> drawn;
  for (const Cell& cell : p.cells) {
    const int r = cell.first, v = cell.second;
    if (r < 1 || r > p.rows || v < 1 || v > p.cols) continue;
    if (g.per > 1 && !drawn.insert({g.bin(r), g.bin(v)}).second) continue;
    const double inset = g.cell >= 6 ? 1.0 : 0.0;
    svg.rect(x0 + g.at(v) + inset, y0 + g.at(r) + inset, g.cell - 2 * inset, g.cell - 2 * inset,
             group(v) > 0 ? colour(group(v) - 1) : "#555555");
  }
  matrix_frame(svg, x0, y0, g, p.rows, p.cols);
  double y = y0 + 10;
  svg.label(legend_x, y, format("%d column groups", ngroups), "start", 13, "bold");
  y += 16;
  svg.label(legend_x, y, "(columns of one group share no row: one", "start", 11);
  y += 14;
  svg.label(legend_x, y, "residual evaluation differences them all)", "start", 11);
  // Each group's size and first members, in one pass over the columns.
  const int listed = std::min(ngroups, static_cast<int>(kLegendBlocks));
  std::vector<int> size(static_cast<size_t>(ngroups) + 1, 0);
  std::vector<std::string> members(static_cast<size_t>(listed) + 1);
  std::vector<bool> cut(static_cast<size_t>(listed) + 1, false);  // ", ..." follows the names
  for (int v = 1; v <= p.cols; ++v) {
    const int k = group(v);
    if (k <= 0) continue;
    ++size[k];
    if (k > listed) continue;
    std::string& m = members[k];
    if (m.size() < 32) {
      const std::string name =
          v <= static_cast<int>(p.col_names.size()) && !p.col_names[v - 1].empty()
              ? p.col_names[v - 1]
              : std::to_string(v);
      m += (m.empty() ? "" : ", ") + name;
    } else if (!cut[k]) {
      m += ", ...";
      cut[k] = true;
    }
  }
  for (int k = 1; k <= listed; ++k) {
    y += 20;
    svg.rect(legend_x, y - 11, 14, 14, colour(k - 1));
    svg.label(legend_x + 20, y, format("group %d (%d): %s", k, size[k], members[k].c_str()),
              "start", 11);
  }
  if (ngroups > listed) {
    y += 20;
    svg.label(legend_x + 20, y, format("and %d more groups", ngroups - listed), "start", 11);
  }
  y += 20;
  svg.label(legend_x, y,
            format("%d equations, %d variables, %zu non-zeros", p.rows, p.cols, p.cells.size()),
            "start", 11);
  if (g.per > 1) {
    y += 16;
    svg.label(legend_x, y, format("each cell pools %d x %d positions", g.per, g.per), "start", 11);
  }
  return svg.done();
}

std::string history_svg(const HistoryPlot& p) {
  const double x0 = 80, y0 = 50, w = 560, h = 340;
  size_t steps = 1;
  double lo = INFINITY, hi = 0.0;
  for (const Series& s : p.series) {
    steps = std::max(steps, s.values.size());
    for (double v : s.values)
      if (std::isfinite(v) && v > 0) {
        lo = std::min(lo, v);
        hi = std::max(hi, v);
      }
  }
  if (p.tolerance > 0) {
    lo = std::min(lo, p.tolerance);
    hi = std::max(hi, p.tolerance);
  }
  if (!(hi > 0)) {
    lo = 1e-12;
    hi = 1.0;
  }
  if (!std::isfinite(lo)) lo = hi / 10;
  // Whole decades on a logarithmic axis; a zero residual sits on the bottom line, one that is not
  // a number or infinite on the top line (drawn at the bottom, the step a solve failed on would
  // look like convergence).
  int dlo = static_cast<int>(std::floor(std::log10(lo)));
  int dhi = static_cast<int>(std::ceil(std::log10(hi)));
  if (dhi <= dlo) dhi = dlo + 1;
  const int last_step = static_cast<int>(steps) - 1;
  auto X = [&](double step) { return x0 + w * (last_step > 0 ? step / last_step : 0.0); };
  auto Y = [&](double v) {
    const double d = std::isnan(v) || std::isinf(v) ? dhi : v > 0 ? std::log10(v) : dlo;
    return y0 + h * (dhi - std::clamp(d, 1.0 * dlo, 1.0 * dhi)) / (dhi - dlo);
  };
  const double legend_x = x0 + w + 30;
  Svg svg(legend_x + 220, y0 + h + 70);
  svg.label(x0, 28, p.title, "start", 16, "bold");
  const int dstep = std::max(1, (dhi - dlo + 7) / 8);
  for (int d = dlo; d <= dhi; d += dstep) {
    svg.line(x0, Y(std::pow(10.0, d)), x0 + w, Y(std::pow(10.0, d)), "#dddddd");
    svg.label(x0 - 6, Y(std::pow(10.0, d)) + 4, format("1e%d", d), "end", 10);
  }
  const int ss = tick_step(std::max(1, last_step));
  for (int s = 0; s <= last_step; s += ss) {
    svg.line(X(s), y0 + h, X(s), y0 + h + 4, "#444444");
    svg.label(X(s), y0 + h + 16, std::to_string(s), "middle", 10);
  }
  svg.rect(x0, y0, w, h, "none", 1.0, "#444444");
  svg.label(x0 + w / 2, y0 + h + 36, "Newton step", "middle", 12);
  svg.label(24, y0 + h / 2, p.y_label, "middle", 12, "normal", -90);
  if (p.tolerance > 0) {
    svg.line(x0, Y(p.tolerance), x0 + w, Y(p.tolerance), "#555555", 1.0, "6 4");
    svg.label(x0 + 6, Y(p.tolerance) - 4, "tolerance " + tolerance_text(p.tolerance), "start", 10);
  }
  // Methods often share their first steps: each series is drawn thinner and with its own dashes
  // on top of the one before, so lines that coincide still show every colour.
  const char* const dashes[] = {nullptr, "10 4", "3 3", "10 3 2 3"};
  double y = y0 + 10;
  for (size_t i = 0; i < p.series.size(); ++i) {
    std::vector<std::pair<double, double>> pts;
    for (size_t k = 0; k < p.series[i].values.size(); ++k)
      pts.emplace_back(X(static_cast<double>(k)), Y(p.series[i].values[k]));
    const double width = std::max(1.5, 5.0 - 1.2 * static_cast<double>(i % 4));
    const char* dash = dashes[i % 4];
    svg.polyline(pts, colour(static_cast<int>(i)), width, dash, pts.size() <= 60 ? width : 0.0);
    svg.line(legend_x, y - 4, legend_x + 24, y - 4, colour(static_cast<int>(i)), width, dash);
    svg.label(legend_x + 30, y,
              format("%s (%zu steps)", p.series[i].label.c_str(),
                     p.series[i].values.empty() ? 0 : p.series[i].values.size() - 1));
    y += 20;
  }
  return svg.done();
}

namespace {

// Creates `name` for writing where nothing is, so that nothing planted there (a link to another
// file, a folder) is written through or removed. A regular file there is a temporary that an
// earlier run left behind, or a hard link, which is only a name: that name is removed first.
// The new file gets the permissions of `replaces` when that is a file, so that a result its
// owner made private stays private (where the file system keeps permissions at all). Answers
// the open file or null.
std::FILE* create_new(const std::filesystem::path& name, const std::filesystem::path& replaces) {
  std::error_code ec;
  if (std::filesystem::is_regular_file(std::filesystem::symlink_status(name, ec)))
    std::filesystem::remove(name, ec);
#if defined(_WIN32)
  const int fd = _wopen(name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                        _S_IREAD | _S_IWRITE);
#else
  const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
#endif
  if (fd < 0) return nullptr;
#if !defined(_WIN32)
  struct stat old;
  if (::stat(replaces.c_str(), &old) == 0 && S_ISREG(old.st_mode))
    (void)::fchmod(fd, old.st_mode & 07777);
#else
  (void)replaces;
#endif
  std::FILE* file = fdopen(fd, "wb");
  if (!file) ::close(fd);
  return file;
}

// Whether `path` names one of the process's open files (/dev/stdout, /dev/fd/3,
// /proc/self/fd/1) rather than a file of its own. Other names under /dev and /proc are what
// they are: a device is written as a device, a file (on /dev/shm, say) is replaced like any.
bool names_open_file(const std::string& path) {
  const std::string p = std::filesystem::path(path).lexically_normal().generic_string();
  if (p == "/dev/stdin" || p == "/dev/stdout" || p == "/dev/stderr" || p.rfind("/dev/fd/", 0) == 0)
    return true;
  const size_t slash = p.rfind("/proc/", 0) == 0 ? p.find('/', 6) : std::string::npos;
  return slash != std::string::npos && p.compare(slash, 4, "/fd/") == 0;
}

// Why a file could not be made or written, in words of this program's own (the C library's
// texts differ between platforms and locales); empty when the cause is none of these.
std::string cause(int error, const std::filesystem::path& temporary) {
  switch (error) {
    case EEXIST:
      return ": " + name_of(temporary) + " is in the way (a folder or link); remove it";
    case ENOENT: {
      // Windows answers so also where a part of the path is a file.
      for (std::filesystem::path p = temporary.parent_path(); !p.empty() && p != p.parent_path();
           p = p.parent_path()) {
        const std::filesystem::file_status st = status_of(p);
        if (std::filesystem::exists(st))
          return std::filesystem::is_directory(st)
                     ? ": there is no folder " + name_of(temporary.parent_path())
                     : ": a part of its path is not a folder";
      }
      return ": there is no folder " + name_of(temporary.parent_path());
    }
    case ENOTDIR:
      return ": a part of its path is not a folder";
    case EACCES:
    case EPERM:
      return ": no permission to write there";
    case EROFS:
      return ": the file system is read-only";
    case ENOSPC:
      return ": the disk is full";
    default:
      return "";
  }
}

}  // namespace

bool write_file(const std::string& path, const std::string& text, std::string* why) {
  namespace fs = std::filesystem;
  std::error_code ec;
  // The process's own streams (/dev/stdout, /proc/self/fd/1) are written where they are,
  // appended: followed to a file that the shell redirected to, a replacement would take the
  // place of the file the shell still writes to, and truncating it would lose what was written
  // there before.
  bool special = names_open_file(path);
  // A link is followed, also when it names a file not made yet, so that the file it names is
  // replaced and the link stays a link. A link to one of the process's streams is that stream.
  fs::path target = path_of(path);
  for (int hops = 0; !special && hops < 40 && fs::is_symlink(fs::symlink_status(target, ec));
       ++hops) {
    const fs::path to = fs::read_symlink(target, ec);
    if (ec) break;
    target = to.is_absolute() ? to : target.parent_path() / to;
    special = names_open_file(name_of(target));
  }
  // Windows takes some names for devices in any folder (NUL, CON, "aux.json" on most
  // versions). The device named by itself ("NUL", "CON") is written to as a device is
  // elsewhere; no temporary can be made beside it, it would name the device too. Any other
  // such name is a file name Windows cannot give a file, and nothing is sent to the device.
  const std::string device = device_of(target);
  if (!device.empty()) {
    std::string bare = path;
    if (!bare.empty() && bare.back() == ':') bare.pop_back();
    const auto upper = [](std::string s) {
      for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      return s;
    };
    if (upper(bare) != upper(device)) {
      if (why)
        *why = "cannot write " + path + ": Windows takes the name for the device " + device +
               "; choose another name";
      return false;
    }
    special = true;
  }
  // A long path is reached through its long form, so that the temporary's longer name can be
  // made too.
  target = long_form(target);
  // A device or pipe cannot be replaced either: it is written to as it is.
  const fs::file_status status = status_of(target);
  if (fs::is_directory(status)) {
    if (why) *why = "cannot write " + path + ": it is a folder";
    return false;
  }
  if (special || (fs::exists(status) && !fs::is_regular_file(status))) {
    std::ofstream out(target, std::ios::binary | std::ios::app);
    if (out) out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.flush();
    if (!out) {
      if (why)
        *why = "cannot write " + path +
               (device.empty() ? "" : ": Windows takes the name for the device " + device);
      return false;
    }
    return true;
  }
#if defined(_WIN32)
  // A file its owner marked read-only is kept, as the system keeps it from being replaced;
  // Linux has no such mark, only the folder's permission.
  if (fs::is_regular_file(status) &&
      (status.permissions() & fs::perms::owner_write) == fs::perms::none) {
    if (why) *why = "cannot write " + path + ": the file is read-only";
    return false;
  }
#endif
  fs::path temporary = target;
  temporary += ".kvotmp";
  errno = 0;
  std::FILE* out = create_new(temporary, target);
  if (!out) {
    if (why) *why = "cannot write " + path + cause(errno, temporary);
    return false;
  }
  bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
  written = std::fflush(out) == 0 && written;
  int error = errno;
  // On the medium before the rename, so that a crash leaves the old file or the whole new one.
#if defined(_WIN32)
  written = _commit(_fileno(out)) == 0 && written;
#else
  // A file system that cannot force files out says so; that is no failure of this write.
  if (::fsync(fileno(out)) != 0 && errno != EINVAL && errno != ENOTSUP) {
    written = false;
    error = errno;
  }
#endif
  written = std::fclose(out) == 0 && written;
  if (!written) {
    std::filesystem::remove(temporary, ec);
    if (why) *why = "cannot write " + path + (error == ENOSPC ? cause(error, temporary) : "");
    return false;
  }
  std::filesystem::rename(temporary, target, ec);
  if (ec) {
    std::filesystem::remove(temporary, ec);
#if defined(_WIN32)
    // Windows does not replace a file another program holds open (an editor, a viewer).
    const bool held = fs::exists(status_of(target));
#else
    const bool held = false;
#endif
    if (why) *why = "cannot replace " + path + (held ? ": another program has it open" : "");
    return false;
  }
  return true;
}

}  // namespace kvoflow
