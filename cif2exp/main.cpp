// cif2exp: turns the structures of a CIF, one data block each, into
// experiment files NAME.EXP with their covariance files NAME.CMT that
// vortan reads, and NAME.CIFSRC that says which CIF block each came from.
// A block is read and checked whole before anything is written, and its
// files appear together or not at all.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <gemmi/cif.hpp>

#include "cif2exp/cif_structure.hpp"
#include "cif2exp/conversion.hpp"
#include "cif2exp/full_covariance.hpp"
#include "cif2exp/group_operators.hpp"
#include "cif2exp/output_files.hpp"
#include "cif2exp/output_folder.hpp"
#include "cif2exp/recorded_pressure.hpp"
#include "cif2exp/riding_atoms.hpp"
#include "cif2exp/structure_identity.hpp"
#include "console/command_line.hpp"
#include "crystal/spacegroup.hpp"
#include "expfile/control_records.hpp"
#include "expfile/experiment.hpp"
#include "expfile/experiment_lock.hpp"
#include "expfile/unit_replace.hpp"
#include "recio/error.hpp"
#include "recio/fixed_text.hpp"
#include "recio/units.hpp"
#include "report/control_settings.hpp"

namespace {

using vesk::Error;
namespace fs = std::filesystem;

constexpr const char* kUsage =
    "usage: cif2exp FILE.cif [NAME] [--block BLOCK] [--dmax D] [--dagl A] [--force]\n"
    "               [--res FILE.res] [--hkl FILE.hkl] [--fcf FILE.fcf] [--diagonal]\n"
    "               [--set WORD=VALUE ...]\n"
    "  writes NAME.EXP, NAME.CMT and NAME.CIFSRC for vortan from every data block\n"
    "  of FILE.cif that holds a structure (or from the block named BLOCK); NAME\n"
    "  defaults to the CIF's file name in upper case, followed by _ and the block\n"
    "  name when the file holds several structures.\n"
    "  --dmax, --dagl: vortan's distance and angle-neighbour limits in Angstrom,\n"
    "  up to 50 (default: from the atom types' covalent radii).\n"
    "  --force: replace a NAME.EXP that cif2exp did not write.\n"
    "  --res, --hkl, --fcf: the refinement's instructions and reflections, when the\n"
    "  block does not carry them; NAME.CMT then holds their full covariance.\n"
    "  --diagonal: the covariance from the CIF's s.u.'s alone, without correlations.\n"
    "  --set WORD=VALUE ...: vortan's control words for the structure, as\n"
    "  vortan NAME --set takes them (vortan NAME --settings lists them).\n";

struct Arguments {
  std::string cif;
  std::string name;
  std::string block;
  cif2exp::ConversionOptions options;
  cif2exp::RefinementFiles refinement;
  bool diagonal = false;
  bool force = false;
  std::vector<vesk::ControlSetting> settings;  // --set, DMAX and DAGL aside (they are --dmax and --dagl)
};

Arguments parse_arguments(int argc, char** argv) {
  Arguments arguments;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    auto value = [&](const char* what) {
      if (i + 1 >= argc) throw Error(std::string(what) + " needs a value\n" + kUsage);
      return std::string(argv[++i]);
    };
    if (word == "--block") {
      arguments.block = value("--block");
    } else if (word == "--dmax" || word == "--dagl") {
      std::string limit = value(word.c_str());
      cif2exp::check_limit(word, limit);
      (word == "--dmax" ? arguments.options.dmax : arguments.options.dagl) = limit;
    } else if (word == "--force") {
      arguments.force = true;
    } else if (word == "--res" || word == "--hkl" || word == "--fcf") {
      const std::string file = value(word.c_str());
      (word == "--res" ? arguments.refinement.res : word == "--hkl" ? arguments.refinement.hkl : arguments.refinement.fcf) = file;
    } else if (word == "--set") {
      const int first = i + 1;
      for (; i + 1 < argc && std::string_view(argv[i + 1]).find('=') != std::string_view::npos &&
             !vesk::is_option(argv[i + 1]);
           ++i) {
        vesk::ControlSetting setting;
        try {
          setting = vesk::parse_control_setting(argv[i + 1]);
        } catch (const Error& e) {
          throw Error("--set: " + std::string(e.what()));
        }
        if (setting.phase > 1)
          throw Error("--set " + std::string(argv[i + 1]) + ": cif2exp writes phase 1 alone");
        if (setting.word == "DMAX" || setting.word == "DAGL") {
          const std::string option = setting.word == "DMAX" ? "--dmax" : "--dagl";
          std::string& limit = setting.word == "DMAX" ? arguments.options.dmax : arguments.options.dagl;
          limit = setting.value;
          limit.erase(0, limit.find_first_not_of(' '));
          limit = std::string(recio::trim_right(limit));
          if (limit == "DFLT" || limit == "dflt") limit.clear();
          if (!limit.empty()) cif2exp::check_limit(setting.word, limit);
        } else {
          arguments.settings.push_back(setting);
        }
      }
      if (i + 1 == first) throw Error("--set takes WORD=VALUE, e.g. --set TORS=NOH\n" + std::string(kUsage));
      // Refused here, before the CIF is read, with the control record's message.
      vesk::apply_control_settings("DFLT DFLT", arguments.settings, vesk::control_key(1, 1));
    } else if (word == "--diagonal") {
      arguments.diagonal = true;
    } else if (word == "--help" || word == "-h" || word == "--version") {
      throw vesk::Stop{.message = {}, .exit_status = vesk::answer_or_refuse("cif2exp", kUsage, word)};
    } else if (word.size() > 1 && word[0] == '-') {
      throw Error("unknown option " + word + "\n" + kUsage);
    } else {
      positional.push_back(word);
    }
  }
  if (positional.empty() || positional.size() > 2) throw Error(kUsage);
  if (arguments.diagonal && !(arguments.refinement.res + arguments.refinement.hkl + arguments.refinement.fcf).empty())
    throw Error("--diagonal leaves the refinement aside: it takes no --res, --hkl or --fcf\n" + std::string(kUsage));
  arguments.cif = positional[0];
  if (positional.size() == 2) arguments.name = positional[1];
  return arguments;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The block's name without "data_", as --block may give it either way.
std::string block_name(const std::string& given) {
  return lower(given).rfind("data_", 0) == 0 ? given.substr(5) : given;
}

// A file or block name may hold characters an experiment name should not.
std::string name_part(const std::string& text) {
  std::string part;
  for (char c : text) part += std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' ? c : '_';
  return part;
}

// The experiment name as vortan forms it from its command line: upper case,
// without ".EXP". Journal CIFs reuse block names ("I"), so the default
// comes from the file; the block joins it when the file holds several.
std::string experiment_name(const Arguments& arguments, const std::string& block_name, bool several) {
  const std::string typed =
      arguments.name.empty() ? name_part(fs::path(arguments.cif).stem().string()) : arguments.name;
  const std::string name = vesk::experiment_stem(typed, true);
  return several ? vesk::experiment_stem(name + "_" + name_part(block_name), false) : name;
}

// The experiment's lock for one block's files.
struct LockHeld {
  explicit LockHeld(const std::string& stem) { vesk::lock_experiment(stem, "cif2exp"); }
  ~LockHeld() { vesk::release_experiment_lock(); }
  LockHeld(const LockHeld&) = delete;
  LockHeld& operator=(const LockHeld&) = delete;
};

// One block into NAME.EXP, NAME.CMT and NAME.CIFSRC.
void convert_block(const gemmi::cif::Block& block, const Arguments& arguments, const std::string& name, bool several) {
  cif2exp::CifStructure structure;
  try {
    structure = cif2exp::read_cif_structure(block, arguments.cif);
  } catch (const Error& e) {
    throw Error((several ? "data_" + block.name + ": " : std::string()) + e.what());
  }
  const std::string where = arguments.cif + ", data_" + block.name + ": ";
  cif2exp::ResolvedSymmetry symmetry;
  cif2exp::Conversion conversion;
  try {
    symmetry = cif2exp::resolve_symmetry(structure.space_group_name, structure.hall, structure.operators,
                                         structure.cell[3].value, structure.cell[5].value);
    conversion = cif2exp::convert(structure, symmetry, arguments.options);
    if (!arguments.settings.empty())
      conversion.experiment.vortan_controls = vesk::apply_control_settings(
          conversion.experiment.vortan_controls, arguments.settings, vesk::control_key(1, 1));
  } catch (const Error& e) {
    throw Error(where + e.what());
  }
  // The full covariance when the refinement can be rebuilt; else the
  // diagonal one from the CIF's s.u.'s, with the reason.
  cif2exp::FullCovariance full;
  if (!arguments.diagonal) {
    full = cif2exp::full_covariance(block, structure, conversion, arguments.refinement);
    if (full.built) conversion.covariance = full.covariance;
  }

  const std::string experiment_file = name + ".EXP";
  const std::string covariance_file = name + ".CMT";
  const std::string source_file = name + ".CIFSRC";
  // The experiment's files are one unit: none is looked at before its lock
  // is held, and a replacement a stopped program left half done is
  // completed first.
  const LockHeld lock(name);
  for (const std::string& line : vesk::complete_interrupted_replace(name)) std::cout << "cif2exp:" << line << "\n";
  if (fs::exists(experiment_file) && !arguments.force && !cif2exp::written_by_cif2exp(experiment_file))
    throw Error(experiment_file + " exists and was not written by cif2exp; give --force to replace it");

  cif2exp::CifSource source;
  std::error_code ignored;
  source.cif = fs::absolute(arguments.cif, ignored).lexically_normal().string();
  source.block = block.name;
  if (!symmetry.origin.none()) source.shift = cif2exp::shift_fractions(symmetry.origin);
  // Riding atoms: the rebuilt refinement's constraints, else the CIF's flags
  // (calc, R); vortan prints the values they enter without s.u.'s.
  source.riding = full.built ? full.riding : cif2exp::riding_pivots(structure, conversion, symmetry);
  for (std::size_t n = 0; n < conversion.cif_labels.size(); ++n) {
    source.labels.emplace_back(conversion.experiment.atoms[n].label, conversion.cif_labels[n]);
    // vortan bonds no two atoms of different disorder groups, nor an atom
    // of a negative group (SHELX's PART -1) to another image of its group.
    if (!structure.atoms[n].disorder_group.empty())
      source.disorder.emplace_back(conversion.experiment.atoms[n].label,
                                   (structure.atoms[n].off_special_position ? "-" : "") +
                                       structure.atoms[n].disorder_group);
  }

  source.pressure = cif2exp::recorded_pressure(block);
  source.content.symmetry = conversion.experiment.symbol;
  source.content.cell = conversion.experiment.cell;
  for (const cif2exp::AtomRecord& atom : conversion.experiment.atoms)
    source.content.sites.push_back({atom.label, atom.type_symbol, atom.x});

  // Marks belong to the atoms they were set on: a structure of other atoms
  // gets the old marks files moved aside, and the marks of the atoms still
  // there are carried by the next vortan run.
  cif2exp::CifSource previous;
  const bool had_source = cif2exp::read_cif_source(source_file, previous);
  const cif2exp::CarriedAtoms carried = cif2exp::carried_atoms(previous.content, source.content);
  const bool other_structure = !carried.same;
  std::vector<std::pair<std::string, std::string>> moved;
  if (other_structure) moved = vesk::marks_files_aside(name);
  for (const char* kind : {".VORTAN", ".TORHB"}) {
    const std::string live = name + kind;
    const auto aside = std::find_if(moved.begin(), moved.end(), [&](const auto& m) { return m.first == live; });
    if (aside != moved.end()) {
      if (!carried.atoms.empty())
        source.carry.push_back({fs::path(aside->second).filename().string(), carried.atoms});
      continue;
    }
    // Set aside by a conversion before and not yet carried: followed through this one.
    if (fs::exists(live)) continue;
    for (const cif2exp::MarksCarry& pending : previous.carry) {
      if (pending.file.compare(0, fs::path(live).filename().string().size() + 1,
                               fs::path(live).filename().string() + ".") != 0)
        continue;
      const auto atoms = carried.same ? pending.atoms : cif2exp::followed(pending.atoms, carried.atoms);
      if (!atoms.empty()) source.carry.push_back({pending.file, atoms});
    }
  }

  cif2exp::PendingOutputs outputs;
  const bool with_covariance = !conversion.covariance.variances.empty();
  const std::string diagonal_reason = arguments.diagonal ? "--diagonal" : full.reason;
  source.covariance = full.built ? full.summary
                                 : with_covariance ? "diagonal, from the CIF's s.u.'s (" + diagonal_reason + ")"
                                                   : "none, the CIF gives no s.u.'s (" + diagonal_reason + ")";
  if (with_covariance)
    cif2exp::write_covariance_file(outputs.add(covariance_file), conversion.covariance);
  else
    outputs.remove_at_commit(covariance_file);  // an old one would be taken for this structure's
  cif2exp::write_cif_source(outputs.add(source_file), experiment_file, source);
  cif2exp::write_experiment_file(outputs.add(experiment_file), cif2exp::experiment_records(conversion.experiment));
  for (const auto& [file, to] : moved) outputs.move_aside_at_commit(file, to);
  outputs.commit(name, [&] {
    for (const auto& [file, to] : moved)
      std::cout << "cif2exp: " << file << " belonged to "
                << (had_source ? "data_" + previous.block + " of " + previous.cif : std::string("another structure"))
                << "; moved to " << to << " with its marks" << std::endl;
    if (!moved.empty() && !carried.atoms.empty())
      std::cout << "cif2exp: the next vortan run carries their marks of the atoms that are still there ("
                << carried.atoms.size() << " of " << previous.content.sites.size()
                << ": the same label, type and place) to the new files; the others stay where they were moved"
                << std::endl;
  });

  std::cout << "cif2exp: " << experiment_file << " from data_" << block.name << ": phase 1, space group "
            << symmetry.symbol << ", " << conversion.experiment.atoms.size() << " atoms of "
            << conversion.experiment.types.size() << " types\n";
  if (!symmetry.origin.none())
    std::cout << "cif2exp:   setting of the CIF: "
              << (symmetry.setting.empty() ? symmetry.source : symmetry.setting + " (from " + symmetry.source + ")")
              << "\ncif2exp:   setting written:    " << symmetry.symbol
              << "\ncif2exp:   coordinates moved:  x' = " << cif2exp::shift_text(symmetry.origin)
              << " (s.u.'s and Uij unchanged)\n";
  for (const std::string& note : conversion.notes) std::cout << "cif2exp:   " << note << "\n";
  for (const auto& [ours, theirs] : source.labels)
    if (ours != theirs) std::cout << "cif2exp:     " << theirs << " -> " << ours << "\n";
  if (!source.riding.empty())
    std::cout << "cif2exp:   " << source.riding.size() << " atoms rode on others in the refinement; "
              << "vortan gives the values they enter without s.u.'s\n";
  if (full.built) {
    std::cout << "cif2exp: " << covariance_file << ": " << full.summary << "\n";
    for (const std::string& note : full.notes) std::cout << "cif2exp:   " << note << "\n";
  } else if (with_covariance) {
    std::cout << "cif2exp: " << covariance_file << ": " << conversion.covariance.variances.size()
              << " variables from the s.u.'s of coordinates, occupancies and displacement parameters\n";
    std::cout << "cif2exp:   diagonal covariance, without correlations: " << diagonal_reason << "\n";
  } else
    std::cout << "cif2exp: no coordinate or occupancy s.u.'s in the CIF, no " << covariance_file
              << "; vortan's s.u.'s will come from the cell alone (" << diagonal_reason << ")\n";
  std::cout << "cif2exp: now run  vortan " << name << "\n";
}

int run(int argc, char** argv) {
  const Arguments arguments = parse_arguments(argc, argv);
  cif2exp::check_output_folder(fs::path(arguments.name).parent_path().string());
  // A file that cannot be opened is named with the system's reason.
  if (std::FILE* file = std::fopen(arguments.cif.c_str(), "rb")) {
    std::fclose(file);
  } else {
    throw Error(arguments.cif + " cannot be read: " + std::strerror(errno));
  }
  if (fs::is_directory(arguments.cif)) throw Error(arguments.cif + " is a folder, not a CIF");
  gemmi::cif::Document document;
  try {
    document = gemmi::cif::read_file(arguments.cif);
  } catch (const std::exception& e) {
    throw Error(arguments.cif + ": " + e.what());
  }
  if (document.blocks.empty()) throw Error(arguments.cif + ": no data block");

  std::vector<const gemmi::cif::Block*> chosen;
  if (!arguments.block.empty()) {
    // Block names are case-insensitive in CIF; "data_X" and "X" name the same block.
    const std::string wanted = lower(block_name(arguments.block));
    for (const gemmi::cif::Block& block : document.blocks)
      if (lower(block.name) == wanted) chosen.push_back(&block);
    if (chosen.empty()) {
      std::string blocks;
      for (const gemmi::cif::Block& block : document.blocks) {
        const std::string missing = cif2exp::missing_structure(block);
        blocks += "\n  data_" + block.name + (missing.empty() ? "" : " (" + missing + ")");
      }
      throw Error(arguments.cif + ": no data block data_" + block_name(arguments.block) + "; the file's blocks are:" +
                  blocks);
    }
  } else {
    std::string skipped;
    for (const gemmi::cif::Block& block : document.blocks) {
      const std::string missing = cif2exp::missing_structure(block);
      if (missing.empty())
        chosen.push_back(&block);
      else
        skipped += "\n  data_" + block.name + ": " + missing;
    }
    if (chosen.empty()) throw Error(arguments.cif + ": no data block holds a structure:" + skipped);
    if (!skipped.empty()) std::cout << "cif2exp: " << arguments.cif << ": blocks skipped:" << skipped << "\n";
  }

  const bool several = chosen.size() > 1;
  if (several && !(arguments.refinement.res + arguments.refinement.hkl + arguments.refinement.fcf).empty())
    throw Error(arguments.cif + " holds several structures, and --res, --hkl and --fcf belong to one: give --block");
  std::vector<std::string> names;
  for (const gemmi::cif::Block* block : chosen) {
    names.push_back(experiment_name(arguments, block->name, several));
    if (std::count(names.begin(), names.end(), names.back()) > 1)
      throw Error(arguments.cif + ": two blocks would both be written as " + names.back() +
                  ".EXP; convert them one at a time with --block and a name");
  }
  int failed = 0;
  for (std::size_t i = 0; i < chosen.size(); ++i) {
    try {
      convert_block(*chosen[i], arguments, names[i], several);
    } catch (const Error& e) {
      recio::flush_all();
      if (!several) throw;
      std::cerr << "cif2exp: " << e.what() << "\ncif2exp: nothing written for data_" << chosen[i]->name << "\n";
      ++failed;
    }
  }
  return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const int status = run(argc, argv);
    return recio::stop(vesk::Stop{.message = {}, .exit_status = status});
  } catch (const vesk::Stop& stop) {
    return recio::stop(stop);
  } catch (const std::exception& e) {
    return recio::stop(vesk::Stop{.message = "cif2exp: " + std::string(e.what()) + "\n", .exit_status = 1});
  }
}
