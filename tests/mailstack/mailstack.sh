#!/bin/bash
# A private mail stack on loopback for the tests: Dovecot (POP3S, IMAPS, LMTP)
# and Postfix (SMTPS with SASL through Dovecot, delivery over LMTP), with a
# test certificate authority, users alice, bob and carol @example.test, maildir
# storage, everything under one folder and on free high ports. No systemd.
# Besides the implicit TLS ports, each protocol has a STARTTLS port on
# 127.0.0.4 (POP3 and IMAP as on 110/143, SMTP submission as on 587; no
# login before TLS; also on 127.0.0.2, for which the certificate is not)
# and a plain port on 127.0.0.3 that offers no STARTTLS and takes plain
# logins. Two more SMTPS ports on 127.0.0.1 take only small mails: one
# announces its limit (SIZE), the other hides it and refuses large mail
# after the data.
#
#   mailstack.sh start DIR     start a stack in DIR (created; a stack already
#                              running there is stopped first)
#   mailstack.sh stop DIR      stop the stack of DIR (nothing when none runs)
#   mailstack.sh status DIR    exit 0 when both servers of DIR answer
#   mailstack.sh clear DIR USER   empty the INBOX of USER (alice, bob, carol)
#   mailstack.sh dovecot-stop DIR    stop only Dovecot (its sessions end at once)
#   mailstack.sh dovecot-start DIR   start Dovecot of DIR again on the same ports
#
# After start, DIR/stack.env (shell variables) and DIR/settings.ini (Kestro
# installation settings with the [Provider] section) tell clients the ports,
# the CA file and the passwords. Must run as root (Postfix's master needs it).
set -u

die() { echo "mailstack: $*" >&2; exit 1; }

DOMAIN=example.test
USERS="alice bob carol"
# Message size limit: a 25 MB attachment is about 34 MB in base64, with headroom.
SIZE_LIMIT=62914560
# The limits of the small listeners: announced, and hidden from EHLO.
SMALL_SIZE_LIMIT=2000000
HIDDEN_SIZE_LIMIT=1500000

usage() { sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }

[ $# -ge 2 ] || usage
CMD=$1
D=$2
case "$D" in /*) ;; *) D="$(pwd)/$D" ;; esac

port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
host_port_in_use() { (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null; }

# The address of the plain listeners that offer no STARTTLS, and of the
# STARTTLS listeners (not the client's own address, which Dovecot would
# count as secure and take logins before TLS on).
PLAIN_HOST=127.0.0.3
STARTTLS_HOST=127.0.0.4
# The address of the IMAP listener that offers no IDLE.
NOIDLE_HOST=127.0.0.5

# Eleven consecutive free ports from a random base.
pick_ports() {
  local tries base p ok
  for tries in $(seq 1 50); do
    base=$(( 20000 + (RANDOM * 32768 + RANDOM) % 40000 ))
    ok=1
    for p in $(seq "$base" $((base + 10))); do
      if port_in_use "$p" || host_port_in_use "$PLAIN_HOST" "$p" || host_port_in_use "$STARTTLS_HOST" "$p"; then
        ok=0
        break
      fi
    done
    if [ $ok = 1 ]; then echo "$base"; return 0; fi
  done
  return 1
}

wait_port() {  # port, tenths of a second
  local i
  for i in $(seq 1 "$2"); do
    port_in_use "$1" && return 0
    sleep 0.1
  done
  return 1
}

wait_host_port() {  # host, port, tenths of a second
  local i
  for i in $(seq 1 "$3"); do
    host_port_in_use "$1" "$2" && return 0
    sleep 0.1
  done
  return 1
}

pid_alive() { [ -n "$1" ] && kill -0 "$1" 2>/dev/null; }

dovecot_pid() { [ -f "$D/dovecot/run/master.pid" ] && cat "$D/dovecot/run/master.pid"; }
postfix_pid() { [ -f "$D/postfix-queue/pid/master.pid" ] && tr -d ' ' <"$D/postfix-queue/pid/master.pid"; }

make_certs() {
  local s="$D/ssl"
  mkdir -p "$s"
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=Kestro Test CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -keyout "$s/ca.key" -out "$s/ca.pem" 2>/dev/null || die "cannot make the test CA"
  # A second authority that signed nothing here: a client trusting only it must refuse the server.
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=Kestro Unknown CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -keyout "$s/other-ca.key" -out "$s/other-ca.pem" 2>/dev/null || die "cannot make the second CA"
  openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" \
    -keyout "$s/server.key" -out "$s/server.csr" 2>/dev/null || die "cannot make the server key"
  printf '%s\n' "basicConstraints=CA:FALSE" "keyUsage=critical,digitalSignature,keyEncipherment" \
    "extendedKeyUsage=serverAuth" "subjectAltName=DNS:localhost,IP:127.0.0.1,IP:$STARTTLS_HOST" >"$s/server.ext"
  openssl x509 -req -in "$s/server.csr" -CA "$s/ca.pem" -CAkey "$s/ca.key" -CAcreateserial \
    -days 3650 -extfile "$s/server.ext" -out "$s/server.pem" 2>/dev/null || die "cannot sign the server certificate"
  chmod 644 "$s"/*.pem
  chmod 600 "$s"/*.key
}

write_dovecot() {
  local c="$D/dovecot"
  mkdir -p "$c/run" "$c/state" "$D/mail"
  chown mail:mail "$D/mail"
  : >"$c/users"
  for u in $USERS; do
    echo "$u@$DOMAIN:{PLAIN}$(user_password "$u")::::::" >>"$c/users"
  done
  chmod 640 "$c/users"
  chown root:dovecot "$c/users"
  cat >"$c/dovecot.conf" <<EOF
# Generated by mailstack.sh
base_dir = $c/run
state_dir = $c/state
instance_name = kestro-$POP3S_PORT
log_path = $D/log/dovecot.log
info_log_path = $D/log/dovecot.log
protocols = pop3 imap lmtp
listen = 127.0.0.1, 127.0.0.2
ssl = required
ssl_cert = <$D/ssl/server.pem
ssl_key = <$D/ssl/server.key
ssl_min_protocol = TLSv1.2
disable_plaintext_auth = yes
auth_mechanisms = plain login
auth_failure_delay = 0
first_valid_uid = 8
mail_location = maildir:~/Maildir
mail_privileged_group = mail
pop3_uidl_format = %08Xu%08Xv
lmtp_save_to_detail_mailbox = no
passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u $c/users
}
userdb {
  driver = static
  args = uid=mail gid=mail home=$D/mail/%d/%n allow_all_users=yes
}
protocol lmtp {
  postmaster_address = postmaster@$DOMAIN
}
# The plain listeners: no STARTTLS offered, plain logins taken.
local $PLAIN_HOST {
  ssl = no
  disable_plaintext_auth = no
}
service imap-login {
  inet_listener imap {
    address = $STARTTLS_HOST, 127.0.0.2
    port = $IMAP_STARTTLS_PORT
  }
  inet_listener imap-plain {
    address = $PLAIN_HOST
    port = $IMAP_PLAIN_PORT
  }
  inet_listener imaps {
    port = $IMAPS_PORT
    ssl = yes
  }
}
service pop3-login {
  inet_listener pop3 {
    address = $STARTTLS_HOST, 127.0.0.2
    port = $POP3_STARTTLS_PORT
  }
  inet_listener pop3-plain {
    address = $PLAIN_HOST
    port = $POP3_PLAIN_PORT
  }
  inet_listener pop3s {
    port = $POP3S_PORT
    ssl = yes
  }
}
service lmtp {
  unix_listener lmtp {
    mode = 0666
  }
}
service auth {
  unix_listener auth-postfix {
    mode = 0666
  }
}
EOF
  # An IMAP server without IDLE: a plain listener on $NOIDLE_HOST (the
  # plain IMAP port number) whose capability list leaves IDLE out.
  cat >>"$c/dovecot.conf" <<EOF
local $NOIDLE_HOST {
  ssl = no
  disable_plaintext_auth = no
  protocol imap {
    imap_capability = IMAP4rev1 SASL-IR LOGIN-REFERRALS ID ENABLE LITERAL+ AUTH=PLAIN
  }
}
service imap-login {
  inet_listener imap-noidle {
    address = $NOIDLE_HOST
    port = $IMAP_PLAIN_PORT
  }
}
EOF
  # MAILSTACK_TUNED=1: Dovecot set up as a provider's installation runs it:
  # login processes that serve many connections, mail processes started
  # ahead, no rescans of maildir folders that only Dovecot changes, no fsync.
  # For benchmarks that measure a client's share of a session rather than
  # the test server's process starts and folder scans.
  if [ "${MAILSTACK_TUNED:-0}" = 1 ]; then
    cat >>"$c/dovecot.conf" <<EOF
service imap-login {
  service_count = 0
  process_min_avail = 2
}
service pop3-login {
  service_count = 0
  process_min_avail = 2
}
service imap {
  service_count = 100
  process_min_avail = 2
}
service pop3 {
  service_count = 100
  process_min_avail = 2
}
auth_cache_size = 1M
maildir_very_dirty_syncs = yes
mail_fsync = never
EOF
  fi
}

write_postfix() {
  local c="$D/postfix"
  mkdir -p "$c" "$D/postfix-queue" "$D/postfix-data"
  chown postfix "$D/postfix-data"
  # Known recipients: mail to anyone else is refused at RCPT time.
  : >"$c/vmailbox"
  for u in $USERS; do echo "$u@$DOMAIN $u" >>"$c/vmailbox"; done
  echo "postmaster@$DOMAIN postmaster" >>"$c/vmailbox"
  cat >"$c/main.cf" <<EOF
# Generated by mailstack.sh
compatibility_level = 3.6
config_directory = $c
queue_directory = $D/postfix-queue
data_directory = $D/postfix-data
mail_owner = postfix
setgid_group = postdrop
myhostname = mail.$DOMAIN
mydomain = $DOMAIN
myorigin = $DOMAIN
mydestination =
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
alias_maps =
alias_database =
biff = no
relayhost =
default_transport = error:outside delivery is disabled in the test stack
virtual_mailbox_domains = $DOMAIN
virtual_mailbox_maps = texthash:$c/vmailbox
virtual_transport = lmtp:unix:$D/dovecot/run/lmtp
lmtp_destination_recipient_limit = 1
message_size_limit = $SIZE_LIMIT
mailbox_size_limit = 0
virtual_mailbox_limit = 0
smtpd_sasl_type = dovecot
smtpd_sasl_path = $D/dovecot/run/auth-postfix
smtpd_sasl_security_options = noanonymous
smtpd_tls_cert_file = $D/ssl/server.pem
smtpd_tls_key_file = $D/ssl/server.key
smtpd_tls_security_level = encrypt
smtpd_relay_restrictions = permit_sasl_authenticated, reject
smtpd_recipient_restrictions = permit_sasl_authenticated, reject
smtpd_error_sleep_time = 0
smtpd_soft_error_limit = 1000
smtpd_hard_error_limit = 1000
smtpd_client_connection_rate_limit = 0
maillog_file = $D/log/postfix.log
maillog_file_prefixes = $D/log
postlog_service_name = postlog
EOF
  cat >"$c/master.cf" <<EOF
# Generated by mailstack.sh. No service is chrooted.
127.0.0.1:$SMTPS_PORT inet n - n - - smtpd
  -o smtpd_tls_wrappermode=yes
  -o smtpd_sasl_auth_enable=yes
$STARTTLS_HOST:$SUBMISSION_PORT inet n - n - - smtpd
  -o smtpd_tls_security_level=encrypt
  -o smtpd_tls_auth_only=yes
  -o smtpd_sasl_auth_enable=yes
127.0.0.2:$SUBMISSION_PORT inet n - n - - smtpd
  -o smtpd_tls_security_level=encrypt
  -o smtpd_tls_auth_only=yes
  -o smtpd_sasl_auth_enable=yes
$PLAIN_HOST:$SMTP_PLAIN_PORT inet n - n - - smtpd
  -o smtpd_tls_security_level=none
  -o smtpd_tls_auth_only=no
  -o smtpd_sasl_auth_enable=yes
127.0.0.1:$SMTPS_SMALL_PORT inet n - n - - smtpd
  -o smtpd_tls_wrappermode=yes
  -o smtpd_sasl_auth_enable=yes
  -o message_size_limit=$SMALL_SIZE_LIMIT
  -o cleanup_service_name=cleanup-small
127.0.0.1:$SMTPS_HIDDEN_PORT inet n - n - - smtpd
  -o smtpd_tls_wrappermode=yes
  -o smtpd_sasl_auth_enable=yes
  -o message_size_limit=$HIDDEN_SIZE_LIMIT
  -o smtpd_discard_ehlo_keywords=size
  -o cleanup_service_name=cleanup-hidden
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
cleanup-small unix n    -       n       -       0       cleanup
  -o message_size_limit=$SMALL_SIZE_LIMIT
cleanup-hidden unix n   -       n       -       0       cleanup
  -o message_size_limit=$HIDDEN_SIZE_LIMIT
qmgr      unix  n       -       n       300     1       qmgr
tlsmgr    unix  -       -       n       1000?   1       tlsmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
proxywrite unix -       -       n       -       1       proxymap
smtp      unix  -       -       n       -       -       smtp
relay     unix  -       -       n       -       -       smtp
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
lmtp      unix  -       -       n       -       -       lmtp
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
EOF
  # postfix start waits when its configuration looks freshly written.
  touch -d '-1 minute' "$c/main.cf" "$c/master.cf"
}

user_password() { echo "$1-Kx7.pw"; }

write_client_files() {
  {
    echo "MAILSTACK_DIR=$D"
    echo "MAILSTACK_HOST=127.0.0.1"
    echo "MAILSTACK_POP3S_PORT=$POP3S_PORT"
    echo "MAILSTACK_IMAPS_PORT=$IMAPS_PORT"
    echo "MAILSTACK_SMTPS_PORT=$SMTPS_PORT"
    echo "MAILSTACK_STARTTLS_HOST=$STARTTLS_HOST"
    echo "MAILSTACK_POP3_STARTTLS_PORT=$POP3_STARTTLS_PORT"
    echo "MAILSTACK_IMAP_STARTTLS_PORT=$IMAP_STARTTLS_PORT"
    echo "MAILSTACK_SUBMISSION_PORT=$SUBMISSION_PORT"
    echo "MAILSTACK_PLAIN_HOST=$PLAIN_HOST"
    echo "MAILSTACK_POP3_PLAIN_PORT=$POP3_PLAIN_PORT"
    echo "MAILSTACK_IMAP_PLAIN_PORT=$IMAP_PLAIN_PORT"
    echo "MAILSTACK_SMTP_PLAIN_PORT=$SMTP_PLAIN_PORT"
    echo "MAILSTACK_SMTPS_SMALL_PORT=$SMTPS_SMALL_PORT"
    echo "MAILSTACK_SMALL_SIZE_LIMIT=$SMALL_SIZE_LIMIT"
    echo "MAILSTACK_SMTPS_HIDDEN_PORT=$SMTPS_HIDDEN_PORT"
    echo "MAILSTACK_HIDDEN_SIZE_LIMIT=$HIDDEN_SIZE_LIMIT"
    echo "MAILSTACK_DOMAIN=$DOMAIN"
    echo "MAILSTACK_CA_FILE=$D/ssl/ca.pem"
    echo "MAILSTACK_OTHER_CA_FILE=$D/ssl/other-ca.pem"
    echo "MAILSTACK_DOVECOT_CONF=$D/dovecot/dovecot.conf"
    echo "MAILSTACK_POSTFIX_CONF=$D/postfix"
    for u in $USERS; do
      echo "MAILSTACK_$(echo "$u" | tr a-z A-Z)_PASSWORD=$(user_password "$u")"
      echo "MAILSTACK_$(echo "$u" | tr a-z A-Z)_MAILDIR=$D/mail/$DOMAIN/$u/Maildir"
    done
    echo "MAILSTACK_NOIDLE_HOST=$NOIDLE_HOST"
    echo "MAILSTACK_IMAP_NOIDLE_PORT=$IMAP_PLAIN_PORT"
  } >"$D/stack.env.tmp" && mv "$D/stack.env.tmp" "$D/stack.env"
  cat >"$D/settings.ini.tmp" <<EOF
[Options]
LOG=$D/client/log
TEMP_INPUT=$D/client/input
TEMP_OUTPUT=$D/client/output
CONF=$D/client/conf
PACE=0

[Provider]
POP3_SERVER=127.0.0.1
POP3_PORT=$POP3S_PORT
IMAP4_SERVER=127.0.0.1
IMAP4_PORT=$IMAPS_PORT
SMTP_SERVER=127.0.0.1
SMTP_PORT=$SMTPS_PORT
DOMAIN=$DOMAIN
SSL=true
CA_FILE=$D/ssl/ca.pem
EOF
  mv "$D/settings.ini.tmp" "$D/settings.ini"
  chmod 644 "$D/stack.env" "$D/settings.ini"
}

do_stop() {
  [ -d "$D" ] || return 0
  local dp pp i
  pp=$(postfix_pid)
  if pid_alive "$pp" && [ -f "$D/postfix/main.cf" ]; then
    postfix -c "$D/postfix" stop >/dev/null 2>&1 || kill "$pp" 2>/dev/null
  fi
  dp=$(dovecot_pid)
  if pid_alive "$dp"; then kill "$dp" 2>/dev/null; fi
  for i in $(seq 1 100); do
    pid_alive "$pp" || pid_alive "$dp" || break
    sleep 0.05
  done
  pid_alive "$pp" && kill -9 "$pp" 2>/dev/null
  pid_alive "$dp" && kill -9 "$dp" 2>/dev/null
  rm -f "$D/dovecot/run/master.pid" "$D/stack.env"
  return 0
}

do_start() {
  [ "$(id -u)" = 0 ] || die "must run as root (Postfix's master needs it)"
  for tool in dovecot postfix postconf openssl doveadm; do
    command -v "$tool" >/dev/null || die "$tool is not installed"
  done
  do_stop
  mkdir -p "$D" || die "cannot create $D"
  # Every server user walks down to its files.
  chmod 755 "$D"
  rm -rf "$D/dovecot" "$D/postfix" "$D/postfix-queue" "$D/postfix-data" "$D/ssl" "$D/log" "$D/mail"
  mkdir -p "$D/log" "$D/client/log" "$D/client/input" "$D/client/output" "$D/client/conf"
  chmod 755 "$D/log"
  make_certs

  local attempt base
  for attempt in 1 2 3 4 5; do
    base=$(pick_ports) || die "no free ports"
    POP3S_PORT=$base
    IMAPS_PORT=$((base + 1))
    SMTPS_PORT=$((base + 2))
    POP3_STARTTLS_PORT=$((base + 3))
    IMAP_STARTTLS_PORT=$((base + 4))
    SUBMISSION_PORT=$((base + 5))
    POP3_PLAIN_PORT=$((base + 6))
    IMAP_PLAIN_PORT=$((base + 7))
    SMTP_PLAIN_PORT=$((base + 8))
    SMTPS_SMALL_PORT=$((base + 9))
    SMTPS_HIDDEN_PORT=$((base + 10))
    write_dovecot
    write_postfix
    rm -f "$D/dovecot/run/master.pid"
    dovecot -c "$D/dovecot/dovecot.conf" </dev/null >>"$D/log/dovecot.start" 2>&1 || { do_stop; continue; }
    postfix -c "$D/postfix" start </dev/null >>"$D/log/postfix.start" 2>&1 || { do_stop; continue; }
    if wait_port "$POP3S_PORT" 50 && wait_port "$IMAPS_PORT" 50 && wait_port "$SMTPS_PORT" 50 \
       && wait_host_port $STARTTLS_HOST "$POP3_STARTTLS_PORT" 50 \
       && wait_host_port $STARTTLS_HOST "$IMAP_STARTTLS_PORT" 50 \
       && wait_host_port $STARTTLS_HOST "$SUBMISSION_PORT" 50 && wait_host_port $PLAIN_HOST "$POP3_PLAIN_PORT" 50 \
       && wait_host_port $PLAIN_HOST "$IMAP_PLAIN_PORT" 50 && wait_host_port $PLAIN_HOST "$SMTP_PLAIN_PORT" 50 \
       && wait_port "$SMTPS_SMALL_PORT" 50 && wait_port "$SMTPS_HIDDEN_PORT" 50 \
       && wait_host_port $NOIDLE_HOST "$IMAP_PLAIN_PORT" 50 \
       && [ -S "$D/dovecot/run/lmtp" ]; then
      # The per-IP login penalty would slow every login after the wrong-password tests.
      rm -f "$D/dovecot/run/anvil-auth-penalty"
      for u in $USERS; do
        # Creates each maildir, so that the tests can drop mails into it.
        doveadm -c "$D/dovecot/dovecot.conf" mailbox status -u "$u@$DOMAIN" messages INBOX >/dev/null 2>&1
      done
      write_client_files
      echo "mailstack: running in $D (POP3S $POP3S_PORT, IMAPS $IMAPS_PORT, SMTPS $SMTPS_PORT," \
        "STARTTLS on $STARTTLS_HOST POP3 $POP3_STARTTLS_PORT, IMAP $IMAP_STARTTLS_PORT, submission $SUBMISSION_PORT," \
        "plain on $PLAIN_HOST POP3 $POP3_PLAIN_PORT, IMAP $IMAP_PLAIN_PORT, SMTP $SMTP_PLAIN_PORT;" \
        "small mails only: SMTPS $SMTPS_SMALL_PORT (SIZE $SMALL_SIZE_LIMIT), $SMTPS_HIDDEN_PORT (hidden $HIDDEN_SIZE_LIMIT);" \
        "no IDLE on $NOIDLE_HOST IMAP $IMAP_PLAIN_PORT)"
      return 0
    fi
    do_stop
  done
  tail -n 20 "$D/log/"*.log "$D/log/"*.start >&2 2>/dev/null
  die "the stack did not come up; logs in $D/log"
}

do_status() {
  [ -f "$D/stack.env" ] || exit 1
  # shellcheck disable=SC1091
  . "$D/stack.env"
  port_in_use "$MAILSTACK_POP3S_PORT" && port_in_use "$MAILSTACK_IMAPS_PORT" && port_in_use "$MAILSTACK_SMTPS_PORT"
}

# A server outage for the tests: Dovecot stops (ending every POP3 and IMAP
# session) and comes back with the same configuration; Postfix keeps running.
descendants() {  # pid: its children, their children, ...
  local c
  for c in $(ps -o pid= --ppid "$1" 2>/dev/null); do
    echo "$c"
    descendants "$c"
  done
}

do_dovecot_stop() {
  local dp i p pids
  dp=$(dovecot_pid)
  pid_alive "$dp" || return 0
  # The session processes outlive a stopped master: they end with it here,
  # as on a crashed or rebooted server.
  pids="$dp $(descendants "$dp")"
  kill -9 $pids 2>/dev/null
  for i in $(seq 1 200); do
    alive=0
    for p in $pids; do pid_alive "$p" && alive=1; done
    [ $alive = 0 ] && break
    sleep 0.05
  done
  rm -f "$D/dovecot/run/master.pid"
  return 0
}

do_dovecot_start() {
  [ -f "$D/stack.env" ] || die "no stack runs in $D"
  # shellcheck disable=SC1091
  . "$D/stack.env"
  pid_alive "$(dovecot_pid)" && return 0
  dovecot -c "$D/dovecot/dovecot.conf" </dev/null >>"$D/log/dovecot.start" 2>&1 || die "dovecot did not start"
  wait_port "$MAILSTACK_POP3S_PORT" 100 && wait_port "$MAILSTACK_IMAPS_PORT" 100 \
    && wait_host_port "$MAILSTACK_STARTTLS_HOST" "$MAILSTACK_POP3_STARTTLS_PORT" 100 \
    && wait_host_port "$MAILSTACK_STARTTLS_HOST" "$MAILSTACK_IMAP_STARTTLS_PORT" 100 \
    || die "dovecot does not listen"
  rm -f "$D/dovecot/run/anvil-auth-penalty"
}

do_clear() {
  local u=${1:-}
  [ -n "$u" ] || usage
  doveadm -c "$D/dovecot/dovecot.conf" expunge -u "$u@$DOMAIN" mailbox INBOX all
}

case "$CMD" in
  start) do_start ;;
  stop) do_stop ;;
  status) do_status ;;
  clear) shift 2; do_clear "$@" ;;
  dovecot-stop) do_dovecot_stop ;;
  dovecot-start) do_dovecot_start ;;
  *) usage ;;
esac
