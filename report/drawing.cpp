#include "report/drawing.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <set>
#include <sstream>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "console/page.hpp"
#include "crystal/displacement_ellipsoid.hpp"
#include "crystal/symmetric_eigen.hpp"
#include "recio/error.hpp"
#include "recio/file_replace.hpp"
#include "recio/fixed_text.hpp"
#include "recio/format.hpp"
#include "recio/units.hpp"
#include "report/rows.hpp"
#include "report/xml_text.hpp"

namespace vesk {

namespace {

constexpr double kHydrogenRadius = 0.12;   // Angstrom, fixed: a riding H's U says little
constexpr double kPeakRadius = 0.12;       // Fourier peaks carry no U
constexpr double kCrossHalfSize = 0.25;    // Angstrom
constexpr double kMargin = 60;             // px around the atoms, room for labels
constexpr double kHeader = 62;             // px for the title lines
constexpr double kFooterLine = 16;         // px per line under the picture
constexpr double kPi = 3.14159265358979323846;
constexpr double kSameSite = 0.01;         // Angstrom: atoms sharing a site get one label
constexpr double kEclipsed = 0.15;         // Angstrom apart on the screen
constexpr double kTiltStep = 10.0;         // degrees, off a normal that eclipses atoms

using Cart3x3 = std::array<Cart3, 3>;  // [row][column]

Cart3 cross(const Cart3& p, const Cart3& q) {
  return {p[1] * q[2] - p[2] * q[1], p[2] * q[0] - p[0] * q[2], p[0] * q[1] - p[1] * q[0]};
}
double dot(const Cart3& p, const Cart3& q) { return p[0] * q[0] + p[1] * q[1] + p[2] * q[2]; }
Cart3 unit(const Cart3& p) {
  const double length = std::sqrt(dot(p, p));
  return length > 0 ? Cart3{p[0] / length, p[1] / length, p[2] / length} : Cart3{0, 0, 1};
}

// The cell's axes as the columns of B: Cartesian = B fractional.
Cart3x3 axes_as_columns(const Mat3& orthogonal) {
  Cart3x3 b{};
  for (int i = 0; i < 3; ++i)
    for (int k = 0; k < 3; ++k) b[k][i] = at(orthogonal, i + 1, k + 1);
  return b;
}

Cart3x3 inverse(const Cart3x3& m) {
  Cart3x3 result{};
  const double det = dot(m[0], cross(m[1], m[2]));
  const Cart3 c0 = cross(m[1], m[2]);
  const Cart3 c1 = cross(m[2], m[0]);
  const Cart3 c2 = cross(m[0], m[1]);
  for (int i = 0; i < 3; ++i) {
    result[i][0] = c0[i] / det;
    result[i][1] = c1[i] / det;
    result[i][2] = c2[i] / det;
  }
  return result;
}

Cart3 transform(const Cart3x3& m, const Cart3& v) { return {dot(m[0], v), dot(m[1], v), dot(m[2], v)}; }

Cart3x3 multiply(const Cart3x3& p, const Cart3x3& q) {
  Cart3x3 r{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) r[i][j] += p[i][k] * q[k][j];
  return r;
}

// The element of a type symbol: a capital and an optional small letter.
std::string element_of(const std::string& symbol) {
  const std::string text(recio::trim_right(symbol));
  std::string element;
  for (char c : text) {
    if (!std::isalpha(static_cast<unsigned char>(c))) break;
    if (element.empty()) {
      element += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    } else if (element.size() == 1 && std::islower(static_cast<unsigned char>(c))) {
      element += c;
    } else {
      break;
    }
  }
  return element;
}

// Fill colours by element, pale enough for the axes and labels to show.
struct ElementColour {
  const char* element;
  const char* fill;
};
const ElementColour kColours[] = {
    /*  0 */ {"H", "#ffffff"},  /*  1 */ {"D", "#ffffff"},  /*  2 */ {"C", "#b0b0b0"},
    /*  3 */ {"N", "#9db4ff"},  /*  4 */ {"O", "#ff9d9d"},  /*  5 */ {"F", "#b8f0a0"},
    /*  6 */ {"Si", "#e8c890"}, /*  7 */ {"P", "#ffc080"},  /*  8 */ {"S", "#fff080"},
    /*  9 */ {"Cl", "#a0f0a0"}, /* 10 */ {"Fe", "#ffa860"}, /* 11 */ {"Mg", "#a0e8a0"},
    /* 12 */ {"Al", "#d0c0e0"}, /* 13 */ {"Na", "#c0a0f0"}, /* 14 */ {"Ca", "#a0d0d0"},
};

const char* fill_of(const std::string& element) {
  for (const ElementColour& colour : kColours)
    if (element == colour.element) return colour.fill;
  return "#e0e0e0";
}

std::string escaped(const std::string& text) { return xml_text(text); }

std::string number(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.2f", std::fabs(value) < 0.005 ? 0.0 : value);
  return buffer;
}

// "x,-y+1/2,z" for an operation, translations in lowest terms.
std::string xyz_of(const SymmetryOperation& op) {
  std::string text;
  for (int i = 0; i < 3; ++i) {
    std::string row;
    for (int j = 0; j < 3; ++j) {
      const int r = op.rotation[i][j];
      if (r == 0) continue;
      if (r < 0) row += "-";
      else if (!row.empty()) row += "+";
      if (std::abs(r) != 1) row += std::to_string(std::abs(r));
      row += "xyz"[j];
    }
    const int t = op.twelfths[i];
    if (t != 0) {
      const int common = std::gcd(std::abs(t), 12);
      row += t < 0 ? "-" : "+";
      row += std::to_string(std::abs(t) / common);
      if (12 / common != 1) row += "/" + std::to_string(12 / common);
    }
    text += (i > 0 ? "," : "") + row;
  }
  return text;
}

std::string roman(int n) {
  static const char* const kOnes[] = {"", "i", "ii", "iii", "iv", "v", "vi", "vii", "viii", "ix"};
  static const char* const kTens[] = {"", "x", "xx", "xxx", "xl", "l", "lx", "lxx", "lxxx", "xc"};
  if (n <= 0 || n >= 100) return std::to_string(n);
  return std::string(kTens[n / 10]) + kOnes[n % 10];
}

enum class Shape { ellipsoid, sphere, small_circle, peak, cross };

struct PlacedAtom {
  std::string label;
  std::string mark;          // roman symmetry mark, empty for the asymmetric unit
  std::string element;
  Shape shape = Shape::sphere;
  double sx = 0, sy = 0, depth = 0;  // Angstrom in the screen frame
  ProjectedEllipse outline;
  std::array<std::array<double, 4>, 3> axis_lines{};  // x1, y1, x2, y2 per principal axis
};

struct Screen {
  Cart3 x{}, y{}, z{};  // right-handed, z towards the viewer
};

Screen plane_view(const std::vector<Cart3>& points) {
  Cart3 centre{};
  for (const Cart3& p : points)
    for (int i = 0; i < 3; ++i) centre[i] += p[i] / static_cast<double>(points.size());
  Sym3 scatter{};
  for (const Cart3& p : points)
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) scatter[i][j] += (p[i] - centre[i]) * (p[j] - centre[j]);
  const SymmetricEigen eigen = symmetric_eigen(scatter);
  Screen screen;
  screen.z = unit(eigen.vectors[0]);   // least spread: the plane's normal
  screen.x = unit(eigen.vectors[2]);   // most spread across the picture
  screen.y = cross(screen.z, screen.x);
  return screen;
}

Screen given_view(const Cart3x3& b, const Vec3& direction) {
  Screen screen;
  screen.z = unit(transform(b, Cart3{direction[0], direction[1], direction[2]}));
  // Up is the first of c, b, a that stands well off the line of sight.
  Cart3 up{};
  for (int axis : {2, 1, 0}) {
    up = unit(Cart3{b[0][axis], b[1][axis], b[2][axis]});
    if (std::fabs(dot(up, screen.z)) < 0.9) break;
  }
  const double along = dot(up, screen.z);
  screen.y = unit(Cart3{up[0] - along * screen.z[0], up[1] - along * screen.z[1], up[2] - along * screen.z[2]});
  screen.x = cross(screen.y, screen.z);
  return screen;
}

// Two atoms apart in space that fall on one point of the picture.
bool eclipsed(const std::vector<Cart3>& points, const Screen& screen) {
  for (std::size_t i = 0; i < points.size(); ++i)
    for (std::size_t j = 0; j < i; ++j) {
      const Cart3 d{points[i][0] - points[j][0], points[i][1] - points[j][1], points[i][2] - points[j][2]};
      if (dot(d, d) > kSameSite * kSameSite && std::hypot(dot(d, screen.x), dot(d, screen.y)) < kEclipsed)
        return true;
    }
  return false;
}

// The screen turned by `tilt` about its x axis and half that about its y axis.
Screen tilted(const Screen& s, double tilt) {
  const double c = std::cos(tilt), t = std::sin(tilt);
  Screen r = s;
  for (int i = 0; i < 3; ++i) {
    r.z[i] = c * s.z[i] + t * s.y[i];
    r.y[i] = c * s.y[i] - t * s.z[i];
  }
  const double c2 = std::cos(tilt / 2), t2 = std::sin(tilt / 2);
  const Screen q = r;
  for (int i = 0; i < 3; ++i) {
    r.z[i] = c2 * q.z[i] + t2 * q.x[i];
    r.x[i] = c2 * q.x[i] - t2 * q.z[i];
  }
  return r;
}

std::string view_text(const DrawingView& view) {
  if (!view.given) return "the normal of the least-squares plane";
  const Vec3& d = view.direction;
  if (d[1] == 0 && d[2] == 0) return "a";
  if (d[0] == 0 && d[2] == 0) return "b";
  if (d[0] == 0 && d[1] == 0) return "c";
  std::ostringstream text;
  text << "[" << d[0] << " " << d[1] << " " << d[2] << "]";
  return text.str();
}

struct Canvas {
  double scale = 40;   // px per Angstrom
  double min_x = 0, max_y = 0;
  double left = kMargin, top = kHeader + kMargin;
  double X(double sx) const { return left + (sx - min_x) * scale; }
  double Y(double sy) const { return top + (max_y - sy) * scale; }
};

std::string atom_svg(const PlacedAtom& atom, const Canvas& canvas, std::size_t index) {
  std::ostringstream svg;
  const double cx = canvas.X(atom.sx);
  const double cy = canvas.Y(atom.sy);
  svg << "<g class=\"atom\" id=\"atom" << index + 1 << "\"><title>" << escaped(atom.label)
      << (atom.mark.empty() ? "" : " (" + atom.mark + ")") << "</title>";
  const std::string fill = fill_of(atom.element);
  switch (atom.shape) {
    case Shape::cross: {
      const double h = kCrossHalfSize * canvas.scale;
      svg << "<path class=\"cross\" d=\"M" << number(cx - h) << "," << number(cy - h) << " L" << number(cx + h)
          << "," << number(cy + h) << " M" << number(cx - h) << "," << number(cy + h) << " L" << number(cx + h)
          << "," << number(cy - h) << "\" stroke=\"#d00000\" stroke-width=\"3\" fill=\"none\"/>";
      break;
    }
    case Shape::ellipsoid: {
      // SVG's y runs down: an angle from x towards y turns the other way.
      svg << "<ellipse cx=\"" << number(cx) << "\" cy=\"" << number(cy) << "\" rx=\""
          << number(atom.outline.major * canvas.scale) << "\" ry=\"" << number(atom.outline.minor * canvas.scale)
          << "\" transform=\"rotate(" << number(-atom.outline.angle * 180.0 / kPi) << " " << number(cx) << " "
          << number(cy) << ")\" fill=\"" << fill << "\" stroke=\"#000000\" stroke-width=\"1.2\"/>";
      svg << "<path class=\"axes\" d=\"";
      for (const auto& line : atom.axis_lines)
        svg << "M" << number(canvas.X(line[0])) << "," << number(canvas.Y(line[1])) << " L"
            << number(canvas.X(line[2])) << "," << number(canvas.Y(line[3])) << " ";
      svg << "\" stroke=\"#000000\" stroke-width=\"0.7\" fill=\"none\"/>";
      break;
    }
    case Shape::sphere:
    case Shape::small_circle:
    case Shape::peak:
      svg << "<circle cx=\"" << number(cx) << "\" cy=\"" << number(cy) << "\" r=\""
          << number(atom.outline.major * canvas.scale) << "\" fill=\"" << (atom.shape == Shape::peak ? "none" : fill)
          << "\" stroke=\"#000000\" stroke-width=\"1.2\""
          << (atom.shape == Shape::peak ? " stroke-dasharray=\"3,2\"" : "") << "/>";
      break;
  }
  svg << "</g>\n";
  return svg.str();
}

bool same_site(const Cart3& p, const Cart3& q) {
  const Cart3 d{p[0] - q[0], p[1] - q[1], p[2] - q[2]};
  return dot(d, d) <= kSameSite * kSameSite;
}

bool shares_site_with_earlier(const std::vector<Cart3>& points, std::size_t k) {
  for (std::size_t j = 0; j < k; ++j)
    if (same_site(points[j], points[k])) return true;
  return false;
}

double outline_radius(const PlacedAtom& atom, double dx, double dy) {
  if (atom.shape == Shape::cross) return kCrossHalfSize;
  return atom.outline.radius_towards(dx, dy);
}

// How an atom is drawn, whatever the view: its shape and, for an
// ellipsoid, the image's Cartesian U and its principal axes at 50 %.
struct AtomFigure {
  Shape shape = Shape::sphere;
  double radius = 0;  // of a circle
  Sym3 u{};
  DisplacementEllipsoid ellipsoid;
};

AtomFigure atom_figure(const PhaseDescription& phase, const DrawnAtom& image, const Cart3x3& b,
                       const Cart3x3& b_inverse) {
  const AtomSite& site = phase.atoms[static_cast<std::size_t>(image.atom - 1)];
  const std::string element = element_of(site.type_symbol);
  AtomFigure figure;
  if (recio::equal_padded(site.type_symbol, "FrPk")) {
    figure.shape = Shape::peak;
    figure.radius = kPeakRadius;
  } else if (element == "H" || element == "D") {
    figure.shape = Shape::small_circle;
    figure.radius = kHydrogenRadius;
  } else if (site.kind[0] == 'I') {
    figure.shape = site.u[0] > 0 ? Shape::sphere : Shape::cross;
    if (site.u[0] > 0) figure.radius = kFiftyPercentScale * std::sqrt(static_cast<double>(site.u[0]));
  } else {
    // The image's tensor: R U R^T with R the operation's rotation in
    // Cartesian axes, B R B^-1.
    Cart3x3 rotation{};
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) rotation[i][j] = image.op.rotation[i][j];
    const Cart3x3 r = multiply(multiply(b, rotation), b_inverse);
    const Sym3 own = cartesian_u(phase.orthogonal, site.u);
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j)
        for (int k1 = 0; k1 < 3; ++k1)
          for (int k2 = 0; k2 < 3; ++k2) figure.u[i][j] += r[i][k1] * own[k1][k2] * r[j][k2];
    figure.ellipsoid = displacement_ellipsoid(figure.u, kFiftyPercentScale);
    figure.shape = figure.ellipsoid.positive_definite ? Shape::ellipsoid : Shape::cross;
  }
  return figure;
}

// The screen of a drawing: along the view given, else the normal of the
// plane through the atoms, tilted (`tilt` steps) when that hides an atom.
Screen drawing_screen(const std::vector<Cart3>& points, const Cart3x3& b, const DrawingView& view, int& tilt) {
  Screen screen = view.given ? given_view(b, view.direction) : plane_view(points);
  // High symmetry can put one atom right behind another along the plane's
  // normal; a drawing then tilts the view a little.
  tilt = 0;
  if (!view.given)
    for (const Screen normal = screen; tilt < 3 && eclipsed(points, screen);) {
      ++tilt;
      screen = tilted(normal, tilt * kTiltStep * kPi / 180);
    }
  return screen;
}

std::vector<Cart3> cartesian_points(const DrawnStructure& drawn, const Cart3x3& b) {
  std::vector<Cart3> points;
  for (const DrawnAtom& atom : drawn.atoms) points.push_back(transform(b, Cart3{atom.x[0], atom.x[1], atom.x[2]}));
  return points;
}

}  // namespace

std::string drawing_file_name(const std::string& stem, int phase) {
  return stem + "_phase" + std::to_string(phase) + ".svg";
}

PhaseDrawing draw_phase(const PhaseDescription& phase, const DrawnStructure& drawn, const DrawingView& view,
                        const std::string& file) {
  const Cart3x3 b = axes_as_columns(phase.orthogonal);
  const Cart3x3 b_inverse = inverse(b);
  const std::vector<Cart3> points = cartesian_points(drawn, b);
  int tilt = 0;
  const Screen screen = drawing_screen(points, b, view, tilt);

  PhaseDrawing drawing;
  drawing.file = file;
  drawing.atoms = static_cast<int>(drawn.atoms.size());
  drawing.bonds = static_cast<int>(drawn.bonds.size());
  drawing.network = drawn.network;
  drawing.view = view_text(view);
  if (tilt > 0)
    drawing.view += ", tilted " + std::to_string(static_cast<int>(tilt * kTiltStep)) +
                    " degrees to show atoms it would hide";

  std::vector<SymmetryOperation> marked_ops;
  std::vector<bool> named(phase.atoms.size(), false);
  std::vector<PlacedAtom> placed;
  for (std::size_t k = 0; k < drawn.atoms.size(); ++k) {
    const DrawnAtom& image = drawn.atoms[k];
    const AtomSite& site = phase.atoms[static_cast<std::size_t>(image.atom - 1)];
    PlacedAtom atom;
    atom.label = std::string(recio::trim_right(site.label));
    atom.element = element_of(site.type_symbol);
    atom.sx = dot(points[k], screen.x);
    atom.sy = dot(points[k], screen.y);
    atom.depth = dot(points[k], screen.z);
    if (image.op != SymmetryOperation{}) {
      auto found = std::find(marked_ops.begin(), marked_ops.end(), image.op);
      if (found == marked_ops.end()) {
        marked_ops.push_back(image.op);
        found = marked_ops.end() - 1;
        drawing.symmetry_codes.push_back(roman(static_cast<int>(marked_ops.size())) + "  " + xyz_of(image.op));
      }
      atom.mark = roman(static_cast<int>(found - marked_ops.begin()) + 1);
    }

    const AtomFigure figure = atom_figure(phase, image, b, b_inverse);
    atom.shape = figure.shape;
    atom.outline = {figure.radius, figure.radius, 0};
    if (figure.shape == Shape::ellipsoid) {
      atom.outline = projected_outline(figure.u, screen.x, screen.y, kFiftyPercentScale);
      for (std::size_t axis = 0; axis < 3; ++axis) {
        const double half = figure.ellipsoid.semi_axes[axis];
        const double ex = dot(figure.ellipsoid.axes[axis], screen.x) * half;
        const double ey = dot(figure.ellipsoid.axes[axis], screen.y) * half;
        atom.axis_lines[axis] = {atom.sx - ex, atom.sy - ey, atom.sx + ex, atom.sy + ey};
      }
    }
    if (atom.shape == Shape::cross && !named[static_cast<std::size_t>(image.atom - 1)]) {
      named[static_cast<std::size_t>(image.atom - 1)] = true;
      drawing.non_positive.push_back(atom.label);
    }
    placed.push_back(atom);
  }

  // The picture's frame: every outline inside, labels in the margin.
  Canvas canvas;
  double min_x = 0, max_x = 0, min_y = 0, max_y = 0;
  for (std::size_t k = 0; k < placed.size(); ++k) {
    const PlacedAtom& atom = placed[k];
    const double reach = atom.shape == Shape::cross ? kCrossHalfSize : atom.outline.major;
    if (k == 0 || atom.sx - reach < min_x) min_x = atom.sx - reach;
    if (k == 0 || atom.sx + reach > max_x) max_x = atom.sx + reach;
    if (k == 0 || atom.sy - reach < min_y) min_y = atom.sy - reach;
    if (k == 0 || atom.sy + reach > max_y) max_y = atom.sy + reach;
  }
  const double extent = std::max({max_x - min_x, max_y - min_y, 1.0});
  canvas.scale = std::clamp(720.0 / extent, 20.0, 90.0);
  canvas.min_x = min_x;
  canvas.max_y = max_y;
  const std::size_t footer_lines = 2 + drawing.symmetry_codes.size() + (drawing.non_positive.empty() ? 0 : 1);
  const double width = std::max((max_x - min_x) * canvas.scale + 2 * kMargin, 420.0);
  const double height = kHeader + (max_y - min_y) * canvas.scale + 2 * kMargin +
                        kFooterLine * static_cast<double>(footer_lines);

  // Painter's order: the farthest first; at equal depth a bond before the
  // atoms it joins. Bonds run from outline to outline.
  struct Item {
    double depth;
    int layer;
    std::string svg;
  };
  std::vector<Item> items;
  for (std::size_t k = 0; k < placed.size(); ++k)
    items.push_back({placed[k].depth, 1, atom_svg(placed[k], canvas, k)});
  const double bond_width = std::max(1.5, 0.08 * canvas.scale);
  for (const DrawnBond& bond : drawn.bonds) {
    const PlacedAtom& p = placed[bond.first];
    const PlacedAtom& q = placed[bond.second];
    const double dx = q.sx - p.sx;
    const double dy = q.sy - p.sy;
    const double length = std::hypot(dx, dy);
    if (length <= 0) continue;
    const double ux = dx / length;
    const double uy = dy / length;
    const double from = outline_radius(p, ux, uy);
    const double to = outline_radius(q, -ux, -uy);
    if (from + to >= length) continue;  // seen end on: hidden behind the atoms
    std::ostringstream svg;
    svg << "<line class=\"bond\" x1=\""
        << number(canvas.X(p.sx + ux * from)) << "\" y1=\""
        << number(canvas.Y(p.sy + uy * from)) << "\" x2=\"" << number(canvas.X(q.sx - ux * to)) << "\" y2=\""
        << number(canvas.Y(q.sy - uy * to)) << "\" stroke=\"#303030\" stroke-width=\"" << number(bond_width)
        << "\" stroke-linecap=\"round\"/>\n";
    items.push_back({0.5 * (p.depth + q.depth), 0, svg.str()});
  }
  std::stable_sort(items.begin(), items.end(), [](const Item& s, const Item& t) {
    return s.depth != t.depth ? s.depth < t.depth : s.layer < t.layer;
  });

  std::ostringstream svg;
  svg << "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\n"
      << "<!DOCTYPE svg PUBLIC \"-//W3C//DTD SVG 1.1//EN\" \"http://www.w3.org/Graphics/SVG/1.1/DTD/svg11.dtd\">\n"
      << "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"" << number(width) << "\" height=\""
      << number(height) << "\" viewBox=\"0 0 " << number(width) << " " << number(height) << "\">\n";
  const std::string name(recio::trim_right(phase.name));
  svg << "<title>Phase " << phase.number << (name.empty() ? "" : ": " + escaped(name)) << "</title>\n";
  svg << "<rect x=\"0\" y=\"0\" width=\"" << number(width) << "\" height=\"" << number(height)
      << "\" fill=\"#ffffff\"/>\n";
  svg << "<g font-family=\"sans-serif\" font-size=\"13\" fill=\"#000000\">\n";
  svg << "<text x=\"12\" y=\"20\">Phase " << phase.number << (name.empty() ? "" : ": " + escaped(name)) << "</text>\n";
  svg << "<text x=\"12\" y=\"38\" font-size=\"11\">"
      << (drawing.network ? "Coordination shells of the asymmetric unit" : "Molecules of the asymmetric unit")
      << ", displacement ellipsoids at 50% probability</text>\n";
  svg << "<text x=\"12\" y=\"54\" font-size=\"11\">View along " << escaped(drawing.view) << "</text>\n";
  svg << "</g>\n";
  for (const Item& item : items) svg << item.svg;

  // Labels over everything, up and to the right of each outline.
  svg << "<g font-family=\"sans-serif\" fill=\"#000000\">\n";
  for (std::size_t k = 0; k < placed.size(); ++k) {
    const PlacedAtom& atom = placed[k];
    if (shares_site_with_earlier(points, k)) continue;
    std::string label = escaped(atom.label);
    for (std::size_t j = k + 1; j < placed.size(); ++j)
      if (same_site(points[j], points[k])) label += "/" + escaped(placed[j].label);
    const double reach = (atom.shape == Shape::cross ? kCrossHalfSize : atom.outline.major) * canvas.scale * 0.75;
    const bool small = atom.shape == Shape::small_circle || atom.shape == Shape::peak;
    svg << "<text class=\"label\" x=\"" << number(canvas.X(atom.sx) + reach + 2) << "\" y=\""
        << number(canvas.Y(atom.sy) - reach - 2) << "\" font-size=\"" << (small ? 10 : 13) << "\">"
        << label;
    if (!atom.mark.empty()) svg << "<tspan dy=\"-5\" font-size=\"" << (small ? 8 : 9) << "\">" << atom.mark << "</tspan>";
    svg << "</text>\n";
  }
  svg << "</g>\n";

  // The scale bar and the symmetry marks under the picture.
  double line_y = height - kFooterLine * static_cast<double>(footer_lines) - 4;
  svg << "<g font-family=\"sans-serif\" font-size=\"11\" fill=\"#000000\">\n";
  const double bar_y = line_y + 8;
  svg << "<path class=\"scale\" d=\"M12," << number(bar_y) << " L" << number(12 + canvas.scale) << ","
      << number(bar_y) << " M12," << number(bar_y - 4) << " L12," << number(bar_y + 4) << " M"
      << number(12 + canvas.scale) << "," << number(bar_y - 4) << " L" << number(12 + canvas.scale) << ","
      << number(bar_y + 4) << "\" stroke=\"#000000\" stroke-width=\"1.5\" fill=\"none\"/>\n";
  svg << "<text x=\"" << number(18 + canvas.scale) << "\" y=\"" << number(bar_y + 4) << "\">1 \xC3\x85</text>\n";
  line_y += 2 * kFooterLine;
  for (const std::string& code : drawing.symmetry_codes) {
    svg << "<text x=\"12\" y=\"" << number(line_y) << "\">" << escaped(code) << "</text>\n";
    line_y += kFooterLine;
  }
  if (!drawing.non_positive.empty()) {
    std::string names;
    for (const std::string& label : drawing.non_positive) names += (names.empty() ? "" : ", ") + label;
    svg << "<text x=\"12\" y=\"" << number(line_y) << "\" fill=\"#d00000\">U not positive definite (crosses): "
        << escaped(names) << "</text>\n";
  }
  svg << "</g>\n</svg>\n";
  drawing.svg = svg.str();
  return drawing;
}

namespace {

// A number of the model, to a tenth of a thousandth.
double rounded(double value) { return std::round(value * 1e4) / 1e4; }

const char* shape_name(Shape shape) {
  switch (shape) {
    case Shape::ellipsoid: return "ellipsoid";
    case Shape::sphere: return "sphere";
    case Shape::small_circle: return "hydrogen";
    case Shape::peak: return "peak";
    case Shape::cross: return "cross";
  }
  return "sphere";
}

// "label\nlabel\ncode\ncode" of a bond seen from its first atom.
std::string bond_key(const std::string& first, const std::string& second, const std::string& code) {
  return first + '\n' + second + '\n' + code;
}

}  // namespace

std::string drawing_model(const PhaseDescription& phase, const DrawnStructure& structure, const DrawingView& view,
                          const PhaseRows& rows) {
  using Json = nlohmann::ordered_json;
  const Cart3x3 b = axes_as_columns(phase.orthogonal);
  const Cart3x3 b_inverse = inverse(b);
  DrawnStructure drawn = structure;
  const auto code_of = [&](const SymmetryOperation& op) {
    const std::string code = site_symmetry_code(rows.numbering, op);
    return code.empty() ? std::string("?") : code;
  };

  // The images of the hydrogen bonds' H and A: found among the drawn
  // atoms by position, added when the drawing lacks them.
  std::unordered_map<int, std::vector<std::size_t>> images_of;  // by atom number
  for (std::size_t k = 0; k < drawn.atoms.size(); ++k) images_of[drawn.atoms[k].atom].push_back(k);
  const auto drawn_index = [&](const RowSite& site) {
    const SymmetryOperation op = operation_of(phase.group, site.image.code, site.image.n);
    const Vec3d x = image_of(op, phase.atoms[static_cast<std::size_t>(site.atom - 1)].x);
    std::vector<std::size_t>& images = images_of[site.atom];
    for (std::size_t k : images) {
      const DrawnAtom& atom = drawn.atoms[k];
      if (std::fabs(atom.x[0] - x[0]) < 1e-4 && std::fabs(atom.x[1] - x[1]) < 1e-4 &&
          std::fabs(atom.x[2] - x[2]) < 1e-4)
        return k;
    }
    drawn.atoms.push_back({site.atom, op, x});
    images.push_back(drawn.atoms.size() - 1);
    return drawn.atoms.size() - 1;
  };
  Json hbonds = Json::array();
  const std::vector<Row>& hbond_rows = rows.of(RowKind::hbond);
  for (std::size_t r = 0; r < hbond_rows.size(); ++r)
    hbonds.push_back({drawn_index(hbond_rows[r].sites[0]), drawn_index(hbond_rows[r].sites[1]),
                      drawn_index(hbond_rows[r].sites[2]), r});

  const std::vector<Cart3> points = cartesian_points(drawn, b);
  int tilt = 0;
  const Screen screen = drawing_screen(points, b, view, tilt);
  Json model;
  model["phase"] = phase.number;
  model["network"] = drawn.network;
  model["view"] = Json::array();
  for (const Cart3& axis : {screen.x, screen.y, screen.z})
    model["view"].push_back({rounded(axis[0]), rounded(axis[1]), rounded(axis[2])});
  Json atoms = Json::array();
  for (std::size_t k = 0; k < drawn.atoms.size(); ++k) {
    const DrawnAtom& image = drawn.atoms[k];
    const AtomFigure figure = atom_figure(phase, image, b, b_inverse);
    Json atom;
    atom["label"] = rows.numbering.label(image.atom);
    atom["site_code"] = code_of(image.op);
    atom["element"] = element_of(phase.atoms[static_cast<std::size_t>(image.atom - 1)].type_symbol);
    atom["xyz"] = {rounded(points[k][0]), rounded(points[k][1]), rounded(points[k][2])};
    atom["shape"] = shape_name(figure.shape);
    if (figure.shape == Shape::ellipsoid) {
      // The 50 % ellipsoid: U scaled, and its semi-axes as vectors.
      const double scale2 = kFiftyPercentScale * kFiftyPercentScale;
      const Sym3& u = figure.u;
      atom["u"] = {rounded(scale2 * u[0][0]), rounded(scale2 * u[1][1]), rounded(scale2 * u[2][2]),
                   rounded(scale2 * u[0][1]), rounded(scale2 * u[0][2]), rounded(scale2 * u[1][2])};
      atom["axes"] = Json::array();
      for (std::size_t axis = 0; axis < 3; ++axis) {
        const double half = figure.ellipsoid.semi_axes[axis];
        const Cart3& along = figure.ellipsoid.axes[axis];
        atom["axes"].push_back({rounded(along[0] * half), rounded(along[1] * half), rounded(along[2] * half)});
      }
    } else if (figure.shape != Shape::cross) {
      atom["r"] = rounded(figure.radius);
    }
    atoms.push_back(std::move(atom));
  }
  model["atoms"] = std::move(atoms);

  // Each bond with its row of "bonds", found by the names of its atoms.
  std::unordered_map<std::string, std::size_t> bond_rows;
  const std::vector<Row>& of_bonds = rows.of(RowKind::bond);
  for (std::size_t r = 0; r < of_bonds.size(); ++r) {
    const RowIdentity named = row_identity(rows, of_bonds[r]);
    bond_rows.emplace(bond_key(named.labels[0], named.labels[1], named.site_codes[1]), r);
  }
  Json bonds = Json::array();
  for (const DrawnBond& bond : drawn.bonds) {
    // Either end seen from the other one in its own place; the row's first
    // atom first.
    std::size_t first = bond.first, second = bond.second;
    bool named = false;
    for (int turn = 0; turn < 2 && !named; ++turn, std::swap(first, second)) {
      const DrawnAtom& p = drawn.atoms[first];
      const DrawnAtom& q = drawn.atoms[second];
      const std::string code = code_of(compose(inverse(p.op), q.op));
      const auto row = bond_rows.find(bond_key(rows.numbering.label(p.atom), rows.numbering.label(q.atom), code));
      if (row == bond_rows.end()) continue;
      bonds.push_back({first, second, row->second, code});
      named = true;
    }
    if (!named) bonds.push_back({bond.first, bond.second, nullptr, nullptr});
  }
  model["bonds"] = std::move(bonds);
  model["hydrogen_bonds"] = std::move(hbonds);
  return model.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void write_drawing_summary(int listing_unit, const PhaseDrawing& drawing) {
  std::vector<std::string> lines;
  lines.push_back(" Drawing " + drawing.file + ": " + std::to_string(drawing.atoms) + " atoms drawn, " +
                  std::to_string(drawing.bonds) + " bonds, " +
                  (drawing.network ? "coordination shells (the bonds form a network)" : "whole molecules"));
  lines.push_back(" View along " + drawing.view);
  for (const std::string& code : drawing.symmetry_codes) lines.push_back("   " + code);
  for (const std::string& label : drawing.non_positive)
    lines.push_back(" *** Atom " + label + " has a displacement tensor that is not positive definite: drawn as a cross");
  LINECHK(listing_unit, static_cast<int>(lines.size()) + 1);
  recio::write(listing_unit, "(A)", {" "});
  for (const std::string& line : lines) recio::check(recio::write(listing_unit, "(A)", {line}), listing_unit);
}

void write_drawing_file(const PhaseDrawing& drawing) {
  // Through the safe replace: a temporary of this process, created
  // exclusively, so nothing placed under its name is followed or overwritten.
  recio::remove_stale_temporaries(drawing.file);
  const std::string temporary = recio::temporary_name(drawing.file);
  recio::remove_at_end(temporary);
  recio::write_new_file(temporary, drawing.svg, "drawing");
  recio::rename_file(temporary, drawing.file, "drawing");
  recio::keep_at_end(temporary);
}

}  // namespace vesk
