#!/usr/bin/env python3
"""clang-tidy over every translation unit of a build, reading again only
what changed since a clean read.

    clang_tidy_cached.py BUILD_DIR ROOT [--cache DIR] [--jobs N] [--log FILE]

A translation unit that clang-tidy read without a finding is written down in
the cache under a key of everything that read depended on:

  - the text of the file and of every header it includes, as the compiler's
    dependency scan (clang-scan-deps, else the compiler's -M) finds them,
    system headers included, each with its path;
  - the compile command, with ROOT written as a placeholder, so that two
    clones at different paths share their keys;
  - every .clang-tidy file of the tree (the checks, the header filter);
  - clang-tidy's version.

A unit whose key is found is not read again. Every other unit is read
(clang-tidy -p BUILD_DIR -quiet, N at a time), and only one that gave no
finding (status 0 and no "warning:" or "error:" line) is written down: a
unit with findings is read again by every run until it is clean. Without
--cache every unit is read.

Prints each finding's line once, sorted, and last a line

    clang-tidy: UNITS translation units, READ read, KEPT unchanged since a clean read[, FINDINGS with findings]

Exit status 1 on any finding or a unit clang-tidy could not read, 2 on a
scan that failed.
"""
import argparse
import concurrent.futures
import hashlib
import json
import os
import re
import shlex
import subprocess
import sys

TIDY = "clang-tidy"


def arguments_of(entry):
    if "arguments" in entry:
        return list(entry["arguments"])
    return shlex.split(entry["command"])


def make_rule_paths(text):
    """The prerequisites of a make rule as the compiler writes it: escaped
    spaces kept, line continuations joined."""
    text = text.replace("\\\n", " ")
    _, _, prerequisites = text.partition(": ")
    paths = []
    for word in re.findall(r"(?:\\ |[^\s])+", prerequisites):
        paths.append(word.replace("\\ ", " "))
    return paths


def dependencies_by_scan(build, jobs):
    """{(file, directory): [paths]} from clang-scan-deps, or None."""
    for tool in ("clang-scan-deps", "clang-scan-deps-14"):
        try:
            result = subprocess.run([tool, "-compilation-database",
                                     os.path.join(build, "compile_commands.json"), "-j", str(jobs)],
                                    capture_output=True, text=True, check=False)
        except FileNotFoundError:
            continue
        if result.returncode != 0:
            return None
        rules = re.split(r"\n(?=\S[^\n]*?: )", result.stdout.strip())
        found = {}
        for rule in rules:
            paths = make_rule_paths(rule)
            if paths:
                found.setdefault(os.path.realpath(paths[0]), []).append(paths)
        return found
    return None


def dependencies_by_compiler(entry):
    """The prerequisites of one unit from the compiler's -M."""
    args = arguments_of(entry)
    command = []
    skip = False
    for arg in args:
        if skip:
            skip = False
            continue
        # -o and the dependency flags that take the next argument (-MF, -MT
        # and its quoting twin).
        if arg == "-o" or (arg[:2] == "-M" and arg[2:] in ("F", "T", "Q")):
            skip = True
            continue
        if arg in ("-c", "-MD", "-MMD") or arg.startswith("-o"):
            continue
        command.append(arg)
    result = subprocess.run(command + ["-M", "-MF", "-"], cwd=entry["directory"],
                            capture_output=True, text=True, check=False)
    if result.returncode != 0:
        return None
    return make_rule_paths(result.stdout)


class Hasher:
    def __init__(self):
        self.known = {}

    def file(self, path):
        path = os.path.realpath(path)
        if path not in self.known:
            digest = hashlib.sha256()
            with open(path, "rb") as f:
                digest.update(f.read())
            self.known[path] = digest.hexdigest()
        return self.known[path]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("build")
    parser.add_argument("root")
    parser.add_argument("--cache", default="")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--log", default="")
    args = parser.parse_args()
    root = os.path.realpath(args.root)
    build = os.path.realpath(args.build)
    with open(os.path.join(build, "compile_commands.json"), encoding="utf-8") as f:
        units = json.load(f)

    def portable(text):
        return text.replace(root, "<root>")

    common = hashlib.sha256()
    common.update(subprocess.run([TIDY, "--version"], capture_output=True, text=True,
                                 check=True).stdout.encode())
    for directory, subdirectories, files in sorted(os.walk(root)):
        subdirectories[:] = sorted(d for d in subdirectories
                                   if d != ".git" and not d.startswith("build"))
        if ".clang-tidy" in files:
            path = os.path.join(directory, ".clang-tidy")
            common.update(portable(path).encode() + b"\0")
            with open(path, "rb") as f:
                common.update(f.read() + b"\0")
    common = common.hexdigest()

    hasher = Hasher()
    keys = [None] * len(units)
    if args.cache:
        scanned = dependencies_by_scan(build, args.jobs) or {}
        for index, entry in enumerate(units):
            source = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
            # The scan's rule names the unit by its file alone: a file compiled
            # twice, with other flags, is asked of the compiler.
            candidates = scanned.get(source, [])
            paths = candidates[0] if len(candidates) == 1 else dependencies_by_compiler(entry)
            if paths is None:
                print(f"!! the dependency scan of {entry['file']} failed")
                return 2
            digest = hashlib.sha256(common.encode())
            digest.update(portable(" ".join(arguments_of(entry))).encode() + b"\0")
            digest.update(portable(entry["directory"]).encode() + b"\0")
            for path in [source] + paths:
                full = os.path.realpath(os.path.join(entry["directory"], path))
                digest.update(portable(full).encode() + b"\0" + hasher.file(full).encode())
            keys[index] = digest.hexdigest()
        os.makedirs(args.cache, exist_ok=True)

    todo = [i for i, key in enumerate(keys)
            if key is None or not os.path.exists(os.path.join(args.cache, key))]
    kept = len(units) - len(todo)

    def read(index):
        entry = units[index]
        result = subprocess.run([TIDY, "-p", build, "-quiet", entry["file"]],
                                capture_output=True, text=True, check=False)
        output = result.stdout + result.stderr
        findings = [line for line in re.sub(r"\x1b\[[0-9;]*m", "", output).splitlines()
                    if re.search(r"(warning|error):", line)]
        clean = result.returncode == 0 and not findings
        if clean and keys[index] is not None:
            path = os.path.join(args.cache, keys[index])
            with open(path + ".part", "w", encoding="utf-8") as f:
                f.write(portable(entry["file"]) + "\n")
            os.replace(path + ".part", path)
        return index, clean, findings, output

    failed = 0
    lines = set()
    log = open(args.log, "w", encoding="utf-8") if args.log else None
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        for index, clean, findings, output in pool.map(read, todo):
            if log:
                log.write(f"== {units[index]['file']}\n{output}\n")
            if not clean:
                failed += 1
                lines.update(findings or [f"{units[index]['file']}: clang-tidy failed:\n{output}"])
    if log:
        log.close()
    for line in sorted(lines):
        print(line)
    summary = (f"clang-tidy: {len(units)} translation units, {len(todo)} read, "
               f"{kept} unchanged since a clean read")
    if failed:
        summary += f", {failed} with findings"
    print(summary)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
