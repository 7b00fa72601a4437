#!/bin/sh
# Runs the tool on the shipped sample data in a scratch directory.
set -eu
build=${1:-build}
prog="$(pwd)/$build/tool/catalogr"
if [ ! -x "$prog" ]; then
    echo "catalogr is not built yet" >&2
    exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
status=0
"$prog" || status=$?
echo "catalogr ended with status $status"
