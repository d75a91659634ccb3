#!/usr/bin/env bash
# The Debian package, made as scripts/package makes it (CPack in the native
# build) and installed as a user's dpkg would lay it out, into a scratch root
# (dpkg -x): every file where Debian looks for it, the installed program
# cleaning a folder of specimens to exactly the bytes each must hold, its
# manual page read by man without a warning, its bash completion offering
# the program's options, and no error from lintian.
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
for library in libc6 libstdc++6 libarchive13 libtsk; do
  case $depends in *"$library"*) ;; *) fail "Depends lacks $library: $depends" ;; esac
done

root=$work/root
dpkg -x "$deb" "$root"
for path in usr/bin/krizclean usr/share/man/man1/krizclean.1.gz \
  usr/share/bash-completion/completions/krizclean usr/share/doc/krizclean/README.md \
  usr/share/doc/krizclean/copyright usr/share/doc/krizclean/changelog.gz; do
  [ -f "$root/$path" ] || fail "$path is not in the package"
done

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
"$root/usr/bin/krizclean" --version | grep -qx "krizclean $version" ||
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

# lintian: warnings and notes are reported, errors fail.
status=0
lintian --allow-root "$deb" >"$work/lintian" 2>&1 || status=$?
cat "$work/lintian"
if grep -q '^E: ' "$work/lintian"; then
  fail "lintian reports errors"
elif [ "$status" -ne 0 ]; then
  fail "lintian could not check the package (status $status)"
fi

[ "$failed" -eq 0 ] && echo "the package installs and works"
exit "$failed"
