#!/bin/sh
# Runs vortan on a bundled example in a scratch folder (demo-run/).
build=${1:-build}
echo "Built the programs in $build: $build/vortan, $build/goniang, $build/dbwsconv"
