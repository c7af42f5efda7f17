#include "cif2exp/experiment_records.hpp"

#include "expfile/control_records.hpp"
#include "recio/edit_output.hpp"
#include "recio/error.hpp"
#include "recio/fixed_text.hpp"
#include "recio/status.hpp"
#include "recio/units.hpp"
#include "console/text_utils.hpp"
#include "report/phase_controls.hpp"

namespace cif2exp {

namespace {

using recio::pad;
using vesk::Error;

constexpr char kPhasePrefix[] = "CRS1  ";  // phase 1 (the prefix of every key of the phase)

// Fw.d, refused rather than written as asterisks.
std::string fixed(double value, int width, int decimals, const std::string& what) {
  std::string field = recio::edit_fixed(value, width, decimals);
  if (field.find('*') != std::string::npos)
    throw Error(what + " " + std::to_string(value) + " does not fit its " + std::to_string(width) +
                "-column field of the experiment file");
  return field;
}

std::string integer(int value, int width) { return recio::edit_integer(value, width); }

}  // namespace

std::vector<std::pair<std::string, std::string>> experiment_records(const ExperimentContent& content) {
  std::vector<std::pair<std::string, std::string>> records;
  auto add = [&records](const std::string& key, const std::string& value) {
    records.emplace_back(pad(key, 12), pad(value, 68));
  };

  add("      DESCR ", "  " + content.title);
  add("     VERSION", integer(kFileVersion, 5));
  add("    HSTRY" + integer(1, 3), content.history);

  // Phase 1: an ordinary phase, or type 4 (hexadecimal atom keys); "(9I5)"
  std::string flags = integer(content.hexadecimal_keys ? 4 : 1, 5);
  for (int phase = 2; phase <= 9; ++phase) flags += integer(0, 5);
  add(" EXPR NPHAS ", flags);

  if (content.types.size() > 36) throw Error("more than 36 atom types; a phase holds at most 36");
  add(" EXPR  NATYP", integer(static_cast<int>(content.types.size()), 5));
  for (std::size_t i = 0; i < content.types.size(); ++i) {
    const TypeRecord& type = content.types[i];
    add(" EXPR ATYP" + integer(static_cast<int>(i + 1), 2),
        "  " + pad(type.symbol, 8) + "     " + fixed(type.bond_radius, 10, 2, "bond radius") +
            fixed(type.angle_radius, 10, 2, "angle radius"));
  }

  std::string control;
  if (content.control_fields.size() > 8) throw Error("more than 8 least-squares control fields");
  for (const std::string& field : content.control_fields) control += pad(field, 8);
  add("  RFFN  RUN ", pad(content.run_summary, 43) + integer(kCycle, 4) + "  " +
                          fixed(content.cycle_figure, 15, 5, "cycle figure"));
  add("  RFFN CDAT1", "  " + control);

  const std::string prefix = kPhasePrefix;
  add(prefix + "  PNAM", "  " + content.phase_name);
  if (content.atoms.size() > (content.hexadecimal_keys ? 5000u : 999u))
    throw Error(content.hexadecimal_keys ? "more than 5000 atoms; a phase holds at most 5000"
                                         : "more than 999 atoms; the decimal atom keys of a phase number them up to 999");
  add(prefix + " NATOM", integer(static_cast<int>(content.atoms.size()), 5));
  std::string abc, abc_sigma, angles, angle_sigma;
  static const char* const names[6] = {"cell length a", "cell length b", "cell length c",
                                       "cell angle alpha", "cell angle beta", "cell angle gamma"};
  for (int i = 0; i < 3; ++i) {
    abc += fixed(content.cell[i], 10, 5, names[i]);
    abc_sigma += fixed(content.cell_sigma[i], 10, 5, std::string("s.u. of the ") + names[i]);
    angles += fixed(content.cell[i + 3], 10, 5, names[i + 3]);
    angle_sigma += fixed(content.cell_sigma[i + 3], 10, 5, std::string("s.u. of the ") + names[i + 3]);
  }
  add(prefix + "ABC   ", abc);
  add(prefix + "ABCSIG", abc_sigma);
  add(prefix + "ANGLES", angles);
  add(prefix + "ANGSIG", angle_sigma);
  add(prefix + "SG SYM", "  " + pad(content.symbol, 20));

  for (std::size_t n = 0; content.hexadecimal_keys && n < content.atoms.size(); ++n) {
    const AtomRecord& atom = content.atoms[n];
    static const char* const digits = "0123456789ABCDEF";
    std::string key = prefix + "AT";
    for (int shift = 12; shift >= 0; shift -= 4) key += digits[(static_cast<int>(n + 1) >> shift) & 0xF];
    const std::string what = "atom " + atom.label + ":";
    // "(2X,A8,F6.4,3F8.5,F6.4,A8,A2,I4,6A1)"
    std::string a = "  " + pad(atom.type_symbol, 8) + fixed(atom.fraction, 6, 4, what + " occupancy");
    for (int i = 0; i < 3; ++i) a += fixed(atom.x[i], 8, 5, what + " coordinate");
    a += fixed(atom.u[0], 6, 4, what + " Uiso") + pad(atom.label, 8) + "  " +
         integer(atom.multiplicity, 4);
    add(key, a);
  }
  for (std::size_t n = 0; !content.hexadecimal_keys && n < content.atoms.size(); ++n) {
    const AtomRecord& atom = content.atoms[n];
    const std::string key = prefix + "AT" + integer(static_cast<int>(n + 1), 3);
    const std::string what = "atom " + atom.label + ":";
    std::string a = "  " + pad(atom.type_symbol, 8);
    for (int i = 0; i < 3; ++i) a += fixed(atom.x[i], 10, 6, what + " coordinate");
    a += fixed(atom.fraction, 10, 6, what + " occupancy") + pad(atom.label, 8) +
         fixed(atom.multiplicity, 4, 0, what + " multiplicity") + "    ";
    add(key + "A", a);
    std::string b;
    const int count = atom.anisotropic ? 6 : 1;
    for (int i = 0; i < count; ++i) b += fixed(atom.u[i], 10, 6, what + " displacement parameter");
    add(key + "B", pad(b, 62) + (atom.anisotropic ? "A   " : "I   "));
  }

  // Words beyond one record go on in further records of the phase.
  const std::vector<std::string> controls = vesk::control_record_values(content.vortan_controls, 1, vesk::is_control_keyword);
  for (std::size_t n = 0; n < controls.size(); ++n) add(vesk::control_key(1, static_cast<int>(n) + 1), controls[n]);
  add("ZZZZZZZZZZZZ", "end of the experiment file written by cif2exp");
  return records;
}

void write_experiment_file(const std::string& file, const std::vector<std::pair<std::string, std::string>>& records) {
  int unit = 11;
  vesk::FREEUNIT(unit);
  recio::OpenSpec spec;
  spec.status = recio::OpenStatus::New;
  const auto failed = [&](int status) {
    recio::close(unit);
    return Error("cannot write " + file + ": " + recio::status_text(status));
  };
  int status = recio::open(unit, file, spec);
  if (status != 0) throw Error("cannot create " + file + ": " + recio::status_text(status));
  for (const auto& [key, value] : records) {
    // The record's CR goes in as text; the sequential write adds the LF.
    status = recio::write(unit, "(A,A,A)", {pad(key, 12), pad(value, 68), "\r"});
    if (status != 0) throw failed(status);
  }
  status = recio::close(unit);
  if (status != 0) throw Error("cannot write " + file + ": " + recio::status_text(status));
}

}  // namespace cif2exp
