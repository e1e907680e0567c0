#include "Referencecurve.h"

#include <algorithm>
#include <cmath>

namespace {

bool Ascending(const std::vector<double>& f) {
  for (size_t i = 1; i < f.size(); ++i)
    if (!(f[i] > f[i - 1])) return false;
  return true;
}

bool AllFinite(const std::vector<double>& v) {
  return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
}

}  // namespace

ReferenceCurve ReferenceFromTrace(std::span<const double> x, std::span<const double> y) {
  ReferenceCurve c;
  const size_t n = std::min(x.size(), y.size());
  c.Frequency.assign(x.begin(), x.begin() + static_cast<long>(n));
  c.Level.assign(y.begin(), y.begin() + static_cast<long>(n));
  if (n < 2 || !Ascending(c.Frequency) || !AllFinite(c.Frequency) || !AllFinite(c.Level)) return {};
  return c;
}

bool ReferenceFromTable(const SpectrumTableData& table, ReferenceCurve* left, ReferenceCurve* right,
                        std::string* error) {
  *left = {};
  *right = {};
  const auto fail = [&](const std::string& reason) {
    *left = {};
    *right = {};
    if (error) *error = reason;
    return false;
  };
  if (table.Names.empty()) return fail("the table holds no trace");
  if (table.Frequency.size() < 2) return fail("the table holds fewer than 2 rows");
  if (!Ascending(table.Frequency)) return fail("the frequencies do not ascend");
  const std::vector<double>* l = table.Column("L");
  const std::vector<double>* r = table.Column("R");
  if (!l && !r) l = &table.Levels.front();
  if (l) {
    left->Frequency = table.Frequency;
    left->Level = *l;
  }
  if (r) {
    right->Frequency = table.Frequency;
    right->Level = *r;
  }
  return true;
}

void DifferenceCurve(std::span<const double> x, std::span<const double> y,
                     const ReferenceCurve& reference, std::vector<double>* outX,
                     std::vector<double>* outY) {
  outX->clear();
  outY->clear();
  if (reference.Empty()) return;
  const std::vector<double>& rf = reference.Frequency;
  const std::vector<double>& rl = reference.Level;
  const size_t n = std::min(x.size(), y.size());
  outX->reserve(n);
  outY->reserve(n);
  size_t j = 0;  // rf[j] <= f < rf[j + 1] for the current point
  for (size_t i = 0; i < n; ++i) {
    const double f = x[i];
    if (!(f >= rf.front() && f <= rf.back())) continue;
    while (j + 2 < rf.size() && rf[j + 1] <= f)
      ++j;
    while (j > 0 && rf[j] > f)
      --j;
    const double t = (f - rf[j]) / (rf[j + 1] - rf[j]);
    const double level = t == 0.0 ? rl[j] : t == 1.0 ? rl[j + 1] : rl[j] + t * (rl[j + 1] - rl[j]);
    outX->push_back(f);
    outY->push_back(y[i] - level);
  }
}
