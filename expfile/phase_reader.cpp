#include "expfile/phase_reader.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unordered_map>
#include <vector>

#include "console/page.hpp"
#include "console/text_utils.hpp"
#include "crystal/peak_check.hpp"
#include "expfile/keys.hpp"
#include "expfile/record_store.hpp"
#include "recio/error.hpp"
#include "recio/fixed_text.hpp"
#include "recio/format.hpp"
#include "recio/units.hpp"

namespace vesk {

namespace {

constexpr int kValueLength = 68;

std::string hex4(int number) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(number) & 0xFFFFu);
  return text;
}

// A stop that reports a failure: the reason goes to the listing as well.
[[noreturn]] void give_up(int listing_unit, const std::string& text) {
  recio::write(listing_unit, "(2A)", {" *** ", text});
  throw Stop::statement(text, 1);
}

std::string quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

class PhaseRecords {
 public:
  PhaseRecords(int experiment_unit, int listing_unit) : unit_(experiment_unit), listing_(listing_unit) {}

  bool find(const std::string& key, std::string& value) const {
    value.assign(kValueLength, ' ');
    return READEXP(unit_, key, value) == 0;
  }
  std::string require(const std::string& key) const {
    std::string value;
    if (!find(key, value)) ISAMFAIL(unit_, key);
    return value;
  }
  void decode(const std::string& key, std::string_view value, std::string_view format,
              std::initializer_list<recio::InItem> items) const {
    if (recio::read_string(value, format, items) != 0)
      give_up(listing_, "Record " + quoted(key) + " does not fit " + quoted(format) + ": " +
                            quoted(recio::trim_right(value)));
  }

 private:
  int unit_;
  int listing_;
};

struct ParameterSlot {
  const char* decimal;      // 4-character item of the "(I1,I3)" form
  const char* hexadecimal;  // 3-character item of the phase-flag-4 form, or null
  enum { Fraction, X, Y, Z, U } what;
  int index;
};

// The covariance names of one atom, in lookup order.
static const ParameterSlot kParameterSlots[] = {
    {"FRAC", "FRA", ParameterSlot::Fraction, 0},  // 1
    {"X   ", "X  ", ParameterSlot::X, 0},          // 2
    {"Y   ", "Y  ", ParameterSlot::Y, 1},          // 3
    {"Z   ", "Z  ", ParameterSlot::Z, 2},          // 4
    {"UISO", "UIS", ParameterSlot::U, 0},          // 5
    {"U11 ", nullptr, ParameterSlot::U, 0},        // 6
    {"U22 ", nullptr, ParameterSlot::U, 1},        // 7
    {"U33 ", nullptr, ParameterSlot::U, 2},        // 8
    {"U12 ", nullptr, ParameterSlot::U, 3},        // 9
    {"U13 ", nullptr, ParameterSlot::U, 4},        // 10
    {"U23 ", nullptr, ParameterSlot::U, 5},        // 11
};

// First position (from 1) of every name in the covariance list, keyed by
// the characters that the lookup compares.
class NameIndex {
 public:
  NameIndex(const CovarianceData& covariance, std::size_t compared) {
    const std::size_t n = std::min(static_cast<std::size_t>(std::max(covariance.nname, 0)), covariance.names.size());
    for (std::size_t k = 0; k < n; ++k)
      first_.emplace(recio::pad(covariance.names[k], 8).substr(0, compared), static_cast<int>(k) + 1);
    compared_ = compared;
  }
  int find(const std::string& name) const {
    auto it = first_.find(name.substr(0, compared_));
    return it == first_.end() ? 0 : it->second;
  }

 private:
  std::unordered_map<std::string, int> first_;
  std::size_t compared_ = 8;
};

void attach_standard_deviations(AtomSite& atom, int phase, int phase_flag, const CovarianceData& covariance,
                                const NameIndex& names) {
  atom.fraction_sigma = 0;
  atom.fraction_position = 0;
  atom.x_sigma = {};
  atom.x_position = {};
  atom.u_sigma = {};
  atom.u_position = {};
  if (covariance.nname <= 0) return;
  const bool hexadecimal = phase_flag == kHexadecimalPhase;
  for (const ParameterSlot& slot : kParameterSlots) {
    const char* item = hexadecimal ? slot.hexadecimal : slot.decimal;
    if (item == nullptr) continue;
    const int j = names.find(covariance_parameter_name(phase, atom.record, phase_flag, item));
    if (j == 0) continue;
    const float sigma = std::sqrt(std::max(COVEL(covariance, j, j), 0.0f));
    switch (slot.what) {
      case ParameterSlot::Fraction:
        atom.fraction_sigma = sigma;
        atom.fraction_position = j;
        break;
      case ParameterSlot::X:
      case ParameterSlot::Y:
      case ParameterSlot::Z:
        atom.x_position[static_cast<std::size_t>(slot.index)] = j;
        atom.x_sigma[static_cast<std::size_t>(slot.index)] = sigma;
        break;
      case ParameterSlot::U:
        atom.u_position[static_cast<std::size_t>(slot.index)] = j;
        atom.u_sigma[static_cast<std::size_t>(slot.index)] = sigma;
        break;
    }
  }
}

void read_types(const PhaseRecords& records, int listing_unit, bool with_peaks, PhaseDescription& description) {
  int natyp = 0;
  const std::string count_key = " EXPR  NATYP";
  records.decode(count_key, records.require(count_key), "(I5)", {natyp});
  const int room = static_cast<int>(kMaxAtomTypes) - (with_peaks ? 1 : 0);
  if (natyp > room)
    give_up(listing_unit, "Record " + quoted(count_key) + " asks for " + std::to_string(natyp) +
                              " atom types; at most " + std::to_string(room) + " can be held" +
                              (with_peaks ? " besides the Fourier-peak type" : ""));
  for (int n = 1; n <= static_cast<int>(kMaxAtomTypes) && static_cast<int>(description.types.size()) < natyp; ++n) {
    const std::string key = recio::write_string("(A,I2)", {" EXPR ATYP", n});
    std::string value;
    if (!records.find(key, value)) continue;
    AtomType type;
    records.decode(key, value, "(2X,A,5X,2F10.2)", {type.symbol, type.bond_radius, type.angle_radius});
    type.peak_radius = description.peak_radii[description.types.size()];
    description.types.push_back(type, "atom type list");
  }
}

void read_cell(const PhaseRecords& records, const std::string& prefix, PhaseDescription& description) {
  Vec3 angles{}, angle_sigma{};
  const std::string abc_key = prefix + "ABC   ";
  const std::string angle_key = prefix + "ANGLES";
  records.decode(abc_key, records.require(abc_key), "(3F10.5)",
                 {description.abc[0], description.abc[1], description.abc[2]});
  std::string value;
  const std::string abc_sigma_key = abc_key.substr(0, 9) + "SIG";
  if (records.find(abc_sigma_key, value))
    records.decode(abc_sigma_key, value, "(3F10.5)",
                   {description.abc_sigma[0], description.abc_sigma[1], description.abc_sigma[2]});
  records.decode(angle_key, records.require(angle_key), "(3F10.5)", {angles[0], angles[1], angles[2]});
  const std::string angle_sigma_key = angle_key.substr(0, 9) + "SIG";
  if (records.find(angle_sigma_key, value))
    records.decode(angle_sigma_key, value, "(3F10.5)", {angle_sigma[0], angle_sigma[1], angle_sigma[2]});

  try {
    CELLMATRIX(description.abc[0], description.abc[1], description.abc[2], angles[0], angles[1], angles[2],
               description.orthogonal, description.inverse);
  } catch (const Error&) {
    // Angles that close no cell: the matrices stay zero and the caller,
    // which sees the cosines, refuses the phase instead of the whole run.
    description.orthogonal = Mat3{};
    description.inverse = Mat3{};
  }
  // From here on the phase holds cosines; the sigma of a cosine is
  // sin(angle) times the angle's sigma in radians.
  for (std::size_t k = 0; k < 3; ++k) {
    description.cosine_sigma[k] = SIND(angles[k]) * angle_sigma[k] * kDegree;
    description.cosines[k] = COSD(angles[k]);
  }
}

void read_space_group(const PhaseRecords& records, int listing_unit, const std::string& prefix,
                      PhaseDescription& description) {
  const std::string key = prefix + "SG SYM";
  description.symbol = records.require(key).substr(2, 20);
  SGINTERP(description.symbol, listing_unit, description.group);
  LINECHK(listing_unit, (description.group.nsym - 1) / 3 + 11);
  description.general_multiplicity = description.group.general_multiplicity();
  for (int k = 0; k < description.group.nsym && k < static_cast<int>(kMaxOperators); ++k)
    for (int i = 1; i <= 3; ++i)
      for (int j = 1; j <= 3; ++j)
        at(description.rotation_t[static_cast<std::size_t>(k)], i, j) =
            static_cast<float>(description.group.ops[static_cast<std::size_t>(k)].r(j, i));
}

// Reads the atom stored under record number `record`; false when absent.
bool read_atom(const PhaseRecords& records, int listing_unit, int phase, int phase_flag, int record,
               AtomSite& atom) {
  atom = AtomSite{};
  atom.record = record;
  std::string value;
  if (phase_flag == kHexadecimalPhase) {
    const std::string key = atom_record_key(phase, record, phase_flag);
    if (!records.find(key, value)) return false;
    // Columns 55-66 carry fields that are not used here.
    float uiso = 0;
    records.decode(key, value, "(2X,A8,F6.4,3F8.5,F6.4,A8)",
                   {atom.type_symbol, atom.fraction, atom.x[0], atom.x[1], atom.x[2], uiso, atom.label});
    atom.fraction = 1.0f;
    atom.u[0] = uiso;
    atom.kind = "I   ";
    return true;
  }
  const std::string key_b = atom_record_key(phase, record, phase_flag, 'B');
  if (!records.find(key_b, value)) return false;
  const std::string key_a = atom_record_key(phase, record, phase_flag, 'A');
  std::string value_a;
  if (!records.find(key_a, value_a))
    give_up(listing_unit, "Atom record " + quoted(key_b) + " has no partner record " + quoted(key_a));
  // The site multiplicity and the flag characters after the label are not used.
  records.decode(key_a, value_a, "(2X,A,4F10.0,A)",
                 {atom.type_symbol, atom.x[0], atom.x[1], atom.x[2], atom.fraction, atom.label});
  records.decode(key_b, value, "(62X,A)", {atom.kind});
  if (atom.kind[0] == 'I') {
    records.decode(key_b, value, "(F10.0)", {atom.u[0]});
  } else {
    records.decode(key_b, value, "(6F10.0)", {atom.u[0], atom.u[1], atom.u[2], atom.u[3], atom.u[4], atom.u[5]});
  }
  return true;
}

void read_atoms(const PhaseRecords& records, int listing_unit, int phase, int phase_flag, int natom,
                const CovarianceData& covariance, PhaseDescription& description) {
  const bool hexadecimal = phase_flag == kHexadecimalPhase;
  const int last_record = hexadecimal ? 0xFFFF : 999;
  const NameIndex names(covariance, hexadecimal ? 8 : 7);
  int counter = 0;
  for (int i = 1; i <= natom; ++i) {
    AtomSite atom;
    do {
      ++counter;
      if (counter > last_record)
        give_up(listing_unit, "Phase " + std::to_string(phase) + " announces " + std::to_string(natom) +
                                  " atoms, but only " + std::to_string(i - 1) +
                                  " atom records exist up to record number " +
                                  (hexadecimal ? hex4(last_record) : std::to_string(last_record)));
    } while (!read_atom(records, listing_unit, phase, phase_flag, counter, atom));

    std::size_t type = 0;
    while (type < description.types.size() && !recio::equal_padded(description.types[type].symbol, atom.type_symbol))
      ++type;
    if (type == description.types.size())
      give_up(listing_unit, "Atom " + quoted(recio::trim_right(atom.label)) + " (record " +
                                quoted(atom_record_key(phase, counter, phase_flag)) + ") has type " +
                                quoted(recio::trim_right(atom.type_symbol)) +
                                ", which is not among the phase's atom types");
    atom.type = static_cast<int>(type) + 1;

    attach_standard_deviations(atom, phase, phase_flag, covariance, names);
    if (hexadecimal || atom.kind[0] == 'I') {
      atom.u[1] = atom.u[2] = atom.u[0];
      atom.u[3] = atom.u[4] = atom.u[5] = 0;
      atom.u_position[1] = atom.u_position[2] = atom.u_position[0];
    }
    description.atoms.push_back(atom, "atom list");
  }
}

void read_fourier_peaks(const PhaseRecords& records, int listing_unit, const std::string& prefix,
                        PhaseDescription& description) {
  if (description.types.size() >= kMaxAtomTypes)
    give_up(listing_unit, "No room for the Fourier-peak type: the phase already has " +
                              std::to_string(description.types.size()) + " atom types");
  AtomType peak_type;
  peak_type.symbol = recio::pad("FrPk", 8);
  peak_type.peak_radius = description.peak_radii[description.types.size()];
  description.types.push_back(peak_type, "atom type list");
  const std::size_t natyp = description.types.size();

  const std::string key = prefix + "PEAKRD";
  const std::string value = records.require(key);
  float hmax = 0, hmin = 0;
  std::vector<float> radii(natyp, 0.0f);
  std::vector<recio::InItem> items{hmax, hmin, description.types.back().bond_radius,
                                   description.types.back().angle_radius};
  for (float& r : radii) items.emplace_back(r);
  const std::string record[] = {value};
  if (recio::read_records(record, "(2F6.0,12F4.0)", items) != 0 &&
      recio::read_records(record, "(2F6.0,11F5.0)", items) != 0)
    give_up(listing_unit, "Record " + quoted(key) + " does not hold the peak heights and " + std::to_string(natyp) +
                              " peak-exclusion radii in either form: " + quoted(recio::trim_right(value)));
  for (std::size_t k = 0; k < natyp; ++k) {
    description.types[k].peak_radius = radii[k];
    description.peak_radii[k] = radii[k];
  }

  for (int n = 1; n <= 999; ++n) {
    const std::string peak_key = prefix + recio::write_string("(A,I3)", {"FPK", n});
    std::string peak_value;
    if (!records.find(peak_key, peak_value)) break;
    Vec3 x{};
    std::string text(12, ' ');
    records.decode(peak_key, peak_value, "(3F10.5,2X,A)", {x[0], x[1], x[2], text});
    float height = 0;
    records.decode(peak_key, text.substr(0, 10), "(F10.0)", {height});
    const float h = std::abs(height);
    if (!(hmin < h && h <= hmax)) continue;
    const PeakCheck check = PEAKCHK(x, description);
    if (!check.accepted) {
      LINECHK(listing_unit, 1);
      recio::write(listing_unit, "(A,F6.3)",
                   {" Fourier peak " + text + " is too close to " +
                        recio::pad(description.atoms[static_cast<std::size_t>(check.atom - 1)].label, 8) + " at D =",
                    check.distance});
      continue;
    }
    if (description.atoms.full())
      give_up(listing_unit, "Fourier peak " + quoted(peak_key) + " would be atom " +
                                std::to_string(description.atoms.size() + 1) + "; at most " +
                                std::to_string(kMaxAtoms) + " atoms can be held");
    AtomSite atom;
    atom.x = x;
    int position = 1, length = 0;
    NEXTTOKEN(text, position, atom.label, length);
    atom.type_symbol = peak_type.symbol;
    atom.type = static_cast<int>(natyp);
    atom.fraction = 1.0f;
    atom.record = n;
    description.atoms.push_back(atom, "atom list");
  }
}

}  // namespace

std::string atom_record_key(int phase, int record, int phase_flag, char part) {
  if (phase_flag == kHexadecimalPhase) return CRSKEY(phase) + "AT" + hex4(record);
  return CRSKEY(phase) + recio::write_string("(A,I3,A)", {"AT", record, std::string(1, part)});
}

std::string covariance_parameter_name(int phase, int record, int phase_flag, std::string_view item) {
  if (phase_flag == kHexadecimalPhase)
    return recio::write_string("(I1)", {phase}) + hex4(record) + recio::pad(item, 3);
  return recio::write_string("(I1,I3)", {phase, record}) + recio::pad(item, 4);
}

void RDPHASE(int experiment_unit, int listing_unit, int phase, int phase_flag, std::string_view fourier_mode,
             const CovarianceData& covariance, PhaseDescription& description) {
  const auto peak_radii = description.peak_radii;
  description = PhaseDescription{};
  description.peak_radii = peak_radii;
  description.number = phase;

  const PhaseRecords records(experiment_unit, listing_unit);
  const bool with_peaks = recio::equal_padded(recio::pad(fourier_mode, 4), "FORA");
  read_types(records, listing_unit, with_peaks, description);

  const std::string prefix = CRSKEY(phase);
  std::string value;
  if (records.find(prefix + "  PNAM", value)) description.name = value.substr(2, 66);

  const std::string natom_key = prefix + " NATOM";
  int natom = 0;
  records.decode(natom_key, records.require(natom_key), "(I5)", {natom});
  if (natom > static_cast<int>(kMaxAtoms))
    give_up(listing_unit, "Record " + quoted(natom_key) + " announces " + std::to_string(natom) +
                              " atoms; at most " + std::to_string(kMaxAtoms) + " can be held");

  read_cell(records, prefix, description);
  read_space_group(records, listing_unit, prefix, description);
  read_atoms(records, listing_unit, phase, phase_flag, natom, covariance, description);
  if (with_peaks) read_fourier_peaks(records, listing_unit, prefix, description);
}

}  // namespace vesk
