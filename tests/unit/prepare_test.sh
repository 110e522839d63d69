#!/usr/bin/env bash
# prepare_test.sh [PREPARE] - runs scripts/prepare.sh (or PREPARE) with stub
# apt-get, dpkg, dpkg-query, sudo and sleep first on PATH, so that nothing is
# installed or changed: a package source that fails to update must not stop
# it, and an install that then fails must say what, why and what to try.
set -u
script=$(realpath "${1:-$(dirname "$0")/../../scripts/prepare.sh}")
# Where 32-bit Wine does not start, the script goes on to register qemu with
# binfmt_misc, which is no business of a test.
/usr/lib/wine/wine --version >/dev/null 2>&1 || { echo "SKIPPED: 32-bit Wine does not start here"; exit 77; }
release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
stub() { cat >"$work/bin/$1"; chmod +x "$work/bin/$1"; }

# Every stub logs its call. Two packages are missing; osslsigncode is at 2.9 and
# source packages are at hand, so the branches that write /etc/apt are skipped.
stub dpkg-query <<'EOF'
#!/bin/sh
echo "dpkg-query $*" >>"$STUB/calls"
for package; do :; done
case " wine32:i386 xvfb " in *" $package "*) exit 1 ;; esac
case "$*" in *Version*) printf 'install ok installed 2.9-1~bpo12+1' ;; *) printf 'install ok installed' ;; esac
EOF
stub dpkg <<'EOF'
#!/bin/sh
echo "dpkg $*" >>"$STUB/calls"
case "$1" in
--print-foreign-architectures) echo i386 ;;
--compare-versions) exit 0 ;;
*) exit 1 ;;
esac
EOF
# The security suite's i386 index fails in every update; the first
# $STUB_INSTALL_FAILS installs fail as apt does when the 32-bit half lags.
stub apt-get <<'EOF'
#!/bin/sh
echo "apt-get $*" >>"$STUB/calls"
case "$1" in
update)
    echo "Hit:1 http://deb.debian.org/debian bookworm InRelease"
    echo "Err:5 http://deb.debian.org/debian-security bookworm-security/main i386 Packages"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100 ;;
install)
    echo x >>"$STUB/installs"
    if [ "$(wc -l <"$STUB/installs")" -gt "$STUB_INSTALL_FAILS" ]; then echo "Setting up xvfb"; exit 0; fi
    echo "The following packages have unmet dependencies:"
    echo " wine32:i386 : Depends: libwine:i386 (= 8.0~repack-4+deb12u1) but 8.0~repack-4 is to be installed"
    echo "E: Unable to correct problems, you have held broken packages."
    exit 100 ;;
source) exit 0 ;;
esac
exit 1
EOF
stub sleep <<'EOF'
#!/bin/sh
echo "sleep $*" >>"$STUB/calls"
EOF
stub sudo <<'EOF'
#!/bin/sh
exec "$@"
EOF
# Should a branch that writes /etc or mounts run after all, it fails here instead.
stub tee <<'EOF'
#!/bin/sh
for arg; do case "$arg" in /etc/*) echo "tee $*" >>"$STUB/calls"; exit 1 ;; esac; done
exec /usr/bin/tee "$@"
EOF
stub mount <<'EOF'
#!/bin/sh
echo "mount $*" >>"$STUB/calls"
exit 1
EOF

failed=0
run() {
    : >"$work/calls"
    : >"$work/installs"
    STUB=$work STUB_INSTALL_FAILS=$1 TMPDIR=$work PATH="$work/bin:$PATH" bash "$script" >"$work/out" 2>"$work/err"
    status=$?
}
check() { "${@:2}" || { echo "FAILED: $1"; failed=1; }; }
show() {
    [ $failed = 0 ] || printf -- '--- stdout\n%s\n--- stderr\n%s\n--- calls but dpkg-query\n%s\n' "$(cat "$work/out")" \
                           "$(cat "$work/err")" "$(grep -v '^dpkg-query' "$work/calls")"
}
has() { grep -qF -- "$2" "$work/$1"; }
source_named='http://deb.debian.org/debian-security bookworm-security/main i386 Packages'

# A: the update fails twice, the install once; preferring the release's own
# versions installs. A warning names the source, and nothing reaches /etc.
run 1
check "A: exit 0 (was $status)" test $status = 0
check "A: update tried again after a pause" test "$(grep -c '^apt-get update' "$work/calls")$(grep -c '^sleep' "$work/calls")" = 21
check "A: warning names the source" has err "$source_named"
check "A: second install prefers $release" \
    grep -q "^apt-get install .* -o APT::Default-Release=$release wine32:i386 xvfb\$" "$work/calls"
check "A: touched /etc or mounted" test -z "$(grep -E '^(tee|mount) ' "$work/calls")"
show

# B: every install fails: exit 1 with what was missing, apt's words and, in
# the error itself, the source that failed.
run 99
check "B: exit 1 (was $status)" test $status = 1
check "B: names the packages" has err "could not install: wine32:i386 xvfb"
check "B: shows apt's message" has err "E: Unable to correct problems, you have held broken packages."
check "B: names the source in the error" grep -qF "$source_named" <(sed -n '/^prepare: error/,$p' "$work/err")
show
exit $failed
