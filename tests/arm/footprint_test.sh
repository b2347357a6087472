#!/usr/bin/env bash
# What the ARM build costs the camera's flash, checked on the stripped install:
# the ring library under 32 KiB, alarm_record (MP4 writer included) under
# 128 KiB, each needing no shared library beyond the C and C++ runtimes (and
# the recorder the ring library), and neither reaching for iostreams or for
# the C++ exception machinery (throwing, catching, unwinding through C++
# frames), which they do not use.
# usage: footprint_test.sh ARM_PREFIX   (the install from scripts/arm_build.sh)
set -uo pipefail
prefix=$1
readelf=${ARM_TRIPLE:-arm-linux-gnueabihf}-readelf
lib=$(readlink -f "$prefix/lib/libmedia_ring.so")
rec=$prefix/bin/alarm_record
failures=0 passes=0
check() {  # description, then a command that must succeed
  local what=$1; shift
  if "$@"; then passes=$((passes + 1)); else echo "FAIL: $what"; failures=$((failures + 1)); fi
}
needed() { "$readelf" -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' '; }
# The dynamic symbols a binary takes from elsewhere (what it pulls in).
imports() { "$readelf" --dyn-syms -W "$1" | awk '$7 == "UND" && $8 != "" {sub(/@.*/, "", $8); print $8}'; }
only_runtimes() {  # FILE ALLOWED...: every NEEDED entry is one of ALLOWED
  local file=$1 n; shift
  for n in $(needed "$file"); do
    [[ " $* " == *" $n "* ]] || { echo "  $file needs $n"; return 1; }
  done
}
none_of() {  # FILE REGEX: no imported symbol matches
  local hits
  hits=$(imports "$1" | grep -E "$2" | tr '\n' ' ')
  [ -z "$hits" ] || { echo "  $1 imports: $hits"; return 1; }
}
iostreams='ios_base|basic_ios|basic_[io]stream|basic_[io]fstream|basic_stringstream|_ZSt4(cout|cerr|clog|cin)'
exceptions='^__cxa_(allocate_exception|throw|rethrow|begin_catch|end_catch)|^_ZSt[0-9]+__throw_|^__gxx_personality_v0$|^_Unwind_Resume$|^_ZTI'
runtimes=(libc.so.6 libm.so.6 libgcc_s.so.1 libstdc++.so.6)

for f in "$lib" "$rec"; do
  check "$f exists" test -f "$f" || continue
  check "$f is stripped" bash -c '! '"$readelf"' -S "$1" | grep -q "\.symtab"' _ "$f"
done
lib_size=$(stat -c %s "$lib" 2>/dev/null || echo 0)
rec_size=$(stat -c %s "$rec" 2>/dev/null || echo 0)
check "libmedia_ring under 32 KiB (is $lib_size bytes)" test "$lib_size" -lt 32768
check "alarm_record under 128 KiB (is $rec_size bytes)" test "$rec_size" -lt 131072
check "libmedia_ring needs only the C runtime" only_runtimes "$lib" libc.so.6 libgcc_s.so.1
check "alarm_record needs only the ring and the C and C++ runtimes" \
  only_runtimes "$rec" libmedia_ring.so.1 "${runtimes[@]}"
check "libmedia_ring takes nothing from iostreams" none_of "$lib" "$iostreams"
check "alarm_record takes nothing from iostreams" none_of "$rec" "$iostreams"
check "libmedia_ring takes no exception machinery" none_of "$lib" "$exceptions"
check "alarm_record takes no exception machinery" none_of "$rec" "$exceptions"

echo "ARM footprint (stripped): libmedia_ring $lib_size bytes, needs: $(needed "$lib")"
echo "ARM footprint (stripped): alarm_record $rec_size bytes, needs: $(needed "$rec")"
echo "footprint: $passes passed, $failures failed"
[ "$failures" -eq 0 ]
