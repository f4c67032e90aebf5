#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# make_fixtures.sh DIR -- builds, from nothing, the throw-away PKI the PKI
# adapter's tests use: a SoftHSM2 token with its own configuration, a test CA
# (certtool) that certifies keys on the token and in PKCS #12 files, and a
# home folder laid out as a user's (key folder and allow-list).
#
# The signers' certificates allow digitalSignature and nonRepudiation: signing
# keys by the default rules (dual-use-key-role). Keys for logging in have
# digitalSignature alone.
#   DIR/softhsm2.conf, DIR/tokens/   token "helm-test", user PIN 1234
#       id 01 "signer"      RSA-2048, cert "Token Signer"     (digitalSignature, nonRepudiation)
#       id 02 "ec-signer"   EC P-256, cert "Token EC Signer"  (digitalSignature, nonRepudiation)
#       id 03 "enc-only"    RSA-2048, cert "Token Encipher"   (keyEncipherment only)
#   DIR/ca.crt, DIR/other-ca.crt          the test CA and an unrelated one
#   DIR/home/.config/kestrovan/helm/keys/
#       soft.p12 (+ soft.crt)    "Soft Signer", EC, password 5678, certificate encrypted
#       plain.p12                "Plain Signer", RSA, password abcd, certificate in clear
#       expired.p12 (+ .crt)     "Expired Signer", validity ended in 2020, password 5678
#       nosidecar.p12            encrypted certificate and nothing next to it
#       broken.p12               not a PKCS #12 file
#   DIR/keys/                the software keys and certificates, for the
#                            independent checks made with openssl
#   DIR/keys/locked.der      "Locked Signer", for the test module whose PIN is locked
#   DIR/softhsm2-reader.conf, DIR/tokens-reader/   token "helm-reader" (PIN 1234),
#                            for the reader module of the dialog tests:
#       id 05 "reader-signer"  RSA-2048, cert "Reader Signer"  (digitalSignature, nonRepudiation)
#       id 06 "reader-auth"    EC P-256, cert "Reader Auth"    (digitalSignature)
#   DIR/extra/notary.p12     "Notary Signer", EC, password 2468, certificate in
#                            clear, nonRepudiation: a signing key by default rules
#   DIR/extra/soft-auth.p12  "Soft Auth", EC, password 5678, certificate in clear,
#                            digitalSignature alone: an authentication key
#   DIR/softhsm2-always.conf, DIR/tokens-always/   token "helm-always" (PIN 1234):
#       id 31 "always"      RSA-2048, cert "Always Signer", the private key marked
#                           CKA_ALWAYS_AUTHENTICATE (its PIN before every signature)
#   DIR/extra/policy.p12     "Policy Auth", EC, password 5678, certificate in
#                            clear, digitalSignature alone, certificate policy
#                            1.3.6.1.4.1.55555.1.2
#   DIR/softhsm2-roles.conf, DIR/tokens-roles/   token "helm-roles" (PIN 1234), one
#                            key per key-usage form, for the key-role tests:
#       id 11 "role-auth"   EC P-256, cert "Role Auth"            (digitalSignature)
#       id 12 "role-both"   RSA-2048, cert "Role Both"            (digitalSignature, nonRepudiation)
#       id 13 "role-nr"     EC P-256, cert "Role NonRepudiation"  (nonRepudiation)
#       id 14 "role-none"   EC P-256, cert "Role No Usage"        (no key-usage extension)
#       id 15 "twin"        EC P-256, one key certified twice: "Twin Signer"
#                           (nonRepudiation) and "Twin Auth" (digitalSignature)
# Run again to start over; nothing outside DIR is touched.
set -euo pipefail
dir="$1"
case "$dir" in /*) ;; *) dir="$PWD/$dir" ;; esac
rm -rf "$dir"
mkdir -p "$dir/tokens" "$dir/tokens-reader" "$dir/tokens-roles" "$dir/keys" "$dir/work" "$dir/extra"
keyfolder="$dir/home/.config/kestrovan/helm/keys"
mkdir -p "$keyfolder"
chmod 700 "$dir/home" "$dir/home/.config" "$dir/home/.config/kestrovan" "$dir/home/.config/kestrovan/helm" "$keyfolder"
cd "$dir/work"

cat > "$dir/softhsm2.conf" <<CONF
directories.tokendir = $dir/tokens
objectstore.backend = file
log.level = ERROR
slots.removable = false
CONF
export SOFTHSM2_CONF="$dir/softhsm2.conf"
# p11-kit reads the user's module list from HOME: keep the real one out.
export HOME="$dir/home"
export GNUTLS_PIN=1234 GNUTLS_SO_PIN=12345678
quiet() { "$@" >/dev/null 2>"$dir/work/last.err" || { cat "$dir/work/last.err" >&2; echo "make_fixtures: failed: $*" >&2; exit 1; }; }

# --- CAs -------------------------------------------------------------------
make_ca() {  # name cn
  quiet certtool --generate-privkey --key-type ecdsa --outfile "$1.key"
  printf 'cn = "%s"\nca\ncert_signing_key\ncrl_signing_key\nexpiration_days = 60\n' "$2" > "$1.tmpl"
  quiet certtool --generate-self-signed --load-privkey "$1.key" --template "$1.tmpl" --outfile "$dir/$1.crt"
}
make_ca ca "Helm Test CA"
make_ca other-ca "Other Test CA"

# template name cn serial usage [dates]
template() {
  {
    printf 'cn = "%s"\no = "Helm Test"\nserial = %s\n%s\n' "$2" "$3" "$4"
    if [ -n "${5:-}" ]; then printf '%s\n' "$5"; else printf 'expiration_days = 30\n'; fi
  } > "$1.tmpl"
}
issue_for_pubkey() {  # name pubkey-file
  quiet certtool --generate-certificate --load-pubkey "$2" --load-ca-privkey ca.key \
    --load-ca-certificate "$dir/ca.crt" --template "$1.tmpl" --outfile "$dir/keys/$1.crt"
}

# --- token -----------------------------------------------------------------
quiet softhsm2-util --init-token --free --label helm-test --so-pin "$GNUTLS_SO_PIN" --pin "$GNUTLS_PIN"
token="pkcs11:token=helm-test"
token_key() {  # name id type bits-or-curve cn serial usage
  if [ "$3" = rsa ]; then
    quiet p11tool --login --generate-privkey=rsa --bits "$4" --label "$1" --id "$2" --outfile "$1.pub" "$token"
  else
    quiet p11tool --login --generate-privkey=ecdsa --curve "$4" --label "$1" --id "$2" --outfile "$1.pub" "$token"
  fi
  template "$1" "$5" "$6" "$7"
  issue_for_pubkey "$1" "$1.pub"
  quiet p11tool --login --write --load-certificate "$dir/keys/$1.crt" --label "$1" --id "$2" "$token"
}
token_key signer 01 rsa 2048 "Token Signer" 1001 "$(printf 'signing_key\nnon_repudiation')"
token_key ec-signer 02 ecdsa secp256r1 "Token EC Signer" 1002 "$(printf 'signing_key\nnon_repudiation')"
token_key enc-only 03 rsa 2048 "Token Encipher" 1003 encryption_key
# The CA on the token too, as users' tokens often carry it: never listed.
quiet p11tool --login --write --load-certificate "$dir/ca.crt" --label "helm-ca" "$token"

# --- the reader token, in a SoftHSM2 folder of its own ------------------------
cat > "$dir/softhsm2-reader.conf" <<CONF
directories.tokendir = $dir/tokens-reader
objectstore.backend = file
log.level = ERROR
slots.removable = false
CONF
SOFTHSM2_CONF="$dir/softhsm2-reader.conf" quiet softhsm2-util --init-token --free --label helm-reader \
  --so-pin "$GNUTLS_SO_PIN" --pin "$GNUTLS_PIN"
token="pkcs11:token=helm-reader"
SOFTHSM2_CONF="$dir/softhsm2-reader.conf" token_key reader-signer 05 rsa 2048 "Reader Signer" 4001 \
  "$(printf 'signing_key\nnon_repudiation')"
SOFTHSM2_CONF="$dir/softhsm2-reader.conf" token_key reader-auth 06 ecdsa secp256r1 "Reader Auth" 4002 signing_key
token="pkcs11:token=helm-test"

# --- the key-role token, in a SoftHSM2 folder of its own ----------------------
cat > "$dir/softhsm2-roles.conf" <<CONF
directories.tokendir = $dir/tokens-roles
objectstore.backend = file
log.level = ERROR
slots.removable = false
CONF
roles() { SOFTHSM2_CONF="$dir/softhsm2-roles.conf" "$@"; }
roles quiet softhsm2-util --init-token --free --label helm-roles --so-pin "$GNUTLS_SO_PIN" --pin "$GNUTLS_PIN"
token="pkcs11:token=helm-roles"
roles token_key role-auth 11 ecdsa secp256r1 "Role Auth" 5001 signing_key
roles token_key role-both 12 rsa 2048 "Role Both" 5002 "$(printf 'signing_key\nnon_repudiation')"
# certtool gives EC certificates digitalSignature by itself: openssl issues
# the ones that must not have it, for the token's public key.
issue_openssl() {  # name pubkey-file cn serial [keyUsage]
  quiet openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$1.csr-key" \
    -subj "/CN=$3/O=Helm Test" -out "$1.csr"
  { printf '[v3]\nbasicConstraints = CA:FALSE\nsubjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid\n'
    if [ -n "${5:-}" ]; then printf 'keyUsage = critical,%s\n' "$5"; fi; } > "$1.ext"
  quiet openssl x509 -req -in "$1.csr" -force_pubkey "$2" -CA "$dir/ca.crt" -CAkey ca.key -set_serial "$4" \
    -days 30 -extfile "$1.ext" -extensions v3 -out "$dir/keys/$1.crt"
}
token_key_openssl() {  # name id cn serial [keyUsage]
  quiet p11tool --login --generate-privkey=ecdsa --curve secp256r1 --label "$1" --id "$2" --outfile "$1.pub" "$token"
  issue_openssl "$1" "$1.pub" "$3" "$4" "${5:-}"
  quiet p11tool --login --write --load-certificate "$dir/keys/$1.crt" --label "$1" --id "$2" "$token"
}
roles token_key_openssl role-nr 13 "Role NonRepudiation" 5003 nonRepudiation
roles token_key_openssl role-none 14 "Role No Usage" 5004
roles token_key_openssl twin-sign 15 "Twin Signer" 5005 nonRepudiation
# The same key certified again, for logging in.
template twin-auth "Twin Auth" 5006 signing_key
issue_for_pubkey twin-auth twin-sign.pub
roles quiet p11tool --login --write --load-certificate "$dir/keys/twin-auth.crt" --label twin-auth --id 15 "$token"
if certtool --certificate-info --infile "$dir/keys/role-none.crt" | grep -q 'Key Usage' ||
   certtool --certificate-info --infile "$dir/keys/role-nr.crt" | grep -q 'Digital signature'; then
  echo "make_fixtures: the key-role certificates came out with other key usages" >&2
  exit 1
fi
token="pkcs11:token=helm-test"

# --- PKCS #12 files ----------------------------------------------------------
soft_key() {  # name key-type cn serial usage [dates]
  quiet certtool --generate-privkey --key-type "$2" --outfile "$dir/keys/$1.key"
  template "$1" "$3" "$4" "$5" "${6:-}"
  quiet certtool --generate-certificate --load-privkey "$dir/keys/$1.key" --load-ca-privkey ca.key \
    --load-ca-certificate "$dir/ca.crt" --template "$1.tmpl" --outfile "$dir/keys/$1.crt"
}
soft_key soft ecdsa "Soft Signer" 2001 "$(printf 'signing_key\nnon_repudiation')"
soft_key plain rsa "Plain Signer" 2002 "$(printf 'signing_key\nnon_repudiation')"
soft_key expired ecdsa "Expired Signer" 2003 "$(printf 'signing_key\nnon_repudiation')" \
  "$(printf 'activation_date = "2019-01-01 00:00:00 UTC"\nexpiration_date = "2020-01-01 00:00:00 UTC"')"

soft_key locked ecdsa "Locked Signer" 3001 "$(printf 'signing_key\nnon_repudiation')"
quiet certtool --certificate-info --infile "$dir/keys/locked.crt" --outder --outfile "$dir/keys/locked.der"

# Modern encryption with a modest iteration count keeps the tests quick.
quiet openssl pkcs12 -export -inkey "$dir/keys/soft.key" -in "$dir/keys/soft.crt" -name "Soft Signer" \
  -passout pass:5678 -iter 10000 -out "$keyfolder/soft.p12"
cp "$dir/keys/soft.crt" "$keyfolder/soft.crt"
quiet openssl pkcs12 -export -inkey "$dir/keys/plain.key" -in "$dir/keys/plain.crt" -name "Plain Signer" \
  -passout pass:abcd -iter 10000 -certpbe NONE -out "$keyfolder/plain.p12"
quiet certtool --to-p12 --load-privkey "$dir/keys/expired.key" --load-certificate "$dir/keys/expired.crt" \
  --p12-name "Expired Signer" --password 5678 --outder --outfile "$keyfolder/expired.p12"
cp "$dir/keys/expired.crt" "$keyfolder/expired.crt"
cp "$keyfolder/soft.p12" "$keyfolder/nosidecar.p12"
soft_key notary ecdsa "Notary Signer" 2004 "$(printf 'signing_key\nnon_repudiation')"
quiet openssl pkcs12 -export -inkey "$dir/keys/notary.key" -in "$dir/keys/notary.crt" -name "Notary Signer" \
  -passout pass:2468 -iter 10000 -certpbe NONE -out "$dir/extra/notary.p12"
soft_key soft-auth ecdsa "Soft Auth" 2005 signing_key
quiet openssl pkcs12 -export -inkey "$dir/keys/soft-auth.key" -in "$dir/keys/soft-auth.crt" -name "Soft Auth" \
  -passout pass:5678 -iter 10000 -certpbe NONE -out "$dir/extra/soft-auth.p12"
soft_key policy ecdsa "Policy Auth" 2006 "$(printf 'signing_key\npolicy1 = 1.3.6.1.4.1.55555.1.2')"
quiet openssl pkcs12 -export -inkey "$dir/keys/policy.key" -in "$dir/keys/policy.crt" -name "Policy Auth" \
  -passout pass:5678 -iter 10000 -certpbe NONE -out "$dir/extra/policy.p12"
# --- a key that wants its PIN before every signature, on a token of its own
cat > "$dir/softhsm2-always.conf" <<CONF
directories.tokendir = $dir/tokens-always
objectstore.backend = file
log.level = ERROR
slots.removable = false
CONF
mkdir -p "$dir/tokens-always"
always() { SOFTHSM2_CONF="$dir/softhsm2-always.conf" "$@"; }
always quiet softhsm2-util --init-token --free --label helm-always --so-pin "$GNUTLS_SO_PIN" --pin "$GNUTLS_PIN"
soft_key always rsa "Always Signer" 6001 "$(printf 'signing_key\nnon_repudiation')"
always quiet p11tool --login --write --load-privkey "$dir/keys/always.key" --label always --id 31 \
  --mark-always-authenticate "pkcs11:token=helm-always"
always quiet p11tool --login --write --load-certificate "$dir/keys/always.crt" --label always --id 31 \
  "pkcs11:token=helm-always"
printf 'this is not a PKCS #12 file\n' > "$keyfolder/broken.p12"
chmod 600 "$keyfolder"/*

rm -rf "$dir/work"
echo "make_fixtures: ready in $dir"
