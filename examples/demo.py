"""Prints Pearson, Spearman and phi correlation (with p-values) for a few generated data sets."""
import numpy as np

from quorlix import stats


def main() -> None:
    rng = np.random.default_rng(2026)
    n = 2000
    x = rng.normal(size=n)
    data = {
        "linear": (x, 0.8 * x + 0.6 * rng.normal(size=n)),
        "monotone": (x, np.exp(2.0 * x) + 0.1 * rng.normal(size=n)),
        "u-shaped": (x, x * x + 0.3 * rng.normal(size=n)),
        "independent": (x, rng.normal(size=n)),
        "anti-linear": (x, -x + 0.5 * rng.normal(size=n)),
    }
    print(f"{'data set':<12} {'pearson r':>10} {'p':>10} {'spearman':>10} {'p':>10} {'phi':>8} {'p':>10}")
    for name, (a, b) in data.items():
        r, pr = stats.pearson_corr(a, b)
        rho, ps = stats.spearman_corr(a, b)
        phi, pp = stats.phi_coef(a > np.median(a), b > np.median(b))
        print(f"{name:<12} {r:>10.4f} {pr:>10.2e} {rho:>10.4f} {ps:>10.2e} {phi:>8.4f} {pp:>10.2e}")


if __name__ == "__main__":
    main()
