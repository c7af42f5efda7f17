#include "report/analysis_listing.hpp"

#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "console/page.hpp"
#include "recio/error.hpp"
#include "recio/fixed_text.hpp"
#include "recio/format.hpp"
#include "recio/units.hpp"
#include "report/site_numbering.hpp"
#include "report/tables.hpp"

namespace vesk {

namespace {

void line(int unit, const std::string& text) {
  LINECHK(unit, 1);
  recio::check(recio::write(unit, "(A)", {text}), unit);
}

// A heading with the room for its first rows.
void heading(int unit, const std::string& title, int rows) {
  LINECHK(unit, 3 + rows);
  recio::check(recio::write(unit, "(A)", {" "}), unit);
  recio::check(recio::write(unit, "(A)", {" " + title}), unit);
  recio::check(recio::write(unit, "(A)", {" "}), unit);
}

std::string name(const PhaseDescription& phase, const AnalysisImage& image) {
  const AtomSite& atom = phase.atoms[static_cast<std::size_t>(image.atom - 1)];
  std::string text = recio::pad(atom.label, 8).substr(0, static_cast<std::size_t>(label_length(atom.label)));
  if (image.op == SymmetryOperation{}) return text;
  const auto named = image_name(phase.group, atom.x, image_of(image.op, atom.x));
  const std::string code = named ? site_symmetry_code(symop_number(phase.group, named->code), named->n) : "";
  return text + "_" + (code.empty() ? "?" : code);
}

std::string value(const MeasuredValue& m, EsdKind kind) {
  if (!m.defined) return "-";
  std::string text = format_value_esd(static_cast<float>(m.value), static_cast<float>(m.su), kind);
  text.erase(0, text.find_first_not_of(' '));
  return text;
}

std::string padded(std::string text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

std::string names(const PhaseDescription& phase, const std::vector<AnalysisImage>& images) {
  std::string text;
  for (const AnalysisImage& image : images) text += (text.empty() ? "" : " ") + name(phase, image);
  return text;
}

void ring_table(int unit, const PhaseDescription& phase, const MoleculeAnalysis& analysis) {
  heading(unit, "Rings (in ring order from their start atom) and their puckering (Cremer & Pople)", 2);
  for (std::size_t r = 0; r < analysis.rings.size(); ++r) {
    const RingAnalysis& ring = analysis.rings[r];
    const std::string of = analysis.ring_source == RingSource::Net ? " of the net"
                           : analysis.ring_source == RingSource::Ligands ? " of ligand " + std::to_string(ring.molecule)
                                                                         : " of molecule " + std::to_string(ring.molecule);
    line(unit, " Ring " + std::to_string(r + 1) + of + ": " + names(phase, ring.atoms));
    if (!ring.puckering) continue;
    std::string text = "    Q = " + value(ring.total, EsdKind::Distance);
    if (ring.theta.defined) text += "  theta = " + value(ring.theta, EsdKind::Angle);
    for (const PuckeringAmplitude& term : ring.terms) {
      text += "  q" + std::to_string(term.m) + " = " + value(term.amplitude, EsdKind::Distance);
      // A phase is shown only where its amplitude stands above its s.u.
      if (term.phase.defined && std::abs(term.amplitude.value) > 3 * term.amplitude.su) text += "  phi" + std::to_string(term.m) + " = " + value(term.phase, EsdKind::Angle);
    }
    line(unit, text);
    if (ring.conformation != Conformation::unnamed)
      line(unit, std::string("    conformation: ") + conformation_name(ring.conformation));
  }
}

void plane_table(int unit, const PhaseDescription& phase, const MoleculeAnalysis& analysis) {
  heading(unit, "Least-squares planes (unit weights) and deviations from them, A (* defining atom)", 3);
  for (std::size_t p = 0; p < analysis.planes.size(); ++p) {
    const PlaneAnalysis& plane = analysis.planes[p];
    LINECHK(unit, 3);
    line(unit, " Plane " + std::to_string(p + 1) +
                   (plane.ring >= 0 ? " through ring " + std::to_string(plane.ring + 1)
                                    : " PLAN " + std::to_string(plane.user)) +
                   ": " + names(phase, plane.atoms));
    if (!plane.defined) {
      line(unit, "    the atoms lie on a line: no plane");
      continue;
    }
    line(unit, recio::write_string("(A,3F10.6,A,3F10.5)",
                                   {"    normal (Cartesian)", plane.normal[0], plane.normal[1], plane.normal[2],
                                    "  (reciprocal axes)", plane.reciprocal_normal[0], plane.reciprocal_normal[1],
                                    plane.reciprocal_normal[2]}));
    line(unit, "    RMS deviation " + value(plane.rms, EsdKind::Distance));
    for (const PlaneDeviation& d : plane.deviations)
      line(unit, "    " + padded(name(phase, d.image) + (d.defining ? " *" : ""), 20) +
                     value(d.deviation, EsdKind::Distance));
  }
}

// The second plane of a pair as carried: "2", or "2_655" for an image.
std::string plane_image(const PhaseDescription& phase, std::size_t plane, const SymmetryOperation& op) {
  std::string text = std::to_string(plane + 1);
  if (op == SymmetryOperation{}) return text;
  const auto named = operation_name(phase.group, op);
  return text + "_" + (named ? site_symmetry_code(symop_number(phase.group, named->code), named->n) : "?");
}

void angle_table(int unit, const PhaseDescription& phase, const MoleculeAnalysis& analysis) {
  heading(unit, "Angles between planes, degrees, and the distance of their centroids, A", 1);
  for (const PlaneAngle& angle : analysis.plane_angles)
    line(unit, " Planes " +
                   padded(std::to_string(angle.first + 1) + " and " + plane_image(phase, angle.second, angle.second_image), 18) +
                   padded(value(angle.degrees, EsdKind::Angle), 14) + padded(relation_name(angle.relation), 11) +
                   value(angle.centroid_distance, EsdKind::Distance));
}

void rigid_bond_table(int unit, const PhaseDescription& phase, const MoleculeAnalysis& analysis) {
  heading(unit, "Rigid-bond test (Hirshfeld): mean-square displacements along the bond, A**2", 2);
  line(unit, " " + padded("Bond", 30) + padded("z2(A)", 14) + padded("z2(B)", 14) + "Delta");
  for (const RigidBondRow& row : analysis.rigid_bond)
    line(unit, " " + padded(name(phase, row.a) + " - " + name(phase, row.b), 30) +
                   padded(value(row.msda_a, EsdKind::Coordinate), 14) +
                   padded(value(row.msda_b, EsdKind::Coordinate), 14) +
                   (row.flagged ? padded(value(row.delta, EsdKind::Coordinate), 14) + "***"
                                : value(row.delta, EsdKind::Coordinate)));
  line(unit, " " + std::to_string(analysis.flagged) + " of " + std::to_string(analysis.rigid_bond.size()) +
                 " bonds flagged (|Delta| > 0.001 A**2 and > 3 s.u.)");
}


std::string format_fixed(double v, int digits) {
  char text[40];
  std::snprintf(text, sizeof text, "%.*f", digits, v);
  return text;
}

std::string state_text(int state) { return (state > 0 ? "+" : "") + std::to_string(state); }

// "O -2 Si +4", or per atom where sites of one element differ: "Fe +2 (Fe1) +3 (Fe2 Fe3)".
std::string states_text(const PhaseDescription& phase, const InorganicAnalysis& analysis) {
  std::map<std::string, std::map<int, std::string>> by_element;
  for (const AtomValence& atom : analysis.atoms) {
    const std::string element = element_and_charge(phase.atoms[static_cast<std::size_t>(atom.atom - 1)].type_symbol)->element;
    std::string& labels = by_element[element][atom.state];
    labels += (labels.empty() ? "" : " ") + name(phase, {atom.atom, SymmetryOperation{}});
  }
  std::string text;
  for (const auto& [element, states] : by_element) {
    text += " " + element;
    for (const auto& [state, labels] : states) text += " " + state_text(state) + (states.size() > 1 ? " (" + labels + ")" : "");
  }
  return text;
}

// The atoms without a sum, by reason, their labels wrapped.
void left_out_lines(int unit, const PhaseDescription& phase, const InorganicAnalysis& analysis) {
  std::map<std::string, std::vector<std::string>> by_reason;
  std::vector<std::string> reasons;
  for (const LeftOutAtom& atom : analysis.left_out) {
    if (!by_reason.count(atom.reason)) reasons.push_back(atom.reason);
    by_reason[atom.reason].push_back(name(phase, {atom.atom, SymmetryOperation{}}));
  }
  for (const std::string& reason : reasons) {
    const std::vector<std::string>& labels = by_reason[reason];
    line(unit, " Left out (" + reason + "), " + std::to_string(labels.size()) + (labels.size() == 1 ? " atom:" : " atoms:"));
    std::string text;
    for (const std::string& label : labels) {
      if (text.size() + label.size() > 100) {
        line(unit, "   " + text);
        text.clear();
      }
      text += " " + label;
    }
    if (!text.empty()) line(unit, "   " + text);
  }
}

void valence_table(int unit, const PhaseDescription& phase, const InorganicAnalysis& analysis) {
  heading(unit, "Bond valences s = exp((R0 - R)/b), v.u.; oxidation states (" + analysis.states_from +
                    "):" + states_text(phase, analysis), 2);
  left_out_lines(unit, phase, analysis);
  line(unit, " " + padded("Bond", 30) + padded("R, A", 14) + padded("R0", 8) + padded("b", 7) + padded("ref.", 6) +
                 "s");
  for (const AtomValence& atom : analysis.atoms) {
    if (atom.state <= 0) continue;
    for (const ValenceBond& bond : atom.bonds)
      line(unit, " " + padded(name(phase, {atom.atom, SymmetryOperation{}}) + " - " + name(phase, bond.anion), 30) +
                     padded(value(bond.distance, EsdKind::Distance), 14) + padded(format_fixed(bond.r0, 3), 8) +
                     padded(format_fixed(bond.b, 2), 7) + padded(bond.source, 6) +
                     value(bond.valence, EsdKind::Distance));
  }
  heading(unit, "Bond-valence sums, v.u., and their deviation from the formal valence", 2);
  line(unit, " " + padded("Atom", 10) + padded("state", 7) + padded("bonds", 7) + padded("sum", 14) + "deviation");
  for (const AtomValence& atom : analysis.atoms)
    line(unit, " " + padded(name(phase, {atom.atom, SymmetryOperation{}}), 10) + padded(state_text(atom.state), 7) +
                   padded(std::to_string(atom.bonds.size()), 7) + padded(value(atom.sum, EsdKind::Distance), 14) +
                   (atom.unchecked.empty() ? value(atom.deviation, EsdKind::Distance)
                                           : padded(value(atom.deviation, EsdKind::Distance), 14) + "not checked: " +
                                                 atom.unchecked));
  if (!analysis.mixed_sites.empty()) {
    heading(unit, "Sites of several atoms: occupancy-weighted sum against the occupancy-weighted valence", 2);
    line(unit, " " + padded("Atoms", 20) + padded("valence", 9) + padded("sum", 14) + "deviation");
    for (const SiteValence& site : analysis.mixed_sites) {
      std::string atoms;
      for (int atom : site.atoms) atoms += (atoms.empty() ? "" : "/") + name(phase, {atom, SymmetryOperation{}});
      line(unit, " " + padded(atoms, 20) + padded(format_fixed(site.valence, 3), 9) +
                     padded(value(site.sum, EsdKind::Distance), 14) + value(site.deviation, EsdKind::Distance));
    }
  }
  if (analysis.gii.defined)
    line(unit, " Global instability index GII = " + value(analysis.gii, EsdKind::Distance) + " v.u.");
}

void polyhedra_table(int unit, const PhaseDescription& phase, const InorganicAnalysis& analysis) {
  heading(unit, "Coordination polyhedra: mean bond (A), volume (A**3), distortion index, quadratic elongation, "
                "bond-angle variance (deg**2)", 2);
  for (const PolyhedronRow& poly : analysis.polyhedra) {
    line(unit, " " + padded(name(phase, {poly.atom, SymmetryOperation{}}), 10) + "CN " +
                   std::to_string(poly.ligands.size()) + ": " + names(phase, poly.ligands));
    std::string text = "    <d> = " + value(poly.mean_bond, EsdKind::Distance) +
                       "  V = " + value(poly.volume, EsdKind::Distance) +
                       "  D = " + value(poly.distortion_index, EsdKind::Coordinate);
    if (poly.quadratic_elongation)
      text += "  <lambda> = " + value(*poly.quadratic_elongation, EsdKind::Coordinate);
    if (poly.angle_variance) text += "  sigma**2 = " + value(*poly.angle_variance, EsdKind::Angle);
    line(unit, text);
  }
  for (const SharingRow& share : analysis.sharing)
    line(unit, " " + name(phase, {share.first, SymmetryOperation{}}) + " and " +
                   name(phase, {share.second, SymmetryOperation{}}) + " polyhedra share " + (share.kind == "edge" ? "an " : "a ") + share.kind);
}

void checks_table(int unit, const InorganicAnalysis& analysis) {
  heading(unit, "Checks (advice only): level, rule, numbers", 1);
  if (analysis.checks.empty()) line(unit, " No check raised");
  for (const CheckRow& check : analysis.checks)
    line(unit, " " + std::string(1, check.level) + "  " + padded(check.rule, 38) + check.text);
}

}  // namespace

void write_inorganic_tables(int listing_unit, const PhaseDescription& phase, const InorganicAnalysis& analysis,
                            const InorganicTables& tables) {
  // A phase without bond valences says why, and shows its checks only when one is raised.
  if (!analysis.computed) {
    if (tables.bond_valences && !analysis.left_out.empty()) {
      heading(listing_unit, "Bond valences: none", 1);
      left_out_lines(listing_unit, phase, analysis);
    }
    if (tables.checks && !analysis.checks.empty()) checks_table(listing_unit, analysis);
    return;
  }
  if (tables.bond_valences) valence_table(listing_unit, phase, analysis);
  if (tables.polyhedra && !analysis.polyhedra.empty()) polyhedra_table(listing_unit, phase, analysis);
  if (tables.checks) checks_table(listing_unit, analysis);
}

void write_analysis_tables(int listing_unit, const PhaseDescription& phase, const MoleculeAnalysis& analysis,
                           const AnalysisTables& tables) {
  if (!analysis.computed) return;
  if (tables.rings && !analysis.rings.empty()) ring_table(listing_unit, phase, analysis);
  if (tables.planes && !analysis.planes.empty()) plane_table(listing_unit, phase, analysis);
  if (tables.plane_angles && !analysis.plane_angles.empty()) angle_table(listing_unit, phase, analysis);
  if (tables.rigid_bond && !analysis.rigid_bond.empty()) rigid_bond_table(listing_unit, phase, analysis);
}

}  // namespace vesk
