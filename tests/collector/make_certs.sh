#!/bin/bash
# Makes the certificates of the TLS forwarding tests with certtool, in DIR:
#   ca.pem / ca.key               the CA that the forwarder trusts
#   server.pem / server.key       "localhost" and 127.0.0.1, of the CA
#   client.pem / client.key       "client.test", of the CA (mutual authentication)
#   expired.pem / expired.key     "localhost", of the CA, valid only in 2020
#   elsewhere.pem / elsewhere.key "elsewhere.test", of the CA (a wrong name)
#   stranger.pem / stranger.key   "localhost", of another CA
#   server.sha256 / server.sha1   the fingerprints of server.pem (hex digits)
# Every key is mode 0600.
set -eu
dir=${1:?the certificate folder}
mkdir -p "$dir"
cd "$dir"
umask 077

key() { certtool --generate-privkey --key-type=ecdsa --outfile "$1.key" >/dev/null 2>&1; }

authority() {
  key "$1"
  printf 'cn = "%s"\nca\ncert_signing_key\nexpiration_days = 30\n' "$2" >"$1.tmpl"
  certtool --generate-self-signed --load-privkey "$1.key" --template "$1.tmpl" --outfile "$1.pem" >/dev/null 2>&1
}

# leaf NAME CA CN [template lines...]
leaf() {
  local name=$1 ca=$2 cn=$3
  shift 3
  key "$name"
  {
    printf 'cn = "%s"\ndns_name = "%s"\ntls_www_server\ntls_www_client\nsigning_key\nencryption_key\n' "$cn" "$cn"
    for line in "$@"; do printf '%s\n' "$line"; done
  } >"$name.tmpl"
  certtool --generate-certificate --load-privkey "$name.key" --load-ca-certificate "$ca.pem" \
    --load-ca-privkey "$ca.key" --template "$name.tmpl" --outfile "$name.pem" >/dev/null 2>&1
}

authority ca "Forwarding test CA"
authority otherca "Another test CA"
leaf server ca localhost 'ip_address = "127.0.0.1"' 'expiration_days = 30'
leaf client ca client.test 'expiration_days = 30'
leaf expired ca localhost 'ip_address = "127.0.0.1"' 'activation_date = "2020-01-01 00:00:00"' \
  'expiration_date = "2020-12-31 00:00:00"'
leaf elsewhere ca elsewhere.test 'expiration_days = 30'
leaf stranger otherca localhost 'ip_address = "127.0.0.1"' 'expiration_days = 30'
certtool --fingerprint --hash=sha256 --infile=server.pem >server.sha256 2>/dev/null
certtool --fingerprint --hash=sha1 --infile=server.pem >server.sha1 2>/dev/null
chmod 0644 ./*.pem ./*.sha256 ./*.sha1
