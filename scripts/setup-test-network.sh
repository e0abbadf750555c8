#!/usr/bin/env bash
# Prepares this machine for the integration tests; run as root, any number of
# times. It creates a test CA once (kept outside the repo and reused), issues
# the servers' certificate for every test host name, makes the system (and so
# Wine's WinINet) trust the CA, and maps the test host names to loopback
# addresses in /etc/hosts.
#
# Names, for every subnet S of 10..19 (one per concurrent test run) and slot
# N of 1..6 (1..4 for test programs running in parallel, 5 for the
# end-to-end tests, 6 for scripts/run.sh):
#   hostN.sS.veltra.test    127.0.S.N      download host, port 443
#   logN.sS.veltra.test     127.0.S.(100+N) log service, ports 8443 and 8080
#   refused.sS.veltra.test  127.0.S.250    nothing listens there
#   untrustedN.sS.veltra.test 127.0.S.(200+N) download host with a certificate
#                                          from a CA nobody trusts
#   devstoreaccount1.blobN.sS.veltra.test 127.0.S.(50+N) the blob storage
#                                          emulator, port 443; the first label
#                                          names the account, as in the cloud
set -euo pipefail

if [ "$(id -u)" != 0 ]; then
  echo "$0: must run as root (it edits /etc/hosts and the trust store)" >&2
  exit 1
fi

CA_DIR="${VELTRA_TEST_CA_DIR:-/var/lib/veltra-test-ca}"
HOSTS_FILE="${VELTRA_HOSTS_FILE:-/etc/hosts}"
TRUST_DIR=/usr/local/share/ca-certificates
FIRST_SUBNET=10
LAST_SUBNET=19
SLOTS=6

entries=()
for s in $(seq $FIRST_SUBNET $LAST_SUBNET); do
  for n in $(seq 1 $SLOTS); do
    entries+=("127.0.$s.$n host$n.s$s.veltra.test")
    entries+=("127.0.$s.$((100 + n)) log$n.s$s.veltra.test")
    entries+=("127.0.$s.$((200 + n)) untrusted$n.s$s.veltra.test")
    entries+=("127.0.$s.$((50 + n)) devstoreaccount1.blob$n.s$s.veltra.test")
  done
  entries+=("127.0.$s.250 refused.s$s.veltra.test")
done

mkdir -p "$CA_DIR"
chmod 700 "$CA_DIR"
cd "$CA_DIR"
# Checkouts that run their tests at the same time all come through here.
exec 9>"$CA_DIR/.lock"
flock 9

if [ ! -f ca.key ] || [ ! -f ca.pem ]; then
  echo "Creating the test CA in $CA_DIR"
  openssl req -x509 -new -newkey rsa:2048 -nodes -sha256 -days 3650 \
    -subj "/CN=Veltra Test CA" -keyout ca.key -out ca.pem \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
fi

# The certificate is reissued when the names change or it nears its end.
san=""
for e in "${entries[@]}"; do san+="DNS:${e#* },"; done
san="${san%,}"
if [ ! -f server.pem ] || [ "$(cat server.san 2>/dev/null)" != "$san" ] ||
   ! openssl x509 -checkend 604800 -noout -in server.pem >/dev/null ||
   ! openssl verify -CAfile ca.pem server.pem >/dev/null 2>&1; then
  echo "Issuing the test servers' certificate"
  openssl req -new -newkey rsa:2048 -nodes -subj "/CN=veltra.test" \
    -keyout server.key -out server.csr 2>/dev/null
  printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n' \
    "$san" > server.ext
  openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial \
    -days 825 -sha256 -extfile server.ext -out server.pem 2>/dev/null
  echo "$san" > server.san
  rm -f server.csr
fi

# A second CA that is never installed, so that tests can check that a
# certificate from an unknown issuer is refused.
if [ ! -f untrusted-ca.key ] || [ ! -f untrusted.pem ] ||
   [ "$(cat untrusted.san 2>/dev/null)" != "$san" ]; then
  openssl req -x509 -new -newkey rsa:2048 -nodes -sha256 -days 3650 \
    -subj "/CN=Veltra Untrusted Test CA" -keyout untrusted-ca.key -out untrusted-ca.pem \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
  openssl req -new -newkey rsa:2048 -nodes -subj "/CN=veltra.test" \
    -keyout untrusted.key -out untrusted.csr 2>/dev/null
  openssl x509 -req -in untrusted.csr -CA untrusted-ca.pem -CAkey untrusted-ca.key \
    -CAcreateserial -days 825 -sha256 -extfile server.ext -out untrusted.pem 2>/dev/null
  echo "$san" > untrusted.san
  rm -f untrusted.csr
fi

# Debian's trust store: update-ca-certificates adds it to
# /etc/ssl/certs/ca-certificates.crt, which Wine's crypt32 reads as the root
# store at process start.
mkdir -p "$TRUST_DIR"
if ! cmp -s ca.pem "$TRUST_DIR/veltra-test-ca.crt"; then
  cp ca.pem "$TRUST_DIR/veltra-test-ca.crt"
  update-ca-certificates >/dev/null
fi

# /etc/hosts: one marked block, rewritten in place, everything else kept.
begin="# BEGIN veltra test hosts"
end="# END veltra test hosts"
block="$begin"$'\n'
for e in "${entries[@]}"; do block+="$e"$'\n'; done
block+="$end"
current="$(sed -n "/^$begin\$/,/^$end\$/p" "$HOSTS_FILE")"
if [ "$current" != "$block" ]; then
  rest="$(sed "/^$begin\$/,/^$end\$/d" "$HOSTS_FILE")"
  # Written in place (not replaced) because /etc/hosts may be a bind mount.
  printf '%s\n%s\n' "$rest" "$block" > "$HOSTS_FILE"
fi
