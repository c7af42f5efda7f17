#include "crystal/metric.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <type_traits>

#include "recio/error.hpp"
#include "recio/units.hpp"

using namespace vesk;

namespace {

void expect_matrix_near(const Mat3& m, const Mat3& expected, float tolerance) {
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(m[i], expected[i], tolerance) << "element " << i;
}

const Mat3 kIdentity = {1, 0, 0, 0, 1, 0, 0, 0, 1};

// Cell vectors of a row of A as Cartesian 3-vectors.
Vec3 row(const Mat3& a, int i) { return {at(a, i, 1), at(a, i, 2), at(a, i, 3)}; }
double dot(const Vec3& u, const Vec3& v) { return double(u[0]) * v[0] + double(u[1]) * v[1] + double(u[2]) * v[2]; }

}  // namespace

TEST(Metric, DegreeTrigonometry) {
  EXPECT_FLOAT_EQ(SIND(30.0f), 0.5f);
  EXPECT_FLOAT_EQ(COSD(60.0f), 0.5f);
  EXPECT_FLOAT_EQ(TAND(45.0f), 1.0f);
  EXPECT_FLOAT_EQ(COSD(120.0f), -0.5f);
  EXPECT_FLOAT_EQ(SIND(-90.0f), -1.0f);
  EXPECT_EQ(kDegree, 0.017453292f);
}

TEST(Metric, CellmatrixOfTheUnitCubeIsTheIdentity) {
  Mat3 a, inverse;
  CELLMATRIX(1, 1, 1, 90, 90, 90, a, inverse);
  expect_matrix_near(a, kIdentity, 1e-7f);
  expect_matrix_near(inverse, kIdentity, 1e-7f);

  // Angles given as cosines (0 for 90 degrees) give the same matrix.
  Mat3 from_cosines, inverse2;
  CELLMATRIX(1, 1, 1, 0, 0, 0, from_cosines, inverse2);
  expect_matrix_near(from_cosines, kIdentity, 1e-7f);
}

TEST(Metric, AnglesMayBeGivenInDegreesOrAsCosines) {
  Mat3 degrees, cosines, inverse;
  CELLMATRIX(5.1f, 6.2f, 7.3f, 80.0f, 95.0f, 105.0f, degrees, inverse);
  CELLMATRIX(5.1f, 6.2f, 7.3f, COSD(80.0f), COSD(95.0f), COSD(105.0f), cosines, inverse);
  expect_matrix_near(cosines, degrees, 0.0f);

  // Exactly 1.0 is a cosine (0 degrees): refused as degenerate, not read as 1 degree.
  EXPECT_THROW(CELLMATRIX(1, 1, 1, 1.0f, 90, 90, degrees, inverse), Error);
}

TEST(Metric, HexagonalCellPutsBInTheXyPlane) {
  Mat3 a, inverse;
  CELLMATRIX(4.0f, 4.0f, 6.5f, 90.0f, 90.0f, 120.0f, a, inverse);
  EXPECT_NEAR(at(a, 1, 1), 4.0f, 1e-6f);
  EXPECT_NEAR(at(a, 2, 1), 4.0f * -0.5f, 1e-6f);
  EXPECT_NEAR(at(a, 2, 2), 4.0f * 0.8660254f, 1e-6f);
  EXPECT_NEAR(at(a, 2, 3), 0.0f, 1e-6f);
  EXPECT_NEAR(at(a, 3, 3), 6.5f, 1e-6f);
}

TEST(Metric, CellmatrixReproducesTheMetricTensorAndVolume) {
  // Triclinic cell: the rows of A must have the cell's lengths and mutual
  // angles, and det A the volume abc sqrt(1 - ca2 - cb2 - cg2 + 2 ca cb cg).
  const double a = 5.43, b = 7.11, c = 9.87, alpha = 78.3, beta = 101.6, gamma = 112.9;
  Mat3 m, inverse;
  CELLMATRIX(float(a), float(b), float(c), float(alpha), float(beta), float(gamma), m, inverse);
  const double rad = std::acos(-1.0) / 180.0;
  const double ca = std::cos(alpha * rad), cb = std::cos(beta * rad), cg = std::cos(gamma * rad);
  Vec3 ra = row(m, 1), rb = row(m, 2), rc = row(m, 3);
  EXPECT_NEAR(std::sqrt(dot(ra, ra)), a, 1e-5);
  EXPECT_NEAR(std::sqrt(dot(rb, rb)), b, 1e-5);
  EXPECT_NEAR(std::sqrt(dot(rc, rc)), c, 1e-5);
  EXPECT_NEAR(dot(rb, rc), b * c * ca, 1e-4);
  EXPECT_NEAR(dot(ra, rc), a * c * cb, 1e-4);
  EXPECT_NEAR(dot(ra, rb), a * b * cg, 1e-4);
  const double volume = a * b * c * std::sqrt(1 - ca * ca - cb * cb - cg * cg + 2 * ca * cb * cg);
  EXPECT_NEAR(DET3(m), volume, volume * 1e-5);

  Mat3 product;
  MATMUL3(m, inverse, product);
  expect_matrix_near(product, kIdentity, 1e-6f);
}

TEST(Metric, DegenerateCellsAreRefused) {
  Mat3 m, inverse;
  EXPECT_THROW(CELLMATRIX(1, 1, 1, 180.0f, 90, 90, m, inverse), Error);
  EXPECT_THROW(CELLMATRIX(1, 1, 1, 90, -1.0f, 90, m, inverse), Error);
  EXPECT_THROW(CELLMATRIX(1, 1, 1, 90, 90, 180.0f, m, inverse), Error);
  // Three angles that add up to a flat cell.
  EXPECT_THROW(CELLMATRIX(1, 1, 1, 60.0f, 30.0f, 90.0f, m, inverse), Error);
  try {
    CELLMATRIX(2, 3, 4, 90, 180.0f, 90, m, inverse);
    FAIL() << "no exception";
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("beta"), std::string::npos) << e.what();
  }
}

TEST(Metric, Det3AndMatinv3AgreeWithHandComputedValues) {
  // Rows (2,0,1), (1,3,2), (1,1,4): determinant 18 by hand.
  Mat3 m{};
  const float rows[3][3] = {{2, 0, 1}, {1, 3, 2}, {1, 1, 4}};
  for (int i = 1; i <= 3; ++i)
    for (int j = 1; j <= 3; ++j) at(m, i, j) = rows[i - 1][j - 1];
  EXPECT_FLOAT_EQ(DET3(m), 2 * (12 - 2) - 0 + 1 * (1 - 3));
  Mat3 inverse;
  MATINV3(m, inverse);
  Mat3 product;
  MATMUL3(inverse, m, product);
  expect_matrix_near(product, kIdentity, 1e-6f);
  // Cofactor (1,1) over the determinant: (3*4 - 2*1) / 18.
  EXPECT_FLOAT_EQ(at(inverse, 1, 1), 10.0f / 18.0f);

  // The result may overwrite the input.
  Mat3 same = m;
  MATINV3(same, same);
  expect_matrix_near(same, inverse, 0.0f);
  same = m;
  MATMUL3(same, inverse, same);
  expect_matrix_near(same, kIdentity, 1e-6f);
}

TEST(Metric, SingularMatrixGivesAWarningAndAFiniteInverse) {
  testing::internal::CaptureStdout();
  Mat3 zero{}, inverse;
  inverse.fill(5.0f);
  MATINV3(zero, inverse);
  recio::flush_all();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), " Matrix is SINGULAR.  Determinant set to 1.0E-30\n");
  expect_matrix_near(inverse, Mat3{}, 0.0f);

  // Tiny but non-zero determinants are clamped quietly.
  testing::internal::CaptureStdout();
  Mat3 tiny{};
  at(tiny, 1, 1) = 1e-12f;
  at(tiny, 2, 2) = 1e-12f;
  at(tiny, 3, 3) = 1e-12f;
  MATINV3(tiny, inverse);
  recio::flush_all();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_FLOAT_EQ(at(inverse, 1, 1), 1e-24f / 1e-30f);
  EXPECT_TRUE(std::isfinite(at(inverse, 1, 1)));
}

TEST(Metric, VectorProductsSumsAndLength) {
  Mat3 m{};
  for (int i = 1; i <= 3; ++i)
    for (int j = 1; j <= 3; ++j) at(m, i, j) = float(10 * i + j);
  const Vec3 v = {1, 2, 3};
  // w(i) = sum_j v(j) M(j, i): the row vector times M.
  const Vec3 w = VECMAT3(v, m);
  EXPECT_EQ(w, (Vec3{11 + 42 + 93, 12 + 44 + 96, 13 + 46 + 99}));
  const Vec3 u = MATVEC3(m, v);
  EXPECT_EQ(u, (Vec3{11 + 24 + 39, 21 + 44 + 69, 31 + 64 + 99}));
  EXPECT_EQ(VECADD(v, w), (Vec3{147, 154, 161}));
  EXPECT_EQ(VECSUB(v, Vec3{1, 1, 1}), (Vec3{0, 1, 2}));
  EXPECT_EQ(VECSCALE(v, -2.0f), (Vec3{-2, -4, -6}));

  Vec3 x = {3, 0, 4};
  EXPECT_FLOAT_EQ(VECNORM(x), 5.0f);
  EXPECT_EQ(x, (Vec3{0.6f, 0.0f, 0.8f}));
  Vec3 zero = {0, 0, 0};
  EXPECT_EQ(VECNORM(zero), 0.0f);
  EXPECT_EQ(zero, (Vec3{0, 0, 0}));
}

TEST(Metric, ReductionIntoTheUnitCell) {
  EXPECT_EQ(FRAC01(Vec3{-0.25f, 1.0f, 0.99995f}), (Vec3{0.75f, 0.0f, 0.0f}));
  const Vec3 y = FRAC01(Vec3{2.5f, -3.75f, 0.00002f});
  EXPECT_FLOAT_EQ(y[0], 0.5f);
  EXPECT_FLOAT_EQ(y[1], 0.25f);
  EXPECT_NEAR(y[2], 0.00002f, 1e-6f);  // the +1 costs float digits near 0

  Vec3 x = {-0.25f, 1.0f, 0.99995f};
  FRAC01PLAIN(x);
  EXPECT_FLOAT_EQ(x[0], 0.75f);
  EXPECT_EQ(x[1], 0.0f);
  EXPECT_NEAR(x[2], 0.99995f, 1e-6f);  // no snapping to 0 here
}

TEST(Metric, FractionalAndCartesianVectorsAreKeptApart) {
  static_assert(!std::is_convertible_v<Fractional, Cartesian>);
  static_assert(!std::is_convertible_v<Cartesian, Fractional>);
  static_assert(!std::is_convertible_v<Vec3, Fractional>);
  // In the hexagonal cell a + b has the length of a, at 60 degrees to it.
  Mat3 a, inverse;
  CELLMATRIX(4.0f, 4.0f, 6.5f, 90.0f, 90.0f, 120.0f, a, inverse);
  const Cartesian sum = orthogonalise(Fractional{{1.0f, 1.0f, 0.0f}}, a);
  EXPECT_NEAR(std::hypot(sum[0], sum[1]), 4.0f, 1e-5f);
  EXPECT_NEAR(sum[0], 4.0f * 0.5f, 1e-5f);
  EXPECT_NEAR(sum[2], 0.0f, 1e-6f);
}

TEST(Metric, CartdistMatchesTheMetricTensorFormula) {
  const float a = 5.0f, b = 6.0f, c = 7.0f, alpha = 85.0f, beta = 95.0f, gamma = 100.0f;
  Mat3 m, inverse;
  CELLMATRIX(a, b, c, alpha, beta, gamma, m, inverse);
  const Vec3 p = {0.1f, 0.2f, 0.3f}, q = {0.8f, 0.1f, 0.9f}, t = {-1, 0, 0};
  // d^2 = sum g_ij dx_i dx_j with g the metric tensor of the cell.
  const double rad = std::acos(-1.0) / 180.0;
  const double ca = std::cos(alpha * rad), cb = std::cos(beta * rad), cg = std::cos(gamma * rad);
  const double g[3][3] = {{a * a, a * b * cg, a * c * cb}, {a * b * cg, b * b, b * c * ca}, {a * c * cb, b * c * ca, c * c}};
  const double dx[3] = {p[0] - (q[0] + t[0]), p[1] - (q[1] + t[1]), p[2] - (q[2] + t[2])};
  double d2 = 0;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) d2 += g[i][j] * dx[i] * dx[j];
  EXPECT_NEAR(CARTDIST(p, q, m, t), std::sqrt(d2), 1e-5);
  EXPECT_EQ(CARTDIST(p, p, m, Vec3{0, 0, 0}), 0.0f);
}
