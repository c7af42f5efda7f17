#include "vortan/user_planes.hpp"

#include "recio/error.hpp"
#include "recio/fixed_text.hpp"
#include "recio/format.hpp"

namespace vesk {

std::vector<std::vector<AnalysisImage>> user_planes(const std::vector<std::vector<std::string>>& plans,
                                                    const PhaseDescription& phase, const SiteNumbering& numbering) {
  std::vector<std::vector<AnalysisImage>> planes;
  if (plans.empty()) return planes;
  const std::string key = recio::write_string("(A,I1)", {"  VRTN CDAT", phase.number});
  for (const std::vector<std::string>& words : plans) {
    std::vector<AnalysisImage> images;
    for (const std::string& word : words) {
      std::string label = word;
      std::string code;
      // C1_2_655: the label and the site code.
      const std::size_t last = word.rfind('_');
      if (last != std::string::npos && last > 0 && word.size() - last == 4) {
        const std::size_t second = word.rfind('_', last - 1);
        if (second != std::string::npos && second > 0) {
          label = word.substr(0, second);
          code = word.substr(second + 1);
        }
      }
      int atom = 0;
      // The label as the listing shows it, or as the numbering names the atom.
      for (std::size_t k = 0; k < phase.atoms.size() && atom == 0; ++k)
        if (std::string(recio::trim_right(phase.atoms[k].label)) == label) atom = static_cast<int>(k) + 1;
      for (std::size_t k = 0; k < phase.atoms.size() && atom == 0; ++k)
        if (numbering.labels[k] == label) atom = static_cast<int>(k) + 1;
      if (atom == 0)
        throw Error("PLAN in the control record \"" + key + "\" names the atom \"" + label +
                    "\", which phase " + std::to_string(phase.number) + " does not have");
      AnalysisImage image{atom, SymmetryOperation{}};
      if (!code.empty() && code != "1_555") {
        bool found = false;
        for (const CifOperator& op : numbering.operators) {
          for (int k = -4; k <= 4 && !found; ++k)
            for (int l = -4; l <= 4 && !found; ++l)
              for (int m = -4; m <= 4 && !found; ++m) {
                SymmetryOperation candidate;
                for (std::size_t i = 0; i < 3; ++i)
                  for (std::size_t j = 0; j < 3; ++j) candidate.rotation[i][j] = op.r[i * 3 + j];
                candidate.twelfths = {op.t[0] + 12 * k, op.t[1] + 12 * l, op.t[2] + 12 * m};
                if (site_symmetry_code(numbering, candidate) == code) {
                  image.op = candidate;
                  found = true;
                }
              }
          if (found) break;
        }
        if (!found)
          throw Error("PLAN in the control record \"" + key + "\" names \"" + word + "\", whose site code " + code +
                      " is not one of phase " + std::to_string(phase.number) + "'s operators");
      }
      images.push_back(image);
    }
    planes.push_back(std::move(images));
  }
  return planes;
}

}  // namespace vesk
