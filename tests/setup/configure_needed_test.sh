#!/usr/bin/env bash
# configure_needed (scripts/common.sh): a build folder is configured when it has no cache, and
# configured afresh when its cache names another Python environment than the one in use, as
# after a change of the pinned requirements.
set -u
. "$(dirname "$0")/../../scripts/common.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
# case name | cache lines ("-" for no cache) | Python in use | expected answer
while IFS='|' read -r name cache python expected; do
  dir="$work/$name"
  mkdir -p "$dir"
  [ "$cache" = "-" ] || printf '%b\n' "$cache" >"$dir/CMakeCache.txt"
  got=$(configure_needed "$dir" "$python")
  if [ "$got" != "$expected" ]; then
    echo "FAIL $name: got '$got', expected '$expected'"
    failures=$((failures + 1))
  fi
done <<'CASES'
no-cache|-|/c/pyenv-3.11-aaa/bin/python|configure
same-env|CMAKE_BUILD_TYPE:STRING=Release\nMAGNIFEX_PYTHON:FILEPATH=/c/pyenv-3.11-aaa/bin/python|/c/pyenv-3.11-aaa/bin/python|
requirements-changed|MAGNIFEX_PYTHON:FILEPATH=/c/pyenv-3.11-aaa/bin/python|/c/pyenv-3.11-bbb/bin/python|reconfigure
given-without-type|MAGNIFEX_PYTHON:UNINITIALIZED=/c/pyenv-3.11-aaa/bin/python|/c/pyenv-3.11-aaa/bin/python|
longer-path|MAGNIFEX_PYTHON:FILEPATH=/c/pyenv-3.11-aaa/bin/python3|/c/pyenv-3.11-aaa/bin/python|reconfigure
similar-name-only|MAGNIFEX_PYTHON_OLD:FILEPATH=/c/pyenv-3.11-aaa/bin/python|/c/pyenv-3.11-aaa/bin/python|reconfigure
no-python-cached|CMAKE_BUILD_TYPE:STRING=Release|/c/pyenv-3.11-aaa/bin/python|reconfigure
CASES
[ "$failures" = 0 ] && echo "configure_needed: all cases pass"
exit "$failures"
