#!/usr/bin/env bash
# The layers of src/ and whom each may include: core nothing above it; dynaddr core; transfer
# core and dynaddr; ui everything below it; app anything. Fails on an include upward or sideways.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
declare -A allowed=(
    [core]="core"
    [dynaddr]="core dynaddr"
    [transfer]="core dynaddr transfer"
    [ui]="core dynaddr transfer ui"
    [app]="core dynaddr transfer ui app"
)
status=0
for layer in "${!allowed[@]}"; do
    [ -d "$root/src/$layer" ] || continue
    while IFS= read -r hit; do
        file=${hit%%:*}
        rest=${hit#*:}
        line=${rest%%:*}
        target=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^/"]+)\/.*/\1/' <<<"${rest#*:}")
        if [[ " ${allowed[$layer]} " != *" $target "* ]]; then
            echo "include direction: ${file#"$root"/}:$line ($layer) includes $target" >&2
            status=1
        fi
    done < <(grep -RHnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^/"]+/' "$root/src/$layer" || true)
done
# A layer this script does not know yet has no rule: name it here before it is used.
for dir in "$root"/src/*/; do
    layer=$(basename "$dir")
    if [ -z "${allowed[$layer]+x}" ]; then
        echo "include direction: src/$layer has no rule in scripts/check-includes.sh" >&2
        status=1
    fi
done
[ $status -eq 0 ] && echo "Include directions are sound."
exit $status
