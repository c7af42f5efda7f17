#include "crystal/symmetry_operation.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "crystal/equivalent_positions.hpp"

namespace vesk {

namespace {

// GENEQ's tolerance for two reduced positions being the same.
constexpr double kSamePosition = 0.0002;

}  // namespace

SymmetryOperation operation_of(const SpaceGroupInfo& group, int code, const LatticeTranslation& n) {
  const int magnitude = std::abs(code);
  const int number = magnitude % 100;
  const int centring = magnitude / 100;
  const int sign = code < 0 ? -1 : 1;
  const SymmetryOperator& op = group.ops[static_cast<std::size_t>(number - 1)];
  SymmetryOperation result;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) result.rotation[i][j] = sign * op.r(i + 1, j + 1);
    const long centring_twelfths = std::lround(12.0 * group.centring[static_cast<std::size_t>(centring)][i]);
    result.twelfths[i] = sign * op.t(i + 1) + static_cast<int>(centring_twelfths) + 12 * n[i];
  }
  return result;
}

// R integral with determinant +-1, so R^-1 is its adjugate over the determinant.
SymmetryOperation inverse(const SymmetryOperation& op) {
  const IntMat3& r = op.rotation;
  IntMat3 adjugate{};
  for (std::size_t i = 0; i < 3; ++i)
    for (std::size_t j = 0; j < 3; ++j) {
      const std::size_t j1 = (j + 1) % 3, j2 = (j + 2) % 3, i1 = (i + 1) % 3, i2 = (i + 2) % 3;
      adjugate[i][j] = r[j1][i1] * r[j2][i2] - r[j1][i2] * r[j2][i1];
    }
  const int determinant = r[0][0] * adjugate[0][0] + r[0][1] * adjugate[1][0] + r[0][2] * adjugate[2][0];
  SymmetryOperation result;
  for (std::size_t i = 0; i < 3; ++i) {
    int t = 0;
    for (std::size_t j = 0; j < 3; ++j) {
      result.rotation[i][j] = adjugate[i][j] * determinant;
      t -= result.rotation[i][j] * op.twelfths[j];
    }
    result.twelfths[i] = t;
  }
  return result;
}

SymmetryOperation compose(const SymmetryOperation& a, const SymmetryOperation& b) {
  SymmetryOperation result;
  for (int i = 0; i < 3; ++i) {
    result.twelfths[i] = a.twelfths[i];
    for (int j = 0; j < 3; ++j) {
      int sum = 0;
      for (int k = 0; k < 3; ++k) sum += a.rotation[i][k] * b.rotation[k][j];
      result.rotation[i][j] = sum;
      result.twelfths[i] += a.rotation[i][j] * b.twelfths[j];
    }
  }
  return result;
}

Vec3d image_of(const SymmetryOperation& op, const Vec3d& x) {
  Vec3d result{};
  for (int i = 0; i < 3; ++i) {
    double sum = op.twelfths[i] / 12.0;
    for (int j = 0; j < 3; ++j) sum += op.rotation[i][j] * x[j];
    result[i] = sum;
  }
  return result;
}

Vec3d image_of(const SymmetryOperation& op, const Vec3& x) { return image_of(op, Vec3d{x[0], x[1], x[2]}); }

bool same_modulo_lattice(const SymmetryOperation& a, const SymmetryOperation& b, LatticeTranslation& n) {
  if (a.rotation != b.rotation) return false;
  for (int i = 0; i < 3; ++i) {
    const int difference = a.twelfths[i] - b.twelfths[i];
    if (difference % 12 != 0) return false;
    n[i] = difference / 12;
  }
  return true;
}

std::optional<ImageName> image_name(const SpaceGroupInfo& group, const Vec3& atom, const Vec3d& target) {
  EquivalentPositions positions;
  GENEQ(atom, group, GeneqMode::Distinct, positions);
  return image_name(std::span<const EquivalentPosition>(positions.begin(), positions.end()), target);
}

std::optional<ImageName> image_name(std::span<const EquivalentPosition> positions, const Vec3d& target) {
  for (const EquivalentPosition& position : positions) {
    ImageName name{position.code, {}};
    bool same = true;
    for (int i = 0; i < 3 && same; ++i) {
      const double difference = target[i] - position.x[i];
      const double cells = std::nearbyint(difference);
      same = std::fabs(difference - cells) < kSamePosition;
      name.n[i] = static_cast<int>(cells);
    }
    if (same) return name;
  }
  return std::nullopt;
}

std::optional<ImageName> operation_name(const SpaceGroupInfo& group, const SymmetryOperation& op) {
  for (int centring = 1; centring <= std::max(group.ncent, 1); ++centring)
    for (int sign = 1; sign >= (group.centric ? -1 : 1); sign -= 2)
      for (int number = 1; number <= std::max(group.nsym, 1); ++number) {
        const int code = sign * (number + 100 * (centring - 1));
        ImageName name{code, {}};
        if (same_modulo_lattice(op, operation_of(group, code, LatticeTranslation{}), name.n)) return name;
      }
  return std::nullopt;
}

}  // namespace vesk
