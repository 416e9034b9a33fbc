#!/usr/bin/env bash
# bench/footprint.sh BUILD_DIR > footprint.csv: each program and library of an armhf build, stripped size, NEEDED
# entries; uses_cxx: it imports a GLIBCXX/CXXABI symbol (a static library: refers to operator new, __cxa_* or std::).
set -euo pipefail
dir=${1:?usage: footprint.sh BUILD_DIR}
cross=${CROSS_PREFIX:-arm-linux-gnueabihf-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "name,kind,stripped_bytes,needed,needs_libstdcxx,uses_cxx,needs_libgcc_s"
# Every ELF file and archive the build made, outside CMake's own folders and the tests.
find "$dir" \( -name CMakeFiles -o -name googletest -o -name tests -o -name 'libgtest*' -o -name 'libgmock*' \) -prune \
  -o -type f -print | sort |
while read -r f; do
  base=$(basename "$f") copy=$work/$(basename "$f") needed=""
  case "$(head -c 4 "$f" | od -An -c | tr -d ' ')" in
    '!<ar')
      kind=static
      cp "$f" "$copy" && "${cross}strip" --strip-debug "$copy"
      uses=$("${cross}nm" -u "$copy" 2>/dev/null | grep -E ' (_Znw|_Zdl|_Zna|_Zda|__cxa_|__gxx_|_ZSt|_ZNSt|_ZTV|_ZTI|_ZTS)' >/dev/null && echo yes || echo no) ;;
    177ELF)
      kind=program strip=--strip-all
      if ! "${cross}readelf" -lW "$f" 2>/dev/null | grep 'Requesting program interpreter' >/dev/null; then
        case "$base" in *.so | *.so.*) kind=shared strip=--strip-unneeded ;; *) continue ;; esac  # CMake's checks' objects
      fi
      cp "$f" "$copy" && "${cross}strip" "$strip" "$copy"
      needed=$("${cross}readelf" -dW "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ' | sed 's/ $//')
      uses=$("${cross}readelf" --dyn-syms -W "$f" | grep -E 'UND .*@(GLIBCXX|CXXABI)_' >/dev/null && echo yes || echo no) ;;
    *) continue ;;
  esac
  has() { case " $needed " in *" $1"*) echo yes ;; *) echo no ;; esac; }
  echo "$base,$kind,$(stat -c %s "$copy"),$needed,$(has libstdc++),$uses,$(has libgcc_s)"
done | sort -t, -k2,2 -s  # the programs first
