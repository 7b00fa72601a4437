#!/bin/sh
# The tool reaches the engine through its public header alone, and that
# header, with every engine header it brings, brings none of the engine's
# internals (the index, the expressions, files, lists, pools, memo files).
# Prints each include that breaks this; fails when there is one.
src=$1
status=0
if grep -n '#include "xbase/' "$src"/tool/*.cpp "$src"/tool/*.h | grep -v '"xbase/xbase.h"'; then
    status=1
fi
seen=" "
todo="xbase/xbase.h"
while [ -n "$todo" ]; do
    set -- $todo
    header=$1
    shift
    todo="$*"
    case "$seen" in *" $header "*) continue ;; esac
    seen="$seen$header "
    for inc in $(sed -n 's/^#include "\(xbase\/[^"]*\)".*/\1/p' "$src/$header"); do
        case $inc in
        xbase/index/* | xbase/expr/* | xbase/file4.h | xbase/l4list.h | xbase/mem4.h | xbase/memo4.h)
            echo "$header includes $inc, which is internal to the engine"
            status=1
            ;;
        esac
        todo="$todo $inc"
    done
done
exit $status
