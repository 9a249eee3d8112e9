// The gamma function family (ln Gamma, digamma, regularized beta and lower gamma), evaluated with a fixed
// operation order so results are reproducible to the bit.
#pragma once

#include <optional>

namespace quorlix::numeric {

// ln Gamma(x) by a Lanczos-type sum (reflection below 0.5).
double ln_gamma(double x);

// psi(x): recurrence up to 6, then a three-term asymptotic series. NaN for x <= 0.
double digamma(double x);

// I_x(a, b) by the modified Lentz continued fraction; nullopt (the XOutOfRange error) when x is
// outside [0, 1] or NaN.
std::optional<double> regularized_beta(double a, double b, double x);

// P(a, x) = gamma(a, x) / Gamma(a): series for small x, continued fraction otherwise.
double regularized_lower_gamma(double a, double x);

}  // namespace quorlix::numeric
