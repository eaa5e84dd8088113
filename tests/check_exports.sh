#!/usr/bin/env bash
# Compares the dynamic symbols the library defines with the functions its
# public header declares; any difference fails.
set -euo pipefail
lib=$1 header=$2
got=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWw]$/ {print $3}' | sort)
want=$(grep -oE 'VELMORA_CSV_API [^(]*\(' "$header" | grep -oE 'csv_[a-z_0-9]+' | sort -u)
if [ "$got" != "$want" ]; then
  echo "exported symbols differ from the public header:"
  diff <(echo "$want") <(echo "$got") || true
  exit 1
fi
echo "exports match: $(echo "$got" | wc -l) functions"
