// Cumulative distribution functions of Student's t and chi-squared, built on the incomplete beta and gamma.
#include "numeric/distributions.hpp"

#include <optional>

#include "core/errors.hpp"
#include "numeric/gamma_functions.hpp"

namespace quorlix::numeric {

StudentsT::StudentsT(double location, double scale, double freedom)
    : location_(location), scale_(scale), freedom_(freedom) {}

double StudentsT::cdf(double x) const {
  const double a = 0.5 * freedom_;
  const double q = (x - location_) / scale_;
  const double u = freedom_ / (q * q + freedom_);
  // The incomplete beta rejects u outside [0, 1] or NaN; a NaN x always ends here.
  const std::optional<double> beta = regularized_beta(a, 0.5, u);
  if (!beta) throw InternalFailure(Failure::kOutOfDomain);
  const double ib = 0.5 * *beta;
  return x <= location_ ? ib : 1.0 - ib;
}

ChiSquared::ChiSquared(double freedom) : shape_(freedom / 2.0), rate_(0.5) {}

double ChiSquared::cdf(double x) const {
  if (x <= 0.0) return 0.0;
  return regularized_lower_gamma(shape_, x * rate_);
}

}  // namespace quorlix::numeric
