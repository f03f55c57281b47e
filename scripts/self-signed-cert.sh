#!/usr/bin/env bash
# Makes a self-signed certificate for localhost (and 127.0.0.1, ::1) with
# its key in DIR, as tls-cert.pem and tls-key.pem, for trying TLS out with
# `make run`. Does nothing when either file is there already: a key is never
# overwritten, whoever made it. The key is readable by its owner only.
#
#   scripts/self-signed-cert.sh DIR
set -euo pipefail

dir=${1:?usage: $0 DIR}
cert=$dir/tls-cert.pem
key=$dir/tls-key.pem
if [ -e "$cert" ] || [ -e "$key" ]; then
  exit 0
fi

# Made under a private umask in a directory of its own, then moved in
# without clobbering: the key is never readable by others, not even for a
# moment, and a file that appeared meanwhile is kept.
umask 077
tmp=$(mktemp -d "$dir/.tls-new.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 825 \
  -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1 \
  -keyout "$tmp/key.pem" -out "$tmp/cert.pem" 2>/dev/null
chmod 0600 "$tmp/key.pem"
chmod 0644 "$tmp/cert.pem"
mv -n "$tmp/key.pem" "$key"
mv -n "$tmp/cert.pem" "$cert"
echo "Made a self-signed certificate for localhost: $cert (key: $key)"
