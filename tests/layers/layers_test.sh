#!/usr/bin/env bash
# The build's shape, checked on the files themselves.
#   layers_test.sh includes PYTHON SOURCE_ROOT
#   layers_test.sh needed LIBRARY "ALLOWED NEEDED ENTRIES (shell patterns)"
#   layers_test.sh hardening PROGRAM yes|no(fortify)
#   layers_test.sh format SOURCE_ROOT
set -uo pipefail
fail=0
bad() { echo "FAIL: $*"; fail=1; }

case $1 in
includes)
  python=$2 src=$3
  "$python" "$src/scripts/check-layers" "$src" || bad "the source tree has include cycles"
  # The checker itself: a tree with one cycle of each kind must fail and
  # name it, the same tree without them must pass.
  tmp=$(mktemp -d "${TMPDIR:-/tmp}/layers.$$.XXXXXX")
  trap 'rm -rf "$tmp"' EXIT
  mkdir -p "$tmp/keva" "$tmp/vln"
  printf '#pragma once\n' > "$tmp/keva/a.h"
  printf '#pragma once\n' > "$tmp/keva/c.h"
  printf '#pragma once\n#include "c.h"\n' > "$tmp/keva/b.h"
  printf '#include "a.h"\n#include "b.h"\n' > "$tmp/keva/a.cpp"
  printf '#include "b.h"\n#include "vln/v.h"\n#include <stdio.h>\n' > "$tmp/keva/b.cpp"
  printf '#pragma once\n' > "$tmp/vln/v.h"
  printf '#include "v.h"\n' > "$tmp/vln/v.cpp"
  "$python" "$src/scripts/check-layers" "$tmp" > "$tmp/out" || bad "an acyclic tree fails: $(cat "$tmp/out")"
  printf '#include "a.h"\n' >> "$tmp/keva/b.cpp"
  printf '#include "keva/b.h"\n' >> "$tmp/vln/v.cpp"
  printf '#include "b.h"\n' >> "$tmp/keva/c.h"
  "$python" "$src/scripts/check-layers" "$tmp" > "$tmp/out" && bad "a tree with cycles passes"
  for want in "among units: keva/a -> keva/b -> keva/a" "among folders: keva -> vln -> keva" \
              "among files: keva/b.h -> keva/c.h -> keva/b.h"; do
    grep -qF "$want" "$tmp/out" || bad "'$want' not named in: $(cat "$tmp/out")"
  done
  # System headers: a tree where only the platform halves, tools and
  # portable headers appear passes; each line below, added to the file
  # before it, must fail and be named with its file and line.
  t="$tmp/sys"
  mkdir -p "$t/keva" "$t/platform/linux" "$t/driver/linux" "$t/driver/core" "$t/tools" "$t/gui/core"
  printf '#include <cstdio>\n#include <apr_poll.h>\n#include <openssl/err.h>\n#include "platform/socket_io.h"\n// #include <poll.h>\n' > "$t/keva/ok.cpp"
  printf '#include <poll.h>\n#include <sys/socket.h>\n' > "$t/platform/linux/socket_io.cpp"
  printf '#include <linux/if_tun.h>\n' > "$t/driver/linux/tap.cpp"
  printf '#include <unistd.h>\n' > "$t/tools/tool.cpp"
  "$python" "$src/scripts/check-layers" "$t" > "$tmp/out" || bad "system headers where they belong fail: $(cat "$tmp/out")"
  while read -r file header; do
    cp "$t/keva/ok.cpp" "$t/$file"
    printf '#  include %s\n' "$header" >> "$t/$file"
    "$python" "$src/scripts/check-layers" "$t" > "$tmp/out" && bad "$file including $header passes"
    want="$file:6: includes the system header ${header:1:-1}"
    grep -qF "$want" "$tmp/out" || bad "'$want' not named in: $(cat "$tmp/out")"
    rm "$t/$file"
  done <<'CASES'
keva/a.cpp <sys/socket.h>
keva/b.h <poll.h>
gui/core/c.cpp <pwd.h>
driver/core/d.cpp <linux/if_tun.h>
keva/e.cpp "platform/linux/netlink.h"
keva/f.cpp <netinet/in.h>
CASES
  ;;
needed)
  lib=$2 allowed=$3
  set -f  # the patterns are matched against names, not the folder
  entries=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  [ -n "$entries" ] || bad "no NEEDED entries read from $lib"
  for e in $entries; do
    ok=0
    for pattern in $allowed; do
      # shellcheck disable=SC2053 # the allowed entries are patterns
      [[ $e == $pattern ]] && ok=1
    done
    [ $ok = 1 ] || bad "$(basename "$lib") needs $e"
  done
  ;;
hardening)
  prog=$2 fortify=$3
  dyn=$(readelf -d "$prog") || bad "cannot read $prog"
  grep -q 'GNU_RELRO' <(readelf -lW "$prog") || bad "no RELRO segment"
  grep -Eq '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW' <<<"$dyn" || bad "not bound at start (BIND_NOW): partial RELRO only"
  grep -Eq '\(FLAGS_1\).*PIE' <<<"$dyn" && grep -q 'DYN' <(readelf -h "$prog") || bad "not position-independent"
  syms=$(readelf -W --dyn-syms "$prog")
  grep -q '__stack_chk_fail' <<<"$syms" || bad "no stack protector (__stack_chk_fail not referenced)"
  if [ "$fortify" = yes ]; then
    grep -Eq ' __[a-z0-9_]+_chk(@|$)' <(grep -v __stack_chk_fail <<<"$syms") ||
      bad "no checked libc calls (_FORTIFY_SOURCE)"
  fi
  ;;
format)
  src=$2
  # Every C and C++ file of the tree, whoever wrote it, in the one house style.
  mapfile -t files < <(cd "$src" && find . \( -name 'build*' -o -path './.*' -o -name third_party \) -prune -o \
    -type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) -print | sort)
  [ ${#files[@]} -gt 100 ] || bad "only ${#files[@]} source files found under $src"
  (cd "$src" && clang-format --dry-run --Werror "${files[@]}") || bad "files above are not formatted (clang-format -i)"
  ;;
*)
  echo "usage: $0 includes|needed|hardening|format ..." >&2
  exit 2
  ;;
esac
exit $fail
