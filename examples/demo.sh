#!/bin/sh
# Shows the two routes into vortan on the bundled examples, in a scratch
# folder demo-run/ of the current folder:
#   1. vortan on an experiment file (alpha-quartz);
#   2. cif2exp on a published CIF, then vortan --cif on what it wrote.
# The argument is the folder that holds the programs (default: build).
set -e
bin=${1:-build}
examples=$(cd "$(dirname "$0")" && pwd)
for program in vortan cif2exp; do
  [ -x "$bin/$program" ] || { echo "demo: no program $bin/$program; build it first (make demo)" >&2; exit 1; }
done

# Shows a command, then runs it.
run() {
  echo
  echo "\$ $*"
  "$@"
}

rm -rf demo-run
mkdir demo-run
cp "$examples/QUARTZ.EXP" "$examples/QUARTZ.CMT" demo-run/

echo "== 1. An experiment file: alpha-quartz, with its covariance file"
run "$bin/vortan" demo-run/QUARTZ
echo
echo "The listing went to demo-run/QUARTZ.LST; the distances and angles around Si1:"
sed -n '/Vector *Length/,/^ *$/p' demo-run/QUARTZ.LST | head -10
sed -n '/Angle *Degrees/,$p' demo-run/QUARTZ.LST | head -8
echo
echo "The results file went to demo-run/QUARTZ.VORTAN (put a Y in column 1 of a"
echo "record to mark it for publication; the mark survives the next run):"
head -5 demo-run/QUARTZ.VORTAN

echo
echo "== 2. A published CIF: NH4[(Zn,Co)BP2O8], COD entry 6000026 (public domain)"
run "$bin/cif2exp" "$examples/ZNBPO.cif" demo-run/ZNBPO
run "$bin/vortan" demo-run/ZNBPO --cif
echo
echo "The listing went to demo-run/ZNBPO.LST, the publication CIF to"
echo "demo-run/ZNBPO_geom.cif; its first bonds:"
sed -n '/^_geom_bond_publ_flag/,/^ *$/p' demo-run/ZNBPO_geom.cif | sed -n '2,7p'
