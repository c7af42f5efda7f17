// Limits of the crystallographic data model.
#pragma once
#include <cstddef>

namespace vesk {

constexpr std::size_t kMaxAtomTypes = 36;      // including the Fourier-peak type
constexpr std::size_t kMaxAtoms = 5000;        // including accepted Fourier peaks
constexpr std::size_t kMaxOperators = 24;
constexpr std::size_t kMaxCentrings = 4;       // the zero vector included
constexpr std::size_t kMaxEquivalents = 192;
constexpr int kMaxPhases = 9;

}  // namespace vesk
