// Ring puckering coordinates (Cremer & Pople, J. Am. Chem. Soc. 97 (1975)
// 1354) of a ring of N >= 4 atoms given in ring order, R_0 .. R_N-1.
//
// The mean plane is theirs, not the least-squares plane: its normal is
// n = R' x R'' / |R' x R''| with R' = sum_j R_j sin(2 pi j / N) and
// R'' = sum_j R_j cos(2 pi j / N), and z_j = n . (R_j - centroid). Then
//   q_m cos phi_m =  sqrt(2/N) sum_j z_j cos(2 pi m j / N)
//   q_m sin phi_m = -sqrt(2/N) sum_j z_j sin(2 pi m j / N),  2 <= m <= (N-1)/2,
//   q_N/2 = sqrt(1/N) sum_j z_j (-1)^j  (even N; signed, no phase),
//   Q^2 = sum_j z_j^2 = sum_m q_m^2,
// and for N = 6 Q sin theta = q_2, Q cos theta = q_3, 0 <= theta <= pi.
//
// The phases depend on where the ring starts and which way it runs:
// starting one atom later adds 2 pi m / N to phi_m and changes the sign of
// q_N/2 (a chair's theta goes from 0 to 180 degrees); running the other
// way from the same atom turns the normal over, so that phi_m becomes
// pi - phi_m and q_N/2 changes sign. Either way theta becomes pi - theta;
// the amplitudes q_m (m < N/2) and Q do not change. The rings of
// geometry/rings.hpp start at their lowest-numbered node.
#pragma once
#include <span>
#include <vector>

#include "geometry/point_measure.hpp"

namespace vesk {

enum class Conformation { unnamed, planar, chair, boat, twist_boat, envelope, twist, half_chair, screw_boat };

// "chair", "twist-boat", ...; "" for `unnamed`.
const char* conformation_name(Conformation conformation);

// Q below which a ring is called planar, Angstrom.
constexpr double kPlanarPuckering = 0.1;

struct PuckeringTerm {
  int m = 0;
  PointMeasure amplitude;   // q_m, Angstrom (signed for m = N/2)
  PointMeasure phase;       // phi_m in [0, 2 pi) radians; not defined for m = N/2 or when q_m is 0
};

// Every measure has one gradient entry per ring atom. Angles in radians.
struct RingPuckering {
  bool defined = false;            // false: fewer than 4 atoms, or atoms on one line
  std::vector<PuckeringTerm> terms;   // m = 2, 3, ..., N/2
  PointMeasure total;              // Q
  PointMeasure theta;              // six-membered rings only (defined false otherwise)
  Conformation conformation = Conformation::unnamed;
};

RingPuckering ring_puckering(std::span<const Cart3> ring, double planar_limit = kPlanarPuckering);

// The name from the puckering parameters: planar when Q < planar_limit,
// whatever the size; five-membered rings by phi_2, whose envelopes lie at multiples of 36
// degrees and twists half-way between (Cremer & Pople 1975): envelope
// within 9 degrees of a multiple of 36, twist otherwise; six-membered rings
// by the nearest, on the (theta, phi_2) sphere, of the ideal forms of
// Boeyens, J. Cryst. Mol. Struct. 8 (1978) 317; other sizes unnamed.
Conformation name_conformation(const RingPuckering& puckering, std::size_t ring_size, double planar_limit);

}  // namespace vesk
