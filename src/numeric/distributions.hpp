// Student's t and chi-squared distributions: the source of every p-value.
#pragma once

namespace quorlix::numeric {

class StudentsT {
 public:
  StudentsT(double location, double scale, double freedom);
  // Throws InternalFailure kOutOfDomain when the incomplete beta argument leaves [0, 1] (every NaN x).
  double cdf(double x) const;

 private:
  double location_;
  double scale_;
  double freedom_;
};

class ChiSquared {
 public:
  explicit ChiSquared(double freedom);
  double cdf(double x) const;

 private:
  double shape_;
  double rate_;
};

}  // namespace quorlix::numeric
