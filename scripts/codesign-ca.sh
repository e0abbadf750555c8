#!/usr/bin/env bash
# Test code-signing certificates, made once in DIR with openssl (never for a
# real release: their keys lie unprotected beside them).
#   codesign-ca.sh DIR             makes what is missing; prints nothing
#   codesign-ca.sh thumbprint PEM  the certificate's SHA-256, 64 hex digits
# DIR holds, each as NAME.pem and NAME.key:
#   ca                the test code-signing CA (trusted in the test prefix)
#   signer            a code-signing certificate issued by ca
#   second-signer     another one issued by ca
#   expired-signer    one issued by ca, valid in 2020 only
#   other-ca, other-signer          a second CA (also trusted) and its signer
#   untrusted-ca, untrusted-signer  a CA no prefix trusts, and its signer
set -euo pipefail

if [ "${1:-}" = thumbprint ]; then
  openssl x509 -in "$2" -noout -fingerprint -sha256 | sed 's/.*=//; s/://g'
  exit 0
fi

dir=$1
mkdir -p "$dir"
cd "$dir"
[ -f complete ] && exit 0

make_ca() {
  openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 -keyout "$1.key" -out "$1.pem" \
    -subj "/O=Veltra Test/CN=$2" -addext basicConstraints=critical,CA:TRUE \
    -addext keyUsage=critical,keyCertSign,cRLSign -addext subjectKeyIdentifier=hash \
    2>/dev/null
}

# openssl ca, which alone sets any validity period, needs a database.
make_signer() {
  local name=$1 ca=$2 subject=$3
  shift 3
  local work
  work=$(mktemp -d)
  : >"$work/index.txt"
  cat >"$work/ca.cnf" <<CNF
[ca]
default_ca = test_ca
[test_ca]
database = $work/index.txt
new_certs_dir = $work
rand_serial = yes
default_md = sha256
policy = any
unique_subject = no
[any]
commonName = supplied
organizationName = optional
[code_signing]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF
  openssl req -new -newkey rsa:2048 -nodes -keyout "$name.key" -out "$work/req.csr" \
    -subj "/O=Veltra Test/CN=$subject" 2>/dev/null
  openssl ca -batch -notext -config "$work/ca.cnf" -cert "$ca.pem" -keyfile "$ca.key" \
    -extensions code_signing -in "$work/req.csr" -out "$name.pem" "$@" 2>/dev/null
  rm -rf "$work"
}

make_ca ca "Veltra Test Code Signing CA"
make_signer signer ca "Veltra Test Setup Signer" -days 3650
make_signer second-signer ca "Veltra Test Second Signer" -days 3650
make_signer expired-signer ca "Veltra Test Expired Signer" \
  -startdate 20200101000000Z -enddate 20201231000000Z
make_ca other-ca "Other Test Code Signing CA"
make_signer other-signer other-ca "Other Test Signer" -days 3650
make_ca untrusted-ca "Untrusted Test Code Signing CA"
make_signer untrusted-signer untrusted-ca "Untrusted Test Signer" -days 3650
touch complete
