#include "geometry/hydrogen_bonds.hpp"

#include <algorithm>
#include <cctype>
#include <optional>
#include <span>

#include <gemmi/elem.hpp>

#include "recio/error.hpp"
#include "recio/fixed_text.hpp"
#include "geometry/image_grid.hpp"

namespace vesk {

namespace {

int element_of_symbol(std::string_view letters) {
  if (letters.empty() || letters.size() > 2) return 0;
  const std::string text(letters);
  return static_cast<int>(gemmi::find_element(text.c_str()));
}

bool contains(const std::vector<int>& list, int element) {
  return std::find(list.begin(), list.end(), element) != list.end();
}

std::vector<int> checked_list(const std::string& text, const char* what) {
  std::string bad;
  std::vector<int> list = element_list(text, bad);
  if (!bad.empty())
    throw Error(std::string("The ") + what + " elements \"" + text + "\" of the control record: \"" + bad +
                "\" is not an element symbol");
  return list;
}

}  // namespace

std::vector<int> element_list(std::string_view text, std::string& bad) {
  std::vector<int> list;
  bad.clear();
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find('/', start), text.size());
    const std::string_view symbol = text.substr(start, end - start);
    const int element = element_of_symbol(symbol);
    if (element == 0) {
      bad = std::string(symbol);
      return {};
    }
    list.push_back(element);
    start = end + 1;
  }
  return list;
}

int element_of_type(std::string_view symbol) {
  const std::string trimmed(recio::trim_right(symbol));
  if (trimmed == "FrPk") return 0;
  std::size_t letters = 0;
  while (letters < trimmed.size() && letters < 2 && std::isalpha(static_cast<unsigned char>(trimmed[letters])))
    ++letters;
  // "OW", "CA" as written by some programs: the first letter when the two
  // name no element.
  const int two = element_of_symbol(std::string_view(trimmed).substr(0, letters));
  if (two != 0 || letters < 2) return two;
  return element_of_symbol(std::string_view(trimmed).substr(0, 1));
}

bool is_hydrogen(int element) {
  return element == static_cast<int>(gemmi::El::H) || element == static_cast<int>(gemmi::El::D);
}

float van_der_waals_radius(int element) { return gemmi::vdw_radius(static_cast<gemmi::El>(element)); }

std::vector<HydrogenBond> find_hydrogen_bonds(const GeometryContext& context, const HbondControls& controls) {
  const std::vector<int> donors = checked_list(controls.donors, "donor");
  const std::vector<int> acceptors = checked_list(controls.acceptors, "acceptor");
  const PhaseDescription& phase = *context.phase;
  const int hydrogen = static_cast<int>(gemmi::El::H);
  std::vector<int> element(phase.atoms.size() + 1, 0);
  float widest = 0;
  bool any = false;
  for (std::size_t i = 1; i <= phase.atoms.size(); ++i) {
    element[i] = element_of_type(phase.atoms[i - 1].type_symbol);
    if (is_hydrogen(element[i])) any = true;
    if (contains(acceptors, element[i]))
      widest = std::max(widest, van_der_waals_radius(hydrogen) + van_der_waals_radius(element[i]));
  }
  std::vector<HydrogenBond> found;
  if (!any) return found;
  if (controls.limit > 0) widest = controls.limit;
  if (!(widest > 0)) return found;

  // The images of every atom within the widest H...A limit.
  SearchControls reach;
  reach.dmax_given = reach.dagl_given = true;
  reach.dmax = reach.dagl = widest;
  ImageGrid grid;
  build_image_grid(grid, phase, reach);

  for (int h = 1; h <= static_cast<int>(phase.atoms.size()); ++h) {
    if (!is_hydrogen(element[static_cast<std::size_t>(h)])) continue;
    const NamedImage ph = bonded_image(context, Bond{h, 1, {0, 0, 0}, phase.atoms[static_cast<std::size_t>(h - 1)].x, 0});
    std::vector<FoundDistance> near;
    search_image_grid(grid, phase, h, [&near](const FoundDistance& hit) { near.push_back(hit); });
    for (const Bond& bond : context.bonds->bonds_of(h)) {
      if (!contains(donors, element[static_cast<std::size_t>(bond.atom)])) continue;
      const NamedImage pd = bonded_image(context, bond);
      std::optional<CoordinateBlock> dh_block;  // fetched for the first acceptor
      for (const FoundDistance& hit : near) {
        const int a = element[static_cast<std::size_t>(hit.atom)];
        if (!contains(acceptors, a)) continue;
        NamedImage pa = bonded_image(context, Bond{hit.atom, hit.code, hit.n, hit.x, hit.vec.d});
        const PointMeasure ha = measure_distance(context.frame, ph.point, pa.point);
        const double limit =
            controls.limit > 0 ? controls.limit : van_der_waals_radius(hydrogen) + van_der_waals_radius(a);
        if (!(ha.value < limit)) continue;
        const PointMeasure da = measure_distance(context.frame, pd.point, pa.point);
        if (da.value < 1.0E-3) continue;  // the donor itself
        const PointMeasure angle = measure_angle(context.frame, pd.point, ph.point, pa.point);
        if (!(angle.value * kDegreesPerRadian > controls.min_angle)) continue;
        const PointMeasure dh = measure_distance(context.frame, pd.point, ph.point);
        HydrogenBond hb;
        hb.donor = pd;
        hb.hydrogen = ph;
        hb.acceptor = pa;
        // The blocks of D, H and A (0, 1, 2), [i][j] for i <= j; each
        // measure takes those of its own points.
        if (!dh_block) dh_block = pair_block(context, pd, ph);
        const CoordinateBlock ha_block = pair_block(context, ph, pa), da_block = pair_block(context, pd, pa);
        const CoordinateBlock* of[3][3] = {{&own_block(context, pd), &*dh_block, &da_block},
                                           {nullptr, &own_block(context, ph), &ha_block},
                                           {nullptr, nullptr, &own_block(context, pa)}};
        const NamedImage* images[3] = {&pd, &ph, &pa};
        auto sigma = [&](std::initializer_list<std::size_t> which, const PointMeasure& m) {
          const std::vector<std::size_t> w(which);
          std::array<ImagePoint, 4> points;
          PointBlocks blocks;
          for (std::size_t r = 0; r < w.size(); ++r) {
            points[r] = images[w[r]]->point;
            for (std::size_t c = r; c < w.size(); ++c) blocks.of[r][c] = of[w[r]][w[c]];
          }
          return static_cast<float>(propagated_sigma(context.frame, std::span(points.data(), w.size()), m,
                                                     context.cell, context.covariance, &blocks));
        };
        hb.dh = static_cast<float>(dh.value);
        hb.dh_sigma = sigma({0, 1}, dh);
        hb.ha = static_cast<float>(ha.value);
        hb.ha_sigma = sigma({1, 2}, ha);
        hb.da = static_cast<float>(da.value);
        hb.da_sigma = sigma({0, 2}, da);
        hb.angle = static_cast<float>(angle.value * kDegreesPerRadian);
        hb.angle_sigma = static_cast<float>(kDegreesPerRadian) * sigma({0, 1, 2}, angle);
        found.push_back(hb);
      }
    }
  }
  return found;
}

}  // namespace vesk
