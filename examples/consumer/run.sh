#!/usr/bin/env bash
# Builds the example hosts against an installed library and runs them:
#   examples/consumer/run.sh PREFIX [WORKDIR]
# PREFIX is what `cmake --install build --prefix PREFIX` filled. The hosts are
# built twice, with the CMake package (find_package(tessera CONFIG)) and with
# pkg-config (tessera.pc, tessera-fortran.pc, tessera-solve-fortran.pc); C,
# C++17 and, when the Fortran modules are installed and gfortran is present,
# Fortran (the solver's Fortran hosts where the solver's module is installed).
set -euo pipefail
[ $# -ge 1 ] || { sed -n '2,8s/^# \{0,1\}//p' "$0" >&2; exit 2; }
prefix=$(cd "$1" && pwd)
work=${2:-$(mktemp -d /tmp/tessera-consumer-XXXXXX)}
mkdir -p "$work"
work=$(cd "$work" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
examples=$(dirname "$here")

echo "-- CMake package"
cmake -S "$here" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" > "$work/cmake.log"
grep -- '-- tessera ' "$work/cmake.log" || true
cmake --build "$work/cmake" -j 2 > /dev/null

echo "-- pkg-config"
pcdir=$(dirname "$(find "$prefix" -name tessera.pc | head -1)")
export PKG_CONFIG_PATH="$pcdir"
libdir=$(pkg-config --variable=libdir tessera)
mkdir -p "$work/pc"
cc -std=c11 $(pkg-config --cflags tessera) "$examples/put_get.c" -o "$work/pc/consumer_c" \
  $(pkg-config --libs tessera) -Wl,-rpath,"$libdir"
c++ -std=c++17 $(pkg-config --cflags tessera) "$examples/put_get.cpp" -o "$work/pc/consumer_cpp" \
  $(pkg-config --libs tessera) -Wl,-rpath,"$libdir"
programs=("$work/cmake/consumer_c" "$work/cmake/consumer_cpp" "$work/pc/consumer_c" "$work/pc/consumer_cpp")
if pkg-config --exists tessera-fortran && command -v gfortran > /dev/null; then
  gfortran -fdefault-integer-8 $(pkg-config --cflags tessera-fortran) "$examples/stiffness.f90" \
    -o "$work/pc/consumer_fortran" $(pkg-config --libs tessera-fortran) -Wl,-rpath,"$libdir"
  programs+=("$work/cmake/consumer_fortran" "$work/pc/consumer_fortran")
  if pkg-config --exists tessera-solve-fortran; then
    for host in fe_solve csc_solve; do
      # -J: the host's own module (its progress callback) goes to the work folder.
      gfortran -fdefault-integer-8 -J "$work/pc" \
        $(pkg-config --cflags tessera-fortran tessera-solve-fortran) \
        "$examples/$host.f90" -o "$work/pc/consumer_$host" \
        $(pkg-config --libs tessera-fortran tessera-solve-fortran) -Wl,-rpath,"$libdir"
      programs+=("$work/cmake/consumer_$host" "$work/pc/consumer_$host")
    done
  fi
fi

# Every program in a folder of its own (they leave their file sets there).
passed=0 failed=0
for program in "${programs[@]}"; do
  run="$work/run/$(basename "$(dirname "$program")")-$(basename "$program")"
  mkdir -p "$run"
  if (cd "$run" && "$program" > out.txt 2>&1); then
    passed=$((passed + 1)); echo "ok   $program"
  else
    failed=$((failed + 1)); echo "FAIL $program"; cat "$run/out.txt"
  fi
done
echo "consumer: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
