#!/usr/bin/env python3
"""The coverage figures of the exit's code, from llvm-cov's JSON export.

    coverage_report.py EXPORT.json ROOT EXPLAINED.txt

Prints, for each file of exit/, auth/, log/ and os/, the regions, lines and
branches covered, and a total for each directory. Then lists every branch
side never taken, and checks the list against EXPLAINED.txt, whose lines
read

    FILE | CONDITION | true|false [#N] | reason

CONDITION is the condition's source text, spaces squeezed; #N tells apart
the Nth same condition of a file (from 1, left out for the first). Keyed on
the text, not the line, so that an edit elsewhere in the file leaves the
list as it is.

Exit status 1 when a side is uncovered and not explained, or when an
explained side is now covered (the entry is stale: delete it), unless its
reason begins with "(race)": a side that only threads meeting at the same
instant take, in some runs and not others. Exit status 1 also when a
directory is below its goal (every branch of exit/ and auth/, 95 % of those
of log/ and os/). The goals count the sides a test can take: every side
but those explained as never taken here (the other platform's side, a
condition decided when compiling, a fault no test can provoke, a race that
did not happen in this run). A side explained as "not yet tested:" is one a
test could take: it counts, as missed. Both figures are printed: all
branches, and the goal's.
"""
import json
import re
import sys

GOALS = {"exit": 100.0, "auth": 100.0, "log": 95.0, "os": 95.0}


def percent(covered, count):
    return 100.0 * covered / count if count else 100.0


def source_text(lines, start_line, start_col, end_line, end_col):
    if start_line == end_line:
        text = lines[start_line - 1][start_col - 1 : end_col - 1]
    else:
        parts = [lines[start_line - 1][start_col - 1 :]]
        parts += lines[start_line : end_line - 1]
        parts.append(lines[end_line - 1][: end_col - 1])
        text = " ".join(parts)
    return re.sub(r"\s+", " ", text).strip()


def read_explained(path):
    explained = {}
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            fields = [field.strip() for field in line.split(" | ")]
            if len(fields) != 4 or not fields[3]:
                sys.exit(f"{path}:{number}: want FILE | CONDITION | SIDE | reason")
            explained[tuple(fields[:3])] = fields[3]
    return explained


def main():
    export_path, root, explained_path = sys.argv[1:4]
    with open(export_path, encoding="utf-8") as f:
        export = json.load(f)
    root = root.rstrip("/") + "/"
    rows = []
    uncovered = []
    totals = {}
    for entry in export["data"][0]["files"]:
        name = entry["filename"]
        if not name.startswith(root):
            continue
        name = name[len(root) :]
        top = name.split("/")[0]
        if top not in GOALS:
            continue
        summary = entry["summary"]
        with open(root + name, encoding="utf-8") as f:
            lines = f.read().split("\n")
        # A condition compiled into several programs is one branch: its
        # counts are added up.
        branches = {}
        for b in entry.get("branches", []):
            key = tuple(b[0:4])
            taken = branches.setdefault(key, [0, 0])
            taken[0] += b[4]
            taken[1] += b[5]
        sides = 2 * len(branches)
        covered_sides = 0
        seen = {}
        for (l1, c1, l2, c2), (true_count, false_count) in sorted(branches.items()):
            text = source_text(lines, l1, c1, l2, c2)
            # Numbered among every condition of the same text, taken or not.
            n = seen.get(text, 0) + 1
            seen[text] = n
            for side, count in (("true", true_count), ("false", false_count)):
                if count:
                    covered_sides += 1
                    continue
                label = side if n == 1 else f"{side} #{n}"
                uncovered.append(((name, text, label), l1))
        regions = summary["regions"]
        line_summary = summary["lines"]
        rows.append(
            (name, regions["covered"], regions["count"], line_summary["covered"],
             line_summary["count"], covered_sides, sides))
        t = totals.setdefault(top, [0] * 6)
        for i, v in enumerate(rows[-1][1:]):
            t[i] += v

    print(f"{'file':28} {'regions':>15} {'lines':>15} {'branches':>15}")

    def row(label, rc, rn, lc, ln, bc, bn):
        print(f"{label:28} {percent(rc, rn):6.1f}% {rc:3}/{rn:<4} "
              f"{percent(lc, ln):6.1f}% {lc:3}/{ln:<4} {percent(bc, bn):6.1f}% {bc:3}/{bn:<4}")

    for r in sorted(rows):
        row(*r)
    explained = read_explained(explained_path)

    def untakeable(key):
        reason = explained.get(key)
        return reason is not None and not reason.startswith("not yet tested:")

    # Per directory: the sides never taken that no test can take here.
    excluded = {}
    for key, _ in uncovered:
        if untakeable(key):
            top = key[0].split("/")[0]
            excluded[top] = excluded.get(top, 0) + 1

    failed = False
    below = []
    all_totals = [0] * 6
    goal_figures = {}
    print()
    for top in GOALS:
        t = totals.get(top, [0] * 6)
        all_totals = [a + b for a, b in zip(all_totals, t)]
        row(top + "/", *t)
        takeable = t[5] - excluded.get(top, 0)
        goal_percent = percent(t[4], takeable)
        goal_figures[top] = goal_percent
        print(f"{'':28} goal {GOALS[top]:g} %: {goal_percent:.1f} % of the {takeable} sides "
              f"a test can take here ({excluded.get(top, 0)} explained as never taken)")
        if goal_percent + 1e-9 < GOALS[top]:
            print(f"!! {top}/: {goal_percent:.1f} % of the sides a test can take, below the goal "
                  f"of {GOALS[top]:g} %")
            below.append(top + "/")
            failed = True
    row("all four", *all_totals)
    figures = ", ".join(
        f"{top}/ {percent(totals.get(top, [0] * 6)[4], totals.get(top, [0] * 6)[5]):.1f} % "
        f"(goal's count {goal_figures[top]:.1f} %)"
        for top in GOALS)
    summary = (f"branches {figures}; all four: regions "
               f"{percent(all_totals[0], all_totals[1]):.1f} %, lines "
               f"{percent(all_totals[2], all_totals[3]):.1f} %, branches "
               f"{percent(all_totals[4], all_totals[5]):.1f} %")

    print(f"\nbranch sides never taken: {len(uncovered)}")
    unexplained = 0
    for key, line in sorted(uncovered):
        reason = explained.pop(key, None)
        mark = "explained" if reason else "NOT EXPLAINED"
        print(f"  {key[0]}:{line}: {key[1]} -> {key[2]}: {mark}" + (f" ({reason})" if reason else ""))
        if reason is None:
            unexplained += 1
            print(f"     to explain, add: {key[0]} | {key[1]} | {key[2]} | <why no test takes it>")
    if unexplained:
        print(f"!! {unexplained} branch sides never taken and not explained in {explained_path}")
        failed = True
    for key, reason in explained.items():
        if reason.startswith("(race)"):
            continue  # taken only when threads meet there: either way is right
        print(f"!! {explained_path}: {' | '.join(key)}: now taken, or gone: delete the entry")
        failed = True
    goals = "every goal met" if not below else "below the goal: " + " ".join(below)
    print(f"summary: {summary}; {goals}; {len(uncovered)} sides never taken, "
          f"{len(uncovered) - unexplained} of them explained")
    print("coverage: " + ("FAILED" if failed else "every side never taken is explained"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
