// Trigonometry in degrees, in single precision. The degree factor is pi/180
// rounded to a 32-bit real, as the programs have always used it: results at
// the printed limits depend on this exact factor. The double-precision pair
// at the end serves the checks of cif2exp.
#pragma once

namespace vesk {

constexpr float kDegree = 0.017453292f;  // pi/180 in single precision

float COSD(float degrees);
float SIND(float degrees);
float TAND(float degrees);
// Arc cosine in degrees; arguments a rounding step beyond +-1 are taken as +-1.
float ACOSD(float x);
// Two-argument arc tangent in degrees; 0 when y and x are both 0.
float ATAN2D(float y, float x);

// Cosine and sine of an angle in degrees in double precision, with pi/180
// as a double: for a cell read from a CIF, checked before it is written.
double cos_degrees(double degrees);
double sin_degrees(double degrees);

}  // namespace vesk
