// Expected fields are typed from the Fortran rules for each edit descriptor.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "recio/edit_output.hpp"
#include "recio/error.hpp"
#include "recio/format.hpp"
#include "recio/status.hpp"

using namespace recio;

namespace {

std::vector<std::string> records_of(std::string_view format, std::initializer_list<OutItem> items) {
  return write_records(format, std::span<const OutItem>(items.begin(), items.size())).records;
}

std::string malformed_message(std::string_view format) {
  try {
    parse_format(format);
  } catch (const vesk::Error& error) {
    return error.what();
  }
  return "accepted";
}

}  // namespace

TEST(FormatOutput, FixedPointKeepsLeadingZeroWhenThereIsRoom) {
  EXPECT_EQ(write_string("(F7.4)", {0.12346}), " 0.1235");
  EXPECT_EQ(write_string("(F9.5)", {2.1}), "  2.10000");
  EXPECT_EQ(write_string("(F7.4)", {-0.5}), "-0.5000");
  EXPECT_EQ(write_string("(F5.0)", {109.47}), " 109.");
  EXPECT_EQ(write_string("(F5.0)", {0.4}), "   0.");
  EXPECT_EQ(write_string("(F5.2)", {-0.001}), " 0.00");  // no sign on a zero
  EXPECT_EQ(write_string("(F8.5)", {-4.37e-8f}), " 0.00000");
  EXPECT_EQ(write_string("(F4.2)", {0.5}), "0.50");
  EXPECT_EQ(write_string("(F3.2)", {0.5}), ".50");     // no room for the zero
  EXPECT_EQ(write_string("(F4.2)", {-0.5}), "-.50");
  EXPECT_EQ(write_string("(F10.5)", {-12.25}), " -12.25000");
  EXPECT_EQ(write_string("(F8.3)", {1234.5}), "1234.500");
}

TEST(FormatOutput, RoundsFromTheExactBinaryValue) {
  // 2.675 is 2.67499999... as a double.
  EXPECT_EQ(write_string("(F5.2)", {2.675}), " 2.67");
  // The float nearest 0.1 is 0.100000001490116..., the double 0.1000000000000000055...
  EXPECT_EQ(write_string("(F12.10)", {0.1f}), "0.1000000015");
  EXPECT_EQ(write_string("(F12.10)", {0.1}), "0.1000000000");
  // The float nearest 0.1234565 is 0.12345650047..., above the tie.
  EXPECT_EQ(write_string("(F8.6)", {0.1234565f}), "0.123457");
}

TEST(FormatOutput, OverflowFillsTheFieldWithAsterisks) {
  EXPECT_EQ(write_string("(F6.2)", {1234.5}), "******");
  EXPECT_EQ(write_string("(F2.2)", {0.5}), "**");
  EXPECT_EQ(write_string("(F10.5)", {1e30}), "**********");
  EXPECT_EQ(write_string("(I3)", {1234}), "***");
  EXPECT_EQ(write_string("(I2)", {-10}), "**");
  EXPECT_EQ(write_string("(E8.4)", {1.0}), "********");
  EXPECT_EQ(write_string("(A,I1,A)", {"[", 12, "]"}), "[*]");
}

TEST(FormatOutput, IntegersAreRightJustified) {
  EXPECT_EQ(write_string("(I5)", {-42}), "  -42");
  EXPECT_EQ(write_string("(I4)", {0}), "   0");
  EXPECT_EQ(write_string("(I1)", {7}), "7");
  EXPECT_EQ(write_string("(I5.3)", {7}), "  007");
  EXPECT_EQ(write_string("(I4)", {short{-123}}), "-123");
  EXPECT_EQ(write_string("(3I3)", {1, -2, 300}), "  1 -2300");
  EXPECT_EQ(write_string("(I3,I2)", {std::size_t{12}, 3u}), " 12 3");
  const std::vector<OutItem> many = {1, 2, 3, 4};
  EXPECT_EQ(write_string("(4I2)", many), " 1 2 3 4");
}

TEST(FormatOutput, TextFieldsCutOrPadOnTheLeft) {
  EXPECT_EQ(write_string("(A)", {"hello"}), "hello");
  EXPECT_EQ(write_string("(A3)", {"hello"}), "hel");
  EXPECT_EQ(write_string("(A7)", {"hello"}), "  hello");
  EXPECT_EQ(write_string("(2A)", {"ab", std::string("cd ")}), "abcd ");
  EXPECT_EQ(write_string("(A,A1)", {"", "xyz"}), "x");
}

TEST(FormatOutput, ExponentForm) {
  EXPECT_EQ(write_string("(E12.5)", {12345.6}), " 0.12346E+05");
  EXPECT_EQ(write_string("(E10.3)", {-0.00123456}), "-0.123E-02");
  EXPECT_EQ(write_string("(E9.3)", {-0.00123456}), "-.123E-02");
  EXPECT_EQ(write_string("(E10.3)", {0.0}), " 0.000E+00");
  EXPECT_EQ(write_string("(E12.4)", {1e-120}), "  0.1000-119");
  EXPECT_EQ(write_string("(E11.4)", {0.99996}), " 0.1000E+01");
}

TEST(FormatOutput, GeneralChoosesFixedOrExponentByTheRoundedMagnitude) {
  // F form with d-k decimals and 4 trailing blanks for 0.1 <= N < 10**d; zero
  // takes d-1 decimals; everything else the E form.
  EXPECT_EQ(write_string("(G20.5)", {0.0}), "          0.0000    ");
  EXPECT_EQ(write_string("(G20.5)", {0.1234}), "         0.12340    ");
  EXPECT_EQ(write_string("(G20.5)", {1.5}), "          1.5000    ");
  EXPECT_EQ(write_string("(G20.5)", {12345.6}), "          12346.    ");
  EXPECT_EQ(write_string("(G20.5)", {1.0e7}), "         0.10000E+08");
  EXPECT_EQ(write_string("(G20.5)", {0.05}), "         0.50000E-01");
  EXPECT_EQ(write_string("(G20.5)", {99999.6}), "         0.10000E+06");
  EXPECT_EQ(write_string("(G20.5)", {-0.25f}), "        -0.25000    ");
  EXPECT_EQ(write_string("(G10.3)", {0.09996}), " 0.100    ");
  EXPECT_EQ(write_string("(G10.3)", {0.09994}), " 0.999E-01");
  EXPECT_EQ(write_string("(4x,I5,G20.5)", {3, 0.125f}), "        3         0.12500    ");
}

TEST(FormatOutput, LiteralsHollerithBlanksAndGroups) {
  EXPECT_EQ(write_string("('It''s',1X,\"a \"\"q\"\"\")", {}), "It's a \"q\"");
  EXPECT_EQ(write_string("(1H(,I1,1H))", {5}), "(5)");
  EXPECT_EQ(write_string("(3HA,B,I2)", {7}), "A,B 7");
  EXPECT_EQ(write_string("(2(A,I3))", {"x", 1, "y", 22}), "x  1y 22");
  EXPECT_EQ(write_string("(1X,80(1H-))", {}), " " + std::string(80, '-'));
  EXPECT_EQ(write_string("(A,0X,A)", {"a", "b"}), "ab");  // built formats may compute a zero count
  EXPECT_EQ(write_string("( 2X,A,F 9.4)", {"n", 1.0}), "  n   1.0000");
  EXPECT_EQ(write_string("(A,3X,A)", {"a", "b"}), "a   b");
  // X only positions: blanks appear when something follows them in the record.
  EXPECT_EQ(write_string("(A,3X)", {"a"}), "a");
  EXPECT_EQ(records_of("(2X,A,2X/3X,'t',1X)", {"a"}), (std::vector<std::string>{"  a", "   t"}));
  EXPECT_EQ(write_string("(1X,1H ,A)", {"a"}), "  a");
}

TEST(FormatOutput, BuiltFormatsFromTheirOwnWrite) {
  // A row format is written through a format and then used.
  std::string row = write_string("('(',I2,'X,A,',I2,'X,F',I2,'.',I1,',1H(,I',I1,',1H),',I2,'X,2(2X,A))')",
                                 {2, 3, 9, 5, 1, 2});
  EXPECT_EQ(row, "( 2X,A, 3X,F 9.5,1H(,I1,1H), 2X,2(2X,A))");
  EXPECT_EQ(write_string(row, {"C1", 1.54321, 3, "a", "b"}), "  C1     1.54321(3)    a  b");
}

TEST(FormatOutput, SlashDollarAndEndOfItems) {
  EXPECT_EQ(records_of("(A/1X,A)", {"a", "b"}), (std::vector<std::string>{"a", " b"}));
  EXPECT_EQ(records_of("(2A,/)", {"a", "b"}), (std::vector<std::string>{"ab", ""}));
  EXPECT_EQ(records_of("(/1X,A)", {"t"}), (std::vector<std::string>{"", " t"}));
  auto prompt = write_records("(A,$)", std::vector<OutItem>{"Name >"});
  EXPECT_TRUE(prompt.open_line);
  EXPECT_EQ(prompt.records, (std::vector<std::string>{"Name >"}));
  EXPECT_FALSE(write_records("(A)", std::vector<OutItem>{"x"}).open_line);
  EXPECT_EQ(write_records("(A,1X,$)", std::vector<OutItem>{"Name >"}).records.front(), "Name > ");
  // Output ends at the first data edit without an item; literals before it still appear.
  EXPECT_EQ(write_string("(A,' = ',I3,' units')", {"x"}), "x = ");
  EXPECT_EQ(write_string("(A,' = ',I3,' units')", {"x", 5}), "x =   5 units");
}

TEST(FormatOutput, ReversionRestartsAtTheLastTopLevelGroup) {
  EXPECT_EQ(records_of("(' The atom type radii are',/,/,' TYPE',5X,'BOND',6X,'ANGLE',/,(1X,A6,2F10.5))",
                       {"NA", 1.5f, 2.0f, "CL", 2.25f, 3.0f}),
            (std::vector<std::string>{" The atom type radii are", "", " TYPE     BOND      ANGLE",
                                      "     NA   1.50000   2.00000", "     CL   2.25000   3.00000"}));
  EXPECT_EQ(records_of("(I3)", {1, 2, 3}), (std::vector<std::string>{"  1", "  2", "  3"}));
  // The group's repeat count is used again after reversion.
  EXPECT_EQ(records_of("(A,2(I2))", {"a", 1, 2, 3, 4, 5}), (std::vector<std::string>{"a 1 2", " 3 4", " 5"}));
  EXPECT_EQ(records_of("(8I2)", {1, 2, 3, 4, 5, 6, 7, 8, 9}),
            (std::vector<std::string>{" 1 2 3 4 5 6 7 8", " 9"}));
  EXPECT_THROW(write_string("('no data')", {1}), vesk::Error);
  EXPECT_THROW(write_string("(I2,(1X))", {1, 2}), vesk::Error);
}

TEST(FormatOutput, NestedGroupsRepeatInsideOut) {
  EXPECT_EQ(write_string("(2(A,2(I2)))", {"a", 1, 2, "b", 3, 4}), "a 1 2b 3 4");
  EXPECT_EQ(write_string("(A,3(I4,2I3))", {"s", 1, 2, 3, 4, 5, 6, 7, 8, 9}), "s   1  2  3   4  5  6   7  8  9");
  // Reversion goes to the outermost of the last top-level group, with its count.
  EXPECT_EQ(records_of("(I1,2(1X,2(I1)))", {1, 2, 3, 4, 5, 6, 7}),
            (std::vector<std::string>{"1 23 45", " 67"}));  // the last 1X transmits nothing
  EXPECT_EQ(write_string("(1H ,2H'',A)", {"x"}), " ''x");
}

TEST(FormatParse, MalformedFormatsNameTheFormatAndPosition) {
  EXPECT_NE(malformed_message("(A,F10)").find("\"(A,F10)\" at position 7"), std::string::npos);
  EXPECT_NE(malformed_message("A5").find("position 1"), std::string::npos);
  EXPECT_NE(malformed_message("(A5").find("\"(A5\""), std::string::npos);
  EXPECT_NE(malformed_message("(Q5)").find("position 2"), std::string::npos);
  EXPECT_NE(malformed_message("(A,,I5)").find("position 4"), std::string::npos);
  EXPECT_NE(malformed_message("(A,)").find("malformed format"), std::string::npos);
  EXPECT_NE(malformed_message("(5H)").find("Hollerith"), std::string::npos);
  EXPECT_NE(malformed_message("('abc)").find("quote"), std::string::npos);
  EXPECT_NE(malformed_message("(A)x").find("position 4"), std::string::npos);
  EXPECT_NE(malformed_message("(I0)").find("width"), std::string::npos);
  EXPECT_NE(malformed_message("(-1X)").find("position 2"), std::string::npos);
  EXPECT_NE(malformed_message("(2(I3)").find("malformed"), std::string::npos);
  EXPECT_EQ(malformed_message("()"), "accepted");
  EXPECT_EQ(malformed_message("(A)   "), "accepted");
  EXPECT_EQ(malformed_message("(4x,i5,g20.5)"), "accepted");
  EXPECT_THROW(write_string("(F5)", {1.0}), vesk::Error);
}

TEST(FormatParse, ParsedOnceAndCachedByText) {
  const Format& first = compiled_format("(A,2I5,F10.4)");
  const Format& again = compiled_format(std::string("(A,2I5,F10.4)"));
  EXPECT_EQ(&first, &again);
  ASSERT_EQ(first.edits.size(), 3u);
  EXPECT_EQ(first.edits[1].descriptor, DataEdit::Descriptor::I);
  EXPECT_EQ(first.edits[1].repeat, 2);
  EXPECT_EQ(first.edits[2].width, 10);
  EXPECT_EQ(first.edits[2].digits, 4);
}

TEST(FormatOutput, WrongItemTypesAreRefused) {
  EXPECT_THROW(write_string("(I5)", {"text"}), vesk::Error);
  EXPECT_THROW(write_string("(A)", {5}), vesk::Error);
  EXPECT_THROW(write_string("(I5)", {1.5}), vesk::Error);
  EXPECT_EQ(write_string("(F5.1)", {2}), "  2.0");
}

TEST(FormatInput, IntegersByColumn) {
  int a = -1, b = -1;
  short s = -1;
  EXPECT_EQ(read_string("  12", "(I4)", {a}), kOk);
  EXPECT_EQ(a, 12);
  EXPECT_EQ(read_string("-3", "(I2)", {a}), kOk);
  EXPECT_EQ(a, -3);
  EXPECT_EQ(read_string(" 1 2", "(I4)", {a}), kOk);  // inner blanks ignored
  EXPECT_EQ(a, 12);
  EXPECT_EQ(read_string("    ", "(I4)", {a}), kOk);
  EXPECT_EQ(a, 0);
  EXPECT_EQ(read_string("", "(2I4)", {a, b}), kOk);  // short record padded
  EXPECT_EQ(a, 0);
  EXPECT_EQ(b, 0);
  EXPECT_EQ(read_string("xxABCy12", "(2X,3X,1X,I2)", {a}), kOk);
  EXPECT_EQ(a, 12);
  EXPECT_EQ(read_string("+7", "(I2)", {s}), kOk);
  EXPECT_EQ(s, 7);
}

TEST(FormatInput, BadCharactersAndOverflowAreErrors) {
  int a = 5;
  short s = 5;
  EXPECT_EQ(read_string("12a4", "(I4)", {a}), kBadNumericField);
  EXPECT_EQ(read_string("1.5", "(I3)", {a}), kBadNumericField);
  EXPECT_EQ(read_string("  - ", "(I4)", {a}), kBadNumericField);
  EXPECT_EQ(a, 5);
  EXPECT_EQ(read_string("99999", "(I5)", {s}), kNumberOutOfRange);
  EXPECT_EQ(s, 5);
  EXPECT_EQ(read_string("-32768", "(I6)", {s}), kOk);
  EXPECT_EQ(s, -32768);
  EXPECT_EQ(read_string("99999999999", "(I11)", {a}), kNumberOutOfRange);
  float x = 5;
  EXPECT_EQ(read_string("1.2.3", "(F5.0)", {x}), kBadNumericField);
  EXPECT_EQ(read_string("abc", "(F5.0)", {x}), kBadNumericField);
  EXPECT_EQ(read_string("1E", "(F5.0)", {x}), kBadNumericField);
  EXPECT_EQ(read_string("+", "(F5.0)", {x}), kBadNumericField);
  EXPECT_EQ(read_string("1E99", "(F5.0)", {x}), kNumberOutOfRange);
  EXPECT_EQ(x, 5.0f);
  EXPECT_EQ(read_string("1E-99", "(F5.0)", {x}), kOk);
  EXPECT_EQ(x, 0.0f);
  EXPECT_NE(status_text(kBadNumericField), status_text(kEndOfFile));
}

TEST(FormatInput, RealsWithImpliedDecimalsAndExponents) {
  float x = -1;
  EXPECT_EQ(read_string("     12345", "(F10.5)", {x}), kOk);
  EXPECT_FLOAT_EQ(x, 0.12345f);
  EXPECT_EQ(read_string("1 2345", "(F6.5)", {x}), kOk);
  EXPECT_FLOAT_EQ(x, 0.12345f);
  EXPECT_EQ(read_string("  2.5     ", "(F10.5)", {x}), kOk);  // a point overrides the implied decimals
  EXPECT_EQ(x, 2.5f);
  EXPECT_EQ(read_string("1.5E3", "(F5.0)", {x}), kOk);
  EXPECT_EQ(x, 1500.0f);
  EXPECT_EQ(read_string("1.5D3", "(F5.0)", {x}), kOk);
  EXPECT_EQ(x, 1500.0f);
  EXPECT_EQ(read_string("1.5+3", "(F5.0)", {x}), kOk);
  EXPECT_EQ(x, 1500.0f);
  EXPECT_EQ(read_string("-2.5e-1", "(F7.0)", {x}), kOk);
  EXPECT_EQ(x, -0.25f);
  EXPECT_EQ(read_string("  1E2", "(F5.2)", {x}), kOk);  // 0.01E2
  EXPECT_EQ(x, 1.0f);
  EXPECT_EQ(read_string("", "(F10.5)", {x}), kOk);
  EXPECT_EQ(x, 0.0f);
  EXPECT_EQ(read_string("  -.5", "(E5.2)", {x}), kOk);
  EXPECT_EQ(x, -0.5f);
  EXPECT_EQ(read_string("  7", "(G3.1)", {x}), kOk);
  EXPECT_FLOAT_EQ(x, 0.7f);
  // Converted straight to the nearest float.
  EXPECT_EQ(read_string("0.1", "(F3.0)", {x}), kOk);
  EXPECT_EQ(x, 0.1f);
}

TEST(FormatInput, TextFieldsTakeRightmostOrPadRight) {
  std::string four(4, '?'), three(3, '?'), two(2, '?');
  EXPECT_EQ(read_string("ABCDEFGH", "(A8)", {four}), kOk);
  EXPECT_EQ(four, "EFGH");
  EXPECT_EQ(read_string("ABCDEFGH", "(A2)", {four}), kOk);
  EXPECT_EQ(four, "AB  ");
  EXPECT_EQ(read_string("ABCDEFGH", "(A)", {three}), kOk);
  EXPECT_EQ(three, "ABC");
  EXPECT_EQ(read_string("ABCDEFGH", "(A,A)", {two, three}), kOk);
  EXPECT_EQ(two, "AB");
  EXPECT_EQ(three, "CDE");
  EXPECT_EQ(read_string("AB", "(A)", {four}), kOk);  // padded past the record's end
  EXPECT_EQ(four, "AB  ");
}

TEST(FormatInput, ResultsRecordLayout) {
  std::string mark(1, ' ');
  short phase = -1, kind = -1;
  short n[7] = {-1, -1, -1, -1, -1, -1, -1};
  const std::string record = "Y 1 0" + std::string(20, ' ') + "    3   12  -4  555    1";
  EXPECT_EQ(read_string(record, "(A1,2I2,20X,7I5)", {mark, phase, kind, n[0], n[1], n[2], n[3], n[4], n[5], n[6]}),
            kOk);
  EXPECT_EQ(mark, "Y");
  EXPECT_EQ(phase, 1);
  EXPECT_EQ(kind, 0);
  EXPECT_EQ(n[0], 3);
  EXPECT_EQ(n[1], 12);
  EXPECT_EQ(n[2], -4);
  EXPECT_EQ(n[3], 555);
  EXPECT_EQ(n[4], 1);
  EXPECT_EQ(n[5], 0);
  EXPECT_EQ(n[6], 0);
}

TEST(FormatInput, SlashReversionAndEndOfRecords) {
  int a = 0, b = 0, c = 0, d = 0;
  const std::vector<std::string> two = {"1", "2"};
  EXPECT_EQ(read_records(two, "(I1/I1)", std::vector<InItem>{a, b}), kOk);
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 2);
  const std::vector<std::string> one = {"7"};
  EXPECT_EQ(read_records(one, "(I1/I1)", std::vector<InItem>{a, b}), kEndOfFile);
  EXPECT_EQ(a, 7);
  const std::vector<std::string> pairs = {"1 2", "3 4"};
  EXPECT_EQ(read_records(pairs, "(2I2)", std::vector<InItem>{a, b, c, d}), kOk);
  EXPECT_EQ(c, 3);
  EXPECT_EQ(d, 4);
  EXPECT_EQ(read_records({}, "(I2)", std::vector<InItem>{a}), kEndOfFile);
  EXPECT_THROW(read_string("1", "(A)", {a}), vesk::Error);
}

namespace {

// The conversion as it was first written, one string per step: the
// reference for the field conversion without allocation.
std::string reference_fixed(double value, int width, int decimals) {
  std::string buffer(static_cast<std::size_t>(decimals) + 330, '\0');
  auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed, decimals);
  std::string text(buffer.data(), result.ptr);
  if (text[0] == '-' && text.find_first_of("123456789") == std::string::npos) text.erase(0, 1);
  if (decimals == 0) text += '.';
  if (text.size() > static_cast<std::size_t>(width)) {
    const std::size_t at = text[0] == '-' ? 1 : 0;
    if (text.compare(at, 2, "0.") == 0) text.erase(at, 1);
  }
  if (text.size() > static_cast<std::size_t>(width)) return std::string(static_cast<std::size_t>(width), '*');
  return std::string(static_cast<std::size_t>(width) - text.size(), ' ') + text;
}

std::string reference_integer(long long value, int width, int min_digits) {
  std::string digits = std::to_string(value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                                : static_cast<unsigned long long>(value));
  if (digits.size() < static_cast<std::size_t>(min_digits))
    digits.insert(0, static_cast<std::size_t>(min_digits) - digits.size(), '0');
  if (value < 0) digits.insert(0, 1, '-');
  if (digits.size() > static_cast<std::size_t>(width)) return std::string(static_cast<std::size_t>(width), '*');
  return std::string(static_cast<std::size_t>(width) - digits.size(), ' ') + digits;
}

}  // namespace

TEST(FormatOutput, FieldConversionAgreesWithTheStringPath) {
  std::mt19937 random(5);
  std::vector<double> values = {0.0, -0.0, 0.5, -0.5, 1e38, -1e38, 3.4e38, 1e-40, -4.37e-8, 9.99995, 99999.5,
                                0.125, 0.375, -2.5, 1e300, -1e300, 0.05, 0.15, 2.675};
  // Halfway cases that are exact in binary (k/2^n), single-precision values
  // as the tables pass them, and magnitudes from 1e-12 to 1e12.
  for (int k = -300; k <= 300; ++k) values.push_back(k / 64.0 + k * 0.5);
  std::uniform_real_distribution<double> mantissa(-10.0, 10.0);
  std::uniform_int_distribution<int> exponent(-12, 12);
  for (int n = 0; n < 4000; ++n) {
    const double v = mantissa(random) * std::pow(10.0, exponent(random));
    values.push_back(v);
    values.push_back(static_cast<float>(v));
  }
  for (double v : values)
    for (int width : {1, 3, 5, 7, 10, 12, 20})
      for (int decimals : {0, 1, 2, 4, 5, 7})
        ASSERT_EQ(edit_fixed(v, width, decimals), reference_fixed(v, width, decimals))
            << v << " F" << width << "." << decimals;
  EXPECT_EQ(edit_fixed(1e300, 400, 2), reference_fixed(1e300, 400, 2));  // beyond the field buffer
  for (long long v : {0LL, 7LL, -7LL, 99999LL, -99999LL, 123456LL, -9223372036854775807LL - 1, 9223372036854775807LL})
    for (int width : {1, 2, 4, 5, 12, 25})
      for (int min_digits : {0, 3, 22})
        ASSERT_EQ(edit_integer(v, width + min_digits, min_digits), reference_integer(v, width + min_digits, min_digits))
            << v << " I" << width + min_digits << "." << min_digits;
}
