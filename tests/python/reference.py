"""Brute-force reference estimators in plain Python/NumPy, following the same arithmetic as the module.

Every operation is an IEEE double operation in the same order as the native code, so for inputs without NaN
the results agree to the last bit: distances come from all pairwise Chebyshev distances (O(n^2)), and sums
follow the same fixed halving split of the index range.
"""
import math

import numpy as np

LN2 = 0.6931471805599453
LN4 = 1.3862943611198906
FLOOR = 1e-7
PIECE = 2048


def digamma(x: float) -> float:
    if x <= 0:
        return math.nan
    acc = 0.0
    while x < 6.0:
        acc = acc - 1.0 / x
        x = x + 1.0
    f = 1.0 / (x * x)
    t1 = (-0.5 / x) + math.log(x)
    t2 = (f / (-252.0) + 0.008333333333333333) * f
    t3 = (0.08333333333333333 - t2) * f
    return (t1 - t3) + acc


def sequential_sum(terms) -> float:
    s = -0.0
    for t in terms:
        s += t
    return s


def fixed_split_sum(terms) -> float:
    """Halves the range until pieces hold at most PIECE terms; pieces summed in order, halves added left + right."""
    terms = list(terms)

    def rec(b, e):
        m = e - b
        if m <= PIECE:
            return sequential_sum(terms[b:e])
        mid = b + m // 2
        return rec(b, mid) + rec(mid, e)

    return rec(0, len(terms))


def chebyshev_matrix(*coords):
    coords = [np.asarray(c, dtype=np.float64) for c in coords]
    d = np.abs(coords[0][:, None] - coords[0][None, :])
    for c in coords[1:]:
        d = np.maximum(d, np.abs(c[:, None] - c[None, :]))
    return d


def kth_radii(k, *coords):
    """Distance to the (k+1)-th nearest stored point (the point itself included), floored at 1e-7."""
    d = chebyshev_matrix(*coords)
    kth = np.partition(d, k, axis=1)[:, k]
    return [max(float(e), FLOOR) for e in kth]


def marginal_count(sorted_values, centre, radius):
    lo = centre - radius
    hi = centre + radius
    lower = int(np.searchsorted(sorted_values, lo, side="right"))
    upper = int(np.searchsorted(sorted_values, hi, side="left"))
    return upper - lower - 1 if upper - lower >= 1 else 0


def entropy(k, *coords):
    n = len(coords[0])
    eps = kth_radii(k, *coords)
    s = sequential_sum(math.log(e) for e in eps)
    if len(coords) == 1:
        return s / n + ((digamma(float(n)) - digamma(float(k))) + LN2)
    return (2.0 * s) / n + ((digamma(float(n)) - digamma(float(k))) + LN4)


def kl_h(x, k):
    return entropy(k, x)


def mi_terms_sum(x, y, k):
    eps = kth_radii(k, x, y)
    xs, ys = np.sort(x), np.sort(y)
    terms = [
        digamma(float(marginal_count(xs, x[i], eps[i])) + 1.0) + digamma(float(marginal_count(ys, y[i], eps[i])) + 1.0)
        for i in range(len(x))
    ]
    return fixed_split_sum(terms)


def ksg_mi(x, y, k, normalize):
    n = len(x)
    s = mi_terms_sum(x, y, k)
    i = max((digamma(float(k)) + digamma(float(n))) - s / n, 0.0)
    if math.isnan(i):
        i = 0.0
    if normalize:
        d = math.sqrt(entropy(k, x) * entropy(k, y)) if entropy(k, x) * entropy(k, y) >= 0 else math.nan
        if math.isfinite(d) and d >= 1e-10:
            i = min(1.0, i / d)
    return i


def cmi_terms_sum(x, y, z, k):
    n = len(x)
    eps = kth_radii(k, x, y, z)
    dxz = chebyshev_matrix(x, z)
    dyz = chebyshev_matrix(y, z)
    zs = np.sort(z)
    terms = []
    for i in range(n):
        r = eps[i]
        nxz = max(int(np.sum(dxz[i] < r)) - 1, 0)
        nyz = max(int(np.sum(dyz[i] < r)) - 1, 0)
        nz = marginal_count(zs, z[i], r)
        terms.append((digamma(float(nz) + 1.0) - digamma(float(nxz) + 1.0)) - digamma(float(nyz) + 1.0))
    return fixed_split_sum(terms)


def ksg_cmi(x, y, z, k, normalize):
    n = len(x)
    i = cmi_terms_sum(x, y, z, k) / n + digamma(float(k))
    i = 0.0 if math.isnan(i) else max(i, 0.0)
    if normalize:
        h_xz = entropy(k, x, z)
        h_yz = entropy(k, y, z)
        h_z = entropy(k, z)
        product = (h_yz - h_z) * (h_xz - h_z)
        d = math.sqrt(product) if product >= 0 else math.nan
        if math.isfinite(d) and d >= 1e-10:
            i = min(1.0, i / d)
    return i


def ksg_ii(x, y, z, k, normalize):
    n = len(x)
    i_xy = (digamma(float(k)) + digamma(float(n))) - mi_terms_sum(x, y, k) / n
    i_xyz = cmi_terms_sum(x, y, z, k) / n + digamma(float(k))
    ii = i_xyz - i_xy
    if normalize:
        d = abs(i_xy) + abs(i_xyz)
        return 0.0 if d < 1e-10 else ii / d
    return ii


def kl_h_1d(x, k):
    """kl_h in O(n k) for large one-dimensional samples.

    In one dimension the k + 1 points nearest to a point (itself included) form a run of consecutive
    positions in sorted order, so the k-th neighbour distance is the (k+1)-th smallest distance to the 2k + 1
    sorted neighbours around it. Logarithms are summed in index order, as the module does.
    """
    x = np.asarray(x, dtype=np.float64)
    n = len(x)
    order = np.argsort(x, kind="stable")
    s = x[order]
    padded = np.concatenate([np.full(k, np.inf), s, np.full(k, np.inf)])
    windows = np.lib.stride_tricks.sliding_window_view(padded, 2 * k + 1)
    distances = np.abs(windows - s[:, None])
    kth_sorted = np.partition(distances, k, axis=1)[:, k]
    kth = np.empty(n)
    kth[order] = kth_sorted
    logs = np.log(np.maximum(kth, FLOOR))
    total = float(np.cumsum(logs)[-1]) if n else -0.0
    return total / n + ((digamma(float(n)) - digamma(float(k))) + LN2)
