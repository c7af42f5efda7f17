#include "expfile/lsctrl.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#include "console/free_number.hpp"
#include "console/page.hpp"
#include "expfile/record_store.hpp"
#include "recio/fixed_text.hpp"
#include "recio/format.hpp"
#include "recio/units.hpp"

namespace vesk {

namespace {

// One line per print-flag bit, in bit order.
static const char* const kPrintFlagLines[] = {
    " List changes, etc. in the Reciprocal Metric Tensor",           // 1
    " Print the correlation matrix",                                 // 2
    " Print the Least-Squares matrices and vectors",                 // 4
    " List the complete constraint matrix",                          // 8
    " List the linear constraint matrix",                            // 16
    " List the applied shifts and shift factors for all variables",  // 32
    " List the Reciprocal metric tensor Variance-Covariance terms",  // 64
    " Print all parameters for each cycle",                          // 128
    " Print summary shift/esd data after last cycle",                // 256
    " Print zero/unit pole figure constraint terms",                 // 512
    " Write parameter name, value, esd file",                        // 1024
};

// Formula lines of the weight types 0, 1 and 2 (28 characters each).
static const char* const kWeightFormulas[] = {
    " W = Wght                   ",  // 0
    " W = 1.0                    ",  // 1
    " SigmaFoSq = SigmaFoSq + (  ",  // 2
};

// An argument that does not read as a number lists as 0.
float number(std::string_view text) {
  int error = 0;
  const float value = TOKREAL(text, static_cast<int>(text.size()), error);
  return error != 0 || !std::isfinite(value) ? 0.0f : value;
}

int integer_part(float value) {
  if (value >= 2.0e9f) return 2000000000;
  if (value <= -2.0e9f) return -2000000000;
  return static_cast<int>(value);
}

void line(int unit, std::string_view text) { recio::write(unit, "(A)", {text}); }

void weight_block(int unit, int type, float coefficient) {
  LINECHK(unit, 4);
  recio::write(unit, "(2A)", {" The Single crystal Least Squares", " weight function is"});
  if (type == 0 || type == 1)
    line(unit, std::string(12, ' ') + kWeightFormulas[type]);
  else if (type == 2)
    recio::write(unit, "(A,F5.3,A)", {std::string("   ") + kWeightFormulas[2], coefficient, "*FoSq)^2"});
  recio::write(unit, "(2A)", {"  Wght = 1.0/(SigmaFoSq)**2 for FoSq ", "refinements"});
  recio::write(unit, "(2A)", {"  Wght = (2*Fo/SigmaFoSq)**2 for Fo ", "refinements"});
}

}  // namespace

void LSCTRL(int experiment_unit, int listing_unit) {
  std::vector<std::string> fields;
  for (int n = 1; n <= kMaxControlRecords; ++n) {
    const std::string key = recio::write_string("(A,I1)", {"  RFFN CDAT", n});
    std::string value(68, ' ');
    if (READEXP(experiment_unit, key, value) != 0) {
      if (n > 1) break;
      static const char* const kErrorLines[] = {
          "***** ERROR *****", " No RAFFIN control data was found.", "  You need to run the 'L' option in the",
          "  the main menu of ZENTOR", " ***** ERROR *****"};
      for (const char* text : kErrorLines) line(listing_unit, text);
      if (listing_unit != recio::kTerminalOut)
        for (const char* text : kErrorLines) line(recio::kTerminalOut, text);
      ISAMFAIL(experiment_unit, key);
    }
    for (int k = 0; k < kFieldsPerControlRecord; ++k) fields.push_back(value.substr(2 + 8 * k, 8));
  }

  float cutoff = 0;
  float weight_coefficient = 0;
  bool squared_amplitudes = false;
  int tukey = 0;
  for (const std::string& field : fields) {
    if (recio::trim_right(field).empty()) break;
    const std::string_view keyword = std::string_view(field).substr(0, 4);
    const std::string_view argument = std::string_view(field).substr(4, 4);
    if (field.compare(0, 6, "MODWGT") == 0) {
      LINECHK(listing_unit, 3);
      recio::write(listing_unit, "(30X,A/8X,A/30X,A)",
                   {"*****  Note  *****", " All single crystal weights are scaled by Min(Fo/Fc,Fc/Fo)**4",
                    "*****  Note  *****"});
    } else if (keyword == "WGHT") {
      weight_block(listing_unit, integer_part(number(argument)), weight_coefficient);
    } else if (keyword == "WGT ") {
      weight_coefficient = number(argument.substr(1)) / 1000.0f;
      weight_block(listing_unit, integer_part(number(argument.substr(0, 1))), weight_coefficient);
    } else if (keyword == "DSMN") {
      LINECHK(listing_unit, 1);
      recio::write(listing_unit, "(A,F6.3)", {" Minimum D-spacing is ", std::max(number(argument) / 1000.0f, 0.01f)});
    } else if (keyword == "DSMX") {
      float d = number(argument) / 100.0f;
      if (d <= 0) d = 100.0f;
      // The default of 100 needs one column more than F5.2 offers.
      LINECHK(listing_unit, 1);
      recio::write(listing_unit, d < 99.995f ? "(A,F5.2)" : "(A,F6.2)", {" Maximum D-spacing is ", d});
    } else if (keyword == "RFN-") {
      if (argument == "Fsq ") squared_amplitudes = true;
      LINECHK(listing_unit, 1);
      line(listing_unit, std::string(" Refine on ") + std::string(argument));
    } else if (keyword == "SGLM") {
      cutoff = number(argument) / 10.0f;
    } else if (keyword == "MARQ") {
      LINECHK(listing_unit, 1);
      recio::write(listing_unit, "(A,F5.2)", {" Marquardt factor for matrix inversion = ", number(argument)});
    } else if (keyword == "CONJ") {
      LINECHK(listing_unit, 1);
      line(listing_unit, argument[3] == 'Y' ? " Conjugate gradient method will be used"
                                            : " Gauss elimination with pivots will be used");
    } else if (keyword == "XRYX") {
      LINECHK(listing_unit, 1);
      recio::write(listing_unit, "(A,F7.4)", {" Use data with Lambda < ", number(argument) / 100.0f});
    } else if (keyword == "CVRG") {
      const int k = integer_part(number(argument));
      recio::write(listing_unit, "(A,F6.2)",
                   {" Convergence for Sum(shift/esd)**2 less than ", std::pow(10.0f, static_cast<float>(k) / 100.0f)});
      LINECHK(listing_unit, 1);
    } else if (keyword == "MBW ") {
      LINECHK(listing_unit, 1);
      recio::write(listing_unit, "(A,I5)", {" LS Matrix bandwidth is ", integer_part(number(argument))});
    } else if (keyword == "MAXX") {
      LINECHK(listing_unit, 1);
      recio::write(listing_unit, "(A,F5.2)", {" Maximum atom shift is ", number(argument)});
    } else if (keyword == "MXCY") {
      LINECHK(listing_unit, 1);
      recio::write(listing_unit, "(A,I4)", {" Maximum number of cycles is ", integer_part(number(argument))});
    } else if (keyword == "TUKE") {
      int value = tukey;
      if (recio::read_string(argument, "(I4)", {value}) == 0) tukey = value;
      LINECHK(listing_unit, 1);
      if (tukey > 0)
        recio::write(listing_unit, "(A,I4)",
                     {" Apply Tukey Robust/Resistantweighting. Disregard data when (obs-calc)/sig >", tukey});
      else
        line(listing_unit, " Do not apply Tukey Robust/Resistant weighting");
    } else if (keyword == "PRNT") {
      const int flags = integer_part(number(argument));
      for (int bit = 0; bit < 11; ++bit)
        if (flags & (1 << bit)) {
          LINECHK(listing_unit, 1);
          line(listing_unit, kPrintFlagLines[bit]);
        }
    } else if (keyword == "NEGI") {
      if (argument == " Z  " || argument == " O  ") {
        LINECHK(listing_unit, 1);
        line(listing_unit, argument == " Z  " ? " If I<0.0, set I=0.0" : " Omit negative reflections with I<0.0");
      }
    }
  }
  if (!squared_amplitudes) {
    LINECHK(listing_unit, 1);
    recio::write(listing_unit, "(A,F5.2)", {" I/SigI cut-off is ", cutoff == 0 ? 1.0f : cutoff});
  }
}

}  // namespace vesk
