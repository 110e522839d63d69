#!/usr/bin/env bash
# prepare.sh - installs what building and testing need on Debian 12, once.
# A second run that finds everything in place changes nothing and takes a moment.
set -euo pipefail

packages=(
    cmake make g++ clang libclang-rt-14-dev googletest          # host build, unit tests, fuzzing
    g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686   # the Windows build
    wine wine64 wine32:i386 wine32-preloader:i386               # running it: 64-bit server, 32-bit programs
    xvfb xauth x11-utils imagemagick fonts-wine procps          # virtual display, screenshots
    python3-pefile                                              # an independent PE reader for the image checks
    libzstd-dev dpkg-dev                                        # compression: the host tool's library, apt-get source
    openssl                                                     # the signing tests' throwaway keys
)

missing=()
for p in "${packages[@]}"; do
    if [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" != "install ok installed" ]; then
        missing+=("$p")
    fi
done

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

# Refreshes the package indexes. One source that fails (a mirror in the middle
# of a sync, a broken third-party source) does not stop us: apt keeps the other
# indexes, and the install below says what is missing if that matters. A
# failed source gets one more try after a pause, as a mirror's sync is often
# over in seconds.
update_failed=""
update_indexes() {
    local log try
    log=$(mktemp)
    for try in 1 2; do
        if as_root apt-get update -q >"$log" 2>&1; then
            cat "$log"; rm -f "$log"; update_failed=""; return 0
        fi
        [ $try = 1 ] && { echo "prepare: apt-get update failed; trying again in 15 s"; sleep 15; }
    done
    cat "$log"
    update_failed=$(grep -E '^(E: Failed to fetch|Err:)' "$log" | sed -E 's/^(E: Failed to fetch|Err:[0-9]+) +//' | sort -u)
    rm -f "$log"
    echo "prepare: warning: apt-get update could not refresh every package source; going on with what it has:" >&2
    printf '    %s\n' "${update_failed:-(apt named no source; see its messages above)}" >&2
}

# Installs packages; on failure says what was missing and what to try.
install_packages() {
    local log
    log=$(mktemp)
    # pipefail (above): the pipe fails when apt-get does.
    if as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@" 2>&1 | tee "$log"; then
        rm -f "$log"
        return 0
    fi
    # Without one suite's index apt may see a package's 64-bit half at a
    # security update's version and its 32-bit half only at the release's;
    # the two must match. Preferring the release's own versions (its point
    # releases included) makes them agree; updates published since then are
    # left for a later 'apt-get upgrade'.
    local release
    release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    if [ -n "$update_failed" ] && [ -n "$release" ]; then
        echo "prepare: trying again with the versions of $release itself preferred" \
             "(those of the sources that failed are not known)" >&2
        if as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
                -o APT::Default-Release="$release" "$@" 2>&1 | tee -a "$log"; then
            rm -f "$log"
            echo "prepare: warning: installed without the updates of the sources that failed;" \
                 "run 'apt-get update && apt-get upgrade' once they answer" >&2
            return 0
        fi
    fi
    {
        echo "prepare: error: could not install: $*"
        echo "apt-get said:"
        grep -E '^(E:|W:| [^ ].* : Depends)' "$log" | sed 's/^/    /'
        if [ -n "$update_failed" ]; then
            echo "A likely cause: these package indexes could not be fetched, so apt does not know"
            echo "every version it needs (32-bit packages must match the 64-bit ones exactly):"
            printf '    %s\n' "$update_failed"
            echo "Try again in a few minutes (a mirror may be in the middle of a sync): run"
            echo "'apt-get update' until it ends without errors, then run this script again."
        else
            echo "Check the package sources in /etc/apt/ ('apt-get update' must end without errors),"
            echo "then run this script again."
        fi
    } >&2
    rm -f "$log"
    exit 1
}

if [ ${#missing[@]} -gt 0 ]; then
    echo "prepare: installing ${missing[*]}"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        as_root dpkg --add-architecture i386
    fi
    update_indexes
    install_packages "${missing[@]}"
fi

# Signing: osslsigncode 2.9 (Debian 12 itself has 2.5) from bookworm-backports.
# Only osslsigncode comes from there; what it depends on comes from Debian 12.
osslsigncode=$(dpkg-query -W -f='${Status} ${Version}' osslsigncode 2>/dev/null || true)
if [ "${osslsigncode% *}" != "install ok installed" ] || ! dpkg --compare-versions "${osslsigncode##* }" ge 2.9; then
    echo "prepare: installing osslsigncode from bookworm-backports"
    if ! grep -qsE '^[^#]*bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
                                             /etc/apt/sources.list.d/*.sources; then
        printf '%s\n' 'Types: deb' 'URIs: http://deb.debian.org/debian' 'Suites: bookworm-backports' \
                      'Components: main' 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' |
            as_root tee /etc/apt/sources.list.d/bookworm-backports.sources >/dev/null
    fi
    update_indexes
    install_packages osslsigncode/bookworm-backports
fi

# The setup's decoder is built from Debian's source package of zstd, fetched by
# the build with apt-get source into the build tree. That needs deb-src lines:
# a sources file of our own, signed by the Debian archive keyring like the rest.
src_list=/etc/apt/sources.list.d/tandreloop-deb-src.sources
if ! apt-get source --print-uris zstd >/dev/null 2>&1; then
    echo "prepare: enabling Debian 12's source packages ($src_list)"
    printf '%s\n' 'Types: deb-src' 'URIs: http://deb.debian.org/debian' 'Suites: bookworm bookworm-updates' \
                  'Components: main' 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' '' \
                  'Types: deb-src' 'URIs: http://deb.debian.org/debian-security' 'Suites: bookworm-security' \
                  'Components: main' 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' |
        as_root tee $src_list >/dev/null
    update_indexes
fi

# 32-bit programs: some kernels (or hosts) run 64-bit user code only. There the
# 32-bit Wine loader runs through qemu's user-mode emulator, registered for
# 32-bit x86 ELF files with binfmt_misc; the wine server and Wine's own 64-bit
# services still run natively.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "prepare: this machine does not run 32-bit x86 code; using qemu-i386 for it"
    if [ "$(dpkg-query -W -f='${Status}' qemu-user-static 2>/dev/null)" != "install ok installed" ]; then
        install_packages qemu-user-static
    fi
    binfmt=/proc/sys/fs/binfmt_misc
    [ -e $binfmt/register ] || as_root mount -t binfmt_misc binfmt_misc $binfmt
    if [ ! -e $binfmt/qemu-i386 ]; then
        magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
        mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
        echo ":qemu-i386:M::$magic:$mask:/usr/bin/qemu-i386-static:OCF" | as_root tee $binfmt/register >/dev/null
    fi
    if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
        echo "prepare: 32-bit Wine still does not start; see /proc/sys/fs/binfmt_misc" >&2
        exit 1
    fi
fi
