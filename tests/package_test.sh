#!/usr/bin/env bash
# The Debian package, made as scripts/package makes it (CPack in the native
# build) and installed as a user's dpkg would lay it out, into a scratch root
# (dpkg -x): every file where Debian looks for it, the installed program
# cleaning a folder of specimens to exactly the bytes each must hold, its
# manual page read by man without a warning, its bash completion offering
# the program's options, the Python module imported by the system's Python
# from where Debian's Python packages are, and neither an error nor a warning
# from lintian. Run as root on a machine where no krizclean package is
# installed, it also installs the package for real (dpkg -i: the maintainer
# scripts byte-compile the module), imports it as any user's Python would,
# and removes it again, finding nothing of it left.
#   tests/package_test.sh BUILD_DIR SPECIMEN_SET
set -euo pipefail
build=$(realpath "$1")
specimen_set=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() {
  echo "package: $*" >&2
  failed=1
}

(cd "$build" && cpack -G DEB -B "$work/cpack" >/dev/null)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
deb=$work/cpack/krizclean_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || { echo "package: no $deb" >&2; ls "$work/cpack" >&2; exit 1; }

# Dependencies as dpkg-shlibdeps found them in what the program links.
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libstdc++6 libarchive13 libtsk 'python3 (>= 3.' 'python3 (<< 3.'; do
  case $depends in *"$library"*) ;; *) fail "Depends lacks $library: $depends" ;; esac
done
[ "$(dpkg-deb -f "$deb" Recommends)" = python3-distributed ] ||
  fail "Recommends is not python3-distributed: $(dpkg-deb -f "$deb" Recommends)"
dpkg-deb -e "$deb" "$work/control"
grep -q py3compile "$work/control/postinst" 2>/dev/null ||
  fail "the package's postinst does not run py3compile"
grep -q py3clean "$work/control/prerm" 2>/dev/null || fail "the package's prerm does not run py3clean"

root=$work/root
dpkg -x "$deb" "$root"
for path in usr/bin/krizclean usr/share/man/man1/krizclean.1.gz \
  usr/share/bash-completion/completions/krizclean usr/share/doc/krizclean/README.md \
  usr/share/doc/krizclean/copyright usr/share/doc/krizclean/changelog.gz \
  usr/lib/python3/dist-packages/krizclean/__init__.py \
  usr/lib/python3/dist-packages/krizclean/cluster.py; do
  [ -f "$root/$path" ] || fail "$path is not in the package"
done
ls "$root"/usr/lib/python3/dist-packages/krizclean/_krizclean.cpython-*.so >/dev/null 2>&1 ||
  fail "the module's compiled half is not in the package"

# The module from the scratch root, with the system's Python: its version,
# and the cluster driver's --help (which imports Dask).
modules=$root/usr/lib/python3/dist-packages
(cd "$work" && PYTHONPATH=$modules /usr/bin/python3 -c \
  'import krizclean, sys; sys.exit(krizclean.__version__ != sys.argv[1])' "$version") ||
  fail "krizclean does not import from the package, or has another version"
(cd "$work" && PYTHONPATH=$modules /usr/bin/python3 -B -m krizclean.cluster --help) >"$work/cluster" 2>&1 ||
  fail "python3 -m krizclean.cluster --help failed: $(cat "$work/cluster")"

# A plain `cmake --install` lays out the same files below its prefix, and
# none of the programs that scripts/build puts into build/out/.
cmake --install "$build" --prefix "$work/local" >/dev/null
if ! diff <(cd "$work/local" && find . -type f | sort) <(cd "$root/usr" && find . -type f | sort) \
  >"$work/layout"; then
  fail "cmake --install and the package differ: $(cat "$work/layout")"
fi

# The installed program, on a folder of specimens.
"$specimen_set" shipped "$work/set" >/dev/null
status=0
"$root/usr/bin/krizclean" --clean --quiet "$work/set/drive" >"$work/out" 2>&1 || status=$?
[ "$status" -eq 1 ] || fail "the installed krizclean ended with $status (1 expected): $(cat "$work/out")"
diff -r "$work/set/drive" "$work/set/expected" >/dev/null ||
  fail "the installed krizclean did not leave every file as it should: $(diff -rq "$work/set/drive" "$work/set/expected")"
"$root/usr/bin/krizclean" --version | head -1 | grep -qx "krizclean $version" ||
  fail "krizclean --version does not say $version"

# The manual page, as man reads it: no warning from groff, and a page.
warnings=$(MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/krizclean.1.gz" 2>&1 >"$work/page")
[ -z "$warnings" ] || fail "man warns about the manual page: $warnings"
grep -q 'one-file-system' "$work/page" || fail "the manual page reads empty"

# The completion, loaded as bash-completion loads it, completing "--excl".
completion=$(PATH="$root/usr/bin:$PATH" bash -c '
  source /usr/share/bash-completion/bash_completion
  source "$1"
  COMP_WORDS=(krizclean --excl); COMP_CWORD=1; COMP_LINE="krizclean --excl"; COMP_POINT=${#COMP_LINE}
  _krizclean krizclean --excl krizclean
  printf "%s\n" "${COMPREPLY[@]}" | sort | tr "\n" " "' bash \
  "$root/usr/share/bash-completion/completions/krizclean")
[ "$completion" = "--exclude --exclude-dir " ] ||
  fail "the completion of --excl is '$completion'"
# And the code pages after --codepage, not file names.
completion=$(cd "$work" && PATH="$root/usr/bin:$PATH" bash -c '
  source /usr/share/bash-completion/bash_completion
  source "$1"
  COMP_WORDS=(krizclean --codepage ""); COMP_CWORD=2; COMP_LINE="krizclean --codepage "
  COMP_POINT=${#COMP_LINE}
  _krizclean krizclean "" --codepage
  printf "%s\n" "${COMPREPLY[@]}" | sort | tr "\n" " "' bash \
  "$root/usr/share/bash-completion/completions/krizclean")
[ "$completion" = "437 850 852 866 " ] || fail "the completion after --codepage is '$completion'"

# lintian: notes are reported, errors and warnings fail.
status=0
lintian --allow-root "$deb" >"$work/lintian" 2>&1 || status=$?
cat "$work/lintian"
if grep -q '^[EW]: ' "$work/lintian"; then
  fail "lintian reports errors or warnings"
elif [ "$status" -ne 0 ]; then
  fail "lintian could not check the package (status $status)"
fi

# Installed for real, as root, where no krizclean is installed already (one
# dpkg at a time on a machine that several checkouts share).
if [ "$(id -u)" -ne 0 ]; then
  echo "package: not root: the package is not installed for real"
elif dpkg-query -W -f='${Status}' krizclean 2>/dev/null | grep -q installed; then
  echo "package: a krizclean package is installed already: not installed for real"
else
  (
    flock 9
    dpkg -i "$deb" >"$work/dpkg" 2>&1 || fail "dpkg -i failed: $(cat "$work/dpkg")"
    listed=$(dpkg -L krizclean)
    [ -d /usr/lib/python3/dist-packages/krizclean/__pycache__ ] ||
      fail "the module was not byte-compiled when installed"
    (cd / && setpriv --reuid=nobody --regid=nogroup --clear-groups env -u PYTHONPATH \
      /usr/bin/python3 -c 'import krizclean; print(krizclean.__version__)') >"$work/import" 2>&1 ||
      fail "an ordinary user's Python cannot import krizclean: $(cat "$work/import")"
    (cd / && env -u PYTHONPATH /usr/bin/python3 -m krizclean.cluster --help) >/dev/null 2>&1 ||
      fail "python3 -m krizclean.cluster --help fails once installed"
    dpkg --purge krizclean >"$work/dpkg" 2>&1 || fail "dpkg --purge failed: $(cat "$work/dpkg")"
    grep -i 'not empty' "$work/dpkg" && fail "removing the package left folders behind"
    for path in $listed; do
      case $path in /usr/lib/python3/dist-packages/krizclean* | /usr/bin/krizclean | /usr/share/doc/krizclean*)
        [ ! -e "$path" ] || fail "$path is left after removing the package" ;;
      esac
    done
    exit "$failed"
  ) 9>/tmp/kriz-apt.lock || failed=1
fi

[ "$failed" -eq 0 ] && echo "the package installs and works"
exit "$failed"
