#!/usr/bin/env bash
# The layers of the tree, checked from the #include lines of the sources:
#   platform -> net -> wire -> engine -> app, cli   (log beside wire)
# A file includes headers of its own floor or of floors below it only, the
# portable floors never include a system's window header, and no two files
# of the same floor call each other in a circle (a file "calls" another when
# it, or its header, includes the other's header), the front ends' own
# files included.
#   layers_test.sh [SOURCE_DIR]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

floor_of() {
    case $1 in
        platform/*) echo 0 ;;
        net/*) echo 1 ;;
        wire/* | log/*) echo 2 ;;
        engine/*) echo 3 ;;
        app/* | cli/*) echo 4 ;;
        *) echo -1 ;;
    esac
}

status=0
fail() {
    echo "layers: $*"
    status=1
}

files=$(ls platform/*.h platform/*/*.cpp net/* wire/* log/* engine/* app/*.h app/*.cpp cli/* 2>/dev/null)
edges=$(mktemp)
trap 'rm -f "$edges"' EXIT
for f in $files; do
    own=$(floor_of "$f")
    while read -r header; do
        [[ -n $header ]] || continue
        case $header in
            windows.h | winsock2.h | commctrl.h)
                [[ $f == platform/win32/* || $f == app/* ]] || fail "$f includes <$header>"
                continue ;;
        esac
        target=$(floor_of "$header")
        ((target >= 0)) || continue
        ((target <= own)) || fail "$f (floor $own) includes $header (floor $target)"
        # portable floors reach a front end only through engine/frontend.h
        [[ $header == app/* || $header == cli/* ]] && ((own < 4)) && fail "$f includes $header"
        # the unit of a call is a source file: X.h and X.cpp
        from=${f%.*}
        to=${header%.*}
        [[ $from != "$to" && -f $to.cpp && $own == "$target" ]] && echo "$from $to" >>"$edges"
    done < <(sed -n 's/^#include [<"]\([^>"]*\)[>"].*/\1/p' "$f")
done

# Circles among the units of one floor: a depth-first search for a back edge.
circle=$(sort -u "$edges" | awk '
    { next_of[$1] = next_of[$1] " " $2; nodes[$1]; nodes[$2] }
    function visit(n,   i, k, list) {
        state[n] = 1
        path[++depth] = n
        k = split(next_of[n], list, " ")
        for (i = 1; i <= k; ++i) {
            if (state[list[i]] == 1) {
                found = list[i]
                for (j = depth; j >= 1 && path[j] != list[i]; --j) found = path[j] " -> " found
                found = list[i] " -> " found
                return 1
            }
            if (state[list[i]] == 0 && visit(list[i])) return 1
        }
        state[n] = 2
        --depth
        return 0
    }
    END { for (n in nodes) if (state[n] == 0 && visit(n)) { print found; exit } }')
[[ -z $circle ]] || fail "a circle: $circle"

((status == 0)) && echo "layers: $(wc -w <<<"$files") files, $(sort -u "$edges" | wc -l) calls within floors, no circle"
exit $status
