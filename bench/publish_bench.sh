#!/usr/bin/env bash
# Publishing a release of 1 GB against reading the same files and writing
# the same bytes with cat, side by side in one run. Both read from the page
# cache (the files were just written) and write to the same disk; each goes
# five times, alternating, and the best time of each counts (the machine is
# shared, so single runs vary widely).
# Usage: bench/publish_bench.sh PUBLISHER WORKDIR
set -euo pipefail
publisher="$1"
work="$2/publish-bench"
rm -rf "$work"
mkdir -p "$work/src"
trap 'rm -rf "$work"' EXIT

# Four files, three with a short last part: 400 + 305 + 250.5 MB and a
# 44.5 MB setup program.
python3 - "$work/src" <<'PY'
import os, sys
sizes = {"data-1.bin": 400_000_000, "data-2.bin": 305_000_000,
         "data-3.bin": 250_500_000, "Setup.exe": 44_500_000}
block = os.urandom(1 << 20)
for name, size in sizes.items():
    with open(os.path.join(sys.argv[1], name), "wb") as f:
        left = size
        while left:
            n = min(left, len(block))
            f.write(block[:n])
            left -= n
PY
total=$(du -cb "$work"/src/* | tail -1 | cut -f1)

now() { date +%s.%N; }
run_cat() {
  rm -rf "$work/cat" && mkdir -p "$work/cat" && sync
  local start; start=$(now)
  for f in "$work"/src/*; do cat "$f" > "$work/cat/$(basename "$f")"; done
  echo "$(now) - $start" | bc
}
run_publish() {
  rm -rf "$work/out" && sync
  local start; start=$(now)
  "$publisher" publish --release Bench_R1 --subdir bench --out "$work/out" --from "$work/src" 2>/dev/null
  echo "$(now) - $start" | bc
}

cat_times=(); publish_times=()
for round in 1 2 3 4 5; do
  c=$(run_cat); p=$(run_publish)
  printf 'round %d: cat %.2f s, publish %.2f s\n' "$round" "$c" "$p"
  cat_times+=("$c"); publish_times+=("$p")
done
python3 - "$total" "${cat_times[*]}" "${publish_times[*]}" <<'PY'
import statistics, sys
total = int(sys.argv[1])
cat = [float(x) for x in sys.argv[2].split()]
pub = [float(x) for x in sys.argv[3].split()]
print(f"Release of {total / 1e6:.0f} MB in 4 files, {len(cat)} rounds")
for label, pick in (("best", min), ("median", statistics.median)):
    c, p = pick(cat), pick(pub)
    print(f"  {label:6}  cat {c:5.2f} s {total / 1e6 / c:7.1f} MB/s   publish {p:5.2f} s "
          f"{total / 1e6 / p:7.1f} MB/s   publish at {100 * c / p:.0f} % of cat's speed (goal >= 80 %)")
PY
