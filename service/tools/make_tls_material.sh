#!/usr/bin/env bash
# Makes the service's two self-signed certificates (RSA 4096 and EC P-384, for 127.0.0.1 and
# localhost) and the embedded source with the sealed private keys, once per build tree: a second
# run keeps what exists, so a browser that trusts the certificates keeps trusting them.
# usage: make_tls_material.sh <certtool> <keyseal> <cert dir> <generated source>
set -euo pipefail
certtool=$1 keyseal=$2 certdir=$3 out=$4
mkdir -p "$certdir" "$(dirname "$out")"
if [ -s "$out" ] && [ -s "$certdir/kvlb_rsa_cert.pem" ] && [ -s "$certdir/kvlb_ec_cert.pem" ]; then
  touch "$out" "$certdir/kvlb_rsa_cert.pem" "$certdir/kvlb_ec_cert.pem"
  exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 700 "$work"
common='organization = "KVLBTessarion"
cn = "127.0.0.1"
dns_name = "localhost"
dns_name = "127.0.0.1"
ip_address = "127.0.0.1"
expiration_days = 3650
tls_www_server
signing_key'
printf '%s\nencryption_key\n' "$common" >"$work/rsa.tmpl"
printf '%s\n' "$common" >"$work/ec.tmpl"
"$certtool" --generate-privkey --key-type=rsa --bits=4096 --no-text --outfile "$work/rsa.key" 2>/dev/null
"$certtool" --generate-privkey --key-type=ecdsa --curve=secp384r1 --no-text --outfile "$work/ec.key" 2>/dev/null
"$certtool" --generate-self-signed --load-privkey "$work/rsa.key" --template "$work/rsa.tmpl" \
  --no-text --outfile "$work/rsa.pem" 2>/dev/null
"$certtool" --generate-self-signed --load-privkey "$work/ec.key" --template "$work/ec.tmpl" \
  --no-text --outfile "$work/ec.pem" 2>/dev/null
"$keyseal" "$work/rsa.key" "$work/rsa.pem" "$work/ec.key" "$work/ec.pem" "$out.tmp"
mv "$out.tmp" "$out"
cp "$work/rsa.pem" "$certdir/kvlb_rsa_cert.pem"
cp "$work/ec.pem" "$certdir/kvlb_ec_cert.pem"
