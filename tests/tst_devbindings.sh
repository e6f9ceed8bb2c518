#!/usr/bin/env bash
# The README's commands that install the Python module and the R package for
# the user (its block readme-bindings-install, run as written against this
# build folder) leave them where Debian's python3 and Rscript find them in a
# new shell: here a home of the test's own, so that nothing of the user's is
# touched.
#   tst_devbindings.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
top=$(cd "$(dirname "$0")/.." && pwd)
block=$(bash "$top/tests/scaleout/readmeblock.sh" readme-bindings-install "$top/README.md")
if [[ $block != $'scripts/dev python\nscripts/dev r' ]]; then
    echo "tst_devbindings: the README's install block is not 'scripts/dev python' and 'scripts/dev r':"
    echo "$block"
    exit 1
fi
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export HOME=$home
unset PYTHONPATH R_LIBS R_LIBS_USER PYTHONUSERBASE
if ! (cd "$top" && VANTRIX_BUILD_DIR="$build" bash -e -c "$block") >"$home/dev.log" 2>&1; then
    echo "tst_devbindings: the block failed:"
    cat "$home/dev.log"
    exit 1
fi
# A new shell, elsewhere: Debian's interpreters, nothing but HOME to go on.
cd "$home"
python=$(env -i HOME="$home" PATH=/usr/bin:/bin /usr/bin/python3 -c \
    'import vantrix, numpy; print(vantrix.percolates(numpy.ones((5, 5), numpy.int32)), vantrix.__file__)')
r=$(env -i HOME="$home" PATH=/usr/bin:/bin Rscript -e \
    'library(vantrix); cat(vt_percolates(matrix(1L, 5, 5)), find.package("vantrix"), "\n")')
[[ $python == "True $home/"* && $r == "TRUE $home/"* ]] || {
    echo "tst_devbindings: python3 said '$python', Rscript '$r'"
    exit 1
}
echo "tst_devbindings: python3 imports vantrix from ${python#True }, R loads it from ${r#TRUE }"
