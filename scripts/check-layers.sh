#!/usr/bin/env bash
# Checks that every folder includes only the folders below it: each line of
# the table names a folder and the folders it may include besides itself.
# Prints every include that breaks the order and fails when there is one.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

declare -A allowed=(
    [platform]=""
    [messaging]="platform"
    [net]="platform"
    [router]="platform"
    [sound]="platform"
    [richtext]="platform messaging"
    [conversation]="platform messaging net sound"
    [ui]="platform messaging router richtext"
    [app]="platform messaging net router sound conversation richtext ui"
    [logreader]="platform messaging richtext"
    [data]="platform messaging richtext"
)

bad=0
for folder in "${!allowed[@]}"; do
    [ -d "$folder" ] || continue
    while IFS=: read -r file line text; do
        target="$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^/"]+)\/.*/\1/' <<<"$text")"
        [ "$target" = "$folder" ] && continue
        [ -n "${allowed[$target]+x}" ] || continue # not one of ours
        if ! grep -qw -- "$target" <<<"${allowed[$folder]}"; then
            echo "$file:$line: $folder/ includes $target/, which is not below it"
            bad=1
        fi
    done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^/"]+/' "$folder" --include='*.h' --include='*.cpp' || true)
done
if [ "$bad" -ne 0 ]; then
    exit 1
fi
echo "layers: every folder includes only the folders below it"
