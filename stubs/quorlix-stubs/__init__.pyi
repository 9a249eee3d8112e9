"""Fast, exact estimators of statistical dependence between paired 1-D NumPy samples.

``quorlix.stats`` holds Pearson, Spearman and phi correlation with p-values; ``quorlix.info`` holds the
nearest-neighbour information estimators (entropy, mutual, conditional mutual and interaction information),
all in nats.

``stats`` and ``info`` are attributes of the module, not importable submodules: write
``from quorlix import stats, info`` or ``quorlix.info.ksg_mi(...)``; ``import quorlix.stats`` fails.
"""

from typing import SupportsIndex, final

import numpy as np
import numpy.typing as npt

# The two submodules exist only as attributes of the top module. They are typed as objects of closed classes
# rather than as stub files, which would make ``import quorlix.stats`` look valid, or as ModuleType
# subclasses, whose catch-all ``__getattr__`` would let misspelt function names through.

__all__ = ["stats", "info"]

@final
class _Stats:
    __name__: str
    __all__: list[str]

    @staticmethod
    def pearson_corr(x: npt.NDArray[np.float64], y: npt.NDArray[np.float64]) -> tuple[float, float]:
        """Pearson correlation coefficient r of x and y, with the two-sided p-value of r = 0.

        x, y: one-dimensional float64 arrays of equal length n >= 3, any stride.
        Returns (r, p). p comes from Student's t distribution with n - 2 degrees of freedom; when rounding
        pushes |r| above 1 for exactly linear data, p is 0.0.

        Raises ValueError "x and y must have same length", "array must contain >= 3 elements" or
        "arrays must have nonzero variance"; TypeError for an argument that is not a 1-D float64 ndarray;
        PanicException (a BaseException) with "called `Result::unwrap()` on an `Err` value: XOutOfRange"
        when x or y holds NaN or an infinity.
        """

    @staticmethod
    def spearman_corr(x: npt.NDArray[np.float64], y: npt.NDArray[np.float64]) -> tuple[float, float]:
        """Spearman rank correlation rho of x and y, with the two-sided p-value of rho = 0.

        rho is the Pearson correlation of the average ranks (ties share the mean of their positions); p uses
        Student's t distribution with n - 2 degrees of freedom, and is 0.0 when rounding pushes |rho| above 1.
        x, y: one-dimensional float64 arrays of equal length n >= 3, any stride. Infinities rank as ordinary
        values.

        Raises ValueError "x and y must have same length", "array must contain >= 3 elements" or
        "arrays must have nonzero variance" (all of x, or all of y, equal); TypeError for a wrong argument
        type; PanicException with "called `Option::unwrap()` on a `None` value" when x or y holds NaN.
        """

    @staticmethod
    def phi_coef(x: npt.NDArray[np.bool_], y: npt.NDArray[np.bool_]) -> tuple[float, float]:
        """Phi coefficient of two boolean samples, with the p-value of the chi-squared test n * phi**2.

        x, y: one-dimensional bool arrays of equal length n >= 3, any stride.
        Returns (phi, p); p is from the chi-squared distribution with one degree of freedom, without
        continuity correction.

        Raises ValueError "x and y must have same length", "array must contain >= 3 elements" or
        "phi is undefined: 1+ marginal totals are zero" (x or y all true or all false); TypeError for an
        argument that is not a 1-D bool ndarray.
        """

@final
class _Info:
    __name__: str
    __all__: list[str]

    @staticmethod
    def ksg_mi(
        x: npt.NDArray[np.float64], y: npt.NDArray[np.float64], k: SupportsIndex, normalize: bool | np.bool_
    ) -> float:
        """Mutual information I(X;Y) in nats, by the Kraskov-Stoegbauer-Grassberger estimator.

        x, y: one-dimensional float64 arrays of equal length n >= 2; k: neighbour count, 1 <= k < n
        (3 to 10 is typical); normalize: True divides by sqrt(H(X) * H(Y)) of the entropy estimator and caps
        the result at 1, unless that denominator is NaN, infinite or below 1e-10, when the raw value is kept.
        The result is clamped at 0.0 (never negative).

        Raises ValueError "x and y must have same length", "arrays must be non-empty" or
        "k must satisfy 1 ≤ k < n (got k=..., n=...)"; TypeError for a wrong argument type (normalize must
        be a bool or a NumPy bool scalar); OverflowError for a negative k; PanicException with
        "called `Option::unwrap()` on a `None` value" when x or y holds NaN.
        """

    @staticmethod
    def ksg_cmi(
        x: npt.NDArray[np.float64],
        y: npt.NDArray[np.float64],
        z: npt.NDArray[np.float64],
        k: SupportsIndex,
        normalize: bool | np.bool_,
    ) -> float:
        """Conditional mutual information I(X;Y|Z) in nats, by the KSG estimator in its conditional form.

        x, y, z: one-dimensional float64 arrays of equal length n >= 2; k: 1 <= k < n; normalize: True
        divides by sqrt(H(X|Z) * H(Y|Z)) and caps at 1, unless that denominator is NaN, infinite or below
        1e-10, when the raw value is kept. The result is clamped at 0.0.

        Raises ValueError "x, y and z must have same length", "arrays must be non-empty" or the k message;
        TypeError; OverflowError for a negative k; PanicException with
        "called `Option::unwrap()` on a `None` value" when any input holds NaN.
        """

    @staticmethod
    def ksg_ii(
        x: npt.NDArray[np.float64],
        y: npt.NDArray[np.float64],
        z: npt.NDArray[np.float64],
        k: SupportsIndex,
        normalize: bool | np.bool_,
    ) -> float:
        """Interaction information I(X;Y|Z) - I(X;Y) in nats; positive for synergy, negative for redundancy.

        Neither term is clamped at zero. normalize: True divides by |I(X;Y)| + |I(X;Y|Z)|, giving a value in
        [-1, 1], and returns exactly 0.0 when that sum is below 1e-10.

        Raises ValueError "x, y and z must have same length", "arrays must be non-empty" or the k message;
        TypeError; OverflowError for a negative k; PanicException with
        "called `Option::unwrap()` on a `None` value" when any input holds NaN.
        """

    @staticmethod
    def kl_h(x: npt.NDArray[np.float64], k: SupportsIndex) -> float:
        """Differential entropy H(X) in nats, by the Kozachenko-Leonenko k-th-neighbour estimator.

        x: one-dimensional float64 array of length n >= 2; k: 1 <= k < n. Not clamped: clustered data gives
        a negative entropy. Repeated values are allowed: neighbour distances below 1e-7 count as 1e-7.

        Raises ValueError "arrays must be non-empty" or "k must satisfy 1 ≤ k < n (got k=..., n=...)";
        TypeError; OverflowError for a negative k; PanicException with
        "called `Option::unwrap()` on a `None` value" when x holds NaN.
        """

stats: _Stats
info: _Info
