#!/usr/bin/env bash
# signing.sh SOURCE BUILD PAYLOAD DIR - signs copies of BUILD's setup.exe with
# scripts/sign.sh and keys of a throwaway certificate authority made here in DIR,
# and checks them with osslsigncode: the signatures verify (with a time stamp
# from a local time-stamp authority too), a flipped payload byte breaks them,
# signing with SOURCE_DATE_EPOCH gives the same bytes twice, a failed signing
# leaves its output alone, payloadtool stamp refuses a signed setup. DIR keeps the keys for the build's own signing
# (reproducible.sh) and signed.exe, which the Wine test installs.
set -eu
export LC_ALL=C
source=$1 build=$2 payload=$3 dir=$4
sign="bash $source/scripts/sign.sh"
setup=$build/setup.exe

fail() {
    echo "FAILED: $*"
    exit 1
}

rm -rf "$dir" && mkdir -p "$dir" && cd "$dir"
head -c 12 /dev/urandom | base64 >password

# A stand-in osslsigncode, first on PATH, notes each call's arguments (what
# every user sees in the process list) and runs the real one.
real=$(command -v osslsigncode) || fail "osslsigncode not found"
mkdir bin
printf '#!/bin/sh\nprintf "%%s\\n" "$*" >>"%s/osslsigncode.args"\nexec "%s" "$@"\n' "$dir" "$real" >bin/osslsigncode
chmod +x bin/osslsigncode
PATH="$dir/bin:$PATH"

# The authority, and the code-signing and time-stamping certificates it issues.
quiet() { "$@" >>openssl.log 2>&1 || { cat openssl.log; fail "$*"; }; }
quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 -subj "/CN=Test Authority" \
      -addext basicConstraints=critical,CA:true -addext keyUsage=critical,keyCertSign
issue() {
    quiet openssl req -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "/CN=Test $1"
    printf 'basicConstraints=CA:false\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=%s\n' "$2" >"$1.ext"
    quiet openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 -extfile "$1.ext" -out "$1.pem"
}
issue vendor codeSigning
issue tsa critical,timeStamping
quiet openssl pkcs12 -export -inkey vendor.key -in vendor.pem -certfile ca.pem -passout file:password -out vendor.p12
quiet openssl pkey -in vendor.key -aes256 -passout file:password -out vendor-encrypted.key

verify() {
    osslsigncode verify -CAfile ca.pem -TSA-CAfile ca.pem "$1" >"$1.verify" 2>&1
}
expect_signed() {
    verify "$1" || { cat "$1.verify"; fail "$1 does not verify"; }
    grep -q 'Text description: Tandreloop Setup' "$1.verify" && grep -q 'Message digest algorithm *: SHA256' "$1.verify" ||
        fail "$1 lacks the description or SHA-256"
}

# A PKCS#12 file with its password in a file.
$sign --pkcs12 vendor.p12 --password-file password "$setup" signed.exe
expect_signed signed.exe

# Certificate and encrypted key in PEM, the password in the environment, and a
# time stamp from a local RFC 3161 authority (openssl ts behind a small HTTP
# server). osslsigncode verify succeeds even when the time stamp does not verify.
cat >tsa.cnf <<EOF
[ tsa ]
default_tsa = local
[ local ]
serial = $dir/tsa.serial
signer_cert = $dir/tsa.pem
signer_key = $dir/tsa.key
certs = $dir/ca.pem
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256
ess_cert_id_alg = sha256
EOF
perl -MIO::Socket::INET -e '
    my $server = IO::Socket::INET->new(LocalAddr => "127.0.0.1", LocalPort => 0, Listen => 5) or die "tsa: $!\n";
    $| = 1; print $server->sockport, "\n";
    while (my $client = $server->accept) {
        my $length = 0;
        while (my $line = <$client>) {
            $length = $1 if $line =~ /^Content-Length:\s*(\d+)/i;
            last if $line =~ /^\r?\n$/;
        }
        read($client, my $query, $length);
        open(my $q, ">:raw", "query.tsq") or die; print $q $query; close $q;
        system("openssl ts -reply -config tsa.cnf -queryfile query.tsq -out reply.tsr 2>>tsa.log");
        open(my $r, "<:raw", "reply.tsr") or die; local $/; my $reply = <$r> // ""; close $r; unlink "reply.tsr";
        print $client "HTTP/1.0 200 OK\r\nContent-Type: application/timestamp-reply\r\n",
                      "Content-Length: ", length($reply), "\r\n\r\n", $reply;
        close $client;
    }' >tsa.port &
tsa=$!
trap 'kill $tsa 2>/dev/null' EXIT
for _ in $(seq 50); do [ -s tsa.port ] && break; sleep 0.1; done
SIGN_PASSWORD=$(cat password) $sign --cert vendor.pem --key vendor-encrypted.key --password-env SIGN_PASSWORD \
    --timestamp "http://127.0.0.1:$(cat tsa.port)/" "$setup" signed-timestamped.exe
expect_signed signed-timestamped.exe
grep -q 'Timestamp Server Signature verification: ok' signed-timestamped.exe.verify ||
    { cat signed-timestamped.exe.verify; fail "the time stamp does not verify"; }

# One flipped byte of the payload, and the signature no longer verifies.
cp signed.exe flipped.exe
perl -e 'local $/; open(my $p, "<:raw", $ARGV[0]) or die; my $payload = <$p>;
         open(my $f, "+<:raw", $ARGV[1]) or die; my $image = <$f>;
         my $at = index($image, substr($payload, length($payload) / 2, 64)); die "payload not found\n" if $at < 0;
         seek($f, $at, 0); print $f chr(ord(substr($image, $at, 1)) ^ 1); close $f' "$payload" flipped.exe
! verify flipped.exe || fail "a setup with a flipped payload byte still verifies"

# With SOURCE_DATE_EPOCH the signing time is pinned and signing is reproducible;
# the second signing signs in place.
export SOURCE_DATE_EPOCH=1700000000
$sign --pkcs12 vendor.p12 --password-file password "$setup" pinned.exe
cp "$setup" pinned-again.exe
$sign --pkcs12 vendor.p12 --password-file password pinned-again.exe
cmp pinned.exe pinned-again.exe || fail "two signings with SOURCE_DATE_EPOCH differ"
expect_signed pinned.exe
grep -q "Signing time: $(date -u -d @$SOURCE_DATE_EPOCH '+%b %e %H:%M:%S %Y') GMT" pinned.exe.verify ||
    fail "the signing time is not SOURCE_DATE_EPOCH: $(grep 'Signing time' pinned.exe.verify)"
unset SOURCE_DATE_EPOCH

# A wrong password: one line on stderr, exit code 1, OUT as it was, nothing left beside it.
echo wrong >wrong-password
cp signed.exe kept.exe
status=0
$sign --pkcs12 vendor.p12 --password-file wrong-password "$setup" kept.exe 2>wrong.err || status=$?
[ $status = 1 ] && [ "$(wc -l <wrong.err)" = 1 ] || fail "wrong password: exit code $status, stderr: $(cat wrong.err)"
cmp -s signed.exe kept.exe || fail "a failed signing changed its output"
[ -z "$(find . -name '.sign.*')" ] || fail "a failed signing left its temporary files"

# No password was on a command line.
grep -q '^sign ' osslsigncode.args || fail "the stand-in osslsigncode was not called"
! grep -qF -- "$(cat password)" osslsigncode.args || fail "a password was on osslsigncode's command line"

# payloadtool stamp refuses a signed setup (stamping would break the signature).
status=0
"$build/hosttools/payloadtool" stamp signed.exe -o restamped.exe "$build/product/Tandreloop.exe" 2>stamp.err || status=$?
[ $status = 1 ] && [ ! -e restamped.exe ] && [ "$(wc -l <stamp.err)" = 1 ] && grep -q -- --strip-signature stamp.err ||
    fail "stamp did not refuse a signed setup: exit code $status, stderr: $(cat stamp.err)"
# payloadtool verify sees the signature and a checksum that still matches.
"$build/hosttools/payloadtool" verify signed.exe | grep -q 'checksum ok, signed$' ||
    fail "payloadtool verify: $("$build/hosttools/payloadtool" verify signed.exe 2>&1)"
echo "signed, time-stamped and verified; $(stat -c %s signed-timestamped.exe) bytes with the time stamp"
