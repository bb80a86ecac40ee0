#!/usr/bin/env bash
# Fails when a panel folder includes a header of a folder above it (panel/README.md).
set -u
cd "$(dirname "$0")"
order=(res base toolkit display help link timecode shell)
rank() { local i; for i in "${!order[@]}"; do [ "${order[$i]}" = "$1" ] && echo "$i" && return; done; echo -1; }
bad=0
for dir in "${order[@]}"; do
    [ -d "$dir" ] || continue
    while IFS=: read -r file inc; do
        target=${inc%%/*}
        [ "$target" = res ] && continue
        lo=$(rank "$dir"); hi=$(rank "$target")
        [ "$hi" -lt 0 ] && continue
        # display and help stand side by side; link stands apart from everything below it.
        if [ "$hi" -gt "$lo" ] || { [ "$dir" = link ] && [ "$target" != link ]; } ||
           { [ "$dir" = help ] && [ "$target" = display ]; }; then
            echo "layer violation: $file includes $inc"; bad=1
        fi
    done < <(grep -oE '#include "[a-z]+/[^"]+"' "$dir"/*.cpp "$dir"/*.h 2>/dev/null | sed -E 's/#include "//; s/"$//')
done
[ "$bad" -eq 0 ] && echo "panel layers: no folder includes one above it"
exit "$bad"
