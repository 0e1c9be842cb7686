#!/usr/bin/python3
"""Tries deliberate faults in the tool, one at a time, and tells which of them no test caught.

    scripts/mutate [--list FILE] [--only NAME[,NAME...]] [--check] [--keep]

Each fault of scripts/mutations.txt is applied to a scratch copy of the committed tree (under
build/mutate), the copy is built (RelWithDebInfo, gcc, ccache when installed) and the suites run
(every test except the windowed ones, each at most 120 s). A fault is caught when the build or a test fails.
--check only verifies that every fault still applies to the tree. Slow: every fault rebuilds
what depends on its file; run it by hand, not in CI.
"""
import argparse
import os
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
JOBS = os.environ.get("FLASHWELL_JOBS", "2")
# The windowed tests need a display and take long; the models behind them are tested without.
TEST_EXCLUDE = "gui|window|Window"


def read_faults(path):
    faults = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            parts = [p.strip() for p in line.split(" @@ ")]
            if len(parts) != 5:
                sys.exit(f"{path}:{number}: expected 5 fields separated by ' @@ '")
            name, file, old, new, what = parts
            faults.append({"name": name, "file": file, "old": old.replace("\\n", "\n"),
                           "new": new.replace("\\n", "\n"), "what": what})
    return faults


def applies(tree, fault):
    with open(os.path.join(tree, fault["file"]), encoding="utf-8") as f:
        return f.read().count(fault["old"]) == 1


def run(cmd, cwd, log):
    with open(log, "a", encoding="utf-8") as out:
        out.write("$ " + " ".join(cmd) + "\n")
        out.flush()
        return subprocess.run(cmd, cwd=cwd, stdout=out, stderr=subprocess.STDOUT).returncode


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--list", default=os.path.join(ROOT, "scripts", "mutations.txt"))
    parser.add_argument("--only", default="")
    parser.add_argument("--check", action="store_true")
    parser.add_argument("--keep", action="store_true", help="keep the scratch tree")
    args = parser.parse_args()

    faults = read_faults(args.list)
    if args.only:
        wanted = set(args.only.split(","))
        faults = [f for f in faults if f["name"] in wanted]
    stale = [f["name"] for f in faults if not applies(ROOT, f)]
    if stale:
        sys.exit("faults that no longer apply to the tree: " + ", ".join(stale))
    if args.check:
        print(f"{len(faults)} faults apply")
        return 0

    work = os.path.join(ROOT, "build", "mutate")
    tree = os.path.join(work, "tree")
    build = os.path.join(work, "build")
    log = os.path.join(work, "mutate.log")
    shutil.rmtree(tree, ignore_errors=True)
    os.makedirs(tree)
    open(log, "w").close()
    # The committed tree: uncommitted changes are not part of what is judged.
    archive = subprocess.run(["git", "archive", "HEAD"], cwd=ROOT, check=True,
                             stdout=subprocess.PIPE).stdout
    # Extracted as new files (-m): the build folder may hold objects of a fault tried earlier.
    subprocess.run(["tar", "-x", "-m", "-C", tree], input=archive, check=True)

    configure = ["cmake", "-S", tree, "-B", build, "-G", "Ninja",
                 "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DCMAKE_CXX_COMPILER=g++"]
    build_cmd = ["cmake", "--build", build, "-j", JOBS]
    # A fault may make a test wait for ever; the suites take seconds.
    test_cmd = ["ctest", "--test-dir", build, "-j", JOBS, "-E", TEST_EXCLUDE,
                "--stop-on-failure", "--timeout", "120"]
    print("building the unchanged tree ...", flush=True)
    if run(configure, tree, log) or run(build_cmd, tree, log):
        sys.exit(f"the unchanged tree does not build; see {log}")
    if run(test_cmd, tree, log):
        sys.exit(f"the unchanged tree fails its tests; see {log}")

    results = []
    for i, fault in enumerate(faults, 1):
        path = os.path.join(tree, fault["file"])
        with open(path, encoding="utf-8") as f:
            original = f.read()
        start = time.time()
        with open(path, "w", encoding="utf-8") as f:
            f.write(original.replace(fault["old"], fault["new"]))
        with open(log, "a", encoding="utf-8") as out:
            out.write(f"\n=== {fault['name']}\n")
        if run(build_cmd, tree, log):
            verdict = "caught (build)"
        elif run(test_cmd, tree, log):
            verdict = "caught"
        else:
            verdict = "NOT CAUGHT"
        with open(path, "w", encoding="utf-8") as f:
            f.write(original)
        results.append((fault, verdict))
        print(f"[{i}/{len(faults)}] {fault['name']}: {verdict} ({time.time() - start:.0f} s)",
              flush=True)

    width = max(len(f["name"]) for f, _ in results)
    print()
    print(f"{'fault':<{width}}  {'result':<14}  what is wrong")
    print(f"{'-' * width}  {'-' * 14}  {'-' * 13}")
    for fault, verdict in results:
        print(f"{fault['name']:<{width}}  {verdict:<14}  {fault['what']}")
    missed = [f["name"] for f, v in results if v == "NOT CAUGHT"]
    print()
    print(f"{len(results) - len(missed)} of {len(results)} faults caught")
    if missed:
        print("no test caught: " + ", ".join(missed))
    if not args.keep:
        shutil.rmtree(tree, ignore_errors=True)
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
