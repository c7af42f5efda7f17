#include "cif2exp/site_constraints.hpp"

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

  // Displacements d with R d = d for every operator: reduce the stacked rows
  // of (R - I) to echelon form with pivots taken from z, then y, then x, so
  // that the coordinates left free come first.
  std::vector<Coordinates> rows;
  for (const SeitzOperator& op : stabiliser)
    for (int i = 0; i < 3; ++i) {
      Coordinates row{};
      bool any = false;
      for (int j = 0; j < 3; ++j) {
        row[j] = op.r(i, j) - (i == j ? 1 : 0);
        any = any || row[j] != 0;
      }
      if (any) rows.push_back(row);
    }
  std::array<int, 3> pivot_row{-1, -1, -1};
  std::size_t next = 0;
  for (int column = 2; column >= 0 && next < rows.size(); --column) {
    std::size_t best = next;
    for (std::size_t r = next; r < rows.size(); ++r)
      if (std::abs(rows[r][column]) > std::abs(rows[best][column])) best = r;
    if (std::abs(rows[best][column]) < kExact) continue;
    std::swap(rows[best], rows[next]);
    const double scale = rows[next][column];
    for (double& value : rows[next]) value /= scale;
    for (std::size_t r = 0; r < rows.size(); ++r) {
      if (r == next) continue;
      const double factor = rows[r][column];
      if (factor == 0) continue;
      for (int j = 0; j < 3; ++j) {
        rows[r][j] -= factor * rows[next][j];
        if (std::abs(rows[r][j]) < kExact) rows[r][j] = 0;
      }
    }
    pivot_row[column] = static_cast<int>(next++);
  }
  for (int j = 0; j < 3; ++j) site.free[j] = pivot_row[j] < 0;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      if (!site.free[j]) continue;
      site.dependence[i][j] = i == j ? 1.0 : pivot_row[i] >= 0 ? -rows[pivot_row[i]][j] : 0.0;
    }
  return site;
}

}  // namespace cif2exp
