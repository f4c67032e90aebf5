#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# make_cades_fixtures.sh DIR -- the timestamp side of the signature-level
# tests, built from nothing with the openssl command:
#   DIR/root.crt           "Cades Test Root" (the roots a TSA must chain to: tsa-trust)
#   DIR/intermediate.crt   "Cades Test Intermediate", issued by the root
#   DIR/other-root.crt     an unrelated root
#   DIR/tsa.crt/.key       "Cades Test TSA": critical extendedKeyUsage timeStamping
#   DIR/tsa-noncrit.crt/.key  "Cades Lax TSA": timeStamping, not marked critical
#   DIR/tsa-stranger.crt/.key "Cades Stranger TSA": critical timeStamping, other root
#   DIR/tsa-chain.pem      intermediate + root (what the authorities send along)
#   DIR/tsa.cnf            openssl ts -reply configuration, one section per authority
#   DIR/ocsp.crt/.key      "Cades Test OCSP": OCSPSigning, the intermediate's delegated responder
#   DIR/keys/*.p12         signers issued by the intermediate, EC, password 2468, for the
#                          user's key folder; each names the OCSP responder
#                          http://127.0.0.1:58611 and the CRL http://127.0.0.1:58612/crl/intermediate.crl
#       good.p12     "Cades Good Signer"     (serial 0x30)
#       revoked.p12  "Cades Revoked Signer"  (serial 0x31), on the CRL from the start
#       crlonly.p12  "Cades CRL Signer"      (serial 0x32), a CRL and no OCSP responder
#   DIR/intermediate.crl   the intermediate's CRL (DER)
# Run again to start over; nothing outside DIR is touched.
set -euo pipefail
dir="$1"
case "$dir" in /*) ;; *) dir="$PWD/$dir" ;; esac
rm -rf "$dir"
mkdir -p "$dir/work"
cd "$dir/work"
quiet() { "$@" >/dev/null 2>"$dir/work/last.err" || { cat "$dir/work/last.err" >&2; echo "make_cades_fixtures: failed: $*" >&2; exit 1; }; }

cat > ext.cnf <<'EXT'
[ca]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[tsa]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature,nonRepudiation
extendedKeyUsage = critical,timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[ocsp]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = critical,OCSPSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[signer]
basicConstraints = CA:FALSE
keyUsage = critical,nonRepudiation
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
authorityInfoAccess = OCSP;URI:http://127.0.0.1:58611
crlDistributionPoints = URI:http://127.0.0.1:58612/crl/intermediate.crl
[signer_crlonly]
basicConstraints = CA:FALSE
keyUsage = critical,nonRepudiation
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
crlDistributionPoints = URI:http://127.0.0.1:58612/crl/intermediate.crl
[tsa_noncrit]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature,nonRepudiation
extendedKeyUsage = timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EXT

key() { quiet openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$dir/$1.key"; }
self_signed() {  # name cn
  key "$1"
  quiet openssl req -new -x509 -key "$dir/$1.key" -subj "/CN=$2/O=Cades Test" -days 60 -sha256 \
    -config ext.cnf -extensions ca -out "$dir/$1.crt"
}
issue() {  # name cn issuer extensions serial
  key "$1"
  quiet openssl req -new -key "$dir/$1.key" -subj "/CN=$2/O=Cades Test" -out "$1.csr"
  quiet openssl x509 -req -in "$1.csr" -CA "$dir/$3.crt" -CAkey "$dir/$3.key" -set_serial "$5" -days 30 -sha256 \
    -extfile ext.cnf -extensions "$4" -out "$dir/$1.crt"
}
self_signed root "Cades Test Root"
self_signed other-root "Cades Other Root"
issue intermediate "Cades Test Intermediate" root ca 10
issue tsa "Cades Test TSA" intermediate tsa 20
issue tsa-noncrit "Cades Lax TSA" intermediate tsa_noncrit 21
issue tsa-stranger "Cades Stranger TSA" other-root tsa 22
cat "$dir/intermediate.crt" "$dir/root.crt" > "$dir/tsa-chain.pem"
issue ocsp "Cades Test OCSP" intermediate ocsp 23

# Signers, as PKCS #12 files for a user's key folder.
mkdir -p "$dir/keys"
signer() {  # file cn serial extensions
  issue "$1" "$2" intermediate "$4" "$3"
  quiet openssl pkcs12 -export -inkey "$dir/$1.key" -in "$dir/$1.crt" -name "$2" -passout pass:2468 \
    -iter 10000 -certpbe NONE -out "$dir/keys/$1.p12"
}
signer good "Cades Good Signer" 0x30 signer
signer revoked "Cades Revoked Signer" 0x31 signer
signer crlonly "Cades CRL Signer" 0x32 signer_crlonly

# The intermediate's CRL, with the revoked signer on it.
mkdir -p ca
: > ca/index.txt
echo 1000 > ca/crlnumber
cat > ca.cnf <<CA
[ca]
default_ca = intermediate
[intermediate]
database = ca/index.txt
crlnumber = ca/crlnumber
certificate = $dir/intermediate.crt
private_key = $dir/intermediate.key
default_md = sha256
default_crl_days = 30
CA
quiet openssl ca -config ca.cnf -revoke "$dir/revoked.crt" -crl_reason keyCompromise
quiet openssl ca -config ca.cnf -gencrl -out intermediate.crl.pem
quiet openssl crl -in intermediate.crl.pem -outform DER -out "$dir/intermediate.crl"

# One section per authority; "sha512only" refuses the adapter's SHA-256 queries.
echo 01 > "$dir/tsaserial"
section() {  # name cert digests chain
  cat <<SECTION
[$1]
serial = $dir/tsaserial
crypto_device = builtin
signer_cert = $dir/$2.crt
signer_key = $dir/$2.key
certs = $4
signer_digest = sha256
default_policy = 1.3.6.1.4.1.55555.1
other_policies = 1.3.6.1.4.1.55555.2
digests = $3
accuracy = secs:1
ordering = no
tsa_name = no
ess_cert_id_chain = no
ess_cert_id_alg = sha256
SECTION
}
{
  section good tsa "sha256, sha384, sha512" "$dir/tsa-chain.pem"
  section stranger tsa-stranger "sha256, sha384, sha512" "$dir/other-root.crt"
  section sha512only tsa "sha512" "$dir/tsa-chain.pem"
} > "$dir/tsa.cnf"

rm -rf "$dir/work"
echo "make_cades_fixtures: ready in $dir"
