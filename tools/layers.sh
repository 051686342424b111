#!/bin/sh
# Fails when a file of a lower layer includes one of a higher layer: the layers of src/ depend
# one way only, platform <- gate <- account <- agents <- pairing <- app.
set -eu
cd "$(dirname "$0")/../src"
order="platform gate account agents pairing app"

rank() {
    i=0
    for layer in $order; do
        [ "$layer" = "$1" ] && echo "$i" && return
        i=$((i + 1))
    done
    echo "-1"
}

status=0
for folder in $order; do
    own=$(rank "$folder")
    for file in "$folder"/*; do
        for used in $(sed -n 's|^#include "\([a-z]*\)/.*|\1|p' "$file" | sort -u); do
            theirs=$(rank "$used")
            if [ "$theirs" -lt 0 ] || [ "$theirs" -gt "$own" ]; then
                echo "layers: $file includes $used/, which is not below $folder/" >&2
                status=1
            fi
        done
    done
done
[ "$status" -eq 0 ] && echo "layers: every include points down ($order)"
exit "$status"
