#!/usr/bin/env bash
# The layers include downwards only: the render pipeline and the models know neither the node, the
# SDK nor the host; the node knows no host. One include root serves every layer, so the compiler
# would not notice a stray include: this check does.
set -euo pipefail
root=$1
status=0
# layer folder, then the project folders its files may include from
check() {
  local layer=$1 allowed=$2
  while IFS= read -r line; do
    echo "$line: $layer/ may include only from: $allowed"
    status=1
  done < <(grep -rnE '^\s*#\s*include\s+"' "$root/$layer" --include='*.h' --include='*.cpp' --include='*.def' |
           grep -vE "#\s*include\s+\"($(echo "$allowed" | tr ' ' '|'))/" |
           grep -vE '#\s*include\s+"[^/"]+"' || true)
}
check render "render"
check models "models"
check op "op models render DDImage"
exit $status
