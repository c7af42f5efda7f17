#include "cif2exp/site_constraints.hpp"

#include <algorithm>
#include <cmath>
#include <set>

#include "recio/error.hpp"

namespace cif2exp {

namespace {

constexpr double kExact = 1e-9;

// Image of x under op, shifted by whole cells to lie next to x.
Coordinates nearest_image(const SeitzOperator& op, const Coordinates& x) {
  Coordinates image{};
  for (int i = 0; i < 3; ++i) {
    double value = op.translation[i] / 12.0;
    for (int j = 0; j < 3; ++j) value += op.r(i, j) * x[j];
    image[i] = value - std::round(value - x[i]);
  }
  return image;
}

bool leaves_in_place(const SeitzOperator& op, const Coordinates& x, const Coordinates& half_place) {
  const Coordinates image = nearest_image(op, x);
  for (int i = 0; i < 3; ++i) {
    // Rounding of each printed coordinate reaches the image through the row
    // of (R - I); a little slack keeps exact cases exact in binary.
    double allowed = kExact;
    for (int j = 0; j < 3; ++j) allowed += std::abs(op.r(i, j) - (i == j ? 1 : 0)) * half_place[j] * 1.001;
    if (std::abs(image[i] - x[i]) > allowed) return false;
  }
  return true;
}

// Parameters p with sum_j row[j] p_j = 0 for every row: the rows reduced to
// echelon form with pivots taken from the last parameter backwards, so
// that the parameters left free come first (x in x, x, x; U11 in U11 =
// U22 = U33).
template <std::size_t N>
struct Ties {
  std::array<std::array<double, N>, N> dependence{};  // p_i per unit of free p_j
  std::array<bool, N> free{};
};

template <std::size_t N>
Ties<N> solve_ties(std::vector<std::array<double, N>> rows) {
  std::erase_if(rows, [](const std::array<double, N>& row) {
    return std::all_of(row.begin(), row.end(), [](double v) { return std::abs(v) < kExact; });
  });
  std::array<int, N> pivot_row;
  pivot_row.fill(-1);
  std::size_t next = 0;
  for (int column = static_cast<int>(N) - 1; column >= 0 && next < rows.size(); --column) {
    const auto c = static_cast<std::size_t>(column);
    std::size_t best = next;
    for (std::size_t r = next; r < rows.size(); ++r)
      if (std::abs(rows[r][c]) > std::abs(rows[best][c])) best = r;
    if (std::abs(rows[best][c]) < kExact) continue;
    std::swap(rows[best], rows[next]);
    const double scale = rows[next][c];
    for (double& value : rows[next]) value /= scale;
    for (std::size_t r = 0; r < rows.size(); ++r) {
      if (r == next) continue;
      const double factor = rows[r][c];
      if (factor == 0) continue;
      for (std::size_t j = 0; j < N; ++j) {
        rows[r][j] -= factor * rows[next][j];
        if (std::abs(rows[r][j]) < kExact) rows[r][j] = 0;
      }
    }
    pivot_row[c] = static_cast<int>(next++);
  }
  Ties<N> ties;
  for (std::size_t j = 0; j < N; ++j) ties.free[j] = pivot_row[j] < 0;
  for (std::size_t i = 0; i < N; ++i)
    for (std::size_t j = 0; j < N; ++j) {
      if (!ties.free[j]) continue;
      ties.dependence[i][j] =
          i == j ? 1.0 : pivot_row[i] >= 0 ? -rows[static_cast<std::size_t>(pivot_row[i])][j] : 0.0;
    }
  return ties;
}

// The pairs (k, l) of U11, U22, U33, U12, U13, U23.
constexpr int kPairs[6][2] = {{0, 0}, {1, 1}, {2, 2}, {0, 1}, {0, 2}, {1, 2}};

}  // namespace

SiteConstraints constrain_site(const Coordinates& x, const Coordinates& half_place,
                               const std::vector<SeitzOperator>& group) {
  std::vector<SeitzOperator> stabiliser;
  for (const SeitzOperator& op : group)
    if (leaves_in_place(op, x, half_place)) stabiliser.push_back(op);

  SiteConstraints site;
  site.stabiliser_order = static_cast<int>(stabiliser.size());
  // The special position: the mean of the site's images under its own
  // operators, the projection of x onto the points they all leave in place.
  Coordinates mean{};
  for (const SeitzOperator& op : stabiliser) {
    const Coordinates image = nearest_image(op, x);
    for (int i = 0; i < 3; ++i) mean[i] += image[i] / static_cast<double>(stabiliser.size());
  }
  site.position = mean;
  for (const SeitzOperator& op : stabiliser) {
    const Coordinates image = nearest_image(op, site.position);
    for (int i = 0; i < 3; ++i)
      if (std::abs(image[i] - site.position[i]) > 1e-7)
        throw vesk::Error("the operator " + triplet(op) + " nearly leaves it in place, but not exactly");
  }

  // Displacements d with R d = d for every operator.
  std::vector<Coordinates> rows;
  for (const SeitzOperator& op : stabiliser)
    for (int i = 0; i < 3; ++i) {
      Coordinates row{};
      for (int j = 0; j < 3; ++j) row[j] = op.r(i, j) - (i == j ? 1 : 0);
      rows.push_back(row);
    }
  const Ties<3> ties = solve_ties(std::move(rows));
  site.free = ties.free;
  site.dependence = ties.dependence;
  site.stabiliser = std::move(stabiliser);
  return site;
}

DisplacementConstraints constrain_displacements(const std::vector<SeitzOperator>& stabiliser,
                                                const Coordinates& reciprocal_lengths) {
  DisplacementConstraints result;
  std::vector<Displacements> rows;
  for (const SeitzOperator& op : stabiliser) {
    // U* = N U N turns as R U* R^T; on U itself that is M U M^T with
    // M = N^-1 R N, the rotation on the axes of the CIF's Uij.
    double m[3][3];
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) m[i][j] = op.r(i, j) * reciprocal_lengths[j] / reciprocal_lengths[i];
    std::array<Displacements, 6> image{};
    for (int row = 0; row < 6; ++row) {
      const int i = kPairs[row][0], j = kPairs[row][1];
      for (int column = 0; column < 6; ++column) {
        const int k = kPairs[column][0], l = kPairs[column][1];
        image[row][column] = k == l ? m[i][k] * m[j][k] : m[i][k] * m[j][l] + m[i][l] * m[j][k];
      }
    }
    result.images.push_back(image);
    for (int row = 0; row < 6; ++row) {
      Displacements condition = image[row];
      condition[row] -= 1;
      rows.push_back(condition);
    }
  }
  const Ties<6> ties = solve_ties(std::move(rows));
  result.free = ties.free;
  result.dependence = ties.dependence;
  return result;
}

Displacements DisplacementConstraints::symmetrised(const Displacements& u) const {
  if (images.empty()) return u;
  Displacements mean{};
  for (const auto& image : images)
    for (std::size_t row = 0; row < 6; ++row)
      for (std::size_t column = 0; column < 6; ++column)
        mean[row] += image[row][column] * u[column] / static_cast<double>(images.size());
  return mean;
}

}  // namespace cif2exp
