// projection.cc: principal-axis projection by the Jacobi eigenvalue method.
// The covariance matrix is dims x dims (coordinates have a handful of
// dimensions), so an exact symmetric solver costs nothing next to reading
// the file.
#include "projection.h"

#include <algorithm>
#include <cmath>

namespace pelmmon {

namespace {

using Matrix = std::vector<std::vector<double>>;

// Diagonalises the symmetric matrix a in place; the columns of *v become its
// eigenvectors and the diagonal of a the eigenvalues.
void Jacobi(Matrix* a_ptr, Matrix* v_ptr) {
  Matrix& a = *a_ptr;
  Matrix& v = *v_ptr;
  const size_t n = a.size();
  v.assign(n, std::vector<double>(n, 0.0));
  for (size_t i = 0; i < n; ++i) v[i][i] = 1.0;
  for (int sweep = 0; sweep < 100; ++sweep) {
    double off = 0, total = 0;
    for (size_t i = 0; i < n; ++i)
      for (size_t j = 0; j < n; ++j) {
        total += a[i][j] * a[i][j];
        if (i != j) off += a[i][j] * a[i][j];
      }
    if (off <= 1e-22 * total || off == 0) return;
    for (size_t p = 0; p + 1 < n; ++p) {
      for (size_t q = p + 1; q < n; ++q) {
        if (a[p][q] == 0) continue;
        double theta = (a[q][q] - a[p][p]) / (2 * a[p][q]);
        double t = (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1));
        double c = 1 / std::sqrt(t * t + 1), s = t * c;
        for (size_t k = 0; k < n; ++k) {  // columns p and q
          double akp = a[k][p], akq = a[k][q];
          a[k][p] = c * akp - s * akq;
          a[k][q] = s * akp + c * akq;
        }
        for (size_t k = 0; k < n; ++k) {  // rows p and q
          double apk = a[p][k], aqk = a[q][k];
          a[p][k] = c * apk - s * aqk;
          a[q][k] = s * apk + c * aqk;
        }
        for (size_t k = 0; k < n; ++k) {
          double vkp = v[k][p], vkq = v[k][q];
          v[k][p] = c * vkp - s * vkq;
          v[k][q] = s * vkp + c * vkq;
        }
      }
    }
  }
}

}  // namespace

double SharedDistance(const std::vector<double>& a, const std::vector<double>& b) {
  size_t n = std::min(a.size(), b.size());
  double sum = 0;
  for (size_t i = 0; i < n; ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
  return std::sqrt(sum);
}

Projection ProjectToPlane(const std::vector<std::vector<double>>& points) {
  Projection out;
  out.xy.assign(points.size(), {0.0, 0.0});
  for (const auto& p : points) out.dims = std::max(out.dims, p.size());
  const size_t d = out.dims;
  if (points.empty() || d == 0) return out;

  std::vector<double> mean(d, 0.0);
  std::vector<size_t> have(d, 0);
  for (const auto& p : points)
    for (size_t k = 0; k < p.size(); ++k) {
      mean[k] += p[k];
      have[k]++;
    }
  for (size_t k = 0; k < d; ++k) mean[k] = have[k] ? mean[k] / have[k] : 0.0;

  // Centred points; a missing dimension sits at the mean (0 once centred).
  Matrix centred(points.size(), std::vector<double>(d, 0.0));
  for (size_t i = 0; i < points.size(); ++i)
    for (size_t k = 0; k < points[i].size(); ++k) centred[i][k] = points[i][k] - mean[k];

  Matrix cov(d, std::vector<double>(d, 0.0));
  for (const auto& p : centred)
    for (size_t r = 0; r < d; ++r)
      for (size_t c = r; c < d; ++c) cov[r][c] += p[r] * p[c];
  for (size_t r = 0; r < d; ++r)
    for (size_t c = 0; c < r; ++c) cov[r][c] = cov[c][r];

  Matrix vec;
  Jacobi(&cov, &vec);
  std::vector<size_t> order(d);
  for (size_t k = 0; k < d; ++k) order[k] = k;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return cov[a][a] > cov[b][b]; });
  double total = 0;
  for (size_t k = 0; k < d; ++k) total += std::max(0.0, cov[k][k]);

  double kept = 0;
  for (size_t axis = 0; axis < 2 && axis < d; ++axis) {
    size_t col = order[axis];
    kept += std::max(0.0, cov[col][col]);
    // Fix the sign: the largest component of the axis points forward.
    size_t big = 0;
    for (size_t k = 1; k < d; ++k)
      if (std::fabs(vec[k][col]) > std::fabs(vec[big][col]) + 1e-12) big = k;
    double sign = vec[big][col] < 0 ? -1.0 : 1.0;
    for (size_t i = 0; i < centred.size(); ++i) {
      double s = 0;
      for (size_t k = 0; k < d; ++k) s += centred[i][k] * vec[k][col];
      (axis == 0 ? out.xy[i].first : out.xy[i].second) = sign * s;
    }
  }
  out.kept = total > 0 ? kept / total : 1.0;
  return out;
}

}  // namespace pelmmon
