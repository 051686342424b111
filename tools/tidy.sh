#!/bin/sh
# Runs clang-tidy with the project's checks over the sources, or over the files given.
# clang-tidy 16 reads this code base once told what it lacks: C++23 is "c++2b" to it, it has no
# -fcoroutines (coroutines are always on), and libstdc++ 12 offers std::expected only to a newer
# concepts level than clang 16 announces.
#   tools/tidy.sh BUILD_DIR [FILE...]
set -eu
build=$1
shift
db=$(mktemp -d)
trap 'rm -rf "$db"' EXIT
sed -e 's/-std=c++23/-std=c++2b -D__cpp_concepts=202002L -Wno-builtin-macro-redefined -Wno-macro-redefined/g' \
    -e 's/-fcoroutines//g' "$build/compile_commands.json" >"$db/compile_commands.json"
if [ $# -eq 0 ]; then
    # shellcheck disable=SC2046 # the source paths have no spaces
    set -- $(find src -name '*.cpp' | sort)
fi
# One file a run, so that a failing file is named; clang-tidy's own chatter on stderr is dropped.
printf '%s\n' "$@" |
    xargs -P "$(getconf _NPROCESSORS_ONLN)" -I{} sh -c \
        'clang-tidy-16 -p "$0" --quiet "$1" 2>/dev/null || { echo "tidy: $1 has findings" >&2; exit 1; }' \
        "$db" {}
