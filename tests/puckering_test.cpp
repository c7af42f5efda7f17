// Cremer-Pople puckering: rings built from chosen puckering coordinates
// (z_j = sqrt(2/N) sum_m q_m cos(phi_m + 2 pi m j / N) + sqrt(1/N) q_N/2
// (-1)^j, Cremer & Pople 1975, eq. 13, over a regular polygon) give those
// coordinates back; gradients against central differences; the effect of
// start and direction; the names of the conformations.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "geometry/puckering.hpp"
#include "tests/support/point_gradients.hpp"

using namespace vesk;
using namespace vesk::testing;
using namespace vesk::vec3;

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kDegree = kPi / 180;

struct Term {
  double q;
  double phi;  // radians; not used for m = N/2
};

// terms[0] is m = 2, and so on up to N/2. The polygon runs clockwise seen
// from +z, so that Cremer and Pople's normal R' x R'' is +z and their z_j
// are the heights built in.
std::vector<Cart3> puckered_ring(const std::vector<Term>& terms, std::size_t n, double radius = 1.45) {
  std::vector<Cart3> ring;
  for (std::size_t j = 0; j < n; ++j) {
    const double angle = 2 * kPi * static_cast<double>(j) / static_cast<double>(n);
    double z = 0;
    for (std::size_t t = 0; t < terms.size(); ++t) {
      const std::size_t m = t + 2;
      if (2 * m == n)
        z += terms[t].q * (j % 2 == 0 ? 1.0 : -1.0) / std::sqrt(static_cast<double>(n));
      else
        z += std::sqrt(2.0 / static_cast<double>(n)) * terms[t].q * std::cos(terms[t].phi + static_cast<double>(m) * angle);
    }
    ring.push_back(moved({radius * std::cos(angle), -radius * std::sin(angle), z}));
  }
  return ring;
}

// A six-membered ring at (Q, theta, phi_2), in degrees.
std::vector<Cart3> six_ring(double q, double theta, double phi) {
  return puckered_ring({{q * std::sin(theta * kDegree), phi * kDegree}, {q * std::cos(theta * kDegree), 0}}, 6);
}

std::string name_of(const std::vector<Cart3>& ring) { return conformation_name(ring_puckering(ring).conformation); }

struct Case {
  std::size_t n;
  std::vector<Term> terms;
};

const std::vector<Case> kRings{
    {4, {{0.31, 0}}},
    {5, {{0.38, 1.0}}},
    {6, {{0.21, 2.5}, {0.55, 0}}},
    {6, {{0.33, 5.9}, {-0.12, 0}}},
    {7, {{0.31, 0.4}, {0.52, 4.0}}},
    {8, {{0.25, 3.0}, {0.48, 1.7}, {-0.2, 0}}},
};

}  // namespace

TEST(RingPuckering, ChosenCoordinatesComeBack) {
  for (const Case& c : kRings) {
    const RingPuckering p = ring_puckering(puckered_ring(c.terms, c.n));
    ASSERT_TRUE(p.defined);
    ASSERT_EQ(p.terms.size(), c.terms.size());
    double sum = 0;
    for (std::size_t t = 0; t < c.terms.size(); ++t) {
      EXPECT_EQ(p.terms[t].m, static_cast<int>(t + 2));
      EXPECT_NEAR(p.terms[t].amplitude.value, c.terms[t].q, 1e-12) << "N " << c.n << " m " << t + 2;
      if (2 * (t + 2) == c.n)
        EXPECT_FALSE(p.terms[t].phase.defined);
      else
        EXPECT_NEAR(p.terms[t].phase.value, c.terms[t].phi, 1e-12) << "N " << c.n << " m " << t + 2;
      sum += c.terms[t].q * c.terms[t].q;
    }
    EXPECT_NEAR(p.total.value, std::sqrt(sum), 1e-12);
    if (c.n == 6)
      EXPECT_NEAR(p.theta.value, std::atan2(c.terms[0].q, c.terms[1].q), 1e-12);
    else
      EXPECT_FALSE(p.theta.defined);
  }
  EXPECT_FALSE(ring_puckering(std::vector<Cart3>{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}).defined);
}

TEST(RingPuckering, GradientsAgreeWithCentralDifferences) {
  Noise noise;
  for (const Case& c : kRings) {
    std::vector<Cart3> ring = puckered_ring(c.terms, c.n);
    for (Cart3& p : ring)
      for (double& x : p) x += 0.05 * noise.next();  // off the ideal forms
    const RingPuckering p = ring_puckering(ring);
    for (std::size_t t = 0; t < p.terms.size(); ++t) {
      const auto amplitude = [t](const std::vector<Cart3>& r) { return ring_puckering(r).terms[t].amplitude.value; };
      expect_gradient(p.terms[t].amplitude.gradient, numerical_gradient(amplitude, ring), 1e-8, "q");
      if (!p.terms[t].phase.defined) continue;
      const auto phase = [t](const std::vector<Cart3>& r) { return ring_puckering(r).terms[t].phase.value; };
      expect_gradient(p.terms[t].phase.gradient, numerical_gradient(phase, ring), 1e-7, "phi");
    }
    const auto total = [](const std::vector<Cart3>& r) { return ring_puckering(r).total.value; };
    expect_gradient(p.total.gradient, numerical_gradient(total, ring), 1e-8, "Q");
    if (c.n == 6) {
      const auto theta = [](const std::vector<Cart3>& r) { return ring_puckering(r).theta.value; };
      expect_gradient(p.theta.gradient, numerical_gradient(theta, ring), 1e-7, "theta");
    }
  }
}

TEST(RingPuckering, StartAndDirection) {
  Noise noise;
  std::vector<Cart3> ring = puckered_ring({{0.31, 0.4}, {0.52, 4.0}}, 7);
  for (Cart3& p : ring)
    for (double& x : p) x += 0.05 * noise.next();
  const RingPuckering p = ring_puckering(ring);

  std::vector<Cart3> later = ring;  // starting one atom later
  std::rotate(later.begin(), later.begin() + 1, later.end());
  const RingPuckering shifted = ring_puckering(later);
  std::vector<Cart3> backwards(ring.rbegin(), ring.rend());  // R_0 stays first
  std::rotate(backwards.begin(), backwards.end() - 1, backwards.end());
  const RingPuckering reversed = ring_puckering(backwards);
  for (std::size_t t = 0; t < p.terms.size(); ++t) {
    const double m = p.terms[t].m;
    EXPECT_NEAR(shifted.terms[t].amplitude.value, p.terms[t].amplitude.value, 1e-12);
    EXPECT_NEAR(std::remainder(shifted.terms[t].phase.value - p.terms[t].phase.value - 2 * kPi * m / 7, 2 * kPi), 0,
                1e-12);
    EXPECT_NEAR(reversed.terms[t].amplitude.value, p.terms[t].amplitude.value, 1e-12);
    EXPECT_NEAR(std::remainder(reversed.terms[t].phase.value - (kPi - p.terms[t].phase.value), 2 * kPi), 0, 1e-12);
  }

  // q_N/2 changes sign with either, and theta becomes 180 - theta.
  const std::vector<Cart3> six = six_ring(0.56, 20, 75);
  std::vector<Cart3> six_backwards(six.rbegin(), six.rend());
  std::rotate(six_backwards.begin(), six_backwards.end() - 1, six_backwards.end());
  EXPECT_NEAR(ring_puckering(six_backwards).theta.value, kPi - 20 * kDegree, 1e-12);
  std::vector<Cart3> six_later = six;
  std::rotate(six_later.begin(), six_later.begin() + 1, six_later.end());
  EXPECT_NEAR(ring_puckering(six_later).theta.value, kPi - 20 * kDegree, 1e-12);
  EXPECT_NEAR(ring_puckering(six_later).terms[0].phase.value, (75 + 120) * kDegree, 1e-12);
}

TEST(RingPuckering, ConformationsNamed) {
  // Six-membered rings at the ideal forms and 5 degrees off them, for
  // several of the equivalent phases and both hemispheres.
  for (double off : {0.0, 5.0}) {
    EXPECT_EQ(name_of(six_ring(0.56, 0 + off, 37)), "chair");
    EXPECT_EQ(name_of(six_ring(0.56, 180 - off, 200)), "chair");
    EXPECT_EQ(name_of(six_ring(0.75, 90 - off, 120 + off)), "boat");
    EXPECT_EQ(name_of(six_ring(0.75, 90 + off, 30 - off)), "twist-boat");
    EXPECT_EQ(name_of(six_ring(0.45, 54.7 + off / 2, 240 + off)), "envelope");
    EXPECT_EQ(name_of(six_ring(0.45, 129.2 - off / 2, 90 - off)), "half-chair");
    EXPECT_EQ(name_of(six_ring(0.6, 67.5 + off / 2, 330 - off)), "screw-boat");
  }
  // Built from bonds: a chair of alternate heights, a boat with bow and
  // stern raised, an envelope with one atom out of the plane of four.
  std::vector<Cart3> chair, boat, envelope, twist;
  for (int j = 0; j < 6; ++j) {
    const double a = j * kPi / 3;
    chair.push_back(moved({1.45 * std::cos(a), 1.45 * std::sin(a), j % 2 == 0 ? 0.25 : -0.25}));
    boat.push_back(moved({1.45 * std::cos(a), 1.45 * std::sin(a), j % 3 == 0 ? 0.6 : 0.0}));
  }
  // Benzene I, P b c a, on an inversion centre (Budzianowski & Katrusiak,
  // Acta Cryst. B62 (2006) 94; Crystallography Open Database 2100348):
  // C1, C2, C3 and their images through -x, -y, -z.
  const double cell[3] = {7.287, 9.20, 6.688};
  const double carbon[3][3] = {{-0.0537, 0.1425, 0.0097}, {0.0840, 0.0924, 0.1373}, {0.1343, -0.0521, 0.1235}};
  std::vector<Cart3> benzene(6);
  for (int j = 0; j < 3; ++j)
    for (int k = 0; k < 3; ++k) {
      benzene[j][k] = carbon[j][k] * cell[k];
      benzene[j + 3][k] = -carbon[j][k] * cell[k];
    }
  for (int j = 0; j < 5; ++j) {
    const double a = j * 2 * kPi / 5;
    envelope.push_back(moved({1.28 * std::cos(a), 1.28 * std::sin(a), j == 2 ? 0.6 : 0.0}));
    twist.push_back(moved({1.28 * std::cos(a), 1.28 * std::sin(a), j == 1 ? 0.3 : j == 2 ? -0.3 : 0.0}));
  }
  EXPECT_EQ(name_of(chair), "chair");
  EXPECT_EQ(name_of(boat), "boat");
  EXPECT_EQ(name_of(envelope), "envelope");
  EXPECT_EQ(name_of(twist), "twist");
  EXPECT_EQ(name_of(benzene), "planar");
  // Seven- and eight-membered rings get no name unless flat.
  EXPECT_EQ(name_of(puckered_ring({{0.31, 0.4}, {0.52, 4.0}}, 7)), "");
  EXPECT_EQ(name_of(puckered_ring({{0.03, 0.4}, {0.05, 4.0}}, 7)), "planar");
}

TEST(RingPuckering, CentrosymmetricChairHasThetaFixed) {
  // Atoms 0-2 and their images through an inversion centre at 3-5: q_2
  // vanishes, theta is 0 or 180 degrees, and its gradient by each atom
  // (own position less its image's) cancels.
  Noise noise;
  for (int trial = 0; trial < 5; ++trial) {
    const Cart3 centre{2.0, 3.5, -1.25};
    std::vector<Cart3> ring(6);
    for (int j = 0; j < 3; ++j) {
      const double a = j * kPi / 3;
      ring[j] = plus(centre, Cart3{1.45 * std::cos(a) + 0.05 * noise.next(), 1.45 * std::sin(a) + 0.05 * noise.next(),
                                   (j % 2 == 0 ? 0.25 : -0.25) + 0.05 * noise.next()});
      ring[j + 3] = minus(scaled(centre, 2), ring[j]);
    }
    const RingPuckering p = ring_puckering(ring);
    EXPECT_EQ(p.terms[0].amplitude.value, 0.0);
    EXPECT_FALSE(p.terms[0].phase.defined);
    EXPECT_NEAR(std::min(p.theta.value, kPi - p.theta.value), 0.0, 1e-12);
    for (int j = 0; j < 3; ++j)
      for (int a = 0; a < 3; ++a) EXPECT_NEAR(p.theta.gradient[j][a] - p.theta.gradient[j + 3][a], 0.0, 1e-12);
    EXPECT_EQ(p.conformation, Conformation::chair);
  }
}
