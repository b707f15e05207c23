"""Checks a fault list: unique ids, each `find` present exactly once in its file, and a real change.

Usage, from the project root: python3 tools/faults/check_unique.py [tools/faults/new.json]
"""
import collections
import json
import sys

with open(sys.argv[1] if len(sys.argv) > 1 else "tools/faults/new.json", encoding="utf-8") as listing:
    faults = json.load(listing)
problems = [f"duplicate id {i}" for i, n in collections.Counter(f["id"] for f in faults).items() if n > 1]
for f in faults:
    with open(f["file"], encoding="utf-8") as source:
        found = source.read().count(f["find"])
    if found != 1:
        problems.append(f"{f['id']}: find occurs {found} times in {f['file']}")
    if f["find"] == f["replace"]:
        problems.append(f"{f['id']}: replace equals find")
print("\n".join(problems) or f"{len(faults)} faults, each applies exactly once")
sys.exit(1 if problems else 0)
