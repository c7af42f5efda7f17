#include "numeric/degrees.hpp"

#include <algorithm>
#include <cmath>

namespace vesk {

float COSD(float degrees) { return std::cos(degrees * kDegree); }
float SIND(float degrees) { return std::sin(degrees * kDegree); }
float TAND(float degrees) { return std::tan(degrees * kDegree); }

float ACOSD(float x) { return std::acos(std::clamp(x, -1.0f, 1.0f)) / kDegree; }

float ATAN2D(float y, float x) {
  if (y == 0.0f && x == 0.0f) return 0.0f;
  return std::atan2(y, x) / kDegree;
}

double cos_degrees(double degrees) { return std::cos(degrees * M_PI / 180); }
double sin_degrees(double degrees) { return std::sin(degrees * M_PI / 180); }

}  // namespace vesk
