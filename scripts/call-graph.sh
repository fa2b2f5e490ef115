#!/usr/bin/env bash
# Prints which of the library's sources calls which, from the object files of a build: every
# undefined symbol of a source's object mapped to the object that defines it (the platform layer
# shown as "platform"). The layers hold when no arrow points up the list.
#
#   scripts/call-graph.sh BUILD_DIR
set -euo pipefail
[ $# -eq 1 ] || { sed -n '2,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$0" >&2; exit 2; }
objdir=$(find "$1" -type d -name 'qid3_objects.dir' -print -quit)
[ -n "$objdir" ] || { echo "call-graph.sh: no object files in $1" >&2; exit 1; }
declare -A owner
# Only the objects of sources that exist now: a build folder keeps the objects of removed ones.
root=$(cd "$(dirname "$0")/.." && pwd)
objects=$(find "$objdir" -name '*.o' | LC_ALL=C sort | while read -r o; do
  src=$(basename "$o" .o); if [ -f "$root/src/$src" ]; then echo "$o"; fi; done)
name_of() { local n; n=$(basename "$1"); n=${n%.o}; n=${n%.cpp}; case $n in platform_*) n=platform;; esac; echo "$n"; }
for o in $objects; do
  n=$(name_of "$o")
  while read -r sym; do owner[$sym]=$n; done < <(nm --defined-only -g "$o" | awk '$2 ~ /[TDBRW]/ {print $3}')
done
for o in $objects; do
  n=$(name_of "$o")
  if [ "$n" = platform ]; then continue; fi
  deps=$(nm -u "$o" | awk '{print $2}' | while read -r sym; do
    d=${owner[$sym]:-}; if [ -n "$d" ] && [ "$d" != "$n" ]; then echo "$d"; fi; done | LC_ALL=C sort -u | tr '\n' ' ')
  printf '%-16s -> %s\n' "$n" "${deps:-—}"
done
