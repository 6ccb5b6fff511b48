#!/usr/bin/env python3
"""Small faults put into the exit's code one at a time, to see that the fast
suites catch each of them.

    mutate.py [--percent P] [--budget SECONDS] [--list] [--only TEXT]
              [--listed] [--work DIR] [--jobs N]

The tree (without .git or build directories) is copied to WORK/src and
built there (RelWithDebInfo, WORK/src/build: the same place relative to the
sources as the checkout's build/, so that a compiler cache given in
CMAKE_C_COMPILER_LAUNCHER and CMAKE_CXX_COMPILER_LAUNCHER finds the objects
the two builds share); the checkout is never written. Each
mutant changes one place of one file of exit/, auth/ or log/:

    ==  to !=,  != to ==,  <  to <=,  >  to >=,  <= to <,  >= to >
    &&  to ||,  || to &&,  a ! dropped
    a decimal constant moved by 1
    a call statement deleted

Comments, strings and preprocessor lines are left alone, and so is code the
build does not compile on this platform (log/sink_windows.cpp). Each mutant
is built incrementally and run against the fast suites, fail-fast, with a
timeout: exit_tests, unit_tests, then exit_tests' cases that need the
preloaded allocator. It is killed when a suite fails, survives when all
pass, times out, or does not compile (counted apart, not as killed). The
file is restored after each mutant, also when interrupted.

Which mutants run is fixed by the mutants themselves: a mutant runs when the
SHA-1 of its key, as a number, modulo 100 is below P (--percent, default
100). The same tree gives the same mutants; an edit adds or drops only the
mutants of the lines it touches. With --budget, the mutants still waiting
when that many seconds have gone (the unmutated build included) are not
run, and are counted as "not run" beside killed, survived, timed out and
did not compile. --listed runs only the mutants the list below names.

A survivor must be listed in scripts/mutants-equivalent.txt, whose lines
read "KEY | reason", KEY being what this script prints for the mutant (a
reason that begins "not yet killed" names a test owed, and explains
nothing):

    FILE | MUTATION | LINE

MUTATION names the change and which match on the line it is (@1 is the
first); LINE is the line as written, spaces squeezed, with #N after it for
the Nth same line of the file. Exit status 1 on an unexplained survivor,
on a listed mutant that was killed, or on a listed mutant that no longer
exists.
"""
import argparse
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXPLAINED = os.path.join(ROOT, "scripts", "mutants-equivalent.txt")
DIRECTORIES = ("exit", "auth", "log")
LEFT_OUT = {"log/sink_windows.cpp", "exit/ident.cpp"}

# (name, pattern, replacement): the pattern's match is replaced.
OPERATORS = [
    ("== to !=", re.compile(r"(?<=\s)==(?=\s)"), "!="),
    ("!= to ==", re.compile(r"(?<=\s)!=(?=\s)"), "=="),
    ("< to <=", re.compile(r"(?<=\s)<(?=\s)"), "<="),
    ("> to >=", re.compile(r"(?<=\s)>(?=\s)"), ">="),
    ("<= to <", re.compile(r"(?<=\s)<=(?=\s)"), "<"),
    (">= to >", re.compile(r"(?<=\s)>=(?=\s)"), ">"),
    ("&& to ||", re.compile(r"(?<=\s)&&(?=\s)"), "||"),
    ("|| to &&", re.compile(r"(?<=\s)\|\|(?=\s)"), "&&"),
    ("drop !", re.compile(r"!(?=[\w(*])"), ""),
]
CONSTANT = re.compile(r"(?<![\w.])(\d+)(?![\w.'])")
CALL_STATEMENT = re.compile(r"^\s*(?:[A-Za-z_][\w:]*(?:\.|->))*[A-Za-z_][\w:]*\(.*\);\s*$")
NOT_A_CALL = re.compile(r"^\s*(return|if|while|for|switch|case|static_assert|sizeof)\b")


def masked(line):
    """The line with string and character literals blanked and any // comment
    cut off, so that only code is matched; columns are kept."""
    out = []
    i = 0
    quote = None
    while i < len(line):
        ch = line[i]
        if quote:
            if ch == "\\":
                out.append("  ")
                i += 2
                continue
            out.append(" " if ch != quote else ch)
            if ch == quote:
                quote = None
        elif ch in "\"'" and not (ch == "'" and i > 0 and line[i - 1].isalnum()):
            quote = ch
            out.append(ch)
        elif line.startswith("//", i):
            break
        else:
            out.append(ch)
        i += 1
    return "".join(out).ljust(len(line))[: len(line)]


def code_lines(text):
    """(number, line, code) for each line that holds code."""
    in_block = False
    for number, line in enumerate(text.split("\n"), 1):
        code = masked(line)
        if in_block:
            end = code.find("*/")
            if end < 0:
                continue
            code = " " * (end + 2) + code[end + 2 :]
            in_block = False
        start = code.find("/*")
        if start >= 0:
            end = code.find("*/", start + 2)
            if end < 0:
                in_block = True
                code = code[:start]
            else:
                code = code[:start] + " " * (end + 2 - start) + code[end + 2 :]
        if not code.strip() or code.lstrip().startswith("#"):
            continue
        yield number, line, code


def mutants_of(path, text):
    """Every mutant of one file: (key, line number, new line)."""
    seen_lines = {}
    lines = list(code_lines(text))
    for number, line, code in lines:
        squeezed = re.sub(r"\s+", " ", line).strip()
        n = seen_lines.get(squeezed, 0) + 1
        seen_lines[squeezed] = n
        line_key = squeezed if n == 1 else f"{squeezed} #{n}"

        def key(mutation):
            return f"{path} | {mutation} | {line_key}"

        for name, pattern, replacement in OPERATORS:
            for k, m in enumerate(pattern.finditer(code), 1):
                yield key(f"{name} @{k}"), number, line[: m.start()] + replacement + line[m.end() :]
        # Array sizes and template arguments move too: a build failure
        # there is counted as "did not compile".
        for k, m in enumerate(CONSTANT.finditer(code), 1):
            value = int(m.group(1))
            yield (key(f"{value} to {value + 1} @{k}"), number,
                   line[: m.start()] + str(value + 1) + line[m.end() :])
        if (CALL_STATEMENT.match(code) and not NOT_A_CALL.match(code)
                and code.count("(") == code.count(")")):
            indent = line[: len(line) - len(line.lstrip())]
            yield key("call deleted @1"), number, indent + ";"


def all_mutants():
    found = []
    for directory in DIRECTORIES:
        for name in sorted(os.listdir(os.path.join(ROOT, directory))):
            path = f"{directory}/{name}"
            if not name.endswith(".cpp") or path in LEFT_OUT:
                continue
            with open(os.path.join(ROOT, path), encoding="utf-8") as f:
                text = f.read()
            for key, number, new_line in mutants_of(path, text):
                found.append((path, key, number, new_line))
    return found


def chosen(key, percent):
    return int(hashlib.sha1(key.encode()).hexdigest(), 16) % 100 < percent


def read_explained():
    explained = {}
    with open(EXPLAINED, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            key, sep, reason = line.rpartition(" | ")
            if not sep or not reason.strip() or key.count(" | ") < 2:
                sys.exit(f"{EXPLAINED}:{number}: want FILE | MUTATION | LINE | reason")
            explained[key] = reason.strip()
    return explained


def sync_tree(source, target):
    """Makes target a copy of source (no .git, no build directories),
    writing only the files that differ, so that their times tell the build
    what changed."""
    wanted = set()
    for directory, subdirectories, files in os.walk(source):
        relative = os.path.relpath(directory, source)
        if relative == ".":
            subdirectories[:] = [d for d in subdirectories
                                 if d != ".git" and not d.startswith("build")]
        for name in files:
            path = os.path.normpath(os.path.join(relative, name))
            wanted.add(path)
            to = os.path.join(target, path)
            with open(os.path.join(source, path), "rb") as f:
                content = f.read()
            if os.path.exists(to):
                with open(to, "rb") as f:
                    if f.read() == content:
                        continue
            os.makedirs(os.path.dirname(to), exist_ok=True)
            shutil.copy2(os.path.join(source, path), to)
    for directory, subdirectories, files in os.walk(target):
        if directory == target:
            subdirectories[:] = [d for d in subdirectories if not d.startswith("build")]
        for name in files:
            path = os.path.relpath(os.path.join(directory, name), target)
            if path not in wanted:
                os.remove(os.path.join(target, path))


def run(command, log, timeout=None, env=None, cwd=None):
    """The command's status, or None when it ran out of time."""
    try:
        return subprocess.run(command, stdout=log, stderr=subprocess.STDOUT, timeout=timeout,
                              env=env, cwd=cwd).returncode
    except subprocess.TimeoutExpired:
        return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--percent", type=int, default=int(os.environ.get("TARVELO_MUTANTS_PERCENT", 100)))
    parser.add_argument("--budget", type=int, default=0, help="seconds; 0: no limit")
    parser.add_argument("--list", action="store_true", help="print the chosen mutants, run none")
    parser.add_argument("--only", default="", help="run only the mutants whose key holds this")
    parser.add_argument("--listed", action="store_true",
                        help="run only the mutants listed in " + os.path.relpath(EXPLAINED, ROOT))
    parser.add_argument("--work", default=os.path.join(ROOT, "build-mutation"))
    parser.add_argument("--jobs", default=os.environ.get("TARVELO_JOBS", "2"))
    args = parser.parse_args()
    started = time.monotonic()

    everything = all_mutants()
    listed = read_explained() if args.listed else None
    mutants = [m for m in everything if chosen(m[1], args.percent) and args.only in m[1] and
               (listed is None or m[1] in listed)]
    print(f"mutants: {len(everything)} in all; {len(mutants)} chosen "
          f"(SHA-1 of the key modulo 100 below {args.percent})")
    if args.list:
        for _, key, number, _ in mutants:
            print(f"  {key}  (line {number})")
        return 0

    work = os.path.abspath(args.work)
    src = os.path.join(work, "src")
    build = os.path.join(src, "build")
    os.makedirs(work, exist_ok=True)
    # The copy is brought up to date, not made anew, so that the build in
    # it stays incremental from one run to the next.
    sync_tree(ROOT, src)
    log_path = os.path.join(work, "log.txt")
    log = open(log_path, "w", encoding="utf-8")
    launchers = [f"-D{name}={os.environ.get(name, '')}"
                 for name in ("CMAKE_C_COMPILER_LAUNCHER", "CMAKE_CXX_COMPILER_LAUNCHER")]
    if run(["cmake", "-S", src, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
            "-DTARVELO_BUILD_TOOLS=OFF"] + launchers, log) != 0:
        print(f"!! configure failed: {log_path}")
        return 1
    targets = ["tarvelo", "unit_tests", "exit_tests", "failing_malloc"]
    build_command = ["cmake", "--build", build, "-j", args.jobs, "--target"] + targets
    if run(build_command, log) != 0:
        print(f"!! the unmutated tree does not build: {log_path}")
        return 1
    tests = os.path.join(build, "tests")
    # The German locale the log tests compile when the machine lacks it,
    # compiled once here: a second each test run would cost every mutant.
    environment = dict(os.environ)
    locales = os.path.join(work, "locales")
    if not os.path.isdir(os.path.join(locales, "de_DE.UTF-8")):
        os.makedirs(locales, exist_ok=True)
        run(["localedef", "-i", "de_DE", "-f", "UTF-8", os.path.join(locales, "de_DE.UTF-8")], log)
    if os.path.isdir(os.path.join(locales, "de_DE.UTF-8")):
        environment["LOCPATH"] = locales
    preload = dict(environment, LD_PRELOAD=os.path.join(tests, "libfailing_malloc.so"))
    suites = [
        ([os.path.join(tests, "exit_tests"), "--gtest_filter=-AllocationFailure.*"], environment),
        ([os.path.join(tests, "unit_tests")], environment),
        ([os.path.join(tests, "exit_tests"), "--gtest_filter=AllocationFailure.*"], preload),
    ]
    suites = [([c[0], "--gtest_fail_fast", "--gtest_brief=1"] + c[1:], e) for c, e in suites]
    # The suites run in a directory of their own: a mutant that misreads
    # the exit data may write log files wherever it runs.
    scratch = os.path.join(work, "run")
    os.makedirs(scratch, exist_ok=True)
    t = time.monotonic()
    for command, env in suites:
        if run(command, log, env=env, cwd=scratch) != 0:
            print(f"!! the unmutated tree fails its tests: {log_path}")
            return 1
    baseline = time.monotonic() - t
    timeout = 3 * baseline + 10
    print(f"unmutated: built and passed in {time.monotonic() - started:.0f} s; "
          f"the suites take {baseline:.1f} s, so each mutant gets {timeout:.0f} s")

    # Interrupted or stopped: the file being mutated is restored on the way out.
    signal.signal(signal.SIGTERM, lambda *_: (_ for _ in ()).throw(KeyboardInterrupt()))
    explained = read_explained()
    counts = {"killed": 0, "survived": 0, "timed out": 0, "did not compile": 0,
              "equivalent": 0, "not run": 0}
    unexplained = []
    wrongly_listed = []
    for index, (path, key, number, new_line) in enumerate(mutants):
        if args.budget and time.monotonic() - started > args.budget:
            counts["not run"] = len(mutants) - index
            break
        file_path = os.path.join(src, path)
        with open(file_path, encoding="utf-8") as f:
            original = f.read()
        lines = original.split("\n")
        lines[number - 1] = new_line
        try:
            with open(file_path, "w", encoding="utf-8") as f:
                f.write("\n".join(lines))
            print(f"== {key}", file=log, flush=True)
            if run(build_command, log) != 0:
                outcome = "did not compile"
            else:
                outcome = "survived"
                # The unit tests first where they call the mutated code directly.
                order = suites if path.startswith("exit/") else [suites[1], suites[0], suites[2]]
                for command, env in order:
                    status = run(command, log, timeout=timeout, env=env, cwd=scratch)
                    if status is None:
                        outcome = "timed out"
                        break
                    if status != 0:
                        outcome = "killed"
                        break
        finally:
            with open(file_path, "w", encoding="utf-8") as f:
                f.write(original)
        # "not yet killed" names a test still owed: no explanation.
        if outcome == "survived" and key in explained and \
                not explained[key].startswith("not yet killed"):
            outcome = "equivalent"
        elif outcome != "survived" and key in explained:
            wrongly_listed.append((key, outcome))
        counts[outcome] += 1
        if outcome == "survived":
            unexplained.append((key, number))
        print(f"  {outcome:16} {key}", flush=True)
    log.close()

    # An entry must name a mutant that still exists.
    existing = {m[1] for m in everything}
    gone = [key for key in explained if key not in existing]
    elapsed = time.monotonic() - started
    print(f"\nmutants: {len(mutants) - counts['not run']} run of {len(mutants)} chosen of {len(everything)}: " +
          ", ".join(f"{v} {k}" for k, v in counts.items()) + f"; {elapsed:.0f} s")
    failed = False
    for key, number in unexplained:
        print(f"!! survived, not explained (line {number}): {key}")
        failed = True
    for key, outcome in wrongly_listed:
        print(f"!! listed as equivalent but {outcome}: {key}")
        failed = True
    for key in gone:
        print(f"!! listed as equivalent but no longer in the code: {key}")
        failed = True
    if counts["not run"]:
        print(f"NOTE: the budget of {args.budget} s ran out: {counts['not run']} mutants not run")
    print("mutation: " + ("FAILED" if failed else "no unexplained survivor"))
    return 1 if failed else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        print("interrupted: the copy's sources are restored")
        sys.exit(130)
