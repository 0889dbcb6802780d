#!/usr/bin/env bash
# Fails when a source file includes from a layer above its own: prints every such line as
# FILE:LINE: TEXT, then what that folder may include. A folder may always include itself; system
# headers (<...>) and includes without a folder are free. Tests, fuzz targets and benchmarks are
# not checked.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

# The folders of ours that each folder may include, besides itself.
declare -A allowed=(
    [win]=""
    [net]=""
    [res]=""
    [core]="net"
    [cache]="core net"
    [ui]="win res"
    [system]="core net"
    [app]="win net res core cache ui system"
    [daemon]="core cache net"
    [installer]="system res"
)
ours="${!allowed[*]} tests fuzz bench"

offences=0
while IFS= read -r file; do
    folder=${file%%/*}
    while IFS=: read -r line text; do
        included=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"/]+)\/.*/\1/' <<<"$text")
        [ "$included" != "$text" ] || continue # no folder in the name
        [[ " $ours " == *" $included "* ]] || continue
        [ "$included" != "$folder" ] || continue
        [[ " ${allowed[$folder]} " == *" $included "* ]] && continue
        echo "$file:$line: $text"
        echo "    $folder/ may include: ${allowed[$folder]:-nothing of ours}"
        offences=$((offences + 1))
    done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file")
done < <(for folder in "${!allowed[@]}"; do
    git ls-files -co --exclude-standard -- "$folder/"
done | grep -E '\.(h|cpp|rc|in)$' | sort)

if [ "$offences" -gt 0 ]; then
    echo "$offences include(s) from a layer above"
    exit 1
fi
echo "includes point downwards"
