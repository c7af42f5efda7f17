#include "console/free_number.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace vesk;

namespace {

struct Parsed {
  float value;
  int error;
  int start;
};

Parsed parse(std::string_view text, int implied = 0, float default_value = -99.0f) {
  int start = 1;
  int error = -1;
  float value = STRREAL(text, start, static_cast<int>(text.size()), implied, default_value, error);
  return {value, error, start};
}

}  // namespace

TEST(FreeNumber, ReadsIntegersDecimalsExponentsFractionsAndDegreeFunctions) {
  struct Case {
    const char* text;
    float expected;
  };
  for (const Case& c : {Case{"12", 12.0f}, Case{"1.5", 1.5f}, Case{"-2.5E2", -250.0f}, Case{"1.5-3", 0.0015f},
                        Case{"1.5e+3", 1500.0f}, Case{"1/4", 0.25f}, Case{"-1/3", -1.0f / 3.0f},
                        Case{"S30", 0.5f}, Case{"-C60", -0.5f}, Case{"T45", 1.0f}, Case{"+.5", 0.5f},
                        Case{"  3.25", 3.25f}, Case{"c0", 1.0f}, Case{"0E99", 0.0f}}) {
    Parsed p = parse(c.text);
    EXPECT_EQ(p.error, 0) << c.text;
    EXPECT_NEAR(p.value, c.expected, 4e-7f * std::max(1.0f, std::abs(c.expected))) << c.text;
  }
}

TEST(FreeNumber, ImpliedDecimalsApplyOnlyWithoutPointExponentOrBar) {
  EXPECT_FLOAT_EQ(parse("12", 2).value, 0.12f);
  EXPECT_FLOAT_EQ(parse("1.2", 2).value, 1.2f);
  EXPECT_FLOAT_EQ(parse("12E1", 2).value, 120.0f);
  EXPECT_FLOAT_EQ(parse("12345", 3).value, 12.345f);
}

TEST(FreeNumber, NothingToReadGivesTheDefaultWithoutError) {
  for (const char* text : {"", "    ", ".", "+", "-", " , "}) {
    Parsed p = parse(text, 0, 7.5f);
    EXPECT_EQ(p.error, 0) << '"' << text << '"';
    EXPECT_EQ(p.value, 7.5f) << '"' << text << '"';
  }
}

TEST(FreeNumber, MalformedNumbersFail) {
  for (const char* text : {"1/0", "1/", "1.5/2", "1.2.3", "E5", "2*3", "X", "  S30", "SC30", "S", "-C", "--5",
                           "1E5E", "1-2-3", "1E2.5", "1/2/3", "1\t2"}) {
    EXPECT_EQ(parse(text).error, 1) << '"' << text << '"';
  }
}

TEST(FreeNumber, ABlankAfterDigitsOrACommaEndsTheNumber) {
  Parsed p = parse("7 8");
  EXPECT_EQ(p.error, 0);
  EXPECT_EQ(p.value, 7.0f);
  EXPECT_EQ(p.start, 3);  // the ending blank is consumed, 8 is not
  p = parse("7,8");
  EXPECT_EQ(p.error, 0);
  EXPECT_EQ(p.value, 7.0f);
  EXPECT_EQ(p.start, 3);
  p = parse("12");
  EXPECT_EQ(p.start, 3);
}

TEST(FreeNumber, ReadsOnlyTheCountedCharactersFromTheStart) {
  const std::string text = "DMAX3.5 99";
  int start = 5;
  int error = -1;
  EXPECT_FLOAT_EQ(STRREAL(text, start, 3, 0, 0.0f, error), 3.5f);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(start, 8);

  // Past the end of the text counts as blanks.
  start = 9;
  EXPECT_FLOAT_EQ(STRREAL(text, start, 10, 0, 0.0f, error), 99.0f);
  EXPECT_EQ(error, 0);

  // TOKREAL reads a word of a record from its first character with default 0.
  std::string word = "2.75" + std::string(76, ' ');
  EXPECT_FLOAT_EQ(TOKREAL(word, 4, error), 2.75f);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(TOKREAL(std::string(80, ' '), 4, error), 0.0f);
  EXPECT_EQ(error, 0);
  TOKREAL("ABCD", 4, error);
  EXPECT_EQ(error, 1);
}
