// One least-squares cycle of a large structure: 222 anisotropic atoms in
// P 21/c (1998 atom parameters, the scale and extinction: 2000 variables)
// against 20000 unique reflections. The cycle computes every structure
// factor with its derivatives, builds the normal matrix by blocked
// symmetric rank-k updates, factorises, solves and inverts it.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <cmath>
#include <random>
#include <thread>

#include "lsq/form_factors.hpp"
#include "lsq/normal_matrix.hpp"
#include "lsq/parameters.hpp"
#include "lsq/refinement.hpp"
#include "lsq/reflections.hpp"
#include "lsq/structure_factors.hpp"

namespace {

constexpr int kAtoms = 222;
constexpr int kReflections = 20000;

lsq::Model big_model() {
  lsq::Model model;
  model.cell = {25.3, 24.8, 26.1, 90, 103.5, 90};
  model.wavelength = 0.71073;
  lsq::Operator screw;
  screw.rotation = {{{-1, 0, 0}, {0, 1, 0}, {0, 0, -1}}};
  screw.translation = {0, 0.5, 0.5};
  model.group.operators = {lsq::Operator{}, screw};
  model.group.centric = true;
  for (const char* element : {"C", "N", "O", "S"}) model.types.push_back(lsq::it92_form_factor(element));
  std::mt19937 random(7);
  std::uniform_real_distribution<double> unit(0, 1);
  for (int n = 0; n < kAtoms; ++n) {
    lsq::Atom atom;
    atom.label = "A" + std::to_string(n + 1);
    atom.type = n % 4;
    atom.site = {unit(random), unit(random), unit(random)};
    atom.anisotropic = true;
    atom.u = {0.02 + 0.02 * unit(random), 0.02 + 0.02 * unit(random), 0.02 + 0.02 * unit(random),
              0.002 * unit(random), 0.002 * unit(random), 0.002 * unit(random)};
    for (int slot : {lsq::kX, lsq::kY, lsq::kZ, lsq::kU11, lsq::kU22, lsq::kU33, lsq::kU12, lsq::kU13, lsq::kU23})
      atom.refined[static_cast<std::size_t>(slot)] = true;
    model.atoms.push_back(atom);
  }
  model.scale = 1.7;
  model.extinction = 0.002;
  model.extinction_refined = true;
  model.weighting = {0.04, 0.5};
  return model;
}

// The first 20000 unique reflections outwards from the origin, with Fc^2
// of the model and 3 % noise as observations.
std::vector<lsq::Observation> observations(const lsq::Model& model, const lsq::ParameterMap& map) {
  const std::vector<lsq::Operator> group = model.group.expanded();
  const lsq::Metric metric = lsq::metric_of(model.cell);
  std::vector<std::pair<double, lsq::Miller>> found;
  for (int h = -40; h <= 40; ++h)
    for (int k = -40; k <= 40; ++k)
      for (int l = -40; l <= 40; ++l) {
        const lsq::Miller hkl{h, k, l};
        if (hkl == lsq::Miller{0, 0, 0} || lsq::representative(group, hkl, true) != hkl ||
            lsq::systematically_absent(group, hkl))
          continue;
        found.emplace_back(lsq::s_squared(metric, hkl), hkl);
      }
  std::sort(found.begin(), found.end());
  found.resize(kReflections);
  const lsq::StructureFactors sf(model, map);
  lsq::StructureFactors::Scratch scratch = sf.scratch();
  std::mt19937 random(11);
  std::normal_distribution<double> noise(0, 0.03);
  std::vector<lsq::Observation> out;
  for (const auto& [s2, h] : found) {
    const double fc2 = sf.fc_squared(h, nullptr, scratch);
    out.push_back({h, fc2 * (1 + noise(random)), 0.03 * fc2 + 1});
  }
  return out;
}

// CPU time of every thread of the process, in seconds.
double process_cpu() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

long peak_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

void BM_LeastSquaresCycle(benchmark::State& state) {
  const lsq::Model model = big_model();
  const lsq::ParameterMap map = lsq::map_parameters(model);
  const std::vector<lsq::Observation> data = observations(model, map);
  const long before = peak_kib();
  lsq::CycleResult result;
  const double cpu = process_cpu();
  for (auto _ : state) {
    result = lsq::least_squares_cycle(model, map, data);
    benchmark::DoNotOptimize(result.covariance.data());
  }
  const double matrix_kib = static_cast<double>(map.count()) * map.count() * sizeof(double) / 1024;
  state.counters["process_cpu_s"] = process_cpu() - cpu;
  state.counters["variables"] = map.count();
  state.counters["reflections"] = static_cast<double>(data.size());
  state.counters["goof"] = result.goof;
  state.counters["matrix_MiB"] = matrix_kib / 1024;
  // The growth of the peak resident set over the data and model, in
  // matrices of variables x variables doubles.
  state.counters["peak_growth_matrices"] = static_cast<double>(peak_kib() - before) / matrix_kib;
}
BENCHMARK(BM_LeastSquaresCycle)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

// The parts of the cycle on their own: the structure factors with their
// derivatives (on every core, as the cycle computes them), the rank-k
// updates of the normal matrix, and its factorisation and inversion.
void BM_DesignRows(benchmark::State& state) {
  const lsq::Model model = big_model();
  const lsq::ParameterMap map = lsq::map_parameters(model);
  const std::vector<lsq::Observation> data = observations(model, map);
  const lsq::StructureFactors sf(model, map);
  const int threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  const double cpu = process_cpu();
  for (auto _ : state) {
    std::vector<std::jthread> workers;
    for (int t = 0; t < threads; ++t)
      workers.emplace_back([&, t] {
        lsq::StructureFactors::Scratch scratch = sf.scratch();
        std::vector<double> gradient(static_cast<std::size_t>(map.count()));
        for (std::size_t i = static_cast<std::size_t>(t); i < data.size(); i += static_cast<std::size_t>(threads))
          benchmark::DoNotOptimize(sf.fc_squared(data[i].h, gradient.data(), scratch));
      });
  }
  state.counters["process_cpu_s"] = process_cpu() - cpu;
}
BENCHMARK(BM_DesignRows)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

void BM_NormalMatrixUpdates(benchmark::State& state) {
  const int p = 2000, block = 256;
  std::vector<double> rows(static_cast<std::size_t>(block) * p);
  std::mt19937 random(3);
  std::uniform_real_distribution<double> unit(-1, 1);
  for (double& v : rows) v = unit(random);
  const double cpu = process_cpu();
  for (auto _ : state) {
    lsq::NormalMatrix normal(p);
    for (int first = 0; first < kReflections; first += block) normal.add_rows(rows.data(), block);
    benchmark::DoNotOptimize(normal.diagonal(0));
  }
  state.counters["process_cpu_s"] = process_cpu() - cpu;
}
BENCHMARK(BM_NormalMatrixUpdates)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

void BM_FactoriseAndInvert(benchmark::State& state) {
  const int p = 2000;
  std::vector<double> rows(static_cast<std::size_t>(4 * p) * p);
  std::mt19937 random(5);
  std::uniform_real_distribution<double> unit(-1, 1);
  for (double& v : rows) v = unit(random);
  for (auto _ : state) {
    state.PauseTiming();
    lsq::NormalMatrix normal(p);
    normal.add_rows(rows.data(), 4 * p);
    state.ResumeTiming();
    const double cpu = process_cpu();
    benchmark::DoNotOptimize(normal.factorise());
    normal.invert();
    state.counters["process_cpu_s"] = process_cpu() - cpu;
  }
}
BENCHMARK(BM_FactoriseAndInvert)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
