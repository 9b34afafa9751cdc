// TarqRich: HTML tables and SVG charts of values (see TarqRich.h).
#include "TarqRich.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "KArg.h"
#include "KB.h"
#include "KDict.h"
#include "KNS.h"
#include "KNum.h"
#include "KPlatform.h"
#include "KRS.h"
#include "KSeq.h"
#include "KString.h"

namespace TarqRich {

std::string Escape(const std::string& cp1252) {
  std::string out;
  for (char c : KPlat::Cp1252ToUtf8(cp1252)) {
    switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      case '"': out += "&quot;"; break;
      case '\r': break;
      case '\n': out += "<br>"; break;
      default: out += c;
    }
  }
  return out;
}

namespace {

// One value as a table cell: its text form, cut with a count of the rest.
std::string Cell(KB* v) {
  std::string text;
  if (!v) return "<td></td>";
  try {
    text = v->typen() == KT::tString ? KB::TextOf(v) : v->AsString(false);
  } catch (...) {
    text = "?";
  }
  std::string shown = Escape(text.size() > kMaxCell ? text.substr(0, kMaxCell) : text);
  if (text.size() > kMaxCell) shown += "&hellip; <i>(" + std::to_string(text.size() - kMaxCell) + " more characters)</i>";
  return "<td style=\"text-align:left\">" + shown + "</td>";
}

std::string Header(const std::vector<std::string>& names) {
  std::string out = "<table>\n<thead><tr>";
  for (const std::string& n : names) out += "<th style=\"text-align:left\">" + Escape(n) + "</th>";
  return out + "</tr></thead>\n<tbody>\n";
}

std::string Footer(int shown, int total, int columns) {
  std::string out;
  if (total > shown)
    out += "<tr><td colspan=\"" + std::to_string(columns) + "\"><i>&hellip; " + std::to_string(total - shown) +
           " more</i></td></tr>\n";
  return out + "</tbody>\n</table>";
}

std::string NamespaceTable(KNS* ns) {
  const int n = ns->Count(), shown = std::min(n, kMaxRows);
  std::string out = Header({"Name", "Value"});
  for (int i = 0; i < shown; ++i) {
    KString* key = ns->KeyPtr(i);
    out += "<tr><td style=\"text-align:left\"><b>" + Escape(key ? KB::TextOf(key) : std::string()) + "</b></td>" +
           Cell(ns->ValPtr(i)) + "</tr>\n";
  }
  return out + Footer(shown, n, 2);
}

std::string RecordTable(KRS* rs) {
  KFList* fields = rs->FldsPtr();
  KSeq* recs = rs->RecsPtr();
  std::vector<std::string> names;
  for (int f = 0; f < fields->Count(); ++f) names.push_back(KB::TextOf((*fields)[f]));
  const int n = recs->Count(), shown = std::min(n, kMaxRows);
  std::string out = Header(names);
  for (int r = 0; r < shown; ++r) {
    KB* rec = (*recs)[r];
    out += "<tr>";
    for (int f = 0; f < fields->Count(); ++f)
      out += Cell(KSeq::IsSeq(rec) ? (*static_cast<KSeq*>(rec))[f] : (f == 0 ? rec : nullptr));
    out += "</tr>\n";
  }
  return out + Footer(shown, n, static_cast<int>(names.size()));
}

std::string DictTable(KDict* d) {
  KA keys;
  keys.Owns(d->Keys());
  if (!KSeq::IsSeq(keys.value)) return std::string();
  KSeq* ks = static_cast<KSeq*>(keys.value);
  const int n = ks->Count(), shown = std::min(n, kMaxRows);
  const bool set = d->typen() == KT::tSet;
  KA values;
  if (!set) values.Owns(d->IndexedBy(keys.value));
  KSeq* vs = !set && KSeq::IsSeq(values.value) ? static_cast<KSeq*>(values.value) : nullptr;
  std::string out = Header(set ? std::vector<std::string>{"Key"} : std::vector<std::string>{"Key", "Value"});
  for (int i = 0; i < shown; ++i) {
    out += "<tr>" + Cell((*ks)[i]);
    if (!set) out += Cell(vs ? (*vs)[i] : nullptr);
    out += "</tr>\n";
  }
  return out + Footer(shown, n, set ? 1 : 2);
}

// The numbers of a numeric vector, nils dropped; false for anything else.
bool Numbers(KB* v, std::vector<double>& out) {
  if (!v || v->typen() != KT::tNum) return false;
  auto* num = static_cast<KNum*>(v);
  for (int i = 0; i < num->Count(); ++i) {
    if (num->alignmentn() == KT::aFloat) {
      double d = num->FltPtr()[i];
      if (d != KT::fNil && std::isfinite(d)) out.push_back(d);
    } else if (num->alignmentn() == KT::aInt) {
      int32_t k = num->IntPtr()[i];
      if (k != KT::iNil) out.push_back(k);
    } else {
      return false;
    }
  }
  return true;
}

std::string Num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.4g", v);
  return buf;
}

std::string Fixed(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

}  // namespace

std::string Html(KB* v) {
  if (!v) return std::string();
  try {
    switch (v->typen()) {
      case KT::tNS: return NamespaceTable(static_cast<KNS*>(v));
      case KT::tRS: return RecordTable(static_cast<KRS*>(v));
      default: break;
    }
    if (KDict::IsDictType(v->typen())) return DictTable(static_cast<KDict*>(v));
  } catch (...) {
  }
  return std::string();
}

bool Series(KB* v, std::vector<std::vector<double>>& out) {
  out.clear();
  std::vector<double> one;
  if (Numbers(v, one)) {
    if (one.empty()) return false;
    out.push_back(one);
    return true;
  }
  if (!KSeq::IsSeq(v)) return false;
  auto* s = static_cast<KSeq*>(v);
  for (int i = 0; i < s->Count(); ++i) {
    std::vector<double> row;
    if (!Numbers((*s)[i], row)) return false;
    if (!row.empty()) out.push_back(row);
  }
  return !out.empty();
}

std::string Svg(const std::vector<std::vector<double>>& series, Chart kind) {
  static const char* const kColours[] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b"};
  constexpr double W = 480, H = 300, L = 56, R = 16, T = 16, B = 40;
  double lo = 0, hi = 0;
  size_t points = 0;
  for (const auto& s : series) {
    for (double d : s) {
      lo = std::min(lo, d);
      hi = std::max(hi, d);
    }
    points = std::max(points, s.size());
  }
  if (hi == lo) hi = lo + 1;
  const double plotW = W - L - R, plotH = H - T - B;
  auto y = [&](double d) { return T + plotH * (hi - d) / (hi - lo); };
  const double step = kind == Chart::bar ? plotW / static_cast<double>(points)
                                         : (points > 1 ? plotW / static_cast<double>(points - 1) : 0);
  auto x = [&](size_t i) { return L + (kind == Chart::bar ? step * (static_cast<double>(i) + 0.5) : step * static_cast<double>(i)); };

  std::string out = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Fixed(W) + "\" height=\"" + Fixed(H) +
                    "\" viewBox=\"0 0 " + Fixed(W) + " " + Fixed(H) + "\" font-family=\"sans-serif\" font-size=\"11\">\n";
  // Axes with their labels: the value range on the left, the positions below.
  out += "<line x1=\"" + Fixed(L) + "\" y1=\"" + Fixed(T) + "\" x2=\"" + Fixed(L) + "\" y2=\"" + Fixed(T + plotH) +
         "\" stroke=\"black\"/>\n";
  out += "<line x1=\"" + Fixed(L) + "\" y1=\"" + Fixed(y(std::max(lo, 0.0))) + "\" x2=\"" + Fixed(L + plotW) + "\" y2=\"" +
         Fixed(y(std::max(lo, 0.0))) + "\" stroke=\"black\"/>\n";
  for (int k = 0; k <= 4; ++k) {
    double v = lo + (hi - lo) * k / 4;
    out += "<text x=\"" + Fixed(L - 6) + "\" y=\"" + Fixed(y(v) + 4) + "\" text-anchor=\"end\">" + Num(v) + "</text>\n";
  }
  const size_t every = std::max<size_t>(1, points / 10);
  for (size_t i = 0; i < points; i += every)
    out += "<text x=\"" + Fixed(x(i)) + "\" y=\"" + Fixed(T + plotH + 16) + "\" text-anchor=\"middle\">" +
           std::to_string(i + 1) + "</text>\n";
  out += "<text x=\"" + Fixed(L + plotW / 2) + "\" y=\"" + Fixed(H - 4) + "\" text-anchor=\"middle\">position</text>\n";
  out += "<text x=\"12\" y=\"" + Fixed(T + plotH / 2) + "\" text-anchor=\"middle\" transform=\"rotate(-90 12 " +
         Fixed(T + plotH / 2) + ")\">value</text>\n";
  for (size_t s = 0; s < series.size(); ++s) {
    const char* colour = kColours[s % (sizeof kColours / sizeof kColours[0])];
    if (kind == Chart::line) {
      std::string pts;
      for (size_t i = 0; i < series[s].size(); ++i) pts += Fixed(x(i)) + "," + Fixed(y(series[s][i])) + " ";
      out += "<polyline fill=\"none\" stroke=\"" + std::string(colour) + "\" stroke-width=\"2\" points=\"" + pts + "\"/>\n";
    } else {
      const double barW = step * 0.8 / static_cast<double>(series.size());
      for (size_t i = 0; i < series[s].size(); ++i) {
        double top = y(std::max(series[s][i], 0.0)), bottom = y(std::min(series[s][i], 0.0));
        double left = x(i) - step * 0.4 + barW * static_cast<double>(s);
        out += "<rect x=\"" + Fixed(left) + "\" y=\"" + Fixed(top) + "\" width=\"" + Fixed(barW) + "\" height=\"" +
               Fixed(std::max(bottom - top, 0.5)) + "\" fill=\"" + colour + "\"/>\n";
      }
    }
  }
  return out + "</svg>\n";
}

}  // namespace TarqRich
