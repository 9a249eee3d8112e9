// Gamma-family special functions. Every expression keeps a fixed evaluation order: callers compare results
// to the last bit, so regrouping, reciprocal multiplication or a more accurate formula would be a bug.
#include "numeric/gamma_functions.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace quorlix::numeric {
namespace {

constexpr double kLanczosR = 10.900511;
constexpr double kLnPi = 1.1447298858494002;
constexpr double kLnTwoSqrtEOverPi = 0.6207822376352452;
constexpr double kPi = 3.141592653589793;
constexpr double kE = 2.718281828459045;
constexpr double kLanczosD[11] = {
    2.4857408913875355e-05, 1.0514237858172197,    -3.4568709722201625,     4.512277094668948,
    -2.9828522532357664,    1.056397115771267,     -0.19542877319164587,    0.01709705434044412,
    -0.0005719261174043057, 4.633994733599057e-06, -2.7199490848860772e-09,
};

constexpr double kOneTwelfth = 0.08333333333333333;
constexpr double kOneOver120 = 0.008333333333333333;

constexpr double kMachineEpsilon = 2.220446049250313e-16;  // 2^-52
constexpr double kBetaTiny = 2.004168360008973e-292;       // 2^-969
constexpr double kBetaTolerance = 1.1102230246251565e-16;  // 2^-53
constexpr int kBetaMaxIterations = 140;

constexpr double kGammaZeroLimit = 1.1102230246251565e-15;  // 5 * 2^-52
constexpr double kGammaAccuracy = 1e-15;
constexpr double kExpUnderflow = -709.782712893384;
constexpr double kBig = 4503599627370496.0;            // 2^52
constexpr double kBigInverse = 2.220446049250313e-16;  // 2^-52
// Both loops of the lower incomplete gamma converge for every finite a > 0 and x > 0 met in practice; the
// cap only guarantees termination for degenerate arguments (NaN produced mid-way, or an enormous a whose
// series would otherwise run for ~a iterations).
constexpr long kGammaMaxIterations = 10'000'000;

// True when x equals 1.0 up to an absolute 2^-52 or a distance of at most 4 representable doubles.
bool almost_one(double x) {
  if (std::fabs(x - 1.0) <= kMachineEpsilon) return true;
  if (!(x > 0.0) || std::isinf(x)) return false;
  const std::uint64_t a = std::bit_cast<std::uint64_t>(x);
  const std::uint64_t b = std::bit_cast<std::uint64_t>(1.0);
  return (a > b ? a - b : b - a) <= 4;
}

double clamp_tiny(double v) { return std::fabs(v) < kBetaTiny ? kBetaTiny : v; }

}  // namespace

double ln_gamma(double x) {
  double s = kLanczosD[0];
  if (x < 0.5) {
    for (int k = 1; k <= 10; ++k) s = s + kLanczosD[k] / (static_cast<double>(k) - x);
    const double u = 0.5 - x;
    return ((kLnPi - std::log(std::sin(kPi * x))) - std::log(s)) - kLnTwoSqrtEOverPi -
           std::log((kLanczosR + u) / kE) * u;
  }
  // The denominator adds k before subtracting 1; (x - 1) + k rounds differently.
  for (int k = 1; k <= 10; ++k) s = s + kLanczosD[k] / ((x + static_cast<double>(k)) - 1.0);
  const double v = x - 0.5;
  return std::log((kLanczosR + v) / kE) * v + (std::log(s) + kLnTwoSqrtEOverPi);
}

double digamma(double x) {
  if (x <= 0.0) return std::numeric_limits<double>::quiet_NaN();
  double acc = 0.0;
  while (x < 6.0) {
    acc = acc - 1.0 / x;
    x = x + 1.0;
  }
  const double f = 1.0 / (x * x);
  const double t1 = (-0.5 / x) + std::log(x);
  // A true division by -252: multiplying by the rounded reciprocal changes the last bit.
  const double t2 = (f / (-252.0) + kOneOver120) * f;
  const double t3 = (kOneTwelfth - t2) * f;
  return (t1 - t3) + acc;
}

std::optional<double> regularized_beta(double a, double b, double x) {
  if (!(x >= 0.0 && x <= 1.0)) return std::nullopt;

  double front = 0.0;
  if (x != 0.0 && !almost_one(x)) {
    front =
        std::exp((((ln_gamma(a + b) - ln_gamma(a)) - ln_gamma(b)) + a * std::log(x)) + b * std::log(1.0 - x));
  }

  const bool swapped = x >= (a + 1.0) / ((a + b) + 2.0);
  const double xs = swapped ? 1.0 - x : x;
  const double as = swapped ? b : a;
  const double bs = swapped ? a : b;

  const double sigma = a + b;
  const double alpha_plus = as + 1.0;
  const double alpha_minus = as - 1.0;

  double c = 1.0;
  double d = clamp_tiny(1.0 - (sigma * xs) / alpha_plus);
  d = 1.0 / d;
  double h = d;

  for (int step = 1; step <= kBetaMaxIterations; ++step) {
    const double m = static_cast<double>(step);
    const double m2 = 2.0 * m;

    double kappa = (m * (bs - m) * xs) / ((alpha_minus + m2) * (as + m2));
    d = clamp_tiny(1.0 + kappa * d);
    c = clamp_tiny(1.0 + kappa / c);
    d = 1.0 / d;
    h = (h * d) * c;

    kappa = (-(as + m) * (sigma + m) * xs) / ((as + m2) * (alpha_plus + m2));
    d = clamp_tiny(1.0 + kappa * d);
    c = clamp_tiny(1.0 + kappa / c);
    d = 1.0 / d;
    const double delta = d * c;
    h = h * delta;

    if (std::fabs(delta - 1.0) <= kBetaTolerance) break;
  }

  return swapped ? 1.0 - (front * h) / as : (front * h) / as;
}

double regularized_lower_gamma(double a, double x) {
  if (std::fabs(x) <= kGammaZeroLimit) return 0.0;
  if (std::isnan(x)) return x;
  if (x == std::numeric_limits<double>::infinity()) return 1.0;

  const double lambda = (std::log(x) * a - x) - ln_gamma(a);
  if (lambda < kExpUnderflow) return a < x ? 1.0 : 0.0;

  if (x <= 1.0 || x <= a) {
    double r = a;
    double term = 1.0;
    double total = 1.0;
    for (long i = 0; i < kGammaMaxIterations; ++i) {
      r = r + 1.0;
      term = term * (x / r);
      total = total + term;
      if (term / total <= kGammaAccuracy) break;
    }
    return (std::exp(lambda) * total) / a;
  }

  double y = 1.0 - a;
  double z = (x + y) + 1.0;
  double count = 0.0;
  double p_older = 1.0;
  double q_older = x;
  double p_newer = x + 1.0;
  double q_newer = z * x;
  double f = p_newer / q_newer;
  for (long i = 0; i < kGammaMaxIterations; ++i) {
    y = y + 1.0;
    z = z + 2.0;
    count = count + 1.0;
    const double w = y * count;
    const double p = p_newer * z - p_older * w;
    const double q = q_newer * z - q_older * w;
    p_older = p_newer;
    p_newer = p;
    q_older = q_newer;
    q_newer = q;
    // Rescaling keeps the recurrences finite; the ratio p/q below uses the unscaled pair.
    if (std::fabs(p) > kBig) {
      p_older = p_older * kBigInverse;
      p_newer = p_newer * kBigInverse;
      q_older = q_older * kBigInverse;
      q_newer = q_newer * kBigInverse;
    }
    if (q != 0.0) {
      const double next = p / q;
      const double error = std::fabs((f - next) / next);
      f = next;
      if (error <= kGammaAccuracy) break;
    }
  }
  return 1.0 - std::exp(lambda) * f;
}

}  // namespace quorlix::numeric
