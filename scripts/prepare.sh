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

if [ ${#missing[@]} -gt 0 ]; then
    echo "prepare: installing ${missing[*]}"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        as_root dpkg --add-architecture i386
    fi
    as_root apt-get update -q
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
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
    as_root apt-get update -q
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends osslsigncode/bookworm-backports
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
    as_root apt-get update -q
fi

# 32-bit programs: some kernels (or hosts) run 64-bit user code only. There the
# 32-bit Wine loader runs through qemu's user-mode emulator, registered for
# 32-bit x86 ELF files with binfmt_misc; the wine server and Wine's own 64-bit
# services still run natively.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "prepare: this machine does not run 32-bit x86 code; using qemu-i386 for it"
    if [ "$(dpkg-query -W -f='${Status}' qemu-user-static 2>/dev/null)" != "install ok installed" ]; then
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends qemu-user-static
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
