// The neighbour search through the image grid against the plain loop nest and
// against gemmi's NeighborSearch on the same structures and cutoffs; keyed
// lookups by bisection against the linear scan on a 30000-record index; and a
// whole vortan run on the 5000-atom phase. Pair counts are reported as
// counters so that a run shows the searches agree.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <gemmi/neighbor.hpp>
#include <gemmi/small.hpp>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "expfile/phase_reader.hpp"
#include "expfile/record_store.hpp"
#include "expfile/sorted_keys.hpp"
#include "recio/format.hpp"
#include "recio/line_builder.hpp"
#include "tests/support/covariance_writer.hpp"
#include "tests/support/expfile_builder.hpp"
#include "tests/support/random_structure.hpp"
#include "tests/support/reference_search.hpp"
#include "tests/support/run_program.hpp"
#include "geometry/image_grid.hpp"
#include "geometry/neighbour_search.hpp"
#include "report/tables.hpp"

namespace {

using namespace vesk;
using testing_support::RandomPhaseRequest;

// Random atoms at about 0.08 per cubic Angstrom counting every image, a
// typical density of inorganic and organic crystals.
struct Structure {
  const char* name;
  const char* symbol;
  const char* gemmi_symbol;
  std::array<float, 6> cell;
  int atoms;
  float dmax;
};

const Structure kStructures[] = {
    {"P1_5000", "P 1", "P 1", {38.5f, 40.2f, 41.7f, 85, 95, 100}, 5000, 3.2f},
    {"P21c_2000", "P 21/c", "P 1 21/c 1", {40.0f, 50.0f, 52.0f, 90, 100, 90}, 2000, 3.2f},
    {"Fd-3m_400", "F d -3 m", "F d -3 m:2", {98.6f, 98.6f, 98.6f, 90, 90, 90}, 400, 3.0f},
    // The whole run with a covariance file (not searched on its own).
    {"P21c_5000", "P 21/c", "P 1 21/c 1", {60.0f, 62.0f, 68.5f, 90, 100, 90}, 5000, 3.2f},
};
constexpr int kWholeRunStructure = 3;

const PhaseDescription& phase_of(int which) {
  static std::vector<PhaseDescription> phases = [] {
    std::vector<PhaseDescription> made;
    for (const Structure& s : kStructures) {
      RandomPhaseRequest request;
      request.symbol = s.symbol;
      request.cell = s.cell;
      request.atoms = s.atoms;
      request.types = 4;
      request.seed = 2024;
      made.push_back(testing_support::random_phase(request));
    }
    return made;
  }();
  return phases[static_cast<std::size_t>(which)];
}

SearchControls controls_of(int which) {
  SearchControls controls;
  controls.dmax_given = true;
  controls.dmax = kStructures[which].dmax;
  controls.dagl_given = true;
  controls.dagl = 2.5f;  // below DMAX: the search limit is DMAX, the cutoff gemmi gets
  return controls;
}

void label(benchmark::State& state, int which) { state.SetLabel(kStructures[which].name); }

void BM_PlainSearch(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const PhaseDescription& phase = phase_of(which);
  const SearchControls controls = controls_of(which);
  long pairs = 0;
  for (auto _ : state) {
    pairs = 0;
    for (int i = 1; i <= static_cast<int>(phase.atoms.size()); ++i)
      testing_support::reference_search(phase, i, controls, [&](const FoundDistance&) { ++pairs; });
    benchmark::DoNotOptimize(pairs);
  }
  state.counters["pairs"] = static_cast<double>(pairs);
  label(state, which);
}

void BM_GridSearch(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const PhaseDescription& phase = phase_of(which);
  const SearchControls controls = controls_of(which);
  long pairs = 0;
  for (auto _ : state) {
    pairs = 0;
    ImageGrid grid;
    build_image_grid(grid, phase, controls);
    for (int i = 1; i <= static_cast<int>(phase.atoms.size()); ++i)
      search_image_grid(grid, phase, i, [&](const FoundDistance&) { ++pairs; });
    benchmark::DoNotOptimize(pairs);
  }
  state.counters["pairs"] = static_cast<double>(pairs);
  label(state, which);
}

// The grid alone: every image generated once and binned.
void BM_GridBuild(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const PhaseDescription& phase = phase_of(which);
  const SearchControls controls = controls_of(which);
  for (auto _ : state) {
    ImageGrid grid;
    build_image_grid(grid, phase, controls);
    benchmark::DoNotOptimize(grid.binned.data());
  }
  label(state, which);
}

// gemmi from its small-molecule structure: cell images from its own table,
// sites within 0.4 A of another image dropped, every site asked for all
// neighbours within the cutoff (itself included, at distance 0).
void BM_GemmiNeighborSearch(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const PhaseDescription& phase = phase_of(which);
  const Structure& s = kStructures[which];
  gemmi::SmallStructure small;
  small.cell.set(s.cell[0], s.cell[1], s.cell[2], s.cell[3], s.cell[4], s.cell[5]);
  small.spacegroup_hm = s.gemmi_symbol;
  small.setup_cell_images();
  for (const AtomSite& atom : phase.atoms) {
    gemmi::SmallStructure::Site site;
    site.label = atom.label;
    site.fract = gemmi::Fractional(atom.x[0], atom.x[1], atom.x[2]);
    small.sites.push_back(site);
  }
  long pairs = 0;
  for (auto _ : state) {
    pairs = 0;
    gemmi::NeighborSearch ns(small, s.dmax);
    ns.populate();
    for (const auto& site : small.sites) {
      const gemmi::Position pos = small.cell.orthogonalize(site.fract);
      ns.for_each(pos, '\0', s.dmax, [&](gemmi::NeighborSearch::Mark&, float) { ++pairs; });
    }
    benchmark::DoNotOptimize(pairs);
  }
  state.counters["pairs"] = static_cast<double>(pairs);
  label(state, which);
}

// --- keyed lookups -----------------------------------------------------------

constexpr int kRecords = 30000;

std::string bench_key(int n) {
  char key[13];
  std::snprintf(key, sizeof key, "  BNCH%06d", n);
  return key;
}

struct KeyIndex {
  std::vector<std::string> keys;
  std::vector<int> sorted;
  std::vector<std::string> asked;  // every third absent
};

const KeyIndex& key_index() {
  static KeyIndex index = [] {
    KeyIndex made;
    std::mt19937 random(7);
    for (int n = 0; n < kRecords; ++n) made.keys.push_back(bench_key(2 * n));
    std::shuffle(made.keys.begin(), made.keys.end(), random);
    INDEXSORT(made.keys, made.sorted);
    std::uniform_int_distribution<int> any(0, 2 * kRecords);
    for (int n = 0; n < 3000; ++n) made.asked.push_back(bench_key(n % 3 == 0 ? 2 * any(random) + 1 : 2 * (any(random) / 2)));
    return made;
  }();
  return index;
}

// The lookup the store first made: a scan from the first position.
int linear_position(const KeyIndex& index, const std::string& key) {
  for (int position = 1; position <= static_cast<int>(index.sorted.size()); ++position)
    if (index.keys[static_cast<std::size_t>(index.sorted[static_cast<std::size_t>(position - 1)] - 1)] == key)
      return position;
  return 0;
}

void BM_LookupLinearScan(benchmark::State& state) {
  const KeyIndex& index = key_index();
  for (auto _ : state)
    for (const std::string& key : index.asked) benchmark::DoNotOptimize(linear_position(index, key));
  state.SetItemsProcessed(state.iterations() * static_cast<long>(index.asked.size()));
}

void BM_LookupBisection(benchmark::State& state) {
  const KeyIndex& index = key_index();
  for (auto _ : state)
    for (const std::string& key : index.asked)
      benchmark::DoNotOptimize(first_key_position(index.keys, index.sorted, static_cast<int>(index.sorted.size()), key));
  state.SetItemsProcessed(state.iterations() * static_cast<long>(index.asked.size()));
}

// READEXP as the program calls it, the record read from the file included.
void BM_READEXP(benchmark::State& state) {
  const KeyIndex& index = key_index();
  testing_support::TempFolder folder;
  auto builder = testing_support::minimal_experiment();
  for (int n = 0; n < kRecords - 10; ++n) builder.add(bench_key(2 * n), "  value of a record");
  builder.write(folder / "BIG.EXP");
  testing_support::OpenExperiment open(folder / "BIG.EXP");
  std::string value(68, ' ');
  for (auto _ : state)
    for (const std::string& key : index.asked) benchmark::DoNotOptimize(READEXP(open.unit, key, value));
  state.SetItemsProcessed(state.iterations() * static_cast<long>(index.asked.size()));
}

// --- a whole run ---------------------------------------------------------------

// The 5000-atom phase as an experiment file: more than 999 atoms need the
// single-record atoms of phase flag 4 with their hexadecimal record numbers.
}  // namespace

// `element`, when given, makes every atom one of that element (the search-only
// run's carbon atoms).
void write_big_experiment(const std::filesystem::path& file, int which,
                          std::string_view controls = "DMAX 3.2 DAGL 2.5", std::string_view element = {}) {
  PhaseDescription phase = phase_of(which);
  if (!element.empty()) {
    AtomType one = phase.types[0];
    one.symbol = std::string(element);
    one.bond_radius = one.angle_radius = 0.76f;
    phase.types.clear();
    phase.types.push_back(one);
    for (AtomSite& atom : phase.atoms) atom.type_symbol = std::string(element);
  }
  const Structure& s = kStructures[which];
  auto builder = testing_support::minimal_experiment();
  builder.phase_flags({4});
  std::vector<testing_support::TestAtomType> types;
  for (const AtomType& type : phase.types)
    types.push_back({type.symbol, type.bond_radius, type.angle_radius});
  builder.atom_types(types);
  char text[80];
  builder.add("CRS1    PNAM", "  Random atoms for the benchmark");
  std::snprintf(text, sizeof text, "%5d", static_cast<int>(phase.atoms.size()));
  builder.add("CRS1   NATOM", text);
  std::snprintf(text, sizeof text, "%10.5f%10.5f%10.5f", s.cell[0], s.cell[1], s.cell[2]);
  builder.add("CRS1  ABC   ", text);
  std::snprintf(text, sizeof text, "%10.5f%10.5f%10.5f", s.cell[3], s.cell[4], s.cell[5]);
  builder.add("CRS1  ANGLES", text);
  builder.add("CRS1  SG SYM", std::string("  ") + s.symbol);
  for (std::size_t i = 0; i < phase.atoms.size(); ++i) {
    const AtomSite& atom = phase.atoms[i];
    char key[13];
    std::snprintf(key, sizeof key, "CRS1  AT%04X", static_cast<unsigned>(i + 1));
    // "(2X,A8,F6.4,3F8.5,F6.4,A8,...)"
    std::snprintf(text, sizeof text, "  %-8.8s%6.4f%8.5f%8.5f%8.5f%6.4f%-8.8s", atom.type_symbol.c_str(), 1.0,
                  atom.x[0], atom.x[1], atom.x[2], 0.0125, atom.label.c_str());
    builder.add(key, text);
  }
  builder.vortan_controls(1, controls);
  builder.write(file);
}

namespace {

void BM_WholeVortanRun(benchmark::State& state) {
  testing_support::TempFolder folder;
  write_big_experiment(folder / "BIG.EXP", 0);
  std::size_t listing = 0;
  for (auto _ : state) {
    std::filesystem::remove(folder / "BIG.LST");
    const auto result = testing_support::run_program(VORTAN_BIN, {"BIG"}, folder.path());
    if (result.exit_status != 0) state.SkipWithError(("vortan failed: " + result.err + result.out).c_str());
    listing = std::filesystem::file_size(folder / "BIG.LST");
  }
  state.counters["listing_MB"] = static_cast<double>(listing) / 1.0e6;
}

// The 5000-atom P 21/c phase with a full covariance matrix of 3000
// variables: every x, y and z refined, parameter p tied to variable
// (p - 1) mod NVAR + 1; variances of 1E-8 with small correlations. With
// `torsions` false the control record says TORS NONE: the same search,
// distances and angles as the peer script, and the hydrogen bonds (none:
// the random atoms are no elements).
void write_covariance_run(const std::filesystem::path& folder, int nvar = 3000, bool torsions = true) {
  write_big_experiment(folder / "BIG.EXP", kWholeRunStructure,
                       torsions ? "DMAX 3.2 DAGL 2.5" : "DMAX 3.2 DAGL 2.5 DFLT DFLT TORS NONE");
  const PhaseDescription& phase = phase_of(kWholeRunStructure);
  const Structure& s = kStructures[kWholeRunStructure];
  testing_support::CovarianceFile covariance;
  covariance.nvar = nvar;
  for (std::size_t i = 0; i < phase.atoms.size(); ++i)
    for (const char* item : {"X", "Y", "Z"}) {
      covariance.names.push_back(covariance_parameter_name(1, static_cast<int>(i + 1), 4, item));
      const int parameter = static_cast<int>(covariance.names.size());
      covariance.constraints.push_back(
          {testing_support::constraint_code(parameter, (parameter - 1) % covariance.nvar + 1), 1.0f});
    }
  std::uint32_t state = 12345;
  covariance.matrix.reserve(static_cast<std::size_t>(covariance.nvar) * (covariance.nvar + 1) / 2);
  for (int i = 1; i <= covariance.nvar; ++i)
    for (int j = i; j <= covariance.nvar; ++j) {
      state = state * 1664525u + 1013904223u;
      const float correlation = (static_cast<float>(state >> 8) / 16777216.0f - 0.5f) * 0.02f;
      covariance.matrix.push_back(i == j ? 1.0E-8f : 1.0E-8f * correlation);
    }
  testing_support::write_covariance_file(folder / "BIG.CMT", covariance);

  std::FILE* peer = std::fopen((folder / "BIG.txt").c_str(), "w");
  std::fprintf(peer, "cell %g %g %g %g %g %g\ngroup %s\nlimits %g 2.5\n", s.cell[0], s.cell[1], s.cell[2], s.cell[3],
               s.cell[4], s.cell[5], s.gemmi_symbol, s.dmax);
  for (const AtomSite& atom : phase.atoms)
    std::fprintf(peer, "%s %.5f %.5f %.5f\n", atom.label.c_str(), atom.x[0], atom.x[1], atom.x[2]);
  std::fclose(peer);
}

// CPU time (user and system) of the children that have ended, in seconds:
// on a shared machine a fairer figure than the wall clock.
double children_cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + 1.0e-6 * static_cast<double>(t.tv_usec); };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The run with its torsion angles (TORS ALL, the default) or without them
// (TORS NONE), each in a folder of its own.
const testing_support::TempFolder& covariance_run_folder(bool torsions = false) {
  static testing_support::TempFolder with, without;
  static const bool written =
      (write_covariance_run(with.path(), 3000, true), write_covariance_run(without.path(), 3000, false), true);
  (void)written;
  return torsions ? with : without;
}

// range 0: a first run (no results or marks file); 1: a rerun, which reads
// the marks of the previous results and marks files. range 1: 0 for TORS
// NONE, the run that does what the peer script does; 1 for every torsion
// angle as well (about 340000 of them, 28 MB more listing).
void BM_WholeRunWithCovariance(benchmark::State& state) {
  const bool torsions = state.range(1) == 1;
  const auto& folder = covariance_run_folder(torsions);
  auto remove_results = [&folder] {
    std::filesystem::remove(folder / "BIG.VORTAN");
    std::filesystem::remove(folder / "BIG.TORHB");
  };
  remove_results();
  if (state.range(0) == 1) testing_support::run_program(VORTAN_BIN, {"BIG"}, folder.path());
  std::size_t listing = 0;
  double cpu = 0;
  for (auto _ : state) {
    std::filesystem::remove(folder / "BIG.LST");
    if (state.range(0) == 0) remove_results();
    const double before = children_cpu_seconds();
    const auto result = testing_support::run_program(VORTAN_BIN, {"BIG"}, folder.path());
    cpu += children_cpu_seconds() - before;
    if (result.exit_status != 0) state.SkipWithError(("vortan failed: " + result.err + result.out).c_str());
    listing = std::filesystem::file_size(folder / "BIG.LST");
  }
  state.counters["listing_MB"] = static_cast<double>(listing) / 1.0e6;
  state.counters["child_cpu_s"] = cpu / static_cast<double>(state.iterations());
  state.SetLabel(std::string(state.range(0) == 0 ? "first run" : "rerun") + (torsions ? ", TORS ALL" : ", TORS NONE"));
}

// Marks 2000 records of the results file spread over the whole file (700
// distances and 1300 angles, within the publish limits), as a user who marks
// a paper's tables does.
void plant_marks(const std::filesystem::path& file) {
  std::string text = testing_support::read_file(file);
  std::vector<std::size_t> distances, angles;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    if (end - at > 40 && text[at] == 'N') (text[at + 4] == '0' ? distances : angles).push_back(at);
    at = end + 1;
  }
  auto mark = [&text](const std::vector<std::size_t>& lines, std::size_t count) {
    for (std::size_t i = 0; i < count && !lines.empty(); ++i) text[lines[i * lines.size() / count]] = 'Y';
  };
  mark(distances, 700);
  mark(angles, 1300);
  testing_support::write_file(file, text);
}

// range 0: a first run; 1: a rerun with 2000 marks in the previous results
// file. The 5000-atom P 21/c run with TORS NONE, in a folder of its own.
void BM_RerunWithMarks(benchmark::State& state) {
  static testing_support::TempFolder folder;
  static const bool written = (write_covariance_run(folder.path(), 3000, false), true);
  (void)written;
  std::filesystem::remove(folder / "BIG.VORTAN");
  std::filesystem::remove(folder / "BIG.TORHB");
  if (state.range(0) == 1) {
    testing_support::run_program(VORTAN_BIN, {"BIG"}, folder.path());
    plant_marks(folder / "BIG.VORTAN");
  }
  double cpu = 0;
  int marks = 0;
  for (auto _ : state) {
    std::filesystem::remove(folder / "BIG.LST");
    if (state.range(0) == 0) std::filesystem::remove(folder / "BIG.VORTAN");
    const double before = children_cpu_seconds();
    const auto result = testing_support::run_program(VORTAN_BIN, {"BIG"}, folder.path());
    cpu += children_cpu_seconds() - before;
    if (result.exit_status != 0) state.SkipWithError(("vortan failed: " + result.err + result.out).c_str());
    const std::string kept = testing_support::read_file(folder / "BIG.VORTAN");
    marks = 0;
    for (std::size_t at = 0; at < kept.size(); ++at) marks += kept[at] == 'Y' && (at == 0 || kept[at - 1] == '\n');
  }
  state.counters["marks"] = marks;
  state.counters["child_cpu_s"] = cpu / static_cast<double>(state.iterations());
  state.SetLabel(state.range(0) == 0 ? "first run" : "rerun, 2000 marks");
}

// The peer: bench/gemmi_peer.py on the same structure, with the system
// python and Debian's python3-gemmi.
void BM_GemmiPeerScript(benchmark::State& state) {
  const auto& folder = covariance_run_folder();
  std::size_t output = 0;
  double cpu = 0;
  for (auto _ : state) {
    const double before = children_cpu_seconds();
    const auto result = testing_support::run_program(
        "/usr/bin/python3", {GEMMI_PEER_SCRIPT, (folder / "BIG.txt").string(), (folder / "PEER.txt").string()},
        folder.path());
    cpu += children_cpu_seconds() - before;
    if (result.exit_status != 0) state.SkipWithError(("the gemmi script failed: " + result.err).c_str());
    output = std::filesystem::file_size(folder / "PEER.txt");
  }
  state.counters["output_MB"] = static_cast<double>(output) / 1.0e6;
  state.counters["child_cpu_s"] = cpu / static_cast<double>(state.iterations());
}

// The search alone, as a whole run: 5000 carbon atoms at random in P 1 with a
// limit too short for any distance (DMAX 0.5), so that vortan reads the
// phase, searches, and writes its tables of nothing; against the gemmi
// script's bare neighbour search of the same atoms (--search-only: the
// grid filled and every atom's neighbours found, nothing written).
}  // namespace

void write_search_only_run(const std::filesystem::path& folder) {
  write_big_experiment(folder / "BIG.EXP", 0, "DMAX 0.5 DAGL 0.5", "C");
  const Structure& s = kStructures[0];
  std::FILE* peer = std::fopen((folder / "BIG.txt").c_str(), "w");
  std::fprintf(peer, "cell %g %g %g %g %g %g\ngroup %s\nlimits 0.5 0.5\n", s.cell[0], s.cell[1], s.cell[2],
               s.cell[3], s.cell[4], s.cell[5], s.gemmi_symbol);
  for (const AtomSite& atom : phase_of(0).atoms)
    std::fprintf(peer, "%s %.5f %.5f %.5f\n", atom.label.c_str(), atom.x[0], atom.x[1], atom.x[2]);
  std::fclose(peer);
}

namespace {

const testing_support::TempFolder& search_only_folder() {
  static testing_support::TempFolder folder;
  static const bool written = (write_search_only_run(folder.path()), true);
  (void)written;
  return folder;
}

// range 0: vortan; 1: the gemmi script's bare search.
void BM_SearchOnlyRun(benchmark::State& state) {
  const auto& folder = search_only_folder();
  double cpu = 0;
  for (auto _ : state) {
    std::filesystem::remove(folder / "BIG.LST");
    std::filesystem::remove(folder / "BIG.VORTAN");
    const double before = children_cpu_seconds();
    const auto result =
        state.range(0) == 0
            ? testing_support::run_program(VORTAN_BIN, {"BIG"}, folder.path())
            : testing_support::run_program("/usr/bin/python3",
                                           {GEMMI_PEER_SCRIPT, "--search-only", (folder / "BIG.txt").string()},
                                           folder.path());
    cpu += children_cpu_seconds() - before;
    if (result.exit_status != 0) state.SkipWithError(("the run failed: " + result.err + result.out).c_str());
  }
  state.counters["child_cpu_s"] = cpu / static_cast<double>(state.iterations());
  state.SetLabel(state.range(0) == 0 ? "vortan, 5000 C in P 1, DMAX 0.5" : "gemmi script, bare neighbour search");
}

// --- output formatting -----------------------------------------------------------

// What one distance or angle line and its results record are made of.
struct OutputItem {
  bool angle = false;
  std::string first, central, second;  // labels
  float value = 0, sigma = 0;
  std::string location1, location2;
  Vec3 vector{};
  int atoms[3] = {};
  int codes[4] = {};
};

const std::vector<OutputItem>& output_items() {
  static std::vector<OutputItem> items = [] {
    std::vector<OutputItem> made;
    std::mt19937 random(9);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::uniform_int_distribution<int> atom(1, 5000), code(-24, 24), cell(-1, 1);
    auto label = [&] { return "C" + std::to_string(atom(random)); };
    auto location = [&](int op) { return location_text(op, cell(random), cell(random), cell(random)); };
    for (int n = 0; n < 60000; ++n) {
      OutputItem item;
      item.angle = n % 5 != 0;  // four angles to a distance, as in the runs
      item.first = label();
      item.central = label();
      item.second = label();
      item.value = item.angle ? 60 + 120 * unit(random) : 1 + 2.2f * unit(random);
      item.sigma = (item.angle ? 0.5f : 0.005f) * unit(random);
      item.codes[0] = code(random);
      item.codes[1] = 555;
      item.codes[2] = code(random);
      item.codes[3] = 554;
      item.location1 = location(item.codes[0]);
      item.location2 = location(item.codes[2]);
      item.vector = {unit(random), unit(random), unit(random)};
      for (int& a : item.atoms) a = atom(random);
      made.push_back(item);
    }
    return made;
  }();
  return items;
}

// vortan's own writers: the listing lines and, through the cached format,
// the results records.
void format_with_vortan(std::string& out) {
  static recio::LineBuilder line;
  static recio::RecordBuffer record;
  out.clear();
  for (const OutputItem& item : output_items()) {
    line.clear();
    if (item.angle) {
      append_angle_line(line, item.first, item.central, item.second, item.value, item.sigma, item.location1,
                        item.location2);
      const recio::OutItem fields[] = {"N", 1, 1, item.value, item.sigma, item.atoms[0], item.atoms[1], item.atoms[2],
                                       item.codes[0], item.codes[1], item.codes[2], item.codes[3]};
      recio::write_into(record, "(A1,2I2,2F10.4,7I5)", fields);
    } else {
      append_distance_line(line, item.central, item.second, false, item.value, item.sigma, item.location1,
                           item.vector);
      const recio::OutItem fields[] = {"N", 1, 0, item.value, item.sigma, item.atoms[1], item.atoms[2], item.codes[0],
                                       item.codes[1]};
      recio::write_into(record, "(A1,2I2,2F10.5,4I5)", fields);
    }
    out += line.text.view();
    out += '\n';
    out += record.text.view();
    out += '\n';
  }
}

// The floor: the same bytes written straight with std::to_chars.
char* put_blanks(char* at, int n) {
  for (int k = 0; k < n; ++k) *at++ = ' ';
  return at;
}
char* put_chars(char* at, std::string_view text) {
  std::memcpy(at, text.data(), text.size());
  return at + text.size();
}
char* put_right(char* at, const char* text, std::size_t length, int width) {
  at = put_blanks(at, width - static_cast<int>(length));
  return put_chars(at, std::string_view(text, length));
}
char* put_int(char* at, int value, int width) {
  char digits[16];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  return put_right(at, digits, static_cast<std::size_t>(end - digits), width);
}
char* put_float(char* at, float value, int width, int decimals) {
  char digits[48];
  char* end = std::to_chars(digits, digits + sizeof digits - 1, static_cast<double>(value), std::chars_format::fixed,
                            decimals).ptr;
  if (decimals == 0) *end++ = '.';
  return put_right(at, digits, static_cast<std::size_t>(end - digits), width);
}
char* put_label(char* at, const std::string& label) { return put_chars(at, label); }

void format_floor(std::string& out) {
  out.resize(output_items().size() * 200);
  char* at = out.data();
  for (const OutputItem& item : output_items()) {
    if (item.angle) {
      const int l1 = static_cast<int>(item.first.size()), lc = static_cast<int>(item.central.size()),
                l3 = static_cast<int>(item.second.size());
      const ValueEsd e = value_esd(item.sigma, EsdKind::Angle);
      at = put_blanks(at, 13 - lc / 2 - l1);
      at = put_label(at, item.first);
      *at++ = '_';
      at = put_label(at, item.central);
      *at++ = '_';
      at = put_label(at, item.second);
      at = put_blanks(at, 13 - (lc + 1) / 2 - l3);
      at = put_float(at, item.value, e.field_width, e.decimals);
      *at++ = '(';
      at = put_int(at, e.digits, e.digits_width);
      *at++ = ')';
      at = put_blanks(at, 8 - e.decimals - e.digits_width + 2);
      at = put_chars(at, item.location1);
      at = put_blanks(at, 2);
      at = put_chars(at, item.location2);
      *at++ = '\n';
      at = put_chars(at, "N 1 1");
      at = put_float(at, item.value, 10, 4);
      at = put_float(at, item.sigma, 10, 4);
      for (int a : item.atoms) at = put_int(at, a, 5);
      for (int c : item.codes) at = put_int(at, c, 5);
    } else {
      const int l1 = static_cast<int>(item.central.size()), l2 = static_cast<int>(item.second.size());
      const ValueEsd e = value_esd(item.sigma, EsdKind::Distance);
      at = put_blanks(at, 9 - l1);
      at = put_label(at, item.central);
      *at++ = '_';
      at = put_label(at, item.second);
      at = put_blanks(at, 9 - l2);
      at = put_float(at, item.value, e.field_width, e.decimals);
      *at++ = '(';
      at = put_int(at, e.digits, e.digits_width);
      *at++ = ')';
      at = put_blanks(at, 12 - e.decimals - e.digits_width);
      at = put_chars(at, item.location1);
      at = put_blanks(at, 2);
      for (float x : item.vector) at = put_float(at, x, 10, 5);
      *at++ = '\n';
      at = put_chars(at, "N 1 0");
      at = put_float(at, item.value, 10, 5);
      at = put_float(at, item.sigma, 10, 5);
      at = put_int(at, item.atoms[1], 5);
      at = put_int(at, item.atoms[2], 5);
      at = put_int(at, item.codes[0], 5);
      at = put_int(at, item.codes[1], 5);
    }
    *at++ = '\n';
  }
  out.resize(static_cast<std::size_t>(at - out.data()));
}

void BM_OutputFormatting(benchmark::State& state) {
  std::string ours, floor;
  format_with_vortan(ours);
  format_floor(floor);
  if (ours != floor) state.SkipWithError("the floor does not write the same bytes");
  for (auto _ : state) {
    if (state.range(0) == 0)
      format_with_vortan(ours);
    else
      format_floor(floor);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<long>(ours.size()));
  state.SetLabel(state.range(0) == 0 ? "vortan" : "to_chars floor");
}

}  // namespace

BENCHMARK(BM_GridSearch)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GridBuild)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GemmiNeighborSearch)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainSearch)->DenseRange(0, 2)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LookupLinearScan)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LookupBisection)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_READEXP)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholeVortanRun)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OutputFormatting)->DenseRange(0, 1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholeRunWithCovariance)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_RerunWithMarks)->DenseRange(0, 1)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GemmiPeerScript)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SearchOnlyRun)->DenseRange(0, 1)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

// "search_bench --write-experiment FOLDER" only writes BIG.EXP there,
// "--write-search-only-run FOLDER" the 5000 carbon atoms' BIG.EXP and BIG.txt, and
// "--write-covariance-run FOLDER [NVAR [NONE]]" the 5000-atom P 21/c run
// (BIG.EXP, BIG.CMT of NVAR variables, 3000 unless given, and the peer's
// BIG.txt; NONE: TORS NONE in the control record), for timing, profiling
// and measuring memory by hand.
int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--write-experiment") {
    write_big_experiment(std::filesystem::path(argv[2]) / "BIG.EXP", 0);
    return 0;
  }
  if (argc == 3 && std::string(argv[1]) == "--write-search-only-run") {
    write_search_only_run(argv[2]);
    return 0;
  }
  if (argc >= 3 && argc <= 5 && std::string(argv[1]) == "--write-covariance-run") {
    write_covariance_run(argv[2], argc >= 4 ? std::atoi(argv[3]) : 3000, !(argc == 5 && std::string(argv[4]) == "NONE"));
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
