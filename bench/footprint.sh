#!/usr/bin/env bash
# Footprint on the board: for every program and library of an armhf build,
# the stripped size and what it needs at run time (readelf -d), as CSV on
# standard output.
#
#   bench/footprint.sh BUILD_DIR > footprint.csv
#
# Columns: name, kind (program, shared, static), stripped_bytes, limit_bytes
# (programs only: 16 KiB, scangrab 32 KiB), needed (the NEEDED entries),
# needs_libstdcxx (the C++ runtime library among them), uses_cxx (the file
# refers to a libstdc++ symbol: a GLIBCXX/CXXABI versioned import, or for a
# static library an undefined C++ runtime name such as operator new or
# __cxa_*), needs_libgcc_s (GCC's unwinder: code compiled as C++ with
# exceptions pulls it in for the personality routines of its unwind tables,
# whether or not it uses the C++ library), goal_met (programs: within the
# limit, and no libstdc++ unless used).
set -euo pipefail

dir=${1:?usage: footprint.sh BUILD_DIR}
cross=${CROSS_PREFIX:-arm-linux-gnueabihf-}
strip=${cross}strip
readelf=${cross}readelf
nm=${cross}nm
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "name,kind,stripped_bytes,limit_bytes,needed,needs_libstdcxx,uses_cxx,needs_libgcc_s,goal_met"

# Every ELF file and archive the build made, outside CMake's own folders.
find "$dir" \( -name CMakeFiles -o -name googletest -o -name tests \) -prune -o -type f -print | sort |
while read -r f; do
  magic=$(head -c 4 "$f" | od -An -c | tr -d ' ')
  case "$magic" in
    177ELF) ;;
    '!<ar') ;;
    *) continue ;;
  esac
  base=$(basename "$f")
  case "$base" in libgtest* | libgmock*) continue ;; esac
  copy="$work/$base"
  cp "$f" "$copy"
  if [ "$magic" = '!<ar' ]; then
    kind=static
    "$strip" --strip-debug "$copy"
    needed=""
    if "$nm" -u "$copy" 2>/dev/null | grep -qE ' (_Znw|_Zdl|_Zna|_Zda|__cxa_|__gxx_|_ZSt|_ZNSt|_ZTV|_ZTI|_ZTS)'; then
      uses=yes
    else
      uses=no
    fi
  else
    if "$readelf" -lW "$f" 2>/dev/null | grep -q 'Requesting program interpreter'; then
      kind=program
      "$strip" --strip-all "$copy"
    else
      # Objects of CMake's compiler checks and the like are not deliverables.
      case "$base" in *.so | *.so.*) ;; *) continue ;; esac
      kind=shared
      "$strip" --strip-unneeded "$copy"
    fi
    needed=$("$readelf" -dW "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ' | sed 's/ $//')
    if "$readelf" --dyn-syms -W "$f" | grep -qE 'UND .*@(GLIBCXX|CXXABI)_'; then
      uses=yes
    else
      uses=no
    fi
  fi
  size=$(stat -c %s "$copy")
  needs=no
  case " $needed " in *" libstdc++"*) needs=yes ;; esac
  gcc_s=no
  case " $needed " in *" libgcc_s"*) gcc_s=yes ;; esac
  limit=""
  goal=""
  if [ "$kind" = program ]; then
    limit=16384
    [ "$base" = scangrab ] && limit=32768
    goal=yes
    [ "$size" -le "$limit" ] || goal=no
    if [ "$needs" = yes ] && [ "$uses" = no ]; then goal=no; fi
  fi
  echo "$base,$kind,$size,$limit,$needed,$needs,$uses,$gcc_s,$goal"
done
