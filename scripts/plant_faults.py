#!/usr/bin/env python3
"""Plants faults in the product one at a time and tells which ones the tests catch.

Each fault of scripts/planted_faults.txt is one literal edit of one source file, with the
test programs that cover that file. For each fault the file is edited in place, those
programs are built in a build folder of their own (build-faults unless --build-dir says
otherwise) and run whole, one after the other, stopping at the first that fails. A fault
is caught when a test fails, missed when all pass, and "no build" when the edit does not
compile (a mistake in the list, not counted). A test named "ctest:NAME" is the CTest test
NAME (the Python module's pytest files, say), run after building everything, since such a
test uses what the whole tree builds. A test named "umockdev:NAME" is the program NAME run
under umockdev-wrapper, as CTest runs the tests of the machine's devices. The file is put
back after every fault,
also when the script is interrupted. Only the listed programs are built and run, to keep
a round affordable on a small machine; list every program that tests the file.

    scripts/plant_faults.py [--build-dir DIR] [--only SUBSTRING] [--report FILE]

Before planting anything the unchanged tree is built and its tests run; they must pass.
"""
import argparse
import os
import pathlib
import re
import signal
import subprocess
import sys
import time

TOP = pathlib.Path(__file__).resolve().parent.parent
FAULT_LIST = TOP / "scripts" / "planted_faults.txt"


def read_faults(path):
    """Blocks of "key: value" lines separated by blank lines. In a value "\\n" is a newline
    and "\\\\" a backslash."""
    faults, block = [], {}
    for raw in path.read_text(encoding="utf-8").splitlines() + [""]:
        if raw.startswith("#"):
            continue
        if not raw.strip():
            if block:
                faults.append(block)
                block = {}
            continue
        key, _, value = raw.partition(":")
        block[key.strip()] = value[1:] if value.startswith(" ") else value
    for fault in faults:
        for key in ("find", "replace"):
            fault[key] = re.sub(r"\\(.)", lambda m: "\n" if m[1] == "n" else m[1],
                                fault.get(key, ""))
        missing = {"file", "why", "find", "tests"} - fault.keys()
        if missing:
            sys.exit(f"planted_faults.txt: a block lacks {', '.join(sorted(missing))}: {fault}")
    return faults


def run(command, log, **kwargs):
    with open(log, "a", encoding="utf-8") as out:
        out.write(f"\n$ {' '.join(command)}\n")
        out.flush()
        return subprocess.run(command, stdout=out, stderr=subprocess.STDOUT, **kwargs).returncode


CTEST_PREFIX = "ctest:"
UMOCKDEV_PREFIX = "umockdev:"


def build(build_dir, log, programs):
    targets = [p.removeprefix(UMOCKDEV_PREFIX) for p in programs
               if not p.startswith(CTEST_PREFIX)]
    if len(targets) < len(programs):
        targets.append("all")
    command = ["cmake", "--build", str(build_dir), "--parallel", str(os.cpu_count() or 2),
               "--target", *targets]
    return run(command, log) == 0


def tests_pass(build_dir, programs, log):
    environment = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    for program in programs:
        if program.startswith(CTEST_PREFIX):
            name = program[len(CTEST_PREFIX):]
            command = ["ctest", "--test-dir", str(build_dir), "--output-on-failure",
                       "--no-tests=error", "-R", f"^{re.escape(name)}$"]
        elif program.startswith(UMOCKDEV_PREFIX):
            command = ["umockdev-wrapper",
                       str(build_dir / "bin" / program.removeprefix(UMOCKDEV_PREFIX))]
        else:
            command = [str(build_dir / "bin" / program)]
        try:
            if run(command, log, env=environment, timeout=300) != 0:
                return False
        except subprocess.TimeoutExpired:
            return False  # a hang is caught too, if slowly
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=str(TOP / "build-faults"))
    parser.add_argument("--only", default="", help="plant only faults whose text holds this")
    parser.add_argument("--report", default="", help="also write the results to this file")
    args = parser.parse_args()
    build_dir = pathlib.Path(args.build_dir)
    log = build_dir / "plant_faults.log"

    faults = [f for f in read_faults(FAULT_LIST)
              if not args.only or args.only in f["why"] or args.only in f["file"]]
    if not faults:
        sys.exit(f"no planted fault's file or description holds \"{args.only}\"")
    for fault in faults:
        text = (TOP / fault["file"]).read_text(encoding="utf-8")
        if text.count(fault["find"]) != 1:
            sys.exit(f"{fault['file']}: the text to replace for \"{fault['why']}\" occurs "
                     f"{text.count(fault['find'])} times, not once")

    build_dir.mkdir(parents=True, exist_ok=True)
    log.write_text("", encoding="utf-8")
    # An existing build folder (./build, say) is used as it is configured.
    configure = ["cmake", "-S", str(TOP), "-B", str(build_dir), "-G", "Ninja",
                 "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DCORVANE_BUILD_BENCH=OFF"]
    for fault in faults:
        fault["programs"] = fault["tests"].split()
    every_program = sorted({p for f in faults for p in f["programs"]})
    configured = (build_dir / "CMakeCache.txt").exists()
    if (not configured and run(configure, log) != 0) or not build(build_dir, log, every_program):
        sys.exit(f"the unchanged tree does not build; see {log}")
    if not tests_pass(build_dir, every_program, log):
        sys.exit(f"the unchanged tree fails its tests; see {log}")

    restore = {}

    def put_back(*_):
        for path, original in restore.items():
            path.write_text(original, encoding="utf-8")
        restore.clear()

    signal.signal(signal.SIGINT, lambda *a: (put_back(), sys.exit(130)))
    signal.signal(signal.SIGTERM, lambda *a: (put_back(), sys.exit(143)))

    results = []
    for number, fault in enumerate(faults, 1):
        path = TOP / fault["file"]
        original = path.read_text(encoding="utf-8")
        restore[path] = original
        started = time.monotonic()
        try:
            path.write_text(original.replace(fault["find"], fault["replace"], 1), encoding="utf-8")
            if not build(build_dir, log, fault["programs"]):
                outcome = "no build"
            elif tests_pass(build_dir, fault["programs"], log):
                outcome = "MISSED"
            else:
                outcome = "caught"
        finally:
            put_back()
        line = (f"{number:2}. {outcome:8} {fault['file']}: {fault['why']} "
                f"({time.monotonic() - started:.0f} s)")
        print(line, flush=True)
        results.append((outcome, line))

    build(build_dir, log, every_program)  # leave the build folder matching the sources
    counted = [r for r in results if r[0] != "no build"]
    caught = sum(1 for r in counted if r[0] == "caught")
    summary = f"caught {caught} of {len(counted)} planted faults"
    if len(counted) != len(results):
        summary += f" ({len(results) - len(counted)} did not build)"
    print(summary)
    if args.report:
        pathlib.Path(args.report).write_text(
            "\n".join(line for _, line in results) + "\n" + summary + "\n", encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
