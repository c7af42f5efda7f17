// cif2exp: turns one data block of a CIF into an experiment file NAME.EXP
// and a covariance file NAME.CMT that vortan reads. Everything is read and
// checked before anything is written, and the two files appear together
// or not at all.
#include <cctype>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <gemmi/cif.hpp>

#include "cif2exp/cif_structure.hpp"
#include "cif2exp/conversion.hpp"
#include "cif2exp/group_operators.hpp"
#include "cif2exp/output_files.hpp"
#include "console/command_line.hpp"
#include "crystal/spacegroup.hpp"
#include "expfile/experiment.hpp"
#include "recio/error.hpp"
#include "recio/units.hpp"

namespace {

using vesk::Error;

constexpr const char* kUsage =
    "usage: cif2exp FILE.cif [NAME] [--block BLOCK] [--dmax D] [--dagl A] [--force]\n"
    "  writes NAME.EXP and NAME.CMT for vortan from the first data block of FILE.cif\n"
    "  (or the block named BLOCK); NAME defaults to the block name, in upper case.\n"
    "  --dmax, --dagl: vortan's distance and angle-neighbour limits in Angstrom\n"
    "  (default: from the atom types' covalent radii).\n"
    "  --force: replace a NAME.EXP that cif2exp did not write.\n";

struct Arguments {
  std::string cif;
  std::string name;
  std::string block;
  cif2exp::ConversionOptions options;
  bool force = false;
};

bool is_number(const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  return !text.empty() && *end == '\0' && value > 0 && text.size() <= 10;
}

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
      if (!is_number(limit)) throw Error(word + " " + limit + " is not a distance in Angstrom");
      (word == "--dmax" ? arguments.options.dmax : arguments.options.dagl) = limit;
    } else if (word == "--force") {
      arguments.force = true;
    } else if (word == "--help" || word == "-h" || word == "--version") {
      std::exit(vesk::answer_or_refuse("cif2exp", kUsage, word));
    } else if (word.size() > 1 && word[0] == '-') {
      throw Error("unknown option " + word + "\n" + kUsage);
    } else {
      positional.push_back(word);
    }
  }
  if (positional.empty() || positional.size() > 2) throw Error(kUsage);
  arguments.cif = positional[0];
  if (positional.size() == 2) arguments.name = positional[1];
  return arguments;
}

// The experiment name as vortan forms it from its command line: the file
// name upper case, without ".EXP", any folder kept as typed.
std::string experiment_name(const Arguments& arguments, const std::string& block_name) {
  std::string name = arguments.name;
  if (name.empty()) {
    // A block name may hold characters a file name should not.
    for (char c : block_name)
      name += std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' ? c : '_';
  }
  return vesk::experiment_stem(name, true);
}

const gemmi::cif::Block& chosen_block(const gemmi::cif::Document& document, const Arguments& arguments) {
  if (document.blocks.empty()) throw Error(arguments.cif + ": no data block");
  if (arguments.block.empty()) return document.blocks.front();
  for (const gemmi::cif::Block& block : document.blocks)
    if (block.name == arguments.block) return block;
  throw Error(arguments.cif + ": no data block data_" + arguments.block);
}

int run(int argc, char** argv) {
  const Arguments arguments = parse_arguments(argc, argv);
  gemmi::cif::Document document;
  try {
    document = gemmi::cif::read_file(arguments.cif);
  } catch (const std::exception& e) {
    throw Error(arguments.cif + ": " + e.what());
  }
  const gemmi::cif::Block& block = chosen_block(document, arguments);
  const cif2exp::CifStructure structure = cif2exp::read_cif_structure(block, arguments.cif);
  const std::string name = experiment_name(arguments, structure.block_name);

  // The symbol as our interpreter reads it, checked against the CIF's own operators.
  const double alpha = structure.cell[3].value;
  const double gamma = structure.cell[5].value;
  const std::string symbol = cif2exp::spaced_symbol(structure.space_group_name, alpha, gamma, arguments.cif);
  vesk::SpaceGroupInfo group;
  vesk::SGINTERP(symbol, -1, group);
  if (group.failed())
    throw Error(arguments.cif + ": the space-group symbol \"" + symbol + "\" (from the name \"" +
                structure.space_group_name + "\") cannot be read by vortan's space-group interpreter");
  const std::vector<cif2exp::SeitzOperator> ours = cif2exp::expand_group(group);
  std::vector<cif2exp::SeitzOperator> theirs;
  std::string source;
  try {
    if (!structure.operators.empty()) {
      theirs = cif2exp::group_from_triplets(structure.operators);
      source = "the CIF's operator loop";
    } else {
      theirs = cif2exp::group_from_table(structure.space_group_name, alpha, gamma);
      source = "gemmi's table (the CIF has no operator loop) for \"" + structure.space_group_name + "\"";
      if (theirs.empty())
        throw Error("the CIF has no symmetry-operator loop and the name \"" + structure.space_group_name +
                    "\" is not in gemmi's table, so the symbol cannot be checked");
    }
    cif2exp::require_same_group(symbol, ours, theirs, source);
  } catch (const Error& e) {
    throw Error(arguments.cif + ": " + e.what());
  }

  cif2exp::Conversion conversion;
  try {
    conversion = cif2exp::convert(structure, symbol, ours, arguments.options);
  } catch (const Error& e) {
    throw Error(arguments.cif + ": " + e.what());
  }

  const std::string experiment_file = name + ".EXP";
  const std::string covariance_file = name + ".CMT";
  if (std::filesystem::exists(experiment_file) && !arguments.force && !cif2exp::written_by_cif2exp(experiment_file))
    throw Error(experiment_file + " exists and was not written by cif2exp; give --force to replace it");

  cif2exp::PendingOutputs outputs;
  const bool with_covariance = !conversion.covariance.variances.empty();
  if (with_covariance)
    cif2exp::write_covariance_file(outputs.add(covariance_file), conversion.covariance);
  else
    outputs.remove_at_commit(covariance_file);  // an old one would be taken for this structure's
  cif2exp::write_experiment_file(outputs.add(experiment_file), cif2exp::experiment_records(conversion.experiment));
  outputs.commit();

  std::cout << "cif2exp: " << experiment_file << ": phase 1, space group " << symbol << ", "
            << conversion.experiment.atoms.size() << " atoms of " << conversion.experiment.types.size()
            << " types\n";
  if (with_covariance)
    std::cout << "cif2exp: " << covariance_file << ": " << conversion.covariance.variances.size()
              << " variables from the s.u.'s of coordinates and occupancies\n";
  else
    std::cout << "cif2exp: no coordinate or occupancy s.u.'s in the CIF, no " << covariance_file
              << "; vortan's s.u.'s will come from the cell alone\n";
  std::cout << "cif2exp: now run  vortan " << name << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    recio::flush_all();
    std::cerr << "cif2exp: " << e.what() << '\n';
    return 1;
  }
}
