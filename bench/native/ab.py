"""Two builds of the native parse benchmark against each other, on a noisy machine.

A shared machine's speed drifts by tens of percent from one second to the
next, so the best or median time of each build, taken minutes apart, says
little about a change of a few percent. Here the two builds run in
alternating pairs of short processes, and each file's answer is the median
of its per-pair ratios (B over A), which cancels the drift that both halves
of a pair share. A build against itself shows the noise left.

  cp build/bench/parse_bench /tmp/parse_bench_before     # then rebuild
  python bench/native/ab.py /tmp/parse_bench_before build/bench/parse_bench --pairs 40
"""

from __future__ import annotations

import argparse
import statistics
import subprocess
import sys
from pathlib import Path

DEFAULT_CORPUS = Path(__file__).resolve().parents[2].parent / "shared" / "corpus"


def parse_tsv(out: str) -> dict[str, float]:
    """MB/s per file that was read, from parse_bench's --tsv output."""
    speeds = {}
    for line in out.splitlines()[1:]:
        fields = line.split("\t")
        if len(fields) > 3 and fields[-1] == "ok":
            speeds[fields[0]] = float(fields[3])
    return speeds


def run(binary: str, corpus: str, min_ms: int) -> dict[str, float]:
    """MB/s per file of one single-round run."""
    return parse_tsv(subprocess.run([binary, "--rounds", "1", "--min-ms", str(min_ms), "--tsv", corpus],
                                    capture_output=True, text=True, check=True).stdout)


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("a", help="the parse_bench build to compare against (before)")
    p.add_argument("b", help="the parse_bench build to measure (after)")
    p.add_argument("--pairs", type=int, default=30)
    p.add_argument("--min-ms", type=int, default=40, help="time per file and run")
    p.add_argument("--corpus", default=str(DEFAULT_CORPUS))
    args = p.parse_args(argv)
    if args.pairs < 4:
        p.error("--pairs must be at least 4: the quartiles need them")

    ratios: dict[str, list[float]] = {}
    speeds_a: dict[str, list[float]] = {}
    for _ in range(args.pairs):
        a = run(args.a, args.corpus, args.min_ms)
        b = run(args.b, args.corpus, args.min_ms)
        for name in a.keys() & b.keys():
            ratios.setdefault(name, []).append(b[name] / a[name])
            speeds_a.setdefault(name, []).append(a[name])
    if not ratios:
        print("no file was read by both builds", file=sys.stderr)
        return 1

    print(f"| file | A MB/s (median) | B/A (median of {args.pairs} pairs) | B/A quartiles |")
    print("|---|---|---|---|")
    medians = []
    for name in sorted(ratios, key=lambda n: statistics.median(speeds_a[n])):
        r = ratios[name]
        q1, _, q3 = statistics.quantiles(r, n=4)
        medians.append(statistics.median(r))
        print(f"| {name} | {statistics.median(speeds_a[name]):.1f} | {medians[-1]:.3f}x | {q1:.3f} to {q3:.3f} |")
    print(f"median over files: {statistics.median(medians):.3f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
