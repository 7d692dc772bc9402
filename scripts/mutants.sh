#!/usr/bin/env bash
# Plants one fault at a time in a copy of the tree, rebuilds what the fault's tests need, runs those
# tests and says whether they caught it. Slow (a rebuild per fault), so not part of CI.
#
# Usage: mutants.sh [--tree DIR] [--work DIR] [--only N,M,...] [--no-baseline] [LIST.tsv...]
#   --tree DIR     the tree whose code and tests are tried (default: this repository)
#   --work DIR     where the copy and its build live (default: DIR/build-mutants of the tree)
#   --only N,M     only the faults with these numbers (counted over the lists, from 1)
#   --no-baseline  skip the first run of the tests on the unchanged copy
#   LIST.tsv       fault lists (default: scripts/mutants/*.tsv of this repository)
#
# A list has one fault per line, TAB-separated: the ctest label regex of the tests that must catch
# it, the file (from the repository's root), a text that occurs exactly once in that file, and what
# it becomes. A '#' line above a fault says in words what goes wrong; it is printed with the result.
# A fault is caught when one of its tests fails; one that does not build is reported apart, as a
# fault of the list, as is one whose labels name no test.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
tree="$here"
work=""
only=""
baseline=1
lists=()
while [ $# -gt 0 ]; do
  case "$1" in
    --tree) tree="$(cd "$2" && pwd)"; shift 2 ;;
    --work) work="$2"; shift 2 ;;
    --only) only="$2"; shift 2 ;;
    --no-baseline) baseline=0; shift ;;
    -h|--help) sed -n '2,17p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) lists+=("$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"); shift ;;
  esac
done
[ ${#lists[@]} -gt 0 ] || lists=("$here"/scripts/mutants/*.tsv)
work="${work:-$tree/build-mutants}"
jobs="${JOBS:-2}"
copy="$work/src"
build="$work/build"

echo "Copying $tree to $copy"
# Times are kept, so that a build left from an earlier run rebuilds only what changed since.
rm -rf "$copy"
mkdir -p "$copy"
tar -C "$tree" --exclude='./build*' --exclude='./.git' -cf - . | tar -C "$copy" -xf -
# A run stopped before its last rebuild left faulty objects in the build, newer than their files'
# kept times: the files a fault was planted in since that rebuild are rebuilt whatever their times.
planted="$work/planted"
if [ -s "$planted" ]; then
  sort -u "$planted" | while IFS= read -r file; do touch "$copy/$file"; done
  rm -f "$planted"
fi

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$copy" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DBUILD_TESTING=ON -DBUILD_BENCH=OFF \
  -DOSK_WERROR=OFF "${launcher[@]}" >/dev/null
cmake --build "$build" --parallel "$jobs" >/dev/null

# The faults as records: number, labels, file, original, replacement, description.
faults="$work/faults.tsv"
python3 - "$only" "${lists[@]}" >"$faults" <<'EOF'
import sys
only = {int(n) for n in sys.argv[1].split(',') if n}
number = 0
for path in sys.argv[2:]:
    why = ''
    for line in open(path, encoding='utf-8'):
        line = line.rstrip('\n')
        if not line.strip():
            continue
        if line.startswith('#'):
            why = line.lstrip('# ').strip()
            continue
        fields = line.split('\t')
        if len(fields) != 4:
            sys.exit(f'{path}: not four TAB-separated fields: {line}')
        number += 1
        if not only or number in only:
            print('\x1f'.join([str(number)] + fields + [why or '(no description)']))
        why = ''
EOF

targets_for() { # The build targets of the tests with these labels, and the programs they start.
  local names
  names="$(cd "$build" && ctest -N -L "$1" | sed -n 's/^ *Test *#[0-9]*: //p')"
  ninja -C "$build" -t targets all | sed -n 's/^\([A-Za-z0-9_]*\): phony$/\1/p' |
    grep -x -F -f <(printf '%s\noskserverd\noskserverctl\noskserver\n' "$names") || true
}

run_tests() { # Quietly; the status says whether every test passed.
  (cd "$build" && QT_QPA_PLATFORM=offscreen ctest -L "$1" --timeout 180 -j "$jobs" >"$work/last-test.log" 2>&1)
}

if [ "$baseline" = 1 ]; then
  all_labels="$(cut -d$'\x1f' -f2 "$faults" | sort -u | paste -sd'|')"
  echo "Baseline: the tests labelled $all_labels on the unchanged copy"
  if ! run_tests "$all_labels"; then
    echo "The unchanged copy fails its tests (see $work/last-test.log); a fault would count as caught." >&2
    exit 1
  fi
fi

caught=0
missed=0
broken=0
missed_list=""
while IFS=$'\x1f' read -r -u 3 number labels file original replacement why; do
  target="$copy/$file"
  printf '%s\n' "$file" >>"$planted"
  if ! python3 - "$target" "$original" "$replacement" <<'EOF'; then
import sys
path, original, replacement = sys.argv[1:4]
text = open(path, encoding='utf-8').read()
if text.count(original) != 1:
    sys.exit(f'occurs {text.count(original)} times, not once')
open(path, 'w', encoding='utf-8').write(text.replace(original, replacement))
EOF
    printf 'LIST   #%-3s %s: %s (text not found once)\n' "$number" "$file" "$why"
    broken=$((broken + 1))
    continue
  fi
  mapfile -t targets < <(targets_for "$labels")
  if [ "$(cd "$build" && ctest -N -L "$labels" | sed -n 's/^Total Tests: //p')" = 0 ]; then
    printf 'NOTEST #%-3s %s: %s (no test labelled %s)\n' "$number" "$file" "$why" "$labels"
    broken=$((broken + 1))
  elif ! cmake --build "$build" --parallel "$jobs" --target "${targets[@]}" >"$work/last-build.log" 2>&1; then
    printf 'BUILD  #%-3s %s: %s (does not build)\n' "$number" "$file" "$why"
    broken=$((broken + 1))
  elif run_tests "$labels"; then
    printf 'MISSED #%-3s %s: %s\n' "$number" "$file" "$why"
    missed=$((missed + 1))
    missed_list="$missed_list $number"
  else
    printf 'caught #%-3s %s: %s\n' "$number" "$file" "$why"
    caught=$((caught + 1))
  fi
  cp "$tree/$file" "$target"
done 3<"$faults"
# The restored files are rebuilt now: the next run's copy gives them back their old times, older
# than the faulty objects, and the build would keep those.
cmake --build "$build" --parallel "$jobs" >"$work/last-build.log" 2>&1 || true
rm -f "$planted"

total=$((caught + missed))
echo "Caught $caught of $total ($((total ? 100 * caught / total : 0)) %); missed:${missed_list:- none}; $broken faults of the list could not be tried."
