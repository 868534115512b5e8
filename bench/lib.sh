# Shared by the benchmark scripts (sourced, POSIX sh). Sets top; needs root
# for the installs and the private network namespaces.
#
# A baseline is a directory that holds a Release build (its quorvane, and
# bench/table_bench when built with -DQV_BENCH=ON) or a git revision, built
# here into build/bench-base/REV from `git archive` (the work tree is left
# alone). Both builds use the same compiler, $CXX or g++.

top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build/bench"
cxx=${CXX:-g++}

# Packages: the project's own, and `time` for /usr/bin/time.
install_bench_deps() {
  "$top/scripts/install-deps"
  [ -x /usr/bin/time ] || { apt-get update -qq && apt-get install -y -qq time; }
}

# Configures and builds the current tree's targets "$@" in $build.
build_current() {
  cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER="$cxx" \
    -DQV_BENCH=ON >/dev/null
  cmake --build "$build" -j 2 --target "$@" >/dev/null
}

# Prints the build directory of baseline $1 (a build directory or a
# revision), building targets "$2..." there when it is a revision.
baseline_build() {
  base=$1
  shift
  if [ -d "$base" ]; then
    (cd "$base" && pwd)
    return
  fi
  rev=$(git -C "$top" rev-parse --short "$base^{commit}")
  dir="$top/build/bench-base/$rev"
  if [ ! -d "$dir/src" ]; then
    mkdir -p "$dir/src"
    git -C "$top" archive "$rev" | tar -x -C "$dir/src"
  fi
  cmake -S "$dir/src" -B "$dir/build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER="$cxx" \
    -DQV_BENCH=ON >/dev/null
  cmake --build "$dir/build" -j 2 --target "$@" >/dev/null
  echo "$dir/build"
}

# The median of the numbers on standard input, one a line.
median() {
  sort -g | awk '{ a[NR] = $1 } END { if (NR == 0) exit 1
    m = (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2; print m }'
}

# a / b with $3 decimals.
ratio() { awk -v a="$1" -v b="$2" -v d="${3:-2}" 'BEGIN { printf "%.*f", d, a / b }'; }
