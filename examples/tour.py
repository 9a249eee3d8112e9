"""A tour of quorlix: all seven measures on a handful of dependence shapes, side by side.

Run it with `python3 examples/tour.py`. It prints one table; when matplotlib is installed it also saves a
figure of the data shapes annotated with the measures (`--figure PATH`, default quorlix-tour.png;
`--no-figure` skips it). All data are generated from a fixed seed, so every run prints the same numbers,
and nothing needs the network.
"""

from __future__ import annotations

import argparse
import math
import sys
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Callable, NamedTuple

import numpy as np
import numpy.typing as npt
from quorlix import info, stats

Array = npt.NDArray[np.float64]


class Shape(NamedTuple):
    """One data set: y depends on x in some way; z is a third variable for the conditional measures."""

    name: str
    story: str
    x: Array
    y: Array
    z: Array
    z_role: str


@dataclass(frozen=True)
class Measures:
    """Every quorlix measure for one Shape. Entropy and information values are in nats."""

    pearson: tuple[float, float]
    spearman: tuple[float, float]
    phi: tuple[float, float]
    entropy_y: float
    mi: float
    mi_normalized: float
    cmi: float
    ii: float


def make_shapes(n: int = 2000, seed: int = 2026) -> list[Shape]:
    """Generates the tour's data sets, each with n points, from one seeded generator."""
    rng = np.random.default_rng(seed)

    def normal(scale: float = 1.0) -> Array:
        return rng.normal(scale=scale, size=n)

    def uniform(low: float, high: float) -> Array:
        return rng.uniform(low, high, size=n)

    shapes: list[Shape] = []

    def pair(name: str, story: str, x: Array, y: Array) -> None:
        # For the two-variable shapes z is independent noise: conditioning on it should change nothing.
        shapes.append(Shape(name, story, x, y, normal(), "independent noise"))

    x = normal()
    pair("linear", "y = 0.8 x + noise", x, 0.8 * x + normal(0.6))
    x = normal()
    pair("monotone", "y = exp(2 x) + noise", x, np.exp(2.0 * x) + normal(1.0))
    x = uniform(-2.0, 2.0)
    pair("u-shaped", "y = x^2 + noise", x, x * x + normal(0.3))
    x = uniform(-math.pi, math.pi)
    pair("sinusoidal", "y = cos(3 x) + noise", x, np.cos(3.0 * x) + normal(0.2))
    angle = uniform(0.0, 2.0 * math.pi)
    pair(
        "circular", "points near the unit circle", np.cos(angle) + normal(0.05), np.sin(angle) + normal(0.05)
    )
    pair("independent", "x and y unrelated", normal(), normal())

    x = normal()
    z = x + normal(0.5)
    y = z + normal(0.5)
    shapes.append(Shape("chain", "x -> z -> y", x, y, z, "mediator: x reaches y only through z"))

    x = normal()
    y = normal()
    z = x + y + normal(0.1)
    shapes.append(
        Shape("synergy", "x, y independent; z = x + y", x, y, z, "z = x + y: knowing z couples x and y")
    )
    return shapes


def measure(shape: Shape, k: int = 3) -> Measures:
    """Computes the seven measures for one shape. phi uses the split of each variable at its median."""
    x, y, z = shape.x, shape.y, shape.z
    return Measures(
        pearson=stats.pearson_corr(x, y),
        spearman=stats.spearman_corr(x, y),
        phi=stats.phi_coef(x > np.median(x), y > np.median(y)),
        entropy_y=info.kl_h(y, k),
        mi=info.ksg_mi(x, y, k, False),
        mi_normalized=info.ksg_mi(x, y, k, True),
        cmi=info.ksg_cmi(x, y, z, k, False),
        ii=info.ksg_ii(x, y, z, k, False),
    )


def format_p(p: float) -> str:
    """A p-value in at most 7 characters: three decimals, or an exponent for small values."""
    if p == 0.0:
        return "0.0"
    if p < 1e-3:
        return f"{p:.0e}"
    return f"{p:.3f}"


def signed(value: float, digits: int = 2) -> str:
    """value with an explicit sign, except that anything rounding to zero prints as an unsigned zero."""
    text = f"{value:+.{digits}f}"
    return text[1:] if float(text) == 0.0 else text


# (title, width, value) for every column after the shape's name.
Column = tuple[str, int, Callable[[Measures], str]]
COLUMNS: list[Column] = [
    ("r", 6, lambda m: signed(m.pearson[0], 3)),
    ("p", 7, lambda m: format_p(m.pearson[1])),
    ("rho", 6, lambda m: signed(m.spearman[0], 3)),
    ("p", 7, lambda m: format_p(m.spearman[1])),
    ("phi", 6, lambda m: signed(m.phi[0], 3)),
    ("p", 7, lambda m: format_p(m.phi[1])),
    ("H(y)", 6, lambda m: f"{m.entropy_y:.3f}"),
    ("I(x;y)", 6, lambda m: f"{m.mi:.3f}"),
    ("I norm", 6, lambda m: f"{m.mi_normalized:.3f}"),
    ("I(x;y|z)", 8, lambda m: f"{m.cmi:.3f}"),
    ("II", 6, lambda m: signed(m.ii, 3)),
]

LEGEND = """\
r, rho, phi   Pearson, Spearman and phi correlation, each followed by its p-value; phi compares x and y
              split at their medians. p = 0.0 means smaller than double precision resolves (about 1e-16)
H(y)          Kozachenko-Leonenko entropy of y               (quorlix.info.kl_h)
I(x;y)        KSG mutual information, clamped at 0           (quorlix.info.ksg_mi, normalize=False)
I norm        I(x;y) / sqrt(H(x) H(y)), capped at 1          (quorlix.info.ksg_mi, normalize=True)
              (I(x;y) itself when H(x) and H(y) have opposite signs)
I(x;y|z)      KSG conditional mutual information given z     (quorlix.info.ksg_cmi)
II            interaction information I(x;y|z) - I(x;y)      (quorlix.info.ksg_ii)
Entropies and informations are in nats."""


def format_table(shapes: Sequence[Shape], results: Sequence[Measures]) -> str:
    """The side-by-side table of every measure, one row per shape, followed by the legend."""
    name_width = max(len(s.name) for s in shapes)
    header = " ".join([f"{'shape':<{name_width}}"] + [f"{title:>{width}}" for title, width, _ in COLUMNS])
    lines = [header, "-" * len(header)]
    for shape, result in zip(shapes, results):
        cells = [f"{value(result):>{width}}" for _, width, value in COLUMNS]
        lines.append(" ".join([f"{shape.name:<{name_width}}"] + cells))
    return "\n".join(lines + ["", LEGEND])


NOTES = """\
What to notice:
- linear: every measure sees the dependence; r and rho agree.
- monotone: rho is well above r: ranks and information ignore the curvature, Pearson's r does not.
- u-shaped, sinusoidal, circular: r, rho and phi are near 0, yet I(x;y) is clearly positive.
- independent: p-values are large and I(x;y) is near 0 (the estimate is clamped at 0, never negative).
- chain x -> z -> y: I(x;y) is large, but given the mediator z it nearly vanishes, so II is negative.
- synergy: x and y are independent (I(x;y) near 0), but given z = x + y they determine each other: II > 0.
- For the first six shapes z is independent noise: the true I(x;y|z) equals I(x;y) and the true II is 0. The
  estimates fall short of that where I(x;y) is large: nearest-neighbour estimators are biased downwards in
  three dimensions, more so for strong dependence and few points.
- I norm reaches its cap 1.0 whenever I(x;y) >= sqrt(H(x) H(y)); differential entropies can be small or
  negative, so read it as a scale, not a fraction of anything."""


def annotation(result: Measures) -> str:
    """The text under one panel of the figure: every measure with its unit."""
    return "\n".join(
        [
            f"r {signed(result.pearson[0])}, rho {signed(result.spearman[0])}, "
            f"phi {signed(result.phi[0])} (no unit)",
            f"H(y) {result.entropy_y:.2f} nats, I(x;y) {result.mi:.2f} nats",
            f"I norm {result.mi_normalized:.2f} (no unit, at most 1)",
            f"I(x;y|z) {result.cmi:.2f} nats, II {signed(result.ii)} nats",
        ]
    )


def save_figure(shapes: Sequence[Shape], results: Sequence[Measures], path: str) -> bool:
    """Draws every shape as a scatter plot with its measures below; returns False when matplotlib is missing."""
    try:
        import matplotlib

        matplotlib.use("Agg")  # files only: no display is needed or opened
        import matplotlib.pyplot as plt
    except ImportError:
        return False

    columns = 4
    rows = (len(shapes) + columns - 1) // columns
    fig, axes = plt.subplots(rows, columns, figsize=(4.6 * columns, 5.0 * rows), squeeze=False)
    # The measures go under each plot rather than over it, so that no text hides any data.
    fig.subplots_adjust(left=0.05, right=0.98, top=0.92, bottom=0.15, wspace=0.38, hspace=0.8)
    for index, (shape, result) in enumerate(zip(shapes, results)):
        ax = axes[index // columns][index % columns]
        if shape.z_role == "independent noise":
            ax.scatter(shape.x, shape.y, s=3, alpha=0.4, color="tab:blue", rasterized=True)
        else:
            points = ax.scatter(shape.x, shape.y, s=3, alpha=0.6, c=shape.z, cmap="viridis", rasterized=True)
            bar = fig.colorbar(points, ax=ax, pad=0.03, fraction=0.07)
            bar.ax.set_title("z", fontsize=9)  # above the bar, clear of the next panel
        ax.set_title(f"{shape.name}: {shape.story}", fontsize=10)
        ax.set_xlabel("x")
        ax.set_ylabel("y")
        if shape.name == "monotone":
            # exp(2 x) spans three decades: on a linear axis most points would lie on one flat line.
            ax.set_yscale("symlog", linthresh=3.0)
            ax.set_yticks([-3.0, 0.0, 3.0, 10.0, 100.0, 1000.0], ["-3", "0", "3", "10", "100", "1000"])
            ax.set_ylabel("y (linear to 3, then log)")
        if shape.name == "circular":
            ax.set_aspect("equal", adjustable="datalim")
        ax.text(
            0.0,
            -0.2,
            annotation(result),
            transform=ax.transAxes,
            va="top",
            fontsize=8,
            family="monospace",
        )
    for index in range(len(shapes), rows * columns):
        axes[index // columns][index % columns].set_visible(False)
    fig.suptitle("quorlix: dependence measures on eight shapes (chain and synergy coloured by z)")
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="Compare all seven quorlix measures on generated data.")
    parser.add_argument("--n", type=int, default=2000, help="points per data set (default 2000)")
    parser.add_argument("--k", type=int, default=3, help="neighbour count of the estimators (default 3)")
    parser.add_argument("--seed", type=int, default=2026, help="seed of the data generator (default 2026)")
    parser.add_argument("--figure", default="quorlix-tour.png", help="where to save the figure")
    parser.add_argument("--no-figure", action="store_true", help="do not draw the figure")
    args = parser.parse_args(argv)
    if args.n < 3:
        parser.error("--n must be at least 3")
    if not 1 <= args.k < args.n:
        parser.error("--k must satisfy 1 <= k < n")
    return args


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    shapes = make_shapes(args.n, args.seed)
    results = [measure(shape, args.k) for shape in shapes]
    print(f"quorlix tour: {len(shapes)} data sets of n = {args.n} points, k = {args.k}, seed = {args.seed}\n")
    print(format_table(shapes, results))
    print()
    print(NOTES)
    if not args.no_figure:
        if save_figure(shapes, results, args.figure):
            print(f"\nFigure saved to {args.figure}")
        else:
            print(
                "\nmatplotlib is not installed, so no figure was drawn (pip install matplotlib to get one)."
            )
    return 0


if __name__ == "__main__":
    sys.exit(main())
