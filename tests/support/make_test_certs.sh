#!/bin/sh
# Test certificates, made afresh by the tests that need them (never checked
# in), valid for one day, with the openssl command ($OPENSSL, or openssl on
# the path). In DIR: ca.pem/ca.key, a CA; device.pem/device.key, signed by it
# for localhost and 127.0.0.1; viewer.pem/viewer.key, a client certificate
# signed by it; other-ca.pem/other-ca.key, another CA, and
# stranger.pem/stranger.key, a client certificate signed by that one.
set -eu
dir=$1
openssl=${OPENSSL:-openssl}
mkdir -p "$dir"
cd "$dir"
ca() {  # NAME
    "$openssl" req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj "/CN=travik test $1" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign \
        -keyout "$1.key" -out "$1.pem"
}
leaf() {  # NAME EXTENDED-KEY-USAGE EXTRA-EXTENSION SERIAL [CA]
    "$openssl" req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=travik test $1" \
        -keyout "$1.key" -out "$1.csr"
    printf 'basicConstraints=CA:FALSE\nextendedKeyUsage=%s\n%s\n' "$2" "$3" > "$1.ext"
    "$openssl" x509 -req -in "$1.csr" -CA "${5:-ca}.pem" -CAkey "${5:-ca}.key" -set_serial "$4" -days 1 -extfile "$1.ext" \
        -out "$1.pem"
    rm -f "$1.csr" "$1.ext"
}
ca ca
ca other-ca
leaf device serverAuth "subjectAltName=DNS:localhost,IP:127.0.0.1" 2
leaf viewer clientAuth "" 3
leaf stranger clientAuth "" 4 other-ca
