#!/bin/bash
# Certificate chains for the tests of the certificate check, written into DIR:
#
#   root.pem                 the authority the client trusts (its CA file)
#   chain-NAME.pem, NAME.key the chain a server sends (its certificate first,
#                            then what it sends along) and the server's key
#
# NAME, each for the server name "localhost" unless said otherwise:
#   good         issued by an intermediate of the root, sent with the intermediate
#   forged       signed by an attacker's key under an issuer name and key
#                identifier copied from the real intermediate, sent with it
#   leaf-as-ca   issued by an ordinary server certificate of the intermediate
#                (CA:FALSE), sent with that certificate and the intermediate
#   expired      issued by the intermediate, valid only in 2020
#   other-host   issued by the intermediate for mail.elsewhere.test
#   self-signed  signed by its own key
#   client-only  issued by the intermediate for client authentication only
#   no-signing   issued by the intermediate with a key usage that allows
#                neither signing nor key encipherment
#
#   make-certs.sh DIR
set -euo pipefail
[ $# -eq 1 ] || { sed -n '2,21p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }
D=$1
mkdir -p "$D"
cd "$D"

key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }
csr() { openssl req -new -key "$1" -subj "$2" -out "$3" 2>/dev/null; }

# Signs a request: csr, issuer cert, issuer key, extension lines, output, [days].
sign() {
  local req=$1 ca=$2 cakey=$3 ext=$4 out=$5 days=${6:-3650}
  printf '%s\n' "$ext" >"$out.ext"
  openssl x509 -req -in "$req" -CA "$ca" -CAkey "$cakey" -set_serial "0x$(openssl rand -hex 8)" \
    -days "$days" -extfile "$out.ext" -out "$out" 2>/dev/null
  rm -f "$out.ext"
}

SERVER_EXT="basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid
subjectAltName=DNS:localhost,IP:127.0.0.1"
CA_EXT="basicConstraints=critical,CA:TRUE
keyUsage=critical,keyCertSign,cRLSign
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid"

# The root and its intermediate.
key root.key
openssl req -x509 -new -key root.key -subj "/CN=Kestro Chain Test Root" -days 3650 \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -out root.pem 2>/dev/null
key inter.key
csr inter.key "/O=Kestro Tests/CN=Kestro Chain Test Intermediate" inter.csr
sign inter.csr root.pem root.key "$CA_EXT" inter.pem

# An ordinary server certificate of the intermediate, for NAME with the given extensions.
leaf() {
  local name=$1 ext=$2 cn=${3:-localhost}
  key "$name.key"
  csr "$name.key" "/CN=$cn" "$name.csr"
  sign "$name.csr" inter.pem inter.key "$ext" "$name.pem"
  cat "$name.pem" inter.pem >"chain-$name.pem"
}

leaf good "$SERVER_EXT"
leaf other-host "${SERVER_EXT/DNS:localhost,IP:127.0.0.1/DNS:mail.elsewhere.test}" mail.elsewhere.test
leaf client-only "${SERVER_EXT/extendedKeyUsage=serverAuth/extendedKeyUsage=clientAuth}"
leaf no-signing "${SERVER_EXT/keyUsage=critical,digitalSignature,keyEncipherment/keyUsage=critical,keyAgreement}"

# Expired: valid from 2020-01-01 to 2020-12-31 (openssl ca takes explicit dates).
key expired.key
csr expired.key "/CN=localhost" expired.csr
mkdir -p ca-db
: >ca-db/index.txt
openssl rand -hex 8 >ca-db/serial
cat >ca-db/ca.cnf <<EOF
[ca]
default_ca = test
[test]
database = ca-db/index.txt
serial = ca-db/serial
new_certs_dir = ca-db
default_md = sha256
policy = any
copy_extensions = none
unique_subject = no
[any]
commonName = supplied
[ext]
$SERVER_EXT
EOF
openssl ca -batch -notext -config ca-db/ca.cnf -cert inter.pem -keyfile inter.key -in expired.csr \
  -startdate 20200101000000Z -enddate 20201231000000Z -extensions ext -out expired.pem 2>/dev/null
cat expired.pem inter.pem >chain-expired.pem

# Forged: the attacker makes a CA of their own under the intermediate's name
# and key identifier, signs the server name with it, and sends the real
# intermediate along.
inter_subject=$(openssl x509 -in inter.pem -noout -subject -nameopt compat | sed 's/^subject=//')
inter_ski=$(openssl x509 -in inter.pem -noout -ext subjectKeyIdentifier | tail -n 1 | tr -d ' :')
key attacker.key
openssl req -x509 -new -key attacker.key -subj "$inter_subject" -days 3650 \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -addext "subjectKeyIdentifier=$inter_ski" -out attacker-ca.pem 2>/dev/null
key forged.key
csr forged.key "/CN=localhost" forged.csr
sign forged.csr attacker-ca.pem attacker.key "$SERVER_EXT" forged.pem
cat forged.pem inter.pem >chain-forged.pem

# A leaf used as a CA: an ordinary certificate of the intermediate signs the server's.
key middle.key
csr middle.key "/CN=Kestro Chain Test Ordinary Server" middle.csr
sign middle.csr inter.pem inter.key "$SERVER_EXT" middle.pem
key leaf-as-ca.key
csr leaf-as-ca.key "/CN=localhost" leaf-as-ca.csr
sign leaf-as-ca.csr middle.pem middle.key "$SERVER_EXT" leaf-as-ca.pem
cat leaf-as-ca.pem middle.pem inter.pem >chain-leaf-as-ca.pem

# Self-signed.
key self-signed.key
openssl req -x509 -new -key self-signed.key -subj "/CN=localhost" -days 3650 \
  -addext "basicConstraints=critical,CA:FALSE" -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" \
  -addext "extendedKeyUsage=serverAuth" -out self-signed.pem 2>/dev/null
cp self-signed.pem chain-self-signed.pem

rm -f ./*.csr
