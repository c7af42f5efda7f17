#include "report/json_output.hpp"

#include <cctype>
#include <charconv>
#include <cmath>

#include "geometry/inorganic_analysis.hpp"

#include "console/page.hpp"
#include "recio/error.hpp"
#include "recio/file_replace.hpp"
#include "recio/fixed_text.hpp"

namespace vesk {

namespace {

std::string trimmed(const std::string& text) {
  std::string result(recio::trim_right(text));
  result.erase(0, std::min(result.size(), result.find_first_not_of(' ')));
  return result;
}

const std::string& label(const SiteNumbering& block, int atom) { return block.label(atom); }

Json site_code(const SiteNumbering& block, const SymmetryOperation& op) {
  const std::string code = site_symmetry_code(block, op);
  return code.empty() ? Json(nullptr) : Json(code);
}

Json measured(const MeasuredValue& m, const NumberStyle& style = kQuantityStyle) {
  return m.defined ? json_quantity(m.value, m.su, style) : Json(nullptr);
}
Json measured_angle(const MeasuredValue& m) { return measured(m, kAngleStyle); }

// The shortest decimal that reads back as the stored float, as text.
std::string shortest_text(float value) {
  char buffer[32];
  const std::to_chars_result end = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, end.ptr);
}

// "atoms" and "site_codes" of a list of images.
void name_images(Json& row, const SiteNumbering& block, const std::vector<AnalysisImage>& images) {
  Json labels = Json::array(), codes = Json::array();
  for (const AnalysisImage& image : images) {
    labels.push_back(label(block, image.atom));
    codes.push_back(site_code(block, image.op));
  }
  row["atoms"] = std::move(labels);
  row["site_codes"] = std::move(codes);
}

}  // namespace

Json json_quantity(double value, double su, const NumberStyle& style) {
  if (!std::isfinite(value)) return nullptr;
  Json q;
  q["value"] = value;
  q["su"] = std::isfinite(su) && su > 0 ? Json(su) : Json(nullptr);
  q["text"] = journal_text(value, su, style);
  return q;
}

Json json_input(float value, float su) {
  if (!std::isfinite(value)) return nullptr;
  Json q;
  q["value"] = stored_value(value);
  const bool refined = std::isfinite(su) && su > 0;
  q["su"] = refined ? Json(stored_value(su)) : Json(nullptr);
  q["text"] = refined ? journal_text(stored_value(value), stored_value(su), kQuantityStyle) : shortest_text(value);
  return q;
}

Json json_row_value(const Row& row, std::size_t k) {
  const RowValue& v = row.values[k];
  if (!std::isfinite(v.value)) return nullptr;
  Json q;
  q["value"] = v.value;
  q["su"] = !v.constrained && std::isfinite(v.su) && v.su > 0 ? Json(static_cast<double>(v.su)) : Json(nullptr);
  q["text"] = row_value_text(row, k);
  return q;
}

Json json_site(const RowSite& site) { return site.code.empty() ? Json(nullptr) : Json(site.code); }

Json json_cell(const PhaseDescription& phase) {
  Json cell;
  const char* lengths[] = {"a", "b", "c"};
  const char* angles[] = {"alpha", "beta", "gamma"};
  for (std::size_t k = 0; k < 3; ++k) cell[lengths[k]] = json_input(phase.abc[k], phase.abc_sigma[k]);
  for (std::size_t k = 0; k < 3; ++k) {
    // The phase keeps the cosine; the experiment file gave the angle and
    // its sigma to 0.00001 degrees, sigma(angle) = sigma(cos) / sin(angle).
    const double cosine = phase.cosines[k];
    const double sine = std::sqrt(std::max(0.0, 1 - cosine * cosine));
    auto as_stored = [](double degrees) { return static_cast<float>(std::round(degrees * 1.0E5) / 1.0E5); };
    cell[angles[k]] = json_input(as_stored(std::acos(cosine) * kDegreesPerRadian),
                                 as_stored(sine > 0 ? phase.cosine_sigma[k] / sine * kDegreesPerRadian : 0.0));
  }
  return cell;
}

Json json_atoms(const PhaseDescription& phase, const SiteNumbering& block) {
  Json atoms = Json::array();
  for (std::size_t i = 0; i < phase.atoms.size(); ++i) {
    const AtomSite& atom = phase.atoms[i];
    Json row;
    row["label"] = block.labels[i];
    row["type"] = trimmed(atom.type_symbol);
    const std::optional<TypeSymbol> symbol = element_and_charge(atom.type_symbol);
    row["element"] = symbol ? Json(symbol->element) : Json(nullptr);  // null: a Fourier peak or no element
    row["charge"] = symbol && symbol->charge ? Json(*symbol->charge) : Json(nullptr);
    row["fract"] = {stored_value(atom.x[0]), stored_value(atom.x[1]), stored_value(atom.x[2])};
    Json su = Json::array();
    for (std::size_t k = 0; k < 3; ++k)
      su.push_back(atom.x_sigma[k] > 0 ? Json(stored_value(atom.x_sigma[k])) : Json(nullptr));
    row["fract_su"] = std::move(su);
    row["occupancy"] = json_input(atom.fraction, atom.fraction_sigma);
    const bool isotropic = atom.kind[0] == 'I';
    row["adp_type"] = isotropic ? "Uiso" : "Uani";
    if (isotropic) {
      row["u_iso"] = json_input(atom.u[0], atom.u_sigma[0]);
    } else {
      Json u = Json::array();
      for (std::size_t k = 0; k < 6; ++k) u.push_back(json_input(atom.u[k], atom.u_sigma[k]));
      row["u"] = std::move(u);  // U11, U22, U33, U12, U13, U23
    }
    atoms.push_back(std::move(row));
  }
  return atoms;
}

Json json_symmetry_operators(const SiteNumbering& block) {
  Json ops = Json::array();
  for (std::size_t k = 0; k < block.symops.size(); ++k) {
    // The number the site codes n_klm give: the id, or the row of an id
    // that is no number.
    const std::string& id = block.symops[k].id;
    const bool number = !id.empty() && id.size() <= 5 &&
                        std::all_of(id.begin(), id.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
    ops.push_back({{"id", number ? std::stoi(id) : static_cast<int>(k + 1)}, {"xyz", block.symops[k].xyz}});
  }
  return ops;
}

const char* json_rows_key(RowKind kind) {
  static const char* const kKeys[] = {"bonds", "angles", "torsions", "hydrogen_bonds"};  // in RowKind's order
  return kKeys[static_cast<std::size_t>(kind)];
}

Json json_rows(const PhaseRows& rows, RowKind kind, std::size_t first, std::size_t count) {
  const std::vector<Row>& of_kind = rows.of(kind);
  const RowKindValues& values = row_values(kind);
  Json out = Json::array();
  for (std::size_t r = first; r < of_kind.size() && r - first < count; ++r) {
    const Row& row = of_kind[r];
    Json json_row;
    json_row["atoms"] = Json::array();
    json_row["site_codes"] = Json::array();
    for (std::size_t k = 0; k < row_kind_name(kind).atoms; ++k) {
      json_row["atoms"].push_back(label(rows.numbering, row.sites[k].atom));
      json_row["site_codes"].push_back(json_site(row.sites[k]));
    }
    for (std::size_t k = 0; k < values.count; ++k) json_row[values.values[k].name] = json_row_value(row, k);
    if (kind == RowKind::bond) json_row["chemical_bond"] = row.chemical;
    json_row["publish"] = row.marked;
    json_row["paper"] = in_paper(row);
    json_row["constrained"] = row.constrained();
    json_row["crosses_disorder"] = row.crosses_disorder;
    out.push_back(std::move(json_row));
  }
  return out;
}

Json json_molecule_analysis(const MoleculeAnalysis& analysis, const SiteNumbering& block) {
  Json out;
  Json rings = Json::array();
  for (const RingAnalysis& ring : analysis.rings) {
    Json row;
    name_images(row, block, ring.atoms);
    row["molecule"] = ring.molecule;
    row["plane"] = ring.plane;
    if (ring.puckering) {
      Json p;
      p["Q"] = measured(ring.total);
      p["theta"] = measured_angle(ring.theta);
      p["phi"] = ring.terms.empty() ? Json(nullptr) : measured_angle(ring.terms.front().phase);
      p["q"] = Json::array();
      for (const PuckeringAmplitude& term : ring.terms)
        p["q"].push_back({{"m", term.m}, {"amplitude", measured(term.amplitude)}, {"phase", measured_angle(term.phase)}});
      p["conformation"] = ring.conformation == Conformation::unnamed ? Json(nullptr)
                                                                     : Json(conformation_name(ring.conformation));
      row["puckering"] = std::move(p);
    } else {
      row["puckering"] = nullptr;
    }
    rings.push_back(std::move(row));
  }
  Json planes = Json::array();
  for (const PlaneAnalysis& plane : analysis.planes) {
    Json row;
    name_images(row, block, plane.atoms);
    row["ring"] = plane.ring >= 0 ? Json(plane.ring) : Json(nullptr);
    row["user_plane"] = plane.user > 0 ? Json(plane.user) : Json(nullptr);
    if (plane.defined) {
      row["normal"] = {plane.normal[0], plane.normal[1], plane.normal[2]};
      row["normal_reciprocal"] = {plane.reciprocal_normal[0], plane.reciprocal_normal[1],
                                  plane.reciprocal_normal[2]};
      row["rms_deviation"] = measured(plane.rms);
      row["deviations"] = Json::array();
      for (const PlaneDeviation& d : plane.deviations)
        row["deviations"].push_back({{"atom", label(block, d.image.atom)},
                                     {"site_code", site_code(block, d.image.op)},
                                     {"deviation", measured(d.deviation)},
                                     {"defining", d.defining}});
    } else {
      row["normal"] = nullptr;  // the atoms lie on a line
    }
    planes.push_back(std::move(row));
  }
  Json angles = Json::array();
  for (const PlaneAngle& angle : analysis.plane_angles)
    angles.push_back({{"planes", {angle.first, angle.second}},
                      {"site_code", site_code(block, angle.second_image)},
                      {"relation", relation_name(angle.relation)},
                      {"angle", measured_angle(angle.degrees)},
                      {"centroid_distance", measured(angle.centroid_distance)}});
  Json rigid = Json::array();
  for (const RigidBondRow& r : analysis.rigid_bond) {
    Json row;
    name_images(row, block, {r.a, r.b});
    row["msda"] = {measured(r.msda_a), measured(r.msda_b)};
    row["delta"] = measured(r.delta);
    row["flagged"] = r.flagged;
    rigid.push_back(std::move(row));
  }
  out["rings"] = std::move(rings);
  out["planes"] = std::move(planes);
  out["plane_angles"] = std::move(angles);
  out["rigid_bond"] = std::move(rigid);
  out["rigid_bond_flagged"] = analysis.flagged;
  return out;
}

Json json_oxidation_states(const InorganicAnalysis& analysis, const SiteNumbering& block) {
  Json states = Json::object();
  for (const AtomValence& atom : analysis.atoms) states[label(block, atom.atom)] = atom.state;
  return states;
}

// The atoms without a sum, with the reason.
Json json_left_out(const InorganicAnalysis& analysis, const SiteNumbering& block) {
  Json rows = Json::array();
  for (const LeftOutAtom& atom : analysis.left_out)
    rows.push_back({{"atom", label(block, atom.atom)}, {"reason", atom.reason}});
  return rows;
}

Json json_bond_valences(const InorganicAnalysis& analysis, const SiteNumbering& block) {
  Json rows = Json::array();
  for (const AtomValence& atom : analysis.atoms) {
    Json row;
    row["atom"] = label(block, atom.atom);
    row["oxidation_state"] = atom.state;
    row["oxidation_state_from"] = atom.state_from;
    row["bonds"] = Json::array();
    for (const ValenceBond& bond : atom.bonds)
      row["bonds"].push_back({{"atoms", {label(block, atom.atom), label(block, bond.anion.atom)}},
                              {"site_codes", {".", site_code(block, bond.anion.op)}},
                              {"distance", measured(bond.distance)},
                              {"r0", bond.r0},
                              {"b", bond.b},
                              {"parameter_source", bond.source},
                              {"valence", measured(bond.valence)}});
    row["sum"] = measured(atom.sum);
    row["deviation"] = measured(atom.deviation);
    row["checked"] = atom.unchecked.empty();
    if (!atom.unchecked.empty()) row["not_checked"] = atom.unchecked;
    rows.push_back(std::move(row));
  }
  return rows;
}

// Sites of several atoms, compared as one.
Json json_mixed_sites(const InorganicAnalysis& analysis, const SiteNumbering& block) {
  Json rows = Json::array();
  for (const SiteValence& site : analysis.mixed_sites) {
    Json atoms = Json::array();
    for (int atom : site.atoms) atoms.push_back(label(block, atom));
    rows.push_back({{"atoms", atoms},
                    {"valence", site.valence},
                    {"sum", measured(site.sum)},
                    {"deviation", measured(site.deviation)}});
  }
  return rows;
}

Json json_polyhedra(const InorganicAnalysis& analysis, const SiteNumbering& block) {
  Json rows = Json::array();
  for (const PolyhedronRow& poly : analysis.polyhedra) {
    Json row;
    row["atom"] = label(block, poly.atom);
    row["ligands"] = Json::array();
    for (const AnalysisImage& l : poly.ligands)
      row["ligands"].push_back({{"atom", label(block, l.atom)}, {"site_code", site_code(block, l.op)}});
    row["coordination_number"] = poly.ligands.size();
    row["mean_bond"] = measured(poly.mean_bond);
    row["volume"] = measured(poly.volume);
    row["distortion_index"] = measured(poly.distortion_index);
    row["quadratic_elongation"] = poly.quadratic_elongation ? measured(*poly.quadratic_elongation) : Json(nullptr);
    row["angle_variance"] = poly.angle_variance ? measured(*poly.angle_variance) : Json(nullptr);
    // Shared with another polyhedron named by its centre's image.
    row["shares"] = Json::array();
    for (const SharedWith& share : poly.shares)
      row["shares"].push_back({{"atom", label(block, share.centre.atom)},
                               {"site_code", site_code(block, share.centre.op)},
                               {"kind", share.kind}});
    rows.push_back(std::move(row));
  }
  return rows;
}

Json json_checks(const InorganicAnalysis& analysis, const SiteNumbering& block) {
  Json rows = Json::array();
  for (const CheckRow& check : analysis.checks) {
    Json atoms = Json::array();
    for (int atom : check.atoms) atoms.push_back(label(block, atom));
    Json row = {{"level", std::string(1, check.level)}, {"rule", check.rule}, {"atoms", atoms}};
    if (!check.images.empty()) {
      Json codes = Json::array();
      for (const AnalysisImage& image : check.images) codes.push_back(site_code(block, image.op));
      row["site_codes"] = std::move(codes);
    }
    row["text"] = check.text;
    rows.push_back(std::move(row));
  }
  return rows;
}

void collect_json_phase(JsonResults& results, const PhaseDescription& phase, const SiteNumbering& block,
                        const MoleculeAnalysis& analysis, const InorganicAnalysis* inorganic) {
  JsonPhase part;
  part.phase = phase.number;
  part.cell = json_cell(phase);
  part.atoms = json_atoms(phase, block);
  part.analyses = json_molecule_analysis(analysis, block);
  if (inorganic != nullptr && inorganic->computed) {
    part.analyses["oxidation_states"] = json_oxidation_states(*inorganic, block);
    part.analyses["oxidation_states_from"] = inorganic->states_from;
    part.analyses["bond_valences_left_out"] = json_left_out(*inorganic, block);
    part.analyses["bond_valences"] = json_bond_valences(*inorganic, block);
    part.analyses["mixed_sites"] = json_mixed_sites(*inorganic, block);
    part.analyses["gii"] = measured(inorganic->gii);
    part.analyses["polyhedra"] = json_polyhedra(*inorganic, block);
    part.analyses["checks"] = json_checks(*inorganic, block);
  } else if (inorganic != nullptr) {
    if (!inorganic->left_out.empty()) part.analyses["bond_valences_left_out"] = json_left_out(*inorganic, block);
    if (!inorganic->checks.empty()) part.analyses["checks"] = json_checks(*inorganic, block);
  }
  results.phases.push_back(std::move(part));
}

std::string json_text(const JsonResults& results, const RunRows& rows, bool with_rows) {
  Json doc;
  doc["schema"] = kJsonSchema;
  doc["program"] = "vortan";
  std::string version(9, ' ');
  PROGVERSION(version);
  doc["version"] = trimmed(version);
  doc["experiment"] = results.experiment;
  doc["covariance"] = covariance_name(rows.covariance);
  doc["units"] = {{"length", "Angstrom"},
                  {"angle", "degree"},
                  {"fract", "fraction of the cell edges"},
                  {"displacement", "Angstrom^2"},
                  {"valence", "valence units"},
                  {"volume", "Angstrom^3"}};
  doc["phases"] = Json::array();
  for (const JsonPhase& part : results.phases) {
    const PhaseRows* block = nullptr;
    for (const PhaseRows& b : rows.phases)
      if (b.phase() == part.phase) block = &b;
    if (block == nullptr) continue;
    Json phase;
    phase["phase"] = part.phase;
    phase["name"] = block->numbering.title;
    phase["space_group"] = block->numbering.symbol;
    phase["cell"] = part.cell;
    phase["cartesian_frame"] = "X along a, Y in the ab plane, Z along c*; Angstrom";
    phase["symmetry_operators"] = json_symmetry_operators(block->numbering);
    phase["atoms"] = part.atoms;
    if (with_rows)
      for (const RowKindName& kind : row_kinds()) phase[json_rows_key(kind.kind)] = json_rows(*block, kind.kind);
    for (const auto& [key, value] : part.analyses.items()) phase[key] = value;
    doc["phases"].push_back(std::move(phase));
  }
  // Non-ASCII in labels or names is replaced rather than refused.
  return doc.dump(1, ' ', true, Json::error_handler_t::replace) + "\n";
}

std::string json_file_name(const std::string& stem) { return stem + ".json"; }

void write_json_file(const JsonResults& results, const RunRows& rows, const std::string& file) {
  // The safe replace of every output: a temporary of this process, created
  // exclusively, renamed over the old file once complete.
  recio::remove_stale_temporaries(file);
  const std::string temporary = recio::temporary_name(file);
  recio::remove_at_end(temporary);
  recio::write_new_file(temporary, json_text(results, rows), "JSON results file");
  recio::rename_file(temporary, file, "JSON results file");
  recio::keep_at_end(temporary);
}

}  // namespace vesk
