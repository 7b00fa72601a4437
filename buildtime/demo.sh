#!/bin/sh
# Runs the tool on the shipped sample tables in a scratch directory: the
# usage, then a script that creates a dictionary, registers three tables
# (one with a memo file, two with their own production index), records and
# clears index files and removes a table; then a refused directive, a
# registration with paths, and the dictionary shown and checked by xbcheck.
set -eu
build=${1:-build}
root="$(pwd)"
prog="$root/$build/tool/catalogr"
check="$root/$build/xbcheck/xbcheck"
for f in "$prog" "$check"; do
    if [ ! -x "$f" ]; then
        echo "$f is not built yet" >&2
        exit 1
    fi
done
if [ ! -f "$root/$build/tool/catalogr.rsc" ]; then
    echo "the message file catalogr.rsc is not built yet" >&2
    exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
unset VX VX_RTCONFIG VX_XBDDPATH 2>/dev/null || true

run() {
    echo "\$ catalogr $*"
    status=0
    "$prog" "$@" || status=$?
    echo "(exit status $status)"
    echo
}

echo "== Without arguments the tool prints its usage"
run

echo "== Sample tables written by other programs, copied to $work"
samples="$root/tests/data/samples"
cp "$samples/hb_memo.dbf" customers.dbf      # with a memo field ...
cp "$samples/hb_memo.fpt" customers.fpt
cp "$samples/hb_memo.cdx" customers.cdx      # ... and its own index
cp "$samples/hb_nomemo.dbf" orders.dbf
cp "$samples/hb_nomemo.cdx" orders.cdx
cp "$samples/py_db3.dbf" parts.dbf           # no index
ls | sed 's/^/    /'
echo

echo "== A script of directives, messages to log.txt"
printf '%s\r\n' "-INIT" \
    "-TA customers.dbf customers" "-TA orders.dbf orders" "-TA parts.dbf parts" \
    "-IA orders.cdx orders" "-IA customers.cdx customers" "-ID customers.cdx customers" \
    "-TD parts" > jobs.txt
echo "jobs.txt:"
sed 's/^/    /' jobs.txt
run -Sjobs.txt -Olog.txt
echo "log.txt (empty: every directive succeeded):"
sed 's/^/    /' log.txt
echo

echo "== A table registered twice is refused"
run -TA parts.dbf orders

echo "== With VX_XBDDPATH set, the data file is registered with its directory"
echo "\$ VX_XBDDPATH= catalogr -TA parts.dbf parts"
status=0
VX_XBDDPATH= "$prog" -TA parts.dbf parts || status=$?
echo "(exit status $status)"
echo

xbcheck() {
    echo "\$ xbcheck $*"
    status=0
    "$check" "$@" || status=$?
    echo "(exit status $status)"
    echo
}

echo "== The dictionary: the registered tables, checked against their files"
xbcheck --dictionary
echo "== Its rows, and a registered table with its tags"
xbcheck --records SQLTABLE.DBF SQLCOLMN.DBF
xbcheck orders.dbf
echo "files now in the scratch directory:"
ls | sed 's/^/    /'
