// The neighbour search through the image grid against the plain loop nest and
// against gemmi's NeighborSearch on the same structures and cutoffs; keyed
// lookups by bisection against the linear scan on a 30000-record index; and a
// whole vortan run on the 5000-atom phase. Pair counts are reported as
// counters so that a run shows the searches agree.
#include <benchmark/benchmark.h>
#include <gemmi/neighbor.hpp>
#include <gemmi/small.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "expfile/record_store.hpp"
#include "expfile/sorted_keys.hpp"
#include "tests/support/expfile_builder.hpp"
#include "tests/support/random_structure.hpp"
#include "tests/support/reference_search.hpp"
#include "tests/support/run_program.hpp"
#include "vortan/image_grid.hpp"

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
};

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

void write_big_experiment(const std::filesystem::path& file) {
  const PhaseDescription& phase = phase_of(0);
  const Structure& s = kStructures[0];
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
  builder.vortan_controls(1, "DMAX 3.2 DAGL 2.5");
  builder.write(file);
}

namespace {

void BM_WholeVortanRun(benchmark::State& state) {
  testing_support::TempFolder folder;
  write_big_experiment(folder / "BIG.EXP");
  std::size_t listing = 0;
  for (auto _ : state) {
    std::filesystem::remove(folder / "BIG.LST");
    const auto result = testing_support::run_program(VORTAN_BIN, {"BIG"}, folder.path());
    if (result.exit_status != 0) state.SkipWithError(("vortan failed: " + result.err + result.out).c_str());
    listing = std::filesystem::file_size(folder / "BIG.LST");
  }
  state.counters["listing_MB"] = static_cast<double>(listing) / 1.0e6;
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

// "search_bench --write-experiment FOLDER" only writes BIG.EXP there, for
// timing and profiling vortan by hand.
int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--write-experiment") {
    write_big_experiment(std::filesystem::path(argv[2]) / "BIG.EXP");
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
