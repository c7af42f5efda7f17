// The page server on a results document of a file, without a run: the
// marks go into a log (one line per answered mark, synced before the
// answer), the "publication CIF" lists the marked rows, and phase 1 gets a
// plain drawing whose atoms and bonds carry data-atoms and data-site-codes.
// The page's tests drive it as they drive `vortan NAME --serve`.
//
//   page_fixture RESULTS.json MARKS.log
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "recio/error.hpp"
#include "recio/units.hpp"
#include "vortan/page_server.hpp"

namespace {

using nlohmann::ordered_json;

const char* json_key(const std::string& kind) {
  if (kind == "bond") return "bonds";
  if (kind == "angle") return "angles";
  if (kind == "torsion") return "torsions";
  return "hydrogen_bonds";
}

// Atoms on a circle; the first bonds between atoms of the file as lines,
// every other one named from its second atom.
std::string plain_drawing(const ordered_json& phase) {
  std::ostringstream svg;
  svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"400\" height=\"400\" viewBox=\"0 0 400 400\">\n";
  const auto& atoms = phase.at("atoms");
  const double count = static_cast<double>(atoms.size());
  auto place = [&](const std::string& label, double& x, double& y) {
    for (std::size_t i = 0; i < atoms.size(); ++i) {
      if (atoms[i].at("label") != label) continue;
      x = 200 + 170 * std::cos(6.283185307 * static_cast<double>(i) / count);
      y = 200 + 170 * std::sin(6.283185307 * static_cast<double>(i) / count);
      return;
    }
  };
  int drawn = 0;
  for (const auto& bond : phase.at("bonds")) {
    const auto labels = bond.at("atoms").get<std::vector<std::string>>();
    const auto codes = bond.at("site_codes").get<std::vector<std::string>>();
    if (codes[0] != "." || codes[1] != "." || drawn == 12) continue;
    double x1 = 0, y1 = 0, x2 = 0, y2 = 0;
    place(labels[0], x1, y1);
    place(labels[1], x2, y2);
    const bool reversed = drawn % 2 == 1;
    svg << "<line class=\"bond\" data-atoms=\"" << labels[reversed ? 1 : 0] << ' ' << labels[reversed ? 0 : 1]
        << "\" data-site-codes=\". .\" x1=\"" << x1 << "\" y1=\"" << y1 << "\" x2=\"" << x2 << "\" y2=\"" << y2
        << "\" stroke=\"#303030\" stroke-width=\"7\"/>\n";
    ++drawn;
  }
  for (const auto& atom : atoms) {
    double x = 0, y = 0;
    const std::string label = atom.at("label");
    place(label, x, y);
    svg << "<g class=\"atom\" data-atoms=\"" << label << "\" data-site-codes=\".\"><title>" << label
        << "</title><circle cx=\"" << x << "\" cy=\"" << y << "\" r=\"9\" fill=\"#b0b0b0\" stroke=\"#000\"/></g>\n";
  }
  svg << "</svg>\n";
  return svg.str();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: page_fixture RESULTS.json MARKS.log\n";
    return 2;
  }
  std::ifstream input(argv[1]);
  ordered_json results = ordered_json::parse(input);
  const std::string log = argv[2];

  vesk::PageContext context;
  context.experiment = results.value("experiment", "FIXTURE");
  context.results_json = [&] { return results.dump(); };
  context.drawings.emplace_back(1, plain_drawing(results.at("phases").at(0)));
  context.set_mark = [&](const vesk::RowIdentity& row, bool publish) {
    for (auto& phase : results.at("phases")) {
      if (row.phase != 0 && phase.at("phase") != row.phase) continue;
      for (auto& entry : phase.at(json_key(row.kind))) {
        if (entry.at("atoms") != row.labels || entry.at("site_codes") != row.site_codes) continue;
        const bool changed = entry.at("publish") != publish;
        entry["publish"] = publish;
        std::string line = row.kind;
        for (const auto& label : row.labels) line += ' ' + label;
        for (const auto& code : row.site_codes) line += ' ' + code;
        line += publish ? " Y\n" : " N\n";
        const int file = ::open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
        if (file < 0 || ::write(file, line.data(), line.size()) != static_cast<ssize_t>(line.size()) ||
            ::fsync(file) != 0)
          throw vesk::Error("the log " + log + " cannot be written");
        ::close(file);
        return changed;
      }
    }
    throw vesk::Error("no such row");
  };
  context.write_cif = [&] {
    std::ofstream cif("FIXTURE_geom.cif");
    for (const auto& phase : results.at("phases"))
      for (const auto& bond : phase.at("bonds"))
        if (bond.at("publish") == true) cif << bond.at("atoms").dump() << ' ' << bond.at("site_codes").dump() << '\n';
    return std::string("FIXTURE_geom.cif");
  };
  try {
    vesk::serve_page(context);
  } catch (const vesk::Error& error) {
    std::cerr << error.what() << '\n';
    return 1;
  }
  recio::flush_all();
  std::cout << "served\n";
  return 0;
}
