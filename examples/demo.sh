#!/bin/sh
# Runs vortan on the alpha-quartz example in a scratch folder (demo-run/) and
# shows where the listing and the results file went.
set -e
build=${1:-build}
case $build in
  /*) vortan=$build/vortan ;;
  *) vortan=$(pwd)/$build/vortan ;;
esac
echo "Built the programs in $build: $build/vortan, $build/goniang, $build/dbwsconv"

here=$(cd "$(dirname "$0")" && pwd)
rm -rf demo-run
mkdir demo-run
cp "$here/QUARTZ.EXP" "$here/QUARTZ.CMT" demo-run/
cd demo-run
echo
echo "$ cd demo-run && $vortan QUARTZ"
"$vortan" QUARTZ
echo
echo "The listing went to demo-run/QUARTZ.LST; the distances and angles around Si1:"
sed -n '/Vector *Length/,/^ *$/p' QUARTZ.LST | head -10
sed -n '/Angle *Degrees/,$p' QUARTZ.LST | head -8
echo
echo "The results file went to demo-run/QUARTZ.VORTAN (put a Y in column 1 of a"
echo "record to mark it for publication; the mark survives the next run):"
head -5 QUARTZ.VORTAN
