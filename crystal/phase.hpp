// The phase being worked on: atom types, cell, space group and atoms.
#pragma once
#include <array>
#include <string>

#include "crystal/bounded_list.hpp"
#include "crystal/limits.hpp"
#include "crystal/metric.hpp"
#include "crystal/spacegroup.hpp"

namespace vesk {

struct AtomType {
  std::string symbol = std::string(8, ' ');  // "FrPk" for Fourier peaks
  float bond_radius = 0;
  float angle_radius = 0;
  float peak_radius = 0;
};

struct AtomSite {
  std::string label = std::string(8, ' ');
  std::string type_symbol = std::string(8, ' ');
  int type = 0;                      // index into the type list, from 1
  Vec3 x{};                          // fractional
  float fraction = 0;
  std::array<float, 6> u{};          // U11, U22, U33, U12, U13, U23
  std::string kind = std::string(4, ' ');  // first character "I": isotropic
  float fraction_sigma = 0;
  int fraction_position = 0;         // covariance position of the fraction, 0 = not refined
  Vec3 x_sigma{};
  std::array<int, 3> x_position{};   // covariance positions, 0 = not refined
  std::array<float, 6> u_sigma{};
  std::array<int, 6> u_position{};
  int record = 0;                    // record number in the experiment file
};

// Peak-exclusion radii by type index: the first 20 start at 1.0E-4 and a
// "PEAKRD" record overwrites them; they carry over from phase to phase.
constexpr std::array<float, kMaxAtomTypes> initial_peak_radii() {
  std::array<float, kMaxAtomTypes> radii{};
  for (std::size_t k = 0; k < 20; ++k) radii[k] = 1.0e-4f;
  return radii;
}

struct PhaseDescription {
  int number = 0;
  std::string name = std::string(66, ' ');
  Vec3 abc{};
  Vec3 cosines{};                    // cos(alpha), cos(beta), cos(gamma)
  Vec3 abc_sigma{};
  Vec3 cosine_sigma{};
  Mat3 orthogonal{};
  Mat3 inverse{};
  std::string symbol = std::string(20, ' ');
  SpaceGroupInfo group;
  int general_multiplicity = 0;
  // Rotation of each operator as reals, transposed: (i, j) = integer (j, i).
  std::array<Mat3, kMaxOperators> rotation_t{};
  BoundedList<AtomType, kMaxAtomTypes> types;
  BoundedList<AtomSite, kMaxAtoms> atoms;
  std::array<float, kMaxAtomTypes> peak_radii = initial_peak_radii();
};

}  // namespace vesk
