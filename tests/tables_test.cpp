#include "report/tables.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace vesk {
namespace {

TEST(ValueEsd, DecimalsAndDigitsFollowTheEsd) {
  // Coordinates: F(k+3).k.
  EXPECT_EQ(format_value_esd(0.12346f, 0.0012f, EsdKind::Coordinate), " 0.1235(12)");
  EXPECT_EQ(format_value_esd(0.12346f, 0.0036f, EsdKind::Coordinate), " 0.123(4)");
  EXPECT_EQ(format_value_esd(0.12346f, 0.0035f, EsdKind::Coordinate), " 0.1235(35)");
  ValueEsd e = value_esd(0.0012f, EsdKind::Coordinate);
  EXPECT_EQ(e.field_width, 7);
  EXPECT_EQ(e.decimals, 4);
  EXPECT_EQ(e.digits_width, 2);
  // No esd: seven decimals and (0).
  EXPECT_EQ(format_value_esd(0.25f, 0, EsdKind::Coordinate), " 0.2500000(0)");

  // Distances: F(k+5).k, floor 1.0E-4.
  EXPECT_EQ(format_value_esd(2.1f, 0.00004f, EsdKind::Distance), "   2.10000(4)");
  EXPECT_EQ(format_value_esd(2.1f, 0, EsdKind::Distance), "   2.10000(0)");
  EXPECT_EQ(format_value_esd(2.1f, 0.0012f, EsdKind::Distance), "   2.1000(12)");
  EXPECT_EQ(value_esd(0.0012f, EsdKind::Distance).field_width, 9);

  // Angles: minimum 0 decimals, floor 0.01.
  EXPECT_EQ(format_value_esd(109.47f, 0.4f, EsdKind::Angle), " 109.5(4)");
  EXPECT_EQ(format_value_esd(109.47f, 0.35f, EsdKind::Angle), " 109.47(35)");
  EXPECT_EQ(format_value_esd(109.47f, 4.0f, EsdKind::Angle), " 109.(4)");
  EXPECT_EQ(value_esd(4.0f, EsdKind::Angle).field_width, 5);

  // Site fractions: floor 0.01, so at most three decimals.
  EXPECT_EQ(format_value_esd(1.0f, 0, EsdKind::Fraction), " 1.000(0)");
  EXPECT_EQ(format_value_esd(0.5f, 0.012f, EsdKind::Fraction), " 0.500(12)");
}

TEST(ValueEsd, EsdsThatDoNotFitTwoDigitsPrintAsterisks) {
  // Not a number, infinite or huge (a NaN variance, ABCSIG 1E38).
  for (const float sigma : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(), 1.0E19f, 3.0E38f}) {
    EXPECT_EQ(value_esd(sigma, EsdKind::Distance).digits, kEsdOverflow) << sigma;
    const std::string text = format_value_esd(2.1f, sigma, EsdKind::Distance);
    EXPECT_EQ(text.substr(text.size() - 4), "(**)") << sigma << " " << text;
  }
  EXPECT_EQ(format_value_esd(109.47f, 99.4f, EsdKind::Angle), " 109.(99)");
  EXPECT_EQ(format_value_esd(109.47f, 99.6f, EsdKind::Angle), " 109.(**)");
}

TEST(Labels, LengthsAndColumns) {
  EXPECT_EQ(label_length("O1      "), 2);
  EXPECT_EQ(label_length("Si2"), 3);
  EXPECT_EQ(label_length("ABCDEFGH"), 8);
  EXPECT_EQ(label_length(" O1     "), 8);

  const Vec3 vector{0.25f, 0.5f, -0.125f};
  const std::string line = distance_line("O1", "Si2", false, 1.6123f, 0.0012f, "   1 0 0 0", vector);
  EXPECT_EQ(line.find("O1_Si2"), 7u);  // column 8
  EXPECT_EQ(line[9], '_');              // column 10
  EXPECT_EQ(line.substr(19, 13), "   1.6123(12)");  // the F9.4 field from column 20
  EXPECT_EQ(line, "       O1_Si2         1.6123(12)         1 0 0 0     0.25000   0.50000  -0.12500");
  const std::string starred = distance_line("O1", "Si2", true, 1.6123f, 0.0012f, "   1 0 0 0", vector);
  EXPECT_EQ(starred.find("*O1_Si2"), 6u);  // column 7
  EXPECT_EQ(starred.substr(7), line.substr(7));

  const std::string angle = angle_line("O1", "Si2", "O3", 109.47f, 0.35f, "   1 0 0 0", "  -2 0 1 0");
  EXPECT_EQ(angle.find("O1_Si2_O3"), 10u);  // 10 blanks before
  EXPECT_EQ(angle.substr(19, 9), std::string(9, ' '));  // 9 after it
  EXPECT_EQ(angle.substr(28, 7), " 109.47");  // the F7.2 field from column 29
  EXPECT_EQ(angle, "          O1_Si2_O3          109.47(35)         1 0 0 0    -2 0 1 0");
}

TEST(Labels, NoBlanksWhereTheRoomIsFull) {
  // An 8-character label with the star leaves no blank before it.
  const std::string line = distance_line("ABCDEFGH", "IJKLMNOP", true, 3.5f, 0.0012f, "   1 0 0 0", {0, 0, 0});
  EXPECT_EQ(line.substr(0, 19), "*ABCDEFGH_IJKLMNOP ");
  EXPECT_EQ(line[9], '_');

  // A two-digit esd with seven decimals fills the coordinate column.
  AtomSite atom;
  atom.label = "C1";
  atom.type_symbol = "C";
  atom.x = {0.1234567f, 0.5f, 0.75f};
  atom.x_sigma = {0.0000021f, 0.0012f, 0};
  atom.fraction = 1;
  const std::string row = atom_row(atom, 3, "    1   ");
  EXPECT_EQ(row, "  C1       0.1234567(21) 0.5000(12)    0.7500000(0)     1     C       3 1.000(0)");
}

TEST(AtomRow, ColumnsOfTheAtomList) {
  AtomSite atom;
  atom.label = "Si1";
  atom.type_symbol = "Si";
  atom.x = {0.4697f, 0, 0};
  atom.x_sigma = {0.0001f, 0, 0};
  atom.fraction = 1;
  const std::string row = atom_row(atom, 1, " 2(100) ");
  EXPECT_EQ(row, "  Si1      0.46970(10)   0.0000000(0)  0.0000000(0)  2(100)   Si      1 1.000(0)");
}

}  // namespace
}  // namespace vesk
