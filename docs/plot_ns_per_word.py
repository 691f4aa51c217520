"""Draw docs/ns-per-word.png: nanoseconds per word for each interpreter and
workload, from the benchmark table of docs/performance.md.

Usage: python docs/plot_ns_per_word.py [OUTPUT]   (needs matplotlib)

The table gives ratios to the C loop; a case's time per word is its ratio
times the C loop's nanoseconds per word for the same workload and column.
The rows measured against another base (the C loop plus str.lower) are
left out. The PNG carries a digest of the figures it was drawn from, so
that tests/test_docs.py can tell when the table has changed and the plot
has not been redrawn: run this script again after editing the table.
"""

import hashlib
import json
import re
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
PAGE = HERE / "performance.md"
OUTPUT = HERE / "ns-per-word.png"
DIGEST_KEY = "Figures-SHA256"
C_LOOP = "C loop, ns per word"


def read_table(page=PAGE):
    """{workload: {call: [ns per word, one per interpreter]}} and the
    interpreters' names, read from the table whose header is
    "| workload | call | 3.11 | ...": the C loop's row as written, every
    other numeric row as its ratio times the C loop's figure."""
    rows = [line.strip().strip("|").split("|")
            for line in page.read_text(encoding="utf-8").splitlines()
            if line.startswith("|")]
    rows = [[cell.strip() for cell in row] for row in rows]
    start = next(i for i, row in enumerate(rows)
                 if row[:2] == ["workload", "call"])
    versions = rows[start][2:]
    table = {}
    for row in rows[start + 1:]:
        if row[:2] == ["workload", "call"] or len(row) != len(rows[start]):
            break
        workload, call, *cells = row
        if set(workload) <= set(":-") or "against" in call:
            continue
        try:
            figures = [float(cell) for cell in cells]
        except ValueError:
            break  # the end of this table
        table.setdefault(workload, {})[call.replace("`", "")] = figures
    for calls in table.values():
        base = calls[C_LOOP]
        for call, figures in calls.items():
            if call != C_LOOP:
                calls[call] = [round(r * ns, 1) for r, ns in zip(figures, base)]
    return table, versions


def digest(table, versions):
    text = json.dumps([table, versions], sort_keys=True)
    return hashlib.sha256(text.encode()).hexdigest()


def colour(call):
    """One colour per way of calling, the same in both panels."""
    for words, name in [("C loop", "0.6"), ("loop of", "tab:green"),
                        ("bytes", "tab:red"), ("cache off", "tab:orange"),
                        ("default cache", "tab:blue")]:
        if words in call:
            return name
    return None


def plot(output=OUTPUT):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    table, versions = read_table()
    # One panel above the other, so that the plot stays legible at the
    # width of a page's text.
    fig, axes = plt.subplots(len(table), 1, figsize=(8, 9.5),
                             layout="constrained")
    for ax, (workload, calls) in zip(axes, table.items()):
        width = 0.8 / len(calls)
        for n, (call, figures) in enumerate(calls.items()):
            positions = [i + (n - (len(calls) - 1) / 2) * width
                         for i in range(len(versions))]
            label = "libstemmer from a C loop" if call == C_LOOP else call
            bars = ax.bar(positions, figures, width, label=label,
                          color=colour(call))
            ax.bar_label(bars, fmt="%.0f", fontsize=8, padding=1)
        ax.set_title(workload)
        ax.set_xticks(range(len(versions)), [f"CPython {v}" for v in versions])
        ax.tick_params(axis="x", labelsize=9)
        ax.set_ylim(0, 1.12 * max(max(f) for f in calls.values()))
        ax.set_ylabel("ns per word (lower is faster)")
        ax.grid(axis="y", alpha=0.3)
        ax.set_axisbelow(True)
        ax.legend(fontsize=9, loc="upper center", ncols=2,
                  bbox_to_anchor=(0.5, -0.07), frameon=False)
    fig.suptitle("Time per word, English, by interpreter and workload")
    fig.savefig(output, dpi=110,
                metadata={DIGEST_KEY: digest(table, versions)})
    return output


if __name__ == "__main__":
    print(plot(Path(sys.argv[1]) if len(sys.argv) > 1 else OUTPUT))
