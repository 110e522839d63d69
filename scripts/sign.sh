#!/usr/bin/env bash
# sign.sh - signs a built setup.exe with SHA-256 Authenticode (osslsigncode)
#
#   sign.sh [--pkcs12 FILE | --cert PEM --key PEM]
#           [--password-file FILE | --password-env VAR] [--timestamp URL] IN [OUT]
#
# OUT defaults to IN. The key's password comes from a file or from the named
# environment variable and reaches osslsigncode through a pipe, never on a
# command line. --timestamp asks an RFC 3161 server to countersign, so the
# signature stays valid after the certificate expires.
#
# With SOURCE_DATE_EPOCH set, the signature states that time as its signing
# time; then two signings of the same file with the same (RSA) key give the
# same bytes. A time stamp never does: the server's answer carries its own
# time, serial number and nonce.
#
# The signed file is written beside OUT and renamed, so a failure leaves OUT as
# it was. Errors: one line on stderr, exit code 1.
set -uo pipefail

DESCRIPTION="Tandreloop Setup"

fail() {
    echo "sign.sh: $*" >&2
    exit 1
}

usage="usage: sign.sh [--pkcs12 FILE | --cert PEM --key PEM] [--password-file FILE | --password-env VAR] [--timestamp URL] IN [OUT]"
pkcs12= cert= key= password_file= password_env= timestamp=
files=()
while [ $# -gt 0 ]; do
    case $1 in
        --pkcs12|--cert|--key|--password-file|--password-env|--timestamp)
            [ $# -ge 2 ] && [ -n "$2" ] || fail "$1 needs a value"
            case $1 in
                --pkcs12) pkcs12=$2 ;;
                --cert) cert=$2 ;;
                --key) key=$2 ;;
                --password-file) password_file=$2 ;;
                --password-env) password_env=$2 ;;
                --timestamp) timestamp=$2 ;;
            esac
            shift 2 ;;
        -h|--help) echo "$usage"; exit 0 ;;
        --) shift; files+=("$@"); break ;;
        -*) fail "unknown option $1 ($usage)" ;;
        *) files+=("$1"); shift ;;
    esac
done

[ ${#files[@]} -ge 1 ] && [ ${#files[@]} -le 2 ] || fail "$usage"
in=${files[0]}
out=${files[1]:-$in}

if [ -n "$pkcs12" ] && [ -n "$cert$key" ]; then
    fail "give either --pkcs12 or --cert and --key, not both"
elif [ -z "$pkcs12" ] && { [ -z "$cert" ] || [ -z "$key" ]; }; then
    [ -n "$cert$key" ] && fail "--cert and --key go together"
    fail "no key to sign with: give --pkcs12 FILE or --cert PEM --key PEM"
fi
[ -n "$password_file" ] && [ -n "$password_env" ] && fail "give either --password-file or --password-env, not both"
for f in "$in" "$pkcs12" "$cert" "$key" "$password_file"; do
    [ -z "$f" ] || [ -f "$f" -a -r "$f" ] || fail "cannot read $f"
done
if [ -n "$password_env" ]; then
    [[ $password_env =~ ^[A-Za-z_][A-Za-z0-9_]*$ ]] ||
        fail "--password-env takes the name of an environment variable, not a password"
    [ -n "${!password_env+set}" ] || fail "environment variable $password_env (the key's password) is not set"
fi
if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
    [[ $SOURCE_DATE_EPOCH =~ ^[0-9]+$ ]] || fail "SOURCE_DATE_EPOCH must be a number of seconds, not '$SOURCE_DATE_EPOCH'"
fi
command -v osslsigncode >/dev/null || fail "osslsigncode not found (scripts/prepare.sh installs it on Debian)"

# setsid: no terminal to prompt on, so a missing or wrong password fails at once
# instead of waiting for someone to type it.
command=(setsid -w osslsigncode sign -h sha256 -n "$DESCRIPTION")
if [ -n "$pkcs12" ]; then
    command+=(-pkcs12 "$pkcs12")
else
    command+=(-certs "$cert" -key "$key")
fi
[ -n "$password_file" ] && command+=(-readpass "$password_file")
[ -n "$password_env" ] && command+=(-readpass -)
[ -n "$timestamp" ] && command+=(-ts "$timestamp")
[ -n "${SOURCE_DATE_EPOCH:-}" ] && command+=(-time "$SOURCE_DATE_EPOCH")

temp=$(mktemp -d "$(dirname -- "$out")/.sign.XXXXXX" 2>/dev/null) || fail "cannot write beside $out"
trap 'rm -rf "$temp"' EXIT
command+=(-in "$in" -out "$temp/signed.exe")

# printf is a shell builtin: the password is in no process's arguments.
if [ -n "$password_env" ]; then
    printf '%s' "${!password_env}" | "${command[@]}" >"$temp/log" 2>&1
    status=${PIPESTATUS[1]}
else
    "${command[@]}" </dev/null >"$temp/log" 2>&1
    status=$?
fi
if [ "$status" != 0 ] || [ ! -s "$temp/signed.exe" ]; then
    # osslsigncode says what went wrong first, then "Failed" and OpenSSL's error queue.
    reason=$(grep -v -e '^Failed$' -e '^[0-9A-F]*:error:' -e '^Connecting to ' -e '^Enter PEM pass phrase:' \
                  -e '^ *$' "$temp/log" | head -1)
    fail "cannot sign $in: ${reason:-osslsigncode failed (exit code $status)}"
fi
chmod --reference="$in" "$temp/signed.exe" 2>/dev/null
mv -f "$temp/signed.exe" "$out" || fail "cannot write $out"
echo "signed $out"
