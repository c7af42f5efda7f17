#!/bin/sh
# Checks that the Debian packages the build and the tests need are installed.
# As root it installs the missing ones with apt-get; otherwise it prints the
# one command that does and stops with status 1.
#
#   scripts/install-deps.sh [PACKAGE...]   # extra packages, e.g. for .ci/run
#
# To need a new package, add one line to the list below.
set -eu

packages=$(sed -e 's/#.*//' <<'LIST'
cmake             # configures the build
g++               # the C++20 compiler
make              # `make demo` and `make test`
libgtest-dev      # GoogleTest, the tests' framework
libbenchmark-dev  # Google Benchmark, for bench/
gemmi-dev         # CIF reading in cif2exp, space-group tables in the tests
tao-pegtl-dev     # the parser library gemmi's CIF reader is built on
libstb-dev        # the stb headers gemmi is built against
groff-base        # renders the man pages in the tests
tmux              # the test of the terminal dialogue (skipped without it)
nlohmann-json3-dev # vortan's JSON results file (--json), written and read back in the tests
libqhull-dev      # convex hulls of coordination polyhedra (reentrant libqhull_r)
libcpp-httplib-dev # the HTTP server of vortan's local page (--serve)
pkgconf           # finds cpp-httplib's compile flags
libopenblas-dev   # BLAS and LAPACK of cif2exp's least squares (lsq/)
python3-numpy     # the independent reference computations of the geometry tests
python3-scipy     # their convex hulls (scipy.spatial.ConvexHull)
python3-cctbx     # smtbx, the least-squares reference of the covariance tests
python3-jsonschema # NAME.json checked against doc/vortan-results.schema.json
python3-gemmi     # the published CIFs read in the survey of the publication CIF
gemmi             # `gemmi validate` of the CIF to submit
LIST
)
packages="$packages $*"

if ! command -v dpkg-query >/dev/null 2>&1; then
  echo "install-deps: not a Debian system; make sure these are installed:" $packages >&2
  exit 0
fi

missing=
for package in $packages; do
  dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q ' installed$' ||
    missing="$missing $package"
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: these Debian packages are missing:$missing" >&2
  echo "install them with:" >&2
  echo "  sudo apt-get install$missing" >&2
  exit 1
fi
echo "install-deps: installing$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq -o Dpkg::Use-Pty=0$missing
