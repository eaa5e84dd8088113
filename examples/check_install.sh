#!/usr/bin/env bash
# Installs a build of velmora-csv into a scratch prefix and checks what a
# user of the installed package gets: the library with its SONAME, the
# header, the CMake package (the example built with find_package), the
# pkg-config file (the example built with cc), the tool with its man page
# and bash completion, and the Python package.
#
#   check_install.sh CMAKE BUILD_DIR EXAMPLES_DIR WITH_TOOL(0|1) PYTHON_DIR [PYTHON]
set -euo pipefail
cmake=$1 build=$2 examples=$3 with_tool=$4 python_dir=$5 python=${6:-python3}
sample=$examples/data/cities.csv

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() { echo "check_install: $*" >&2; exit 1; }
step() { echo "-- $*"; }

step "installing $build into $prefix"
"$cmake" --install "$build" --prefix "$prefix" >/dev/null

lib=$(find "$prefix" -name 'libvelmora-csv.so.*.*.*' -type f | head -n 1)
[ -n "$lib" ] || fail "no versioned libvelmora-csv.so.X.Y.Z installed"
libdir=$(dirname "$lib")
soname=$(readelf -d "$lib" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[ "$soname" = "libvelmora-csv.so.0" ] || fail "SONAME is '$soname', not libvelmora-csv.so.0"
[ "$(readlink "$libdir/libvelmora-csv.so.0")" = "$(basename "$lib")" ] || fail "libvelmora-csv.so.0 link missing"
[ "$(readlink "$libdir/libvelmora-csv.so")" = "libvelmora-csv.so.0" ] || fail "libvelmora-csv.so link missing"
[ -f "$prefix/include/velmora_csv.h" ] || fail "header not installed"
[ -f "$libdir/cmake/velmora-csv/velmora-csv-config.cmake" ] || fail "CMake package not installed"
[ -f "$libdir/pkgconfig/velmora-csv.pc" ] || fail "pkg-config file not installed"
step "library $lib (SONAME $soname)"

expect_hello() {  # what hello prints for the sample
    printf '%s\n' \
        '7 rows, 5 columns, 1 warnings' \
        'headers: ["city","country","population","area_km2","note"]' \
        'first rows: [{"city":"Zürich","country":"Switzerland","population":"423000","area_km2":"87.88","note":""},{"city":"São Paulo","country":"Brazil","population":"11450000","area_km2":"1521.11","note":"largest city of the southern hemisphere"}]'
}

step "building the example with find_package(velmora-csv)"
"$cmake" -S "$examples" -B "$work/example-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
"$cmake" --build "$work/example-build" >/dev/null
diff <(expect_hello) <("$work/example-build/hello" "$sample") || fail "hello (CMake build) printed something else"

step "building the example with pkg-config"
export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --modversion velmora-csv)" = "0.1.0" ] || fail "pkg-config reports another version"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror "$examples/hello.c" $(pkg-config --cflags --libs velmora-csv) -o "$work/hello-pc"
diff <(expect_hello) <(LD_LIBRARY_PATH=$libdir "$work/hello-pc" "$sample") || fail "hello (pkg-config build) printed something else"

if [ "$with_tool" = 1 ]; then
    step "running the installed tool"
    [ "$("$prefix/bin/velmora-csv" count "$sample")" = '{"rows":7,"columns":5,"warnings":1}' ] \
        || fail "the installed tool did not count the sample"
    step "the tool's man page and bash completion"
    grep -q '^\.TH VELMORA-CSV 1 ' "$prefix/share/man/man1/velmora-csv.1" 2>/dev/null \
        || fail "man page not installed in share/man/man1"
    completion=$prefix/share/bash-completion/completions/velmora-csv
    [ -f "$completion" ] || fail "bash completion not installed in share/bash-completion/completions"
    words=$(bash -c 'source "$1"; COMP_WORDS=(velmora-csv st); COMP_CWORD=1; _velmora_csv; echo "${COMPREPLY[*]}"' \
        _ "$completion") || fail "the installed bash completion does not load"
    [ "$words" = "stats" ] || fail "the installed bash completion offered '$words' for 'st'"
fi

case $python_dir in /*) pydir=$python_dir ;; *) pydir=$prefix/$python_dir ;; esac
if [ -d "$pydir/velmora_csv" ]; then
    # The installed package finds the library of its own prefix by itself:
    # no VELMORA_CSV_LIBRARY, no LD_LIBRARY_PATH.
    check_python() {  # PACKAGE_PARENT LIBDIR
        (cd "$work" && env -u VELMORA_CSV_LIBRARY -u LD_LIBRARY_PATH PYTHONPATH=$1 "$python" -c '
import glob, os, sys, velmora_csv
from velmora_csv import _native
assert velmora_csv.__file__.startswith(sys.argv[1]), velmora_csv.__file__
assert os.path.dirname(velmora_csv.library_path()) == sys.argv[2], velmora_csv.library_path()
# The C extension, when this build made one, is installed in the package.
if glob.glob(os.path.join(os.path.dirname(velmora_csv.__file__), "_rows*.so")):
    assert _native.rows_extension().__file__.startswith(sys.argv[1]), _native.rows_extension()
with velmora_csv.open(sys.argv[3]) as table:
    print(table.headers())
' "$1" "$2" "$sample")
    }
    expect_headers="['city', 'country', 'population', 'area_km2', 'note']"
    step "importing the installed Python package"
    headers=$(check_python "$pydir" "$libdir") || fail "the installed Python package does not work"
    [ "$headers" = "$expect_headers" ] || fail "Python gave headers $headers"
    case $python_dir in
    /*) ;;
    *)
        step "importing the Python package of a moved prefix"
        mv "$prefix" "$work/moved"
        headers=$(check_python "$work/moved/$python_dir" "$work/moved/${libdir#"$prefix"/}") \
            || fail "the Python package of a moved prefix does not find its library"
        [ "$headers" = "$expect_headers" ] || fail "Python gave headers $headers"
        mv "$work/moved" "$prefix"
        ;;
    esac
fi
echo "check_install: ok"
