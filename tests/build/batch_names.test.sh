#!/usr/bin/env bash
# Sources compiled in one batch share one scope for their file-local names:
# two helpers of one name clash there, or, with different parameters,
# silently overload, so that a call may reach the other file's helper.
# Every batch of the host libraries in the build tree is read, and a name
# that two of its sources declare at the top of an unnamed namespace (or
# static) fails the test. The test programs keep theirs in per-file
# namespaces and are not read.
set -euo pipefail
build=$1
mapfile -t batches < <(find "$build" -path "$build/tests" -prune -o -path '*/Unity/unity_*_cxx.cxx' -print | sort)
[ ${#batches[@]} -gt 0 ] || { echo "no batched sources in $build: skipped"; exit 77; }
python3 - "${batches[@]}" <<'PY'
import re, sys

def local_names(path):
    names, unnamed = set(), 0
    for line in open(path, encoding="utf-8"):
        if re.match(r"namespace\s*\{", line):
            unnamed += 1
            continue
        if unnamed and re.match(r"\}\s*(//.*)?$", line):
            unnamed -= 1
            continue
        if not (unnamed or line.startswith("static ")) or not re.match(r"[A-Za-z_]", line):
            continue
        if re.match(r"(using|namespace|template|typedef|extern)\b", line):
            continue
        m = re.match(r"(?:struct|class|union|enum(?:\s+class)?)\s+(\w+)", line) or \
            re.match(r"[^(=;{\[]*?(\w+)\s*[(=;{\[]", line)
        if m:
            names.add(m.group(1))
    return names

found = 0
for batch in sys.argv[1:]:
    sources = re.findall(r'#include "([^"]+)"', open(batch).read())
    seen = {}
    for s in sources:
        for n in local_names(s):
            seen.setdefault(n, []).append(s)
    for n, where in sorted(seen.items()):
        if len(where) > 1:
            print(f"{n}: file-local in {', '.join(where)} (batch {batch})")
            found += 1
print(f"{len(sys.argv) - 1} batches read, {found} shared file-local names")
sys.exit(1 if found else 0)
PY
