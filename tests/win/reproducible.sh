#!/usr/bin/env bash
# reproducible.sh SOURCE BUILD [SIGNING] - builds setup.exe again from scratch in another
# folder and compares it byte for byte with BUILD's: no time stamp, build path
# or other accident of the build may end up in the shipped file.
# With SIGNING (the folder where signing.sh left its keys), the second build
# also signs, through the SETUP_SIGN_* options with the password in an
# environment variable, at a pinned time; BUILD's setup.exe signed by
# scripts/sign.sh with the same key and time must be the same byte for byte.
set -eu
source=$1 build=$2 signing=${3:-}
again="$build/reproduced"
reference=$build/setup.exe
options=()
if [ -n "$signing" ]; then
    SIGN_PASSWORD=$(cat "$signing/password")
    export SOURCE_DATE_EPOCH=1700000000 SIGN_PASSWORD
    options=(-DSETUP_SIGN_PKCS12="$signing/vendor.p12" -DSETUP_SIGN_PASSWORD_ENV=SIGN_PASSWORD)
    reference=$signing/reproducible-reference.exe
    bash "$source/scripts/sign.sh" --pkcs12 "$signing/vendor.p12" --password-env SIGN_PASSWORD \
        "$build/setup.exe" "$reference" >/dev/null
fi
rm -rf "$again"
cmake -S "$source" -B "$again" -DCMAKE_TOOLCHAIN_FILE="$source/cmake/i686-w64-mingw32.cmake" \
      -DCMAKE_BUILD_TYPE=MinSizeRel "${options[@]}" >"$again.log" 2>&1 || { cat "$again.log"; exit 1; }
cmake --build "$again" --target setup -j"$(nproc)" >>"$again.log" 2>&1 || { tail -30 "$again.log"; exit 1; }
if [ -n "$signing" ]; then
    osslsigncode verify -CAfile "$signing/ca.pem" "$again/setup.exe" >/dev/null 2>&1 ||
        { echo "the build with the signing options did not sign setup.exe"; exit 1; }
    ! grep -rqF -- "$SIGN_PASSWORD" "$again/CMakeCache.txt" "$again/CMakeFiles" ||
        { echo "the key's password is in the build tree's files"; exit 1; }
fi
if cmp "$reference" "$again/setup.exe"; then
    echo "setup.exe is the same byte for byte ($(stat -c %s "$again/setup.exe") bytes${signing:+, signed})"
    rm -rf "$again" "$again.log"
else
    echo "setup.exe differs between two builds of the same source"
    exit 1
fi
