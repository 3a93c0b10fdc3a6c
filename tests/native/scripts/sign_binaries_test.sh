#!/usr/bin/env bash
# scripts/sign-binaries on the built launcher and on the workstation MSI made from it, with a
# code-signing certificate of a throw-away CA:
#   - both verify with osslsigncode against that CA, and not against another CA;
#   - one flipped byte of the signed content makes verification fail;
#   - the same with the key on a PKCS#11 token (SoftHSM), and a wrong PIN fails;
#   - given time-stamp servers (a local RFC 3161 one), the signatures carry a verified stamp;
#   - a signing that fails (wrong password, unreachable time-stamp server, no certificate) fails
#     and leaves the file byte for byte as it was.
#   sign_binaries_test.sh WORK_FOLDER AUREVIA.EXE...   (the first launcher found is signed)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../../.." && pwd)
work=$1
shift
fail() {
    echo "FAIL: $*"
    exit 1
}
exe=
for candidate in "$@"; do
    if [ -f "$candidate" ]; then
        exe=$(realpath "$candidate")
        break
    fi
done
[ -n "$exe" ] || fail "no built Aurevia.EXE (looked for: $*); build the Windows tree first (scripts/build)"
command -v osslsigncode >/dev/null || fail "osslsigncode is not installed (scripts/install-deps)"
softhsm=
for candidate in /usr/lib/softhsm/libsofthsm2.so /usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so; do
    [ -f "$candidate" ] && softhsm=$candidate && break
done
[ -n "$softhsm" ] && command -v softhsm2-util >/dev/null || fail "SoftHSM is not installed (scripts/install-deps)"

rm -rf "$work"
mkdir -p "$work"
cd "$work"
tsa_pid=
trap '[ -z "$tsa_pid" ] || kill "$tsa_pid" 2>/dev/null || true' EXIT

# A CA and a code-signing certificate it issued, in a PFX with the chain; and a second CA that
# trusts nothing of ours.
make_ca() {  # NAME
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj "/CN=$1" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
        -keyout "$1.key" -out "$1.pem" 2>/dev/null
}
make_ca test-ca
make_ca other-ca
openssl req -newkey rsa:2048 -nodes -subj "/CN=Aurevia test signer" -keyout signer.key -out signer.csr 2>/dev/null
printf '%s\n' basicConstraints=CA:FALSE keyUsage=critical,digitalSignature extendedKeyUsage=codeSigning >signer.ext
openssl x509 -req -in signer.csr -CA test-ca.pem -CAkey test-ca.key -CAcreateserial -days 1 \
    -extfile signer.ext -out signer.pem 2>/dev/null
openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile test-ca.pem -passout pass:segredo-de-teste \
    -out signer.pfx

cp "$exe" Aurevia.EXE
"$root/deploy/msi/build-msi" Aurevia.EXE Aurevia.msi
cp Aurevia.EXE unsigned.EXE
cp Aurevia.msi unsigned.msi

sign() {  # FILE... with the environment given before the call
    "$root/scripts/sign-binaries" "$@"
}
verify() {  # FILE CA
    osslsigncode verify -CAfile "$2" -in "$1" >"$1.verify.log" 2>&1
}
flip_byte() {  # FILE OFFSET
    local byte
    byte=$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')
    printf "\\$(printf '%03o' $(((byte + 1) % 256)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

# Failures first, on the unsigned files: each must fail and change nothing.
unreachable_tsa=http://127.0.0.1:9/
while IFS='|' read -r label pkcs12 password tsa reason; do
    for file in Aurevia.EXE Aurevia.msi; do
        if env -u AUREVIA_SIGN_PKCS11_MODULE -u AUREVIA_SIGN_PASSWORD ${pkcs12:+AUREVIA_SIGN_PKCS12=$pkcs12} \
            ${password:+AUREVIA_SIGN_PASSWORD=$password} ${tsa:+AUREVIA_TSA_URL=$tsa} \
            "$root/scripts/sign-binaries" "$file" >"$file.fail.log" 2>&1; then
            fail "$label: $file reported as signed"
        fi
        cmp -s "$file" "unsigned.${file##*.}" || fail "$label: $file changed by a failed signing"
        grep -q "$reason" "$file.fail.log" || fail "$label: not the reason expected: $(cat "$file.fail.log")"
    done
    echo "ok: $label fails and leaves the files as they were"
done <<EOF
wrong password|signer.pfx|errado||Wrong password
no password set|signer.pfx|||AUREVIA_SIGN_PASSWORD is not set
unreachable time-stamp server|signer.pfx|segredo-de-teste|$unreachable_tsa|timestamping failed
no certificate||||no certificate
EOF
ls .signing.* >/dev/null 2>&1 && fail "temporary files left: $(ls .signing.*)"

AUREVIA_SIGN_PKCS12=signer.pfx AUREVIA_SIGN_PASSWORD=segredo-de-teste sign Aurevia.EXE Aurevia.msi >sign.log
for file in Aurevia.EXE Aurevia.msi; do
    verify "$file" test-ca.pem || fail "$file does not verify: $(cat "$file.verify.log")"
    verify "$file" other-ca.pem && fail "$file verifies against a CA that did not issue its certificate"
    verify "unsigned.${file##*.}" test-ca.pem && fail "unsigned $file verifies"
done
echo "ok: the launcher and the MSI verify against their CA only"

# The byte flipped is content the signature covers: in the launcher, its first section (past the
# headers); in the MSI, the cabinet that holds the launcher (its stream starts at "MSCF").
cab=$(grep -obUaP 'MSCF\x00\x00\x00\x00' Aurevia.msi | head -1 | cut -d: -f1)
[ -n "$cab" ] || fail "no cabinet in the MSI"
while IFS='|' read -r file offset; do
    cp "$file" "tampered-$file"
    flip_byte "tampered-$file" "$offset"
    cmp -s "$file" "tampered-$file" && fail "$file: the byte at $offset was not flipped"
    verify "tampered-$file" test-ca.pem && fail "$file with the byte at $offset flipped still verifies"
    echo "ok: $file with the byte at $offset flipped does not verify"
done <<EOF
Aurevia.EXE|4200
Aurevia.msi|$((cab + 300))
EOF
# Time-stamped by a local RFC 3161 server whose certificate has a CA of its own, after a first
# server that does not answer.
make_ca tsa-ca
openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=Aurevia test TSA" \
    -keyout tsa.key -out tsa.csr 2>/dev/null
printf '%s\n' basicConstraints=CA:FALSE keyUsage=critical,digitalSignature extendedKeyUsage=critical,timeStamping >tsa.ext
openssl x509 -req -in tsa.csr -CA tsa-ca.pem -CAkey tsa-ca.key -CAcreateserial -days 1 -extfile tsa.ext \
    -out tsa.pem 2>/dev/null
echo 01 >tsa.serial
printf '%s\n' '[ tsa ]' 'default_tsa = test_tsa' '[ test_tsa ]' "serial = $work/tsa.serial" \
    'crypto_device = builtin' "signer_cert = $work/tsa.pem" "signer_key = $work/tsa.key" 'signer_digest = sha256' \
    "certs = $work/tsa-ca.pem" 'default_policy = 1.3.6.1.4.1.99999.1' 'digests = sha256, sha384, sha512' \
    'accuracy = secs:1' 'ess_cert_id_alg = sha256' 'ess_cert_id_chain = no' >tsa.cnf
python3 "$here/tsa_server.py" tsa.cnf tsa.port 2>tsa.log &
tsa_pid=$!
for _ in $(seq 1 100); do
    [ -s tsa.port ] && break
    kill -0 "$tsa_pid" 2>/dev/null || fail "the time-stamp server did not start: $(cat tsa.log)"
    sleep 0.1
done
[ -s tsa.port ] || fail "the time-stamp server did not start within 10 s"
for file in Aurevia.EXE Aurevia.msi; do
    grep -q 'Timestamp time:' "$file.verify.log" && fail "$file carries a time-stamp nobody made"
    stamped=stamped.${file##*.}
    cp "unsigned.${file##*.}" "$stamped"
    AUREVIA_SIGN_PKCS12=signer.pfx AUREVIA_SIGN_PASSWORD=segredo-de-teste \
        AUREVIA_TSA_URL="$unreachable_tsa http://127.0.0.1:$(cat tsa.port)/" sign "$stamped" >/dev/null
    osslsigncode verify -CAfile test-ca.pem -TSA-CAfile tsa-ca.pem -in "$stamped" >"$stamped.verify.log" 2>&1 ||
        fail "time-stamped $file does not verify: $(cat "$stamped.verify.log")"
    grep -q 'Timestamp Server Signature verification: ok' "$stamped.verify.log" ||
        fail "time-stamped $file carries no verified stamp: $(cat "$stamped.verify.log")"
done
echo "ok: the launcher and the MSI carry the stamp of the second time-stamp server given"

# The key on a token: SoftHSM with a token of its own in the work folder, the certificate from a file.
mkdir -p hsm
printf '%s\n' "directories.tokendir = $work/hsm" "objectstore.backend = file" "log.level = ERROR" >softhsm2.conf
export SOFTHSM2_CONF=$work/softhsm2.conf
softhsm2-util --init-token --free --label aurevia --pin 246810 --so-pin 135790 >/dev/null
openssl pkcs8 -topk8 -nocrypt -in signer.key -out signer.p8
softhsm2-util --import signer.p8 --token aurevia --label signer --id 01 --pin 246810 >/dev/null
rm signer.p8
sign_with_token() {  # PIN FILE
    env -u AUREVIA_SIGN_PKCS12 AUREVIA_SIGN_PKCS11_MODULE="$softhsm" \
        AUREVIA_SIGN_PKCS11_KEY='pkcs11:token=aurevia;object=signer;type=private' \
        AUREVIA_SIGN_CERTS=signer.pem AUREVIA_SIGN_PASSWORD="$1" "$root/scripts/sign-binaries" "$2"
}
cp unsigned.EXE token.EXE
sign_with_token 000000 token.EXE >token.fail.log 2>&1 && fail "a wrong PIN signed the launcher"
cmp -s token.EXE unsigned.EXE || fail "a wrong PIN changed the launcher"
sign_with_token 246810 token.EXE >/dev/null
verify token.EXE test-ca.pem || fail "the launcher signed on the token does not verify: $(cat token.EXE.verify.log)"
flip_byte token.EXE 4200
verify token.EXE test-ca.pem && fail "the launcher signed on the token verifies with a flipped byte"
echo "ok: signed with the key on a token; a wrong PIN fails and changes nothing"
echo "PASS"
