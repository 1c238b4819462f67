#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Static checks:
#  1. clang-tidy with the checks of .clang-tidy, every warning an error, on
#     the compile database of a debug configuration, over the agent's and the
#     tools' own sources (platform/, log/, config/, cpuload/, messaging/,
#     service/, tools/);
#  2. clang-format --dry-run -Werror with .clang-format on every .cpp, .h
#     and .c there and under tests/, bench/ and fuzz/.
# Prints each finding and a summary; exits non-zero when there is any.
#
#   scripts/lint.sh
#   KELD4_LINT_BUILD=dir   build directory for the compile database
#                          (default build/lint; configured, not built)
#   KELD4_LINT_JOBS=n      parallel clang-tidy runs (default: processors)
#   KELD4_LINT_SINCE=rev   clang-tidy only on the files that changed since
#                          rev, or that include a header that did ("base":
#                          the commit in .ci/lint-base); everything when
#                          rev is unknown, not an ancestor, or when the
#                          checks, the build files or this script changed
#   scripts/lint.sh --mark-base   checks everything and, when it is clean,
#                          writes the commit into .ci/lint-base (commit it)
#   KELD4_LINT_CACHE=dir   where clean clang-tidy results are remembered
#                          (default ~/.cache/keld4-lint; "off": none)
#
# A file clang-tidy found clean is not checked again while nothing it could
# depend on has changed: the key is the file, every header of the checked
# folders, its compile command (with the tree's path taken out, so clones
# share it), the checks and the clang-tidy version. Findings are never
# remembered. A run without the cache (a fresh machine) checks every file.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
tidy=${CLANG_TIDY:-clang-tidy-14}
format=${CLANG_FORMAT:-clang-format-14}
command -v "$tidy" > /dev/null || tidy=clang-tidy
command -v "$format" > /dev/null || format=clang-format

# One translation unit, run by xargs below: its findings go to a file of its own.
if [ "${1:-}" = "--tidy-one" ]; then
  build=$2 out=$3 file=$4
  log=$out/$(echo "$file" | tr '/' '_').log
  key=
  if [ -n "${KELD4_LINT_CACHE_DIR:-}" ]; then
    key=$(cat "$out/../fingerprint" "$file" | sha256sum | cut -d' ' -f1)
    [ -e "$KELD4_LINT_CACHE_DIR/$key" ] && exit 0
  fi
  if "$tidy" -p "$build" --quiet --warnings-as-errors='*' "$file" > "$log" 2>&1; then
    if [ -n "$key" ]; then touch "$KELD4_LINT_CACHE_DIR/$key"; fi
  else
    # A file that does not compile counts too, with its errors shown.
    grep -qE ': (warning|error): ' "$log" || echo "$file:1:1: error: clang-tidy failed" >> "$log"
  fi
  exit 0
fi

mark=
if [ "${1:-}" = "--mark-base" ]; then
  mark=$(git -C "$root" rev-parse HEAD)
  [ -z "$(git -C "$root" status --porcelain)" ] || {
    echo "lint: --mark-base needs a tree without changes" >&2
    exit 2
  }
fi

build=${KELD4_LINT_BUILD:-$root/build/lint}
jobs=${KELD4_LINT_JOBS:-$(nproc)}
dirs="platform|log|config|cpuload|messaging|service|tools"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DKELD4_BENCH=OFF > /dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/keld4-lint.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The translation units of the compile database under the checked folders.
python3 - "$build/compile_commands.json" "$root" "$dirs" > "$work/units" << 'EOF'
import json, os, re, sys
db, root, dirs = sys.argv[1], os.path.realpath(sys.argv[2]), sys.argv[3]
pattern = re.compile(r"(%s)/" % dirs)
seen = set()
for entry in json.load(open(db)):
    path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
    rel = os.path.relpath(path, root)
    if pattern.match(rel) and path not in seen:
        seen.add(path)
        print(path)
EOF
units=$(wc -l < "$work/units")

# What has not changed since a commit whose whole tree was found clean needs
# no second look: a file is checked again when it, or a header it includes,
# changed since. Its own findings are in its file or in its headers.
since=${KELD4_LINT_SINCE:-}
[ -z "$mark" ] || since=
[ "$since" != base ] || since=$(cat "$root/.ci/lint-base" 2> /dev/null || true)
unchanged=0
if [ -n "$since" ]; then
  if git -C "$root" merge-base --is-ancestor "$since" HEAD 2> /dev/null; then
    { git -C "$root" diff --name-only "$since" -- && git -C "$root" ls-files --others --exclude-standard; } |
      sort -u > "$work/changed"
    if python3 - "$build/compile_commands.json" "$root" "$work/units" "$work/changed" \
      > "$work/affected" << 'EOF'; then
import json, os, shlex, subprocess, sys
db, root, units, changed = sys.argv[1:5]
root = os.path.realpath(root)
changed = {os.path.realpath(os.path.join(root, p)) for p in open(changed).read().split()}
# What every file's checks depend on: a change there is a change to all.
for path in changed:
    rel = os.path.relpath(path, root)
    if (os.path.basename(rel) in (".clang-tidy", "CMakeLists.txt", "CMakePresets.json")
            or rel.startswith("cmake/") or rel == "scripts/lint.sh"):
        sys.exit(1)
headers = {p for p in changed if not p.endswith((".cpp", ".c"))}
commands = {}
for entry in json.load(open(db)):
    path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
    commands.setdefault(path, entry)
for unit in open(units).read().split():
    if unit in changed:
        print(unit)
        continue
    if not headers:
        continue
    entry = commands[unit]
    keep, skip = [], False
    for a in shlex.split(entry["command"]):
        if skip:
            skip = False
        elif a in ("-o", "-MF", "-MT", "-MQ"):
            skip = True
        elif a not in ("-c", "-MD", "-MMD"):
            keep.append(a)
    deps = subprocess.run(keep + ["-MM", "-MF", "-"], cwd=entry["directory"],
                          capture_output=True, text=True)
    if deps.returncode != 0:
        print(unit)  # what it includes is not known: checked
        continue
    files = {os.path.realpath(os.path.join(entry["directory"], f))
             for f in deps.stdout.replace("\\\n", " ").split()[1:]}
    if files & headers:
        print(unit)
EOF
      unchanged=$((units - $(wc -l < "$work/affected")))
      cp "$work/affected" "$work/units"
      echo "lint: clang-tidy on what changed since $since"
    else
      echo "lint: the checks or the build changed since $since: clang-tidy on everything"
    fi
  else
    echo "lint: $since is no ancestor of this tree: clang-tidy on everything"
  fi
fi

cache=${KELD4_LINT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/keld4-lint}
if [ "$cache" != off ] && mkdir -p "$cache" 2> /dev/null; then
  export KELD4_LINT_CACHE_DIR=$cache
  {
    "$tidy" --version
    cat "$root/.clang-tidy" "$root/tools/keld4-reg/.clang-tidy"
    sed "s|$root|@ROOT@|g" "$build/compile_commands.json"
    (cd "$root" && find ${dirs//|/ } -name '*.h' | sort | xargs cat)
  } > "$work/fingerprint"
fi

echo "=== clang-tidy: $((units - unchanged)) files"
mkdir -p "$work/tidy"
xargs -r -P "$jobs" -n 1 "$BASH" "$0" --tidy-one "$build" "$work/tidy" < "$work/units"
# A header included by several files reports its findings once.
cat "$work/tidy"/*.log 2> /dev/null | grep -E '^[^ ]+:[0-9]+:[0-9]+: (warning|error): ' |
  sed "s|^$root/||" | sort -u > "$work/tidy-findings" || true
tidy_count=$(wc -l < "$work/tidy-findings")
checked=$(find "$work/tidy" -name '*.log' | wc -l)
cat "$work/tidy-findings"

echo "=== clang-format"
(cd "$root" && find platform log config cpuload messaging service tools tests bench fuzz \
  -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) | sort) > "$work/formatted"
files=$(wc -l < "$work/formatted")
unformatted=0
while read -r file; do
  if ! (cd "$root" && "$format" --dry-run -Werror "$file" > /dev/null 2>&1); then
    changes=$(cd "$root" && "$format" "$file" | diff "$file" - | grep -c '^>' || true)
    echo "$file: not formatted ($changes lines would change; $format -i $file)"
    unformatted=$((unformatted + 1))
  fi
done < "$work/formatted"

echo
echo "=== lint summary"
echo "clang-tidy: $tidy_count findings in $units files ($unchanged unchanged since ${since:-ever}," \
  "$((units - unchanged - checked)) known clean from the cache)"
if [ -n "$mark" ] && [ "$tidy_count" -eq 0 ] && [ "$unformatted" -eq 0 ]; then
  echo "$mark" > "$root/.ci/lint-base"
  echo "lint: .ci/lint-base is now $mark; commit it"
fi
echo "clang-format: $unformatted of $files files not formatted"
[ "$tidy_count" -eq 0 ] && [ "$unformatted" -eq 0 ]
