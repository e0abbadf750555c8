#!/bin/sh
# Reads the gzip file that base_tests wrote with Linux's own readers and
# compares it with the plain bytes written beside it. The files are removed
# afterwards, so a stale pair never passes a later run.
set -eu
dir="$1"
trap 'rm -f "$dir/level9.gz" "$dir/level9.bin"' EXIT
test -s "$dir/level9.bin"
gzip -t "$dir/level9.gz"
gzip -dc "$dir/level9.gz" | cmp - "$dir/level9.bin"
python3 - "$dir" <<'PY'
import gzip, sys
d = sys.argv[1]
with gzip.open(d + "/level9.gz", "rb") as f:
    data = f.read()
with open(d + "/level9.bin", "rb") as f:
    plain = f.read()
sys.exit(0 if data == plain else "python's gzip reads different bytes")
PY
echo "level9.gz: $(wc -c < "$dir/level9.gz") bytes, reads back as $(wc -c < "$dir/level9.bin")"
