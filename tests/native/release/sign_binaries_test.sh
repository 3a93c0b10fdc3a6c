#!/usr/bin/env bash
# scripts/sign-binaries on the built launcher and on the workstation MSI made from it, with a
# code-signing certificate of a throw-away CA:
#   - both verify with osslsigncode against that CA, and not against another CA;
#   - one flipped byte of the signed content makes verification fail;
#   - the same with the key on a PKCS#11 token (SoftHSM), and a wrong PIN fails;
#   - a signing that fails (wrong password, unreachable time-stamp server, no certificate) fails
#     and leaves the file byte for byte as it was.
#   sign_binaries_test.sh WORK_FOLDER AUREVIA.EXE...   (the first launcher found is signed)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)
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
