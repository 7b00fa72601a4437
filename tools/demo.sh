#!/bin/sh
# Runs the tool on the shipped sample data in a scratch directory: first the
# usage, then a script that creates a dictionary, registers a sample table
# and its index file, with every message and exit status shown.
set -eu
build=${1:-build}
root="$(pwd)"
prog="$root/$build/tool/catalogr"
if [ ! -x "$prog" ]; then
    echo "catalogr is not built yet" >&2
    exit 1
fi
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

echo "== A script of directives, messages to log.txt"
cp "$root/tests/data/samples/hb_nomemo.dbf" parts.dbf
cp "$root/tests/data/samples/hb_nomemo.cdx" parts.cdx
printf '%s\r\n' "-INIT" "-TA parts.dbf parts" "-IA parts.cdx parts" > jobs.txt
echo "jobs.txt:"
sed 's/^/    /' jobs.txt
run -Sjobs.txt -Olog.txt
echo "log.txt:"
sed 's/^/    /' log.txt
echo
echo "files now in the scratch directory:"
ls | sed 's/^/    /'
