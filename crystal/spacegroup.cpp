// Hermann-Mauguin symbols read by rule: no table of space groups. The symbol
// is cut into fields, the fields give the Laue class and a table L of
// location translations that puts the inversion (when there is one) at the
// origin, each field yields generators, and the generators are closed under
// multiplication. Translations are held in integer twelfths throughout, so
// products and comparisons are exact.
#include "crystal/spacegroup.hpp"

#include <set>
#include <string>
#include <vector>

#include "recio/units.hpp"

namespace vesk {
namespace {

// Character codes of the symbol scan; 0 marks an empty place in a field.
enum SymbolCode {
  sEmpty = 0, sBlank = 1, sC = 2, sB = 3, sA = 4, sP = 5, sF = 6, sI = 7, sR = 8, sM = 9, sN = 10, sD = 11,
  s1 = 12, s2 = 13, s3 = 14, s4 = 15, s5 = 16, s6 = 17, sMinus = 18, sSlash = 19, sH = 20, sDot = 21,
  sTab = 33, sIllegal = -1,
};

// A field that begins with "5", "/", "H" or "." cannot be read; it is
// refused with the message at table position 0.
constexpr int kUnreadableField = 0;
// A centring that does not fit the axes: the message at table position 5.
constexpr int kCentringMisfit = 5;

bool is_letter(int c) { return c >= sC && c <= sD; }
bool is_digit(int c) { return c >= s1 && c <= s6; }
int digit_of(int c) { return c - s1 + 1; }

int symbol_code(char ch) {
  switch (ch) {
    case ' ': return sBlank;
    case '\t': return sTab;
    case '-': return sMinus;
    case '/': return sSlash;
    case '.': return sDot;
    default: break;
  }
  if (ch >= '1' && ch <= '6') return s1 + (ch - '1');
  static const char kLetters[] = "CBAPFIRMND";
  for (int i = 0; kLetters[i] != 0; ++i)
    if (ch == kLetters[i] || ch == kLetters[i] + ('a' - 'A')) return sC + i;
  if (ch == 'H' || ch == 'h') return sH;
  return sIllegal;
}

constexpr int kSlots = 25;  // one beyond the 24 operators: the candidate's number

// A working operator: integer rotation (rows act on x, y, z) and its
// translation in twelfths, reduced into 0..11 once committed.
struct WorkOp {
  int r[3][3]{};
  int t[3]{};
  int code = 0;  // matrix code
  int key = 0;   // translation key

  void form_keys() {
    for (int& x : t) x = ((x % 12) + 12) % 12;
    code = 81 * (2 * r[0][0] + 3 * r[0][1] + 4 * r[0][2]) + 9 * (2 * r[1][0] + 3 * r[1][1] + 4 * r[1][2]) +
           (2 * r[2][0] + 3 * r[2][1] + 4 * r[2][2]);
    key = 144 * t[0] + 12 * t[1] + t[2];
  }
};

// Builds an operator from its images: rows[i] is (coefficient of x, of y, of z).
WorkOp make_op(std::array<int, 3> row1, std::array<int, 3> row2, std::array<int, 3> row3, int t1 = 0,
               int t2 = 0, int t3 = 0) {
  WorkOp op;
  const std::array<int, 3>* rows[3] = {&row1, &row2, &row3};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) op.r[i][j] = (*rows[i])[j];
  op.t[0] = t1;
  op.t[1] = t2;
  op.t[2] = t3;
  return op;
}

WorkOp multiply(const WorkOp& a, const WorkOp& b) {  // a x b: b first, then a
  WorkOp p;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) p.r[i][j] += a.r[i][k] * b.r[k][j];
    p.t[i] = a.t[i];
    for (int k = 0; k < 3; ++k) p.t[i] += a.r[i][k] * b.t[k];
  }
  p.form_keys();
  return p;
}

struct OpFlag {
  int code;
  int flag;
};

// Operation flag of each matrix code.
const OpFlag kOpFlags[] = {
    {193, 0},   {-193, 7},  {185, 1},   {-185, 6},  {139, 2},   {-139, 5},  {-131, 4},  {131, 3},   // 1-8
    {-257, 98}, {257, 99},  {265, 8},   {-265, 12}, {-299, 8},  {299, 12},  {353, 8},   {-353, 12},  // 9-16
    {123, 8},   {-123, 12}, {201, 8},   {-201, 12}, {-221, 16}, {221, 23},  {229, 16},  {-229, 23},  // 17-24
    {-295, 16}, {295, 23},  {349, 16},  {-349, 23}, {129, 16},  {-129, 23}, {195, 16},  {-195, 23},  // 25-32
    {345, 0},   {-345, 7},  {281, 0},   {-281, 7},  {-309, 0},  {309, 7},   {205, 0},   {-205, 7},   // 33-40
    {303, 0},   {-303, 7},  {-277, 0},  {277, 7},   {-339, 0},  {339, 7},   {-209, 0},  {209, 7},    // 41-48
    {-248, 0},  {248, 7},   {67, 0},    {-67, 7},   {-59, 16},  {59, 23},   {256, 16},  {-256, 23},  // 49-56
    {112, 4},   {-112, 3},  {157, 4},   {-157, 3},  {-149, 8},  {149, 12},  {-104, 8},  {104, 12},   // 57-64
};

int OPFLAG(int matrix_code) {
  for (const OpFlag& f : kOpFlags)
    if (f.code == matrix_code) return f.flag;
  return -1;
}

// Stops the interpretation with an error code.
struct SymbolError {
  int code;
};

class Interpreter {
 public:
  Interpreter(std::string_view symbol, int listing_unit) : symbol_(symbol), unit_(listing_unit) {}

  void run(SpaceGroupInfo& group);
  int conflict() const { return conflict_; }

 private:
  int F(int f, int e) const { return (f >= 1 && f <= 4 && e >= 1 && e <= 4) ? field_[f - 1][e - 1] : sEmpty; }
  bool first_is(int f, int c) const { return F(f, 1) == c; }
  bool screw21(int f) const { return F(f, 1) == s2 && F(f, 2) == s1; }
  bool field_has(int f, int c) const {
    for (int e = 1; e <= 4; ++e)
      if (F(f, e) == c) return true;
    return false;
  }
  int screw_digit(int f) const { return is_digit(F(f, 2)) ? digit_of(F(f, 2)) : 0; }
  int& Lt(int r, int k) { return loc_[r - 1][k - 1]; }

  void tokenise();
  void check_fields();
  void lattice_and_axes();
  void laue_generate();
  void laue_one_field();
  void laue_monoclinic(int u, int g);
  void laue_orthorhombic();
  void laue_tetragonal();
  void laue_centred_tetragonal();
  void check_centring_fits_axes();
  void check_group_closed();
  void centring();
  void seeds();
  void generators();
  void digit_generator(int f, int first, int screw, bool bar);
  void plane_generator(int f, int letter);
  void d_glide(int f);
  void commit_generator(WorkOp op);
  void process(const WorkOp& op, int error_when_full);
  void translation_check(const WorkOp& n, int k, bool opposite);
  void report_conflict(const WorkOp& n, int k);
  [[noreturn]] void fail(int code) const { throw SymbolError{code}; }

  std::string_view symbol_;
  int unit_;
  int field_[4][4]{};
  int nfields_ = 0;      // complete fields, the lattice field included
  int lattice_ = 0;      // lattice type, P after rhombohedral axes
  bool rhombohedral_axes_ = false;
  bool hexagonal_r_ = false;
  int laue_ = 0;
  int unique_ = 0;
  int loc_[3][3]{};      // location translations, twelfths
  bool cubic_ = false;
  int centric_ = 0;
  int ncent_ = 1;
  int cent_[4][3]{};     // twelfths
  int d_count_ = 0;
  int current_field_ = 0;
  int conflict_ = 0;
  WorkOp ops_[kSlots];
  int nops_ = 0;
};

// 1. Fields of at most 4 codes; a letter always closes its field.
void Interpreter::tokenise() {
  int codes = 0;
  std::string text(symbol_.substr(0, 20));
  text.resize(21, ' ');  // a field that ends at position 20 still gets closed
  for (char ch : text) {
    if (nfields_ >= 4) break;
    const int c = symbol_code(ch);
    if (c == sIllegal) fail(29);
    if (c == sBlank || c == sTab) {
      if (codes > 0) {
        ++nfields_;
        codes = 0;
      }
      continue;
    }
    field_[nfields_][codes++] = c;
    if (is_letter(c) || codes == 4) {
      ++nfields_;
      codes = 0;
    }
  }
}

// 2. Field count, lattice letter, and "-n" held as "n-" (SGBAR).
void Interpreter::check_fields() {
  if (nfields_ < 2) fail(1);
  const int l = F(1, 1);
  if (l < sC || l > sR) fail(2);
  for (int f = 2; f <= nfields_; ++f) {
    if (F(f, 1) != sMinus) continue;
    if (F(f, 2) < s1 || F(f, 2) > s6) fail(4);
    std::swap(field_[f - 1][0], field_[f - 1][1]);
  }
}

// 3. Lattice type; an R lattice in rhombohedral or hexagonal axes.
void Interpreter::lattice_and_axes() {
  static const int kLatticeOfLetter[] = {0, 0, kC, kB, kA, kP, kF, kI, kR};
  lattice_ = kLatticeOfLetter[F(1, 1)];
  if (lattice_ != kR) return;
  if (F(2, 1) != s3) fail(3);
  if (first_is(nfields_, sR) && F(nfields_, 2) == sEmpty) {
    rhombohedral_axes_ = true;
    lattice_ = kP;
    laue_ = nfields_ + 3;  // kLaue3barRhombohedral, or the next with a second field
    --nfields_;
  } else {
    if (first_is(nfields_, sH) && F(nfields_, 2) == sEmpty) --nfields_;
    laue_ = nfields_ + 6;  // kLaue3bar, or the next with a second field
    hexagonal_r_ = true;
  }
  if (nfields_ < 2) fail(1);
}

// 4. Laue class and location translations (LAUEGEN).
void Interpreter::laue_generate() {
  const int nop = nfields_ - 1;
  if (nop == 1) {
    laue_one_field();
    return;
  }
  if (nop == 2) {
    if (!first_is(3, s3)) fail(20);
    laue_ = kLaueM3bar;
    if (screw21(2)) Lt(2, 1) = 6;
    if (first_is(2, sB) || first_is(2, sA)) Lt(3, 3) = 6;
    cubic_ = true;
    return;
  }
  if (first_is(3, s3)) {
    laue_ = kLaueM3barM;
    if (first_is(2, sB) || first_is(2, sA)) Lt(3, 3) = 6;
    if (first_is(2, s4)) {
      const bool bar = F(2, 2) == sMinus;
      auto set = [&](int a, int b, int c) {
        Lt(1, 3) = a;
        Lt(2, 3) = b;
        Lt(3, 3) = c;
      };
      if (bar) {
        if (first_is(4, sM)) {
        } else if (first_is(4, sD)) {
          if (lattice_ != kI) fail(21);
          set(9, 3, 9);
        } else {
          set(6, 6, 6);
        }
      } else if (F(2, 2) == s1) {
        if (lattice_ == kF)
          set(9, 9, 3);
        else
          set(3, 9, 3);
      } else if (F(2, 2) == s2) {
        set(6, 6, 6);
      } else if (F(2, 2) == s3) {
        set(9, 3, 9);
      }
    }
    cubic_ = true;
    return;
  }
  const int first = F(2, 1);
  const bool one3 = first_is(3, s1), one4 = first_is(4, s1);
  if (first == s6) {
    laue_ = (one3 && one4) ? kLaue6OverM : kLaue6OverMmm;
  } else if (first == s3) {
    if (one3)
      laue_ = one4 ? kLaue3bar : kLaue3bar1M;
    else
      laue_ = one4 ? kLaue3barM1 : kLaue6OverMmm;
  } else if (first == s4) {
    laue_ = kLaue4OverMmm;
    laue_tetragonal();
  } else if (first == s1) {
    if (one3 && one4)
      laue_ = kLaue1bar;
    else if (one3)
      laue_monoclinic(3, 4);
    else if (one4)
      laue_monoclinic(2, 3);
    else
      laue_orthorhombic();
  } else {
    if (one3 && one4)
      laue_monoclinic(1, 2);
    else
      laue_orthorhombic();
  }
}

void Interpreter::laue_one_field() {
  const int first = F(2, 1);
  if (first == s6) {
    laue_ = kLaue6OverM;
  } else if (first == s3) {
    laue_ = kLaue3bar;
  } else if (first == s1) {
    laue_ = kLaue1bar;
  } else if (first == s4) {
    laue_ = kLaue4OverM;
    if (lattice_ == kP || lattice_ == kA || lattice_ == kB) {
      if (F(2, 3) == sN) Lt(1, 3) = 6;
      if (F(2, 4) == sN) Lt(2, 3) = 6;
    } else if (lattice_ == kC) {
      if (F(2, 3) == sA || F(2, 4) == sA) Lt(1, 3) = Lt(2, 3) = 3;
      if (F(2, 4) == sA) Lt(2, 3) = 9;
    } else {
      if (F(2, 4) == sA || F(2, 4) == sD) {
        Lt(1, 3) = 9;
        if (lattice_ == kI) Lt(2, 3) = 3;
      } else {
        laue_centred_tetragonal();
      }
    }
  } else {
    laue_monoclinic(2, 2);
  }
}

void Interpreter::laue_monoclinic(int u, int g) {
  laue_ = kLaue2OverM;
  unique_ = u;
  if (screw21(g)) Lt(u, u) = 6;
  for (int e = 3; e <= 4; ++e) {
    const int c = F(g, e);
    const bool n = c == sN;
    if (u == 2) {
      if (c == sA || n) Lt(1, 2) = 6;
      if (c == sC || n) Lt(3, 2) = 6;
    } else if (u == 3) {
      if (c == sA || n) Lt(1, 3) = 6;
      if (c == sB || n) Lt(2, 3) = 6;
    } else {
      if (c == sB || n) Lt(2, 1) = 6;
      if (c == sC || n) Lt(3, 1) = 6;
    }
  }
}

void Interpreter::laue_orthorhombic() {
  laue_ = kLaueMmm;
  int screw_mask = 0, mirror_mask = 0, planes = 0;
  int a_count = 0, b_count = 0, c_count = 0;
  d_count_ = 0;
  auto holds = [&](int f, int c1, int c2) { return first_is(f, c1) || first_is(f, c2); };
  for (int f = 2; f <= 4; ++f) {
    const int bit = 1 << (4 - f);  // 4, 2, 1 for x, y, z
    const int c = F(f, 1);
    if (screw21(f)) {
      if (f == 2) Lt(1, 2) = Lt(1, 3) = 6;
      if (f == 3) Lt(2, 1) = Lt(2, 3) = 6;
      if (f == 4) Lt(3, 1) = Lt(3, 2) = 6;
      screw_mask += bit;
    }
    if (!is_letter(c)) continue;
    ++planes;
    if (c == sM) mirror_mask += bit;
    if (c == sB && (f == 2 || f == 4)) ++b_count;
    if (c == sC) ++c_count;
    if (c == sA && (f == 3 || f == 4)) ++a_count;
    if (c == sD) ++d_count_;
    if (f == 2) Lt(1, 1) += 6 * (holds(3, sA, sN) + holds(4, sA, sN));
    if (f == 3) Lt(2, 2) += 6 * (holds(2, sB, sN) + holds(4, sB, sN));
    if (f == 4) Lt(3, 3) += 6 * (holds(2, sC, sN) + holds(3, sC, sN));
  }
  if (planes < 3) {
    const int s = screw_mask;
    if (s == 4 || s == 5 || s == 7) Lt(1, 2) = 0;
    if (s == 6 || s == 7) Lt(1, 3) = 0;
    if (s == 3) Lt(2, 1) = 0;
    if (s == 2 || s == 6 || s == 7) Lt(2, 3) = 0;
    if (s == 1 || s == 3 || s == 7) Lt(3, 1) = 0;
    if (s == 5) Lt(3, 2) = 0;
    if (mirror_mask == 1 && (s == 4 || s == 2) && Lt(3, 3) != 0) {
      Lt(3, 3) = 0;
      Lt(3, 2) += 6;
    }
    if (mirror_mask == 2 && (s == 4 || s == 1) && Lt(2, 2) != 0) {
      Lt(2, 2) = 0;
      Lt(2, 1) += 6;
    }
    if (mirror_mask == 4 && (s == 1 || s == 2) && Lt(1, 1) != 0) {
      Lt(1, 1) = 0;
      Lt(1, 3) += 6;
    }
    return;
  }
  switch (lattice_) {
    case kA:
      if (c_count + b_count == 1 && a_count != 2) Lt(2, 2) += 6, Lt(3, 3) += 6;
      break;
    case kB:
      if (c_count + a_count == 1 && b_count != 2) Lt(1, 1) += 6, Lt(3, 3) += 6;
      break;
    case kC:
      if (b_count + a_count == 1 && c_count != 2) Lt(1, 1) += 6, Lt(2, 2) += 6;
      break;
    case kI:
      if (a_count + b_count + c_count == 1) Lt(1, 1) += 6, Lt(2, 2) += 6, Lt(3, 3) += 6;
      break;
    default:
      break;
  }
}

void Interpreter::laue_tetragonal() {
  const bool bar = F(2, 2) == sMinus;
  const int s = screw_digit(2);
  auto code34 = [&](int f, int c) { return F(f, 3) == c || F(f, 4) == c; };
  if (code34(2, sN)) Lt(1, 1) = 6;
  if (code34(2, sA)) Lt(2, 2) = 3;
  if (screw21(3)) Lt(1, 2) = 6;
  if (first_is(3, sB) || first_is(3, sN)) Lt(1, 1) += 6;
  if (first_is(4, sB) || first_is(4, sN)) Lt(2, 2) += 3;
  if (lattice_ == kP) {
    int last = 0;
    for (int e = 1; e <= 4; ++e)
      if (F(3, e) != sEmpty) last = F(3, e);
    if (last != s1) Lt(3, 1) = -3 * s;
    if (screw21(4)) Lt(3, 1) = 3 * s;
    if (screw21(3)) Lt(3, 2) = 3 * s;
  }
  if (lattice_ == kF) {
    if (F(2, 3) + F(3, 1) == 11) Lt(2, 1) = 9;
    if (first_is(4, sC)) Lt(1, 1) = 6;
  }
  if (bar) {
    if (lattice_ == kF && first_is(3, sD)) Lt(3, 1) = 3;
    if (screw21(4)) Lt(1, 1) = 6;
    if (first_is(4, sC) || first_is(4, sN)) Lt(3, 2) = 6;
    if (first_is(4, sB) || first_is(4, sN)) Lt(1, 2) = 6;
    if (first_is(4, sD)) {
      Lt(3, 2) = 9;
      if (lattice_ == kI) Lt(1, 2) = 6;
    }
  } else if (lattice_ == kP) {
    if (code34(2, sN)) {
      Lt(1, 3) = 6;
    } else if (screw21(3) || (first_is(3, sN) && F(2, 2) >= 1 && F(2, 2) <= 15)) {
      Lt(1, 3) = Lt(2, 3) = 6;
    }
  } else {
    laue_centred_tetragonal();
  }
}

void Interpreter::laue_centred_tetragonal() {
  if (lattice_ == kA || lattice_ == kB) fail(23);
  if (lattice_ == kC) {
    if (F(2, 3) == sA || F(2, 4) == sA) {
      Lt(1, 3) = Lt(2, 3) = 3;
      if (first_is(4, sB) || first_is(4, sN)) Lt(1, 1) = 6;
    } else {
      if (Lt(1, 1) == 0) Lt(1, 1) = 2 * Lt(2, 2);
      if (screw21(4)) Lt(1, 3) = 6;
      if (first_is(4, sN) && F(2, 2) >= 1 && F(2, 2) <= 15) {
        Lt(1, 1) -= 2 * Lt(2, 2);
        Lt(1, 3) = 6;
      }
    }
    return;
  }
  if (lattice_ == kP) return;
  if (first_is(4, sC)) Lt(2, 1) += 6;
  if (F(2, 4) == sA || F(2, 4) == sD) {
    Lt(1, 3) = 3;
    if (lattice_ == kI) Lt(2, 3) = 9;
  } else if (F(2, 1) == s4 && F(2, 2) == s1) {
    if (lattice_ == kF) {
      Lt(1, 3) = 3;
      Lt(2, 3) = 9;
    } else {
      Lt(2, 3) = 6;
      Lt(3, 2) = 9;
      if (lattice_ == kI) Lt(1, 2) = 6;
    }
  }
}

// A centring that the axes do not carry into itself gives no group at all:
// A or B with a four-fold, any centring but R with hexagonal axes, A, B or
// C with the cubic three-folds.
void Interpreter::check_centring_fits_axes() {
  if ((laue_ == kLaue4OverM || laue_ == kLaue4OverMmm) && (lattice_ == kA || lattice_ == kB)) fail(23);
  if (hexagonal_axes(laue_) && lattice_ != kP) fail(kCentringMisfit);
  if (laue_ >= kLaueM3bar && (lattice_ == kA || lattice_ == kB || lattice_ == kC)) fail(kCentringMisfit);
}

// 5. SGCENTRING, vectors in twelfths.
void Interpreter::centring() {
  auto set = [&](int n, std::initializer_list<std::array<int, 3>> vectors) {
    ncent_ = n;
    int i = 1;
    for (const auto& v : vectors) {
      for (int j = 0; j < 3; ++j) cent_[i][j] = v[j];
      ++i;
    }
  };
  switch (lattice_) {
    case kA: set(2, {{0, 6, 6}}); break;
    case kB: set(2, {{6, 0, 6}}); break;
    case kC: set(2, {{6, 6, 0}}); break;
    case kI: set(2, {{6, 6, 6}}); break;
    case kF: set(4, {{0, 6, 6}, {6, 0, 6}, {6, 6, 0}}); break;
    case kR: set(3, {{4, 8, 8}, {8, 4, 4}}); break;
    default: set(1, {}); break;
  }
}

// 6. Identity, and the cyclic three-fold for cubic groups and rhombohedral axes.
void Interpreter::seeds() {
  ops_[0] = make_op({1, 0, 0}, {0, 1, 0}, {0, 0, 1});
  ops_[0].form_keys();
  nops_ = 1;
  if (cubic_ || rhombohedral_axes_) {
    ops_[1] = make_op({0, 0, 1}, {1, 0, 0}, {0, 1, 0});
    ops_[2] = make_op({0, 1, 0}, {0, 0, 1}, {1, 0, 0});
    ops_[1].form_keys();
    ops_[2].form_keys();
    nops_ = 3;
  }
}

// 7. One generator per interpreted code of each operator field.
void Interpreter::generators() {
  for (int f = 2; f <= nfields_; ++f) {
    current_field_ = f;
    const int first = F(f, 1);
    if (first == sEmpty) fail(6);
    if (is_letter(first)) {
      plane_generator(f, first);
      continue;
    }
    if (!is_digit(first) || first == s5) fail(kUnreadableField);
    int e = 2;
    bool bar = false;
    int screw = 0;
    for (; e <= 4 && F(f, e) != sEmpty && F(f, e) != sSlash; ++e) {
      const int c = F(f, e);
      if (is_letter(c)) fail(16);
      if (c == sMinus) bar = true;
      if (e == 2 && is_digit(c)) screw = digit_of(c);
    }
    digit_generator(f, first, screw, bar);
    if (e <= 4 && F(f, e) == sSlash) {
      const int plane = F(f, e + 1);
      if (!is_letter(plane)) fail(17);
      plane_generator(f, plane);
    }
  }
}

void Interpreter::digit_generator(int f, int first, int screw, bool bar) {
  const int nop = nfields_ - 1;
  const int f2 = F(2, 1);
  switch (digit_of(first)) {
    case 1:
      if (bar) centric_ = 1;
      return;
    case 2: {
      if (bar) fail(19);
      const int s21 = screw == 1 ? 6 : 0;
      if (f == 2) {
        if (nop == 1)
          commit_generator(make_op({-1, 0, 0}, {0, 1, 0}, {0, 0, -1}, Lt(1, 2), s21, Lt(3, 2)));
        else
          commit_generator(make_op({1, 0, 0}, {0, -1, 0}, {0, 0, -1}, s21, Lt(2, 1), Lt(3, 1)));
      } else if (f == 3) {
        if (laue_ == kLaue3barMRhombohedral) {
          commit_generator(make_op({0, -1, 0}, {-1, 0, 0}, {0, 0, -1}));
        } else if (f2 == s6 && !first_is(4, s1)) {
          commit_generator(make_op({1, -1, 0}, {0, -1, 0}, {0, 0, -1}));
        } else if (f2 == s3) {
          commit_generator(make_op({0, 1, 0}, {1, 0, 0}, {0, 0, -1}, Lt(2, 1) + s21, -Lt(2, 1), Lt(3, 1)));
        } else {
          const int t1 = (f2 == sM && first_is(4, sN)) ? 6 : Lt(1, 2);
          commit_generator(make_op({-1, 0, 0}, {0, 1, 0}, {0, 0, -1}, t1, s21, Lt(3, 2)));
        }
      } else {
        if ((is_letter(f2) || f2 == s1 || f2 == s2) && !first_is(3, s3)) {
          commit_generator(make_op({-1, 0, 0}, {0, -1, 0}, {0, 0, 1}, Lt(1, 3), Lt(2, 3), s21));
        } else if (f2 == s4) {
          commit_generator(make_op({0, 1, 0}, {1, 0, 0}, {0, 0, -1}, Lt(2, 1) + s21, -Lt(2, 1), Lt(3, 1)));
        } else {
          commit_generator(make_op({1, 0, 0}, {1, -1, 0}, {0, 0, -1}));
        }
      }
      return;
    }
    case 3:
      if (hexagonal_axes(laue_)) {
        if (f != 2) fail(25);
        const int t3 = screw == 1 ? 4 : screw == 2 ? 8 : 0;
        if (bar) centric_ = 1;
        commit_generator(make_op({0, -1, 0}, {1, -1, 0}, {0, 0, 1}, 0, 0, t3));
      } else if (bar) {
        centric_ = 1;
      }
      return;
    case 4:
      if (f != 2) fail(12);
      if (bar)
        commit_generator(make_op({0, 1, 0}, {-1, 0, 0}, {0, 0, -1}, Lt(1, 3), Lt(2, 3), Lt(3, 3)));
      else
        commit_generator(make_op({0, -1, 0}, {1, 0, 0}, {0, 0, 1}, Lt(1, 3), Lt(2, 3), 3 * screw));
      return;
    case 6:
      if (f != 2) fail(13);
      if (bar) {
        const int t3 = (first_is(3, sC) || first_is(4, sC)) ? 6 : 0;
        commit_generator(make_op({-1, 1, 0}, {-1, 0, 0}, {0, 0, -1}, 0, 0, t3));
      } else {
        commit_generator(make_op({1, -1, 0}, {1, 0, 0}, {0, 0, 1}, 0, 0, 2 * screw));
      }
      return;
    default:
      fail(kUnreadableField);
  }
}

void Interpreter::plane_generator(int f, int letter) {
  if (letter == sP) fail(7);
  if (letter == sD) {
    d_glide(f);
    return;
  }
  // F, I and R stand for the a, b and c glides
  const int g = letter == sF ? sA : letter == sI ? sB : letter == sR ? sC : letter;
  const bool a = g == sA, b = g == sB, c = g == sC, n = g == sN;
  const int nop = nfields_ - 1;
  const int f2 = F(2, 1);
  const int half = 6;
  if (f == 2 && laue_ <= kLaueMmm && nop == 1) {
    if (b) fail(9);
    commit_generator(make_op({1, 0, 0}, {0, -1, 0}, {0, 0, 1}, (a || n) ? half : 0, Lt(2, 2), (c || n) ? half : 0));
    return;
  }
  if (f == 2 && laue_ <= kLaueMmm && nop == 3) {
    if (a) fail(8);
    commit_generator(make_op({-1, 0, 0}, {0, 1, 0}, {0, 0, 1}, Lt(1, 1), (b || n) ? half : 0, (c || n) ? half : 0));
    return;
  }
  if (f == 3 && laue_ != kLaue3barMRhombohedral) {
    if (f2 == s3 || f2 == s6) {
      commit_generator(make_op({-1, 1, 0}, {0, 1, 0}, {0, 0, 1}, 0, 0, c ? half : 0));
    } else if (f2 != s4) {
      if (b) fail(9);
      commit_generator(make_op({1, 0, 0}, {0, -1, 0}, {0, 0, 1}, (a || n) ? half : 0, Lt(2, 2), (c || n) ? half : 0));
    } else {
      if (a) fail(8);
      commit_generator(make_op({-1, 0, 0}, {0, 1, 0}, {0, 0, 1}, Lt(1, 1), (b || n) ? half : 0, (c || n) ? half : 0));
    }
    return;
  }
  if ((f == 4 || (f == 3 && laue_ == kLaue3barMRhombohedral)) &&
      (first_is(3, s3) || f2 == s4 || f2 == s3 || f2 == s6)) {
    int t1 = Lt(2, 2), t2 = -Lt(2, 2);
    const int t3 = (c || n) ? half : 0;
    if (a || b || n || (c && laue_ == kLaue3barMRhombohedral)) {
      const int rise = (lattice_ == kC || lattice_ == kF) ? 3 : 6;
      t1 += rise;
      t2 += rise;
    }
    commit_generator(make_op({0, 1, 0}, {1, 0, 0}, {0, 0, 1}, t1, t2, t3));
    return;
  }
  if (c) fail(10);
  int t3 = Lt(3, 3);
  if (f2 == s6 && F(2, 2) == s3) t3 = half;
  commit_generator(make_op({1, 0, 0}, {0, 1, 0}, {0, 0, -1}, (a || n) ? half : 0, (b || n) ? half : 0, t3));
}

void Interpreter::d_glide(int f) {
  if (lattice_ == kP) fail(11);
  const int nop = nfields_ - 1;
  const int* v2 = cent_[1];
  const int* v3 = ncent_ == 4 ? cent_[2] : cent_[1];
  const int* v4 = ncent_ == 4 ? cent_[3] : cent_[1];
  if (f == 2 && laue_ <= kLaueMmm && nop == 1) {
    commit_generator(make_op({1, 0, 0}, {0, -1, 0}, {0, 0, 1}, v3[0] / 2, 0, v3[2] / 2));
  } else if (f == 2 && laue_ <= kLaueMmm && nop == 3) {
    commit_generator(make_op({-1, 0, 0}, {0, 1, 0}, {0, 0, 1}, d_count_ == 2 ? 3 : 0, v2[1] / 2, v2[2] / 2));
  } else if (f == 3) {
    int t2 = d_count_ == 2 ? 3 : 0;
    if (laue_ == kLaue4OverMmm) t2 = Lt(2, 1);
    commit_generator(make_op({1, 0, 0}, {0, -1, 0}, {0, 0, 1}, v3[0] / 2, t2, v3[2] / 2));
  } else if (f == 4 && (first_is(2, s4) || first_is(3, s3))) {
    const bool two = first_is(3, s2);
    commit_generator(make_op({0, 1, 0}, {1, 0, 0}, {0, 0, 1}, two ? 0 : 3, two ? 6 : 3, 3));
  } else {
    commit_generator(make_op({1, 0, 0}, {0, 1, 0}, {0, 0, -1}, v4[0] / 2, v4[1] / 2, d_count_ == 2 ? 3 : 0));
  }
}

// 8. ADDOPERATOR: a new generator, then the closure of the list.
void Interpreter::commit_generator(WorkOp op) {
  op.form_keys();
  const int before = nops_;
  process(op, 14);
  for (int i = before; i < nops_; ++i)
    for (int j = 1; j <= i; ++j) process(multiply(ops_[j], ops_[i]), 15);
}

void Interpreter::process(const WorkOp& op, int error_when_full) {
  for (int k = 0; k < nops_; ++k) {
    if (ops_[k].code == op.code) {
      if (ops_[k].key != op.key) translation_check(op, k, false);
      return;
    }
    if (ops_[k].code == -op.code) {
      centric_ = 1;
      if (ops_[k].key != op.key) translation_check(op, k, true);
      return;
    }
  }
  if (nops_ >= static_cast<int>(kMaxOperators)) fail(error_when_full);
  ops_[nops_++] = op;
}

void Interpreter::translation_check(const WorkOp& n, int k, bool opposite) {
  const WorkOp& kk = ops_[opposite ? 0 : k];
  int s[3];
  for (int i = 0; i < 3; ++i) s[i] = (n.t[i] + ops_[k].t[i]) % 12;
  const bool diagonal_field = current_field_ == 4 && laue_ >= kLaue4OverM;
  // the R centring vectors are not tried: only the zero vector
  const int vectors = lattice_ == kR ? 1 : ncent_;
  for (int v = 0; v < vectors; ++v) {
    int u[3];
    for (int i = 0; i < 3; ++i) u[i] = (s[i] + cent_[v][i]) % 12;
    if (n.r[2][2] + kk.r[2][2] <= 0) u[2] = 0;
    if (diagonal_field) {
      u[0] = (u[0] + u[1]) % 12;
      u[1] = 0;
    } else {
      if (n.r[0][0] + kk.r[0][0] <= 0) u[0] = 0;
      if (n.r[1][1] + kk.r[1][1] <= 0) u[1] = 0;
    }
    if (144 * u[0] + 12 * u[1] + u[2] == 0) return;
  }
  if (conflict_ == 0) conflict_ = 18;
  report_conflict(n, k);
}

void Interpreter::report_conflict(const WorkOp& n, int k) {
  if (unit_ < 0) return;
  recio::write(unit_, "(A,I2,A,I3,2A,I2)",
               {" Operator ", current_field_, " generates Matrix", nops_ + 1, " which has a translation conflict with",
                " matrix ", k + 1});
  auto line = [&](const WorkOp& op, int number) {
    recio::write(unit_, "(A,I3,A,3(I4,2I3),3F5.2,F8.1)",
                 {"  Matrix", number, " is", op.r[0][0], op.r[0][1], op.r[0][2], op.r[1][0], op.r[1][1], op.r[1][2],
                  op.r[2][0], op.r[2][1], op.r[2][2], op.t[0] / 12.0f, op.t[1] / 12.0f, op.t[2] / 12.0f,
                  static_cast<float>(op.key)});
  };
  line(n, nops_ + 1);
  line(ops_[k], k + 1);
}

// The closure pairs each new operator only with those before it, and the
// translation check compares sums of translations; a symbol that mixes an
// inversion at the origin with screws or glides that do not allow it can
// slip through both. Every product of the full set (both signs, every
// centring vector) must be in the set again, else the symbol is refused as a
// translation conflict.
void Interpreter::check_group_closed() {
  using Seitz = std::array<int, 12>;  // rotation row by row, translation in twelfths
  auto seitz = [](const WorkOp& op) {
    Seitz e{};
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) e[3 * i + j] = op.r[i][j];
      e[9 + i] = op.t[i];
    }
    return e;
  };
  std::vector<WorkOp> all;
  std::set<Seitz> present;
  for (int c = 0; c < ncent_; ++c)
    for (int s = 0; s <= centric_; ++s)
      for (int k = 0; k < nops_; ++k) {
        WorkOp op = ops_[k];
        for (int i = 0; i < 3; ++i) {
          if (s == 1) {
            for (int j = 0; j < 3; ++j) op.r[i][j] = -op.r[i][j];
            op.t[i] = -op.t[i];
          }
          op.t[i] += cent_[c][i];
        }
        op.form_keys();
        if (present.insert(seitz(op)).second) all.push_back(op);
      }
  for (const WorkOp& a : all)
    for (const WorkOp& b : all)
      if (!present.count(seitz(multiply(a, b)))) {
        conflict_ = 18;
        return;
      }
}

void Interpreter::run(SpaceGroupInfo& group) {
  tokenise();
  check_fields();
  lattice_and_axes();
  if (!rhombohedral_axes_ && !hexagonal_r_) {
    laue_generate();
    check_centring_fits_axes();
  }
  centring();
  seeds();
  generators();
  if (conflict_ == 0) check_group_closed();

  // 9. The result.
  group.centric = centric_;
  group.nsym = nops_;
  group.lattice = lattice_;
  group.ncent = ncent_;
  for (int c = 0; c < 4; ++c)
    for (int j = 0; j < 3; ++j) group.centring[c][j] = c < ncent_ ? cent_[c][j] / 12.0f : 0.0f;
  group.laue = laue_;
  group.unique_axis = unique_;
  for (int k = 0; k < nops_; ++k) {
    const WorkOp& w = ops_[k];
    SymmetryOperator& op = group.ops[k];
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) op.v[i + 3 * j] = w.r[i][j];
    for (int i = 0; i < 3; ++i) op.v[9 + i] = w.t[i];
    op.v[12] = w.code;
    op.v[13] = w.key;
    op.v[14] = OPFLAG(w.code);
    if (op.v[14] == -1) recio::write(recio::kTerminalOut, "(A,I3)", {" ***** ERROR in defining operation flags", k + 1});
  }
}

}  // namespace

void SGINTERP(std::string_view symbol, int listing_unit, SpaceGroupInfo& group) {
  group = SpaceGroupInfo{};
  Interpreter interpreter(symbol, listing_unit);
  try {
    interpreter.run(group);
  } catch (const SymbolError& e) {
    group = SpaceGroupInfo{};
    group.unique_axis = 4;
    group.error = e.code;
    SGERROR(symbol, e.code, listing_unit);
    return;
  }
  group.polar = SGLISTING(symbol, group, listing_unit);
  if (group.lattice == kR) group.unique_axis = -1;
  if (interpreter.conflict() != 0) {
    SGERROR(symbol, interpreter.conflict(), listing_unit);
    group.unique_axis = 4;
    group.error = interpreter.conflict();
  }
}

}  // namespace vesk
