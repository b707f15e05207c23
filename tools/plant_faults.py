#!/usr/bin/env python3
"""Plants faults in a copy of the tree, one at a time, and tells which the
test suite catches.

    python3 tools/plant_faults.py [FAULT_FILE ...] [--rev REV] [--timeout S] [--only ID ...]

Each fault file (default: tools/faults/*.json) is a JSON list of objects
{"id", "file", "find", "replace", "why", "observable" (optional, default
true)}. For each fault the copy gets `find` (which must occur exactly once in
`file`) replaced, is rebuilt, and `python -m pytest -q -x` runs on it (the test files in
the order of their time in the unchanged run, quickest first); the
file is then restored. A fault is caught when the suite fails or runs past
the timeout, missed when it passes, and not applicable when its `find` text
is absent. The share caught counts only applicable faults that change
something observable; faults marked unobservable are listed apart.

The copy lives in a temporary directory with its own meson build folder and
its own virtual environment, which sees the system's packages but not any
installed olvane, so nothing outside it is touched. --rev takes the tree of a
commit instead of the working tree (to measure an older suite)."""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def load_faults(files):
    faults = []
    for file in files:
        entries = json.loads(Path(file).read_text())
        for entry in entries:
            missing = {"id", "file", "find", "replace", "why"} - entry.keys()
            if missing:
                sys.exit(f"{file}: fault {entry.get('id', '?')} lacks {sorted(missing)}")
            faults.append({**entry, "source": Path(file).name})
    ids = [f["id"] for f in faults]
    duplicates = sorted({i for i in ids if ids.count(i) > 1})
    if duplicates:
        sys.exit(f"duplicate fault ids: {duplicates}")
    return faults


def copy_tree(destination, rev):
    """The tracked and untracked (not ignored) files of the working tree, or
    the tree of commit rev."""
    if rev:
        archive = subprocess.run(["git", "-C", ROOT, "archive", rev], check=True, capture_output=True).stdout
        subprocess.run(["tar", "-x", "-C", destination], input=archive, check=True)
        return
    listed = subprocess.run(["git", "-C", ROOT, "ls-files", "-z", "-co", "--exclude-standard"],
                            check=True, capture_output=True).stdout
    for name in filter(None, listed.decode().split("\0")):
        source = ROOT / name
        if source.is_file():
            target = destination / name
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(source, target)


def base_python():
    """An interpreter outside any virtual environment, so that the throwaway
    one made from it sees no editable olvane."""
    return getattr(sys, "_base_executable", None) or sys.executable


def run(command, cwd, env=None, timeout=None):
    return subprocess.run(command, cwd=cwd, env=env, timeout=timeout, capture_output=True, text=True, check=False)


def prepare(work, rev):
    tree = work / "tree"
    tree.mkdir()
    copy_tree(tree, rev)
    venv = work / "venv"
    subprocess.run([base_python(), "-m", "venv", "--system-site-packages", venv], check=True)
    python = str(venv / "bin" / "python")
    setup = run([python, "-m", "mesonbuild.mesonmain", "setup", "build", "-Dwerror=true"], tree)
    if setup.returncode != 0:
        sys.exit(f"meson setup failed:\n{setup.stdout}\n{setup.stderr}")
    env = dict(os.environ)
    env.pop("RUST_BACKTRACE", None)
    env.pop("PYTHONPATH", None)
    # olvane is the build folder's module; dunvel a package put together
    # from its sources and the build folder's native module.
    package = tree / "importable" / "dunvel"
    package.mkdir(parents=True)
    for source in (tree / "src" / "dunvel").iterdir():
        (package / source.name).symlink_to(source)
    env["PYTHONPATH"] = os.pathsep.join([str(tree / "build"), str(tree / "importable")])
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    return tree, python, env


def build(tree):
    built = run(["ninja", "-C", "build", "-j2"], tree)
    for native in (tree / "build").glob("_native.*.so"):
        link = tree / "importable" / "dunvel" / native.name
        if not link.is_symlink():
            link.symlink_to(native)
    return built


def run_suite(tree, python, env, timeout, files=()):
    """'passed', 'failed' or 'timeout', and the output."""
    command = [python, "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider", "--durations=0", *files]
    try:
        proc = run(command, tree, env, timeout)
    except subprocess.TimeoutExpired:
        return "timeout", ""
    return ("passed" if proc.returncode == 0 else "failed"), proc.stdout + proc.stderr


def quickest_first(tree, output):
    """The test files, those whose tests took least time in the baseline run
    first: the same suite, but a fault that a quick file catches stops -x
    sooner."""
    spent = {path.relative_to(tree).as_posix(): 0.0 for path in sorted((tree / "tests").rglob("test_*.py"))}
    for line in output.splitlines():
        match = re.match(r"([0-9.]+)s (?:call|setup|teardown)\s+(tests/[^:]+)::", line)
        if match and match.group(2) in spent:
            spent[match.group(2)] += float(match.group(1))
    return sorted(spent, key=spent.get)


def last_lines(output, count=3):
    return "\n".join(output.strip().splitlines()[-count:])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("files", nargs="*", help="fault files (default: tools/faults/*.json)")
    parser.add_argument("--rev", help="plant into this commit's tree instead of the working tree")
    parser.add_argument("--timeout", type=float, default=900, help="seconds per suite run (default 900)")
    parser.add_argument("--only", nargs="+", metavar="ID", help="plant only these faults")
    parser.add_argument("--keep", action="store_true", help="keep the temporary copy")
    args = parser.parse_args()

    files = args.files or sorted(str(p) for p in (ROOT / "tools" / "faults").glob("*.json"))
    faults = load_faults(files)
    if args.only:
        faults = [f for f in faults if f["id"] in args.only]

    work = Path(tempfile.mkdtemp(prefix="olvane-faults-"))
    try:
        tree, python, env = prepare(work, args.rev)
        built = build(tree)
        if built.returncode != 0:
            sys.exit(f"the unchanged tree does not build:\n{built.stdout[-3000:]}")
        where = run([python, "-c", "import olvane; print(olvane.__file__)"], tree, env)
        if not where.stdout.startswith(str(tree / "build")):
            sys.exit(f"olvane does not come from the copy: {where.stdout}{where.stderr}")
        started = time.monotonic()
        baseline, output = run_suite(tree, python, env, args.timeout)
        if baseline != "passed":
            sys.exit(f"the suite does not pass on the unchanged tree ({baseline}):\n{last_lines(output)}")
        print(f"baseline: suite passes in {time.monotonic() - started:.0f} s", flush=True)
        files = quickest_first(tree, output)

        results = []
        for fault in faults:
            path = tree / fault["file"]
            original = path.read_text() if path.is_file() else None
            occurrences = original.count(fault["find"]) if original is not None else 0
            if occurrences != 1:
                outcome = "not applicable" if occurrences == 0 else f"ambiguous ({occurrences} matches)"
                detail = ""
            else:
                path.write_text(original.replace(fault["find"], fault["replace"]))
                try:
                    built = build(tree)
                    if built.returncode != 0:
                        outcome, detail = "does not build", last_lines(built.stdout, 1)
                    else:
                        started = time.monotonic()
                        state, output = run_suite(tree, python, env, args.timeout, files)
                        outcome = {"passed": "missed", "failed": "caught", "timeout": "caught (timeout)"}[state]
                        detail = f"{time.monotonic() - started:.0f} s"
                        failed = re.search(r"^FAILED (\S+)", output, re.MULTILINE)
                        if failed:
                            detail += f" by {failed.group(1)}"
                finally:
                    path.write_text(original)
            observable = fault.get("observable", True)
            results.append((fault, outcome, observable))
            label = "" if observable else " [unobservable]"
            print(f"{fault['source']}:{fault['id']}: {outcome}{label} {detail}".rstrip(), flush=True)

        counted = [(f, o) for f, o, observable in results if observable and o.startswith(("caught", "missed"))]
        caught = sum(o.startswith("caught") for _, o in counted)
        print()
        for name in dict.fromkeys(f["source"] for f, _, _ in results):
            own = [o for f, o in counted if f["source"] == name]
            share = f"{100 * sum(o.startswith('caught') for o in own) / len(own):.0f}%" if own else "-"
            print(f"{name}: {sum(o.startswith('caught') for o in own)} of {len(own)} observable faults caught ({share})")
        if counted:
            print(f"all: {caught} of {len(counted)} observable faults caught ({100 * caught / len(counted):.0f}%)")
        missed = [f["id"] for f, o in counted if o == "missed"]
        if missed:
            print("missed:", " ".join(missed))
        others = [(f["id"], o) for f, o, observable in results if not observable or not o.startswith(("caught", "missed"))]
        for fault_id, outcome in others:
            print(f"not counted: {fault_id} ({outcome})")
        return 1 if missed else 0
    finally:
        if args.keep:
            print(f"copy kept in {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
