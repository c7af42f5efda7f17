// Reads one phase of the experiment file into the PhaseDescription: atom
// types, name, cell with standard deviations, space group, atoms with their
// standard deviations from the covariance data, and accepted Fourier peaks.
#pragma once
#include <string>
#include <string_view>

#include "crystal/phase.hpp"
#include "expfile/covariance.hpp"

namespace vesk {

// Phase flag 4 selects the hexadecimal atom keys, the five-name covariance
// form and isotropic atoms.
constexpr int kHexadecimalPhase = 4;

// Key of atom record `record` of a phase: "AT", the number as I3 and the
// part letter ('A' or 'B'), or for phase flag 4 the number as four upper-case
// hexadecimal digits (part ignored).
std::string atom_record_key(int phase, int record, int phase_flag, char part = 'A');
// Name of an atom parameter in the covariance list: the phase digit, the
// record number ("(I1,I3)", or four hexadecimal digits for phase flag 4) and
// the item ("X   ", "UISO", ... or "X  ", "UIS", ...).
std::string covariance_parameter_name(int phase, int record, int phase_flag, std::string_view item);

// Fills `description` for phase `phase`; its peak-exclusion radii carry over
// from the previous call. Missing required records stop through ISAMFAIL;
// an unknown atom type, too few atom records, too many types or atoms and
// unreadable records stop with a message naming the record (vesk::Stop, exit
// status 1; the message also goes to the listing).
void RDPHASE(int experiment_unit, int listing_unit, int phase, int phase_flag, std::string_view fourier_mode,
             const CovarianceData& covariance, PhaseDescription& description);

}  // namespace vesk
