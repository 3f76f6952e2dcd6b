# Private Dovecot and Postfix instances on Ostrel's accounts, for .ci/mail-servers and the
# login benchmark. Source this file, then:
#
#   mail_setup <scratch> <ostrel binary> store|ldap|system|ad <pam module>
#                                                     configuration, the ostrel work dir and
#                                                     the PAM service file (pam.d/ostrel)
#   mount --bind "$MAIL_ETC_COPY" "$MAIL_ETC_TARGET"   in a private mount namespace
#   mail_start_dovecot; mail_start_postfix            listen on loopback ports
#   mail_stop                                         stops both (safe to call twice)
#
# Everything lives in <scratch> (made by the caller, removed by it): the configurations are
# the ones in examples/dovecot and examples/postfix, with their paths, the mail account
# (vmail there, nobody here) and the directory settings put in. For the directory the
# OSTREL_TEST_LDAP_* variables of tests/ldap/harness.sh must be set, for the domain the
# OSTREL_TEST_AD_* ones of tests/ad/harness.sh (its service account serves ostrel and
# Dovecot's searches alike). Dovecot's pam passdb reads /etc/pam.d/ostrel: the caller
# bind-mounts a scratch copy of /etc/pam.d (of all of /etc for the host's accounts, whose
# files ostrel writes, and for the domain, whose administrator's steps write there) there in
# a private mount namespace, never writing the machine's /etc. Mail users' files
# belong to nobody; ostrel runs as nobody too, as it runs as the mail account in
# production. Needs root and the packages dovecot-core, dovecot-pop3d, dovecot-imapd,
# dovecot-sqlite, dovecot-ldap and postfix.

mail_examples=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../examples" && pwd)

# A free TCP port on loopback.
mail_free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Copies an example file, putting the scratch paths and this run's accounts in.
mail_install_example() {
  local from=$1 to=$2
  sed -e "s|/etc/dovecot/|$MAIL_DIR/dovecot/|g" \
    -e "s|/var/lib/ostrel/ostrel.db|$MAIL_DIR/store/ostrel.db|g" \
    -e "s|/var/spool/postfix/private/|$MAIL_DIR/postfix/queue/private/|g" \
    -e "s|^mail_gid = vmail|mail_gid = nogroup|" -e "s|= vmail$|= nobody|" \
    "$from" >"$to"
}

# Sets one option of Dovecot's ldap file for a backend (ldap or ad), whatever its value
# holds (no sed expression is made of it).
mail_set_ldap_option() {
  local file=$MAIL_DIR/dovecot/dovecot-ostrel-$1.conf.ext
  key=$2 value=$3 awk '
    $0 ~ "^" ENVIRON["key"] " = " { print ENVIRON["key"] " = " ENVIRON["value"]; next }
    { print }' "$file" >"$file.new"
  chmod 600 "$file.new"
  mv "$file.new" "$file"
}

mail_setup() {
  MAIL_DIR=$1
  MAIL_OSTREL=$2
  MAIL_BACKEND=$3
  MAIL_PAM_MODULE=$4
  MAIL_POP3_PORT=$(mail_free_port)
  MAIL_IMAP_PORT=$(mail_free_port)
  MAIL_SMTP_PORT=$(mail_free_port)
  export MAIL_DIR MAIL_OSTREL MAIL_BACKEND MAIL_POP3_PORT MAIL_IMAP_PORT MAIL_SMTP_PORT
  chmod 755 "$MAIL_DIR"
  mkdir -p "$MAIL_DIR"/{dovecot,run,state,store,ostrel,mail} "$MAIL_DIR"/postfix/{etc,queue,data}
  # The machine's PAM services (runuser among them) and the mail service, which calls the
  # module under test with this run's settings.
  if [[ $MAIL_BACKEND == system || $MAIL_BACKEND == ad ]]; then
    MAIL_ETC_COPY=$MAIL_DIR/etc MAIL_ETC_TARGET=/etc
    cp -a /etc "$MAIL_ETC_COPY"
  else
    MAIL_ETC_COPY=$MAIL_DIR/pam.d MAIL_ETC_TARGET=/etc/pam.d
    cp -a /etc/pam.d "$MAIL_ETC_COPY"
  fi
  MAIL_OSTREL_USER=nobody
  if [[ $MAIL_BACKEND == system ]]; then
    MAIL_OSTREL_USER=root
    # The host accounts' wrong passwords are counted in a scratch tally directory.
    printf 'dir = %s\n' "$MAIL_DIR/faillock" >"$MAIL_ETC_COPY/security/faillock.conf"
    chown root: "$MAIL_DIR/ostrel"
  fi
  export MAIL_ETC_COPY MAIL_ETC_TARGET MAIL_OSTREL_USER
  local pam_dir=$MAIL_ETC_COPY
  [[ $MAIL_ETC_TARGET == /etc ]] && pam_dir=$MAIL_ETC_COPY/pam.d
  sed -e "s|pam_ostrel.so|$MAIL_PAM_MODULE path=$MAIL_DIR/ostrel|" "$mail_examples/pam.d/ostrel" \
    >"$pam_dir/ostrel"
  chown nobody:nogroup "$MAIL_DIR"/{store,ostrel,mail}
  chown postfix: "$MAIL_DIR/postfix/data"

  # ostrel's work directory: its settings and log.
  {
    echo "path $MAIL_DIR/ostrel"
    echo "log info"
    if [[ $MAIL_BACKEND == ldap ]]; then
      install -o nobody -m 600 "$OSTREL_TEST_LDAP_BIND_PW_FILE" "$MAIL_DIR/ostrel/ldap.pw"
      echo "account_db $OSTREL_TEST_LDAP_URI"
      echo "ldap_base $OSTREL_TEST_LDAP_BASE"
      echo "ldap_bind_dn $OSTREL_TEST_LDAP_BIND_DN"
      echo "ldap_bind_pw_file $MAIL_DIR/ostrel/ldap.pw"
    elif [[ $MAIL_BACKEND == ad ]]; then
      # The mail account's own copies of the password file and of the CA, which the
      # harness keeps where only root reads.
      install -o nobody -m 600 "$OSTREL_TEST_AD_BIND_PW_FILE" "$MAIL_DIR/ostrel/ad.pw"
      install -m 644 "$OSTREL_TEST_AD_CA_FILE" "$MAIL_DIR/ostrel/ca.pem"
      echo "account_db ad:$OSTREL_TEST_AD_URI"
      echo "ldap_base $OSTREL_TEST_AD_BASE"
      echo "ldap_bind_dn $OSTREL_TEST_AD_BIND_DN"
      echo "ldap_bind_pw_file $MAIL_DIR/ostrel/ad.pw"
      echo "ldap_ca_file $MAIL_DIR/ostrel/ca.pem"
    elif [[ $MAIL_BACKEND == system ]]; then
      echo "account_db system"
      echo "group users"
      echo "home_path $MAIL_DIR/mail"
    else
      echo "account_db $MAIL_DIR/store/ostrel.db"
    fi
  } >"$MAIL_DIR/ostrel/ostrel.ini"

  local file
  for file in "$mail_examples"/dovecot/*; do
    mail_install_example "$file" "$MAIL_DIR/dovecot/$(basename "$file")"
  done
  if [[ $MAIL_BACKEND == ldap ]]; then
    sed -i -e 's|^!include auth-ostrel-sql|#!include auth-ostrel-sql|' \
      -e 's|^#!include auth-ostrel-ldap|!include auth-ostrel-ldap|' "$MAIL_DIR/dovecot/10-ostrel.conf"
    # The search account: the harness's service account here, a read-only one in production.
    sed -i -e "s|^uris = .*|uris = $OSTREL_TEST_LDAP_URI|" \
      -e "s|^dn = .*|dn = $OSTREL_TEST_LDAP_BIND_DN|" \
      -e "s|^dnpass = .*|dnpass = $(cat "$OSTREL_TEST_LDAP_BIND_PW_FILE")|" \
      -e "s|^base = .*|base = ou=users,$OSTREL_TEST_LDAP_BASE|" \
      "$MAIL_DIR/dovecot/dovecot-ostrel-ldap.conf.ext"
    chmod 600 "$MAIL_DIR/dovecot/dovecot-ostrel-ldap.conf.ext"
  elif [[ $MAIL_BACKEND == ad ]]; then
    sed -i -e 's|^!include auth-ostrel-sql|#!include auth-ostrel-sql|' \
      -e 's|^#!include auth-ostrel-ad|!include auth-ostrel-ad|' "$MAIL_DIR/dovecot/10-ostrel.conf"
    # The password in double quotes with \ and " escaped, as the README puts it there.
    local dnpass
    dnpass=$(sed 's/[\\"]/\\&/g' "$OSTREL_TEST_AD_BIND_PW_FILE")
    mail_set_ldap_option ad uris "$OSTREL_TEST_AD_URI"
    mail_set_ldap_option ad tls_ca_cert_file "$MAIL_DIR/ostrel/ca.pem"
    mail_set_ldap_option ad dn "$OSTREL_TEST_AD_BIND_DN"
    mail_set_ldap_option ad dnpass "\"$dnpass\""
    mail_set_ldap_option ad base "$OSTREL_TEST_AD_BASE"
  elif [[ $MAIL_BACKEND == system ]]; then
    sed -i -e 's|^!include auth-ostrel-sql|#!include auth-ostrel-sql|' \
      -e 's|^#!include auth-ostrel-system|!include auth-ostrel-system|' \
      "$MAIL_DIR/dovecot/10-ostrel.conf"
  fi
  cat >"$MAIL_DIR/dovecot/dovecot.conf" <<CONF
# A private instance on loopback; the accounts come from the included example.
base_dir = $MAIL_DIR/run
state_dir = $MAIL_DIR/state
log_path = $MAIL_DIR/dovecot.log
protocols = pop3 imap lmtp
listen = 127.0.0.1
ssl = no
# Refusals answered at once: no failure delay, no growing penalty for this address.
auth_failure_delay = 0
service anvil {
  unix_listener anvil-auth-penalty {
    mode = 0
  }
}
service pop3-login {
  inet_listener pop3 {
    port = $MAIL_POP3_PORT
  }
  inet_listener pop3s {
    port = 0
  }
}
service imap-login {
  inet_listener imap {
    port = $MAIL_IMAP_PORT
  }
  inet_listener imaps {
    port = 0
  }
}
!include $MAIL_DIR/dovecot/10-ostrel.conf
CONF

  # Postfix: the distribution's services without chroot, smtpd on a loopback port, SMTP
  # AUTH from the example, TLS with a throwaway certificate.
  openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=mail.ostrel.test \
    -keyout "$MAIL_DIR/postfix/etc/key.pem" -out "$MAIL_DIR/postfix/etc/cert.pem" 2>/dev/null
  awk -v listen="127.0.0.1:$MAIL_SMTP_PORT" '
    /^#/ || /^[ \t]/ || NF < 8 { next }
    $1 == "smtp" && $2 == "inet" { print listen " inet n - n - - smtpd -o smtpd_sasl_auth_enable=yes"; next }
    { $5 = "n"; print }' /usr/share/postfix/master.cf.dist >"$MAIL_DIR/postfix/etc/master.cf"
  {
    cat <<CONF
compatibility_level = 3.6
meta_directory = /etc/postfix
queue_directory = $MAIL_DIR/postfix/queue
data_directory = $MAIL_DIR/postfix/data
maillog_file = $MAIL_DIR/postfix.log
maillog_file_prefixes = $MAIL_DIR
mail_owner = postfix
setgid_group = postdrop
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
myhostname = mail.ostrel.test
mydestination =
mynetworks = 127.0.0.1/32
alias_maps =
alias_database =
smtpd_tls_cert_file = $MAIL_DIR/postfix/etc/cert.pem
smtpd_tls_key_file = $MAIL_DIR/postfix/etc/key.pem
smtpd_tls_security_level = may
smtpd_error_sleep_time = 0
CONF
  } >"$MAIL_DIR/postfix/etc/main.cf"
  # The example applied as the README applies it, line by line with postconf -e; twice, as
  # an administrator who sets up a second backend would, and Postfix must not warn of a
  # setting given twice. The test's port is the submission port too (SMTP AUTH on, as the
  # README's postconf -P gives 587 and 465). The test client connects from loopback: no
  # network of its own here, so that it is treated as any client on the Internet.
  local setting round
  for round in 1 2; do
    grep -v '^#' "$mail_examples/postfix/main.cf.ostrel" | grep . | while IFS= read -r setting; do
      postconf -c "$MAIL_DIR/postfix/etc" -e "$setting" || return 1
    done
  done
  postconf -c "$MAIL_DIR/postfix/etc" -e mynetworks=192.0.2.1/32 address_verify_poll_delay=1s
  if postconf -c "$MAIL_DIR/postfix/etc" -n 2>&1 >/dev/null | grep .; then
    echo "postconf warns about the configuration made from main.cf.ostrel" >&2
    return 1
  fi
}

# Waits until a loopback port accepts connections.
mail_wait_port() {
  local port=$1
  for _ in $(seq 100); do
    python3 -c "import socket; socket.create_connection(('127.0.0.1', $port), 1).close()" \
      2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

mail_start_dovecot() {
  dovecot -c "$MAIL_DIR/dovecot/dovecot.conf" || return 1
  mail_wait_port "$MAIL_POP3_PORT" && mail_wait_port "$MAIL_IMAP_PORT" ||
    { cat "$MAIL_DIR/dovecot.log" >&2; return 1; }
}

mail_start_postfix() {
  postfix -c "$MAIL_DIR/postfix/etc" start >/dev/null 2>"$MAIL_DIR/postfix-start.log" ||
    { cat "$MAIL_DIR/postfix-start.log" "$MAIL_DIR/postfix.log" >&2; return 1; }
  mail_wait_port "$MAIL_SMTP_PORT" || { cat "$MAIL_DIR/postfix.log" >&2; return 1; }
}

mail_stop() {
  [[ -n ${MAIL_DIR:-} ]] || return 0
  if [[ -f $MAIL_DIR/run/master.pid ]]; then
    doveadm -c "$MAIL_DIR/dovecot/dovecot.conf" stop 2>/dev/null ||
      kill "$(cat "$MAIL_DIR/run/master.pid")" 2>/dev/null || true
  fi
  if [[ -f $MAIL_DIR/postfix/queue/pid/master.pid ]]; then
    postfix -c "$MAIL_DIR/postfix/etc" stop >/dev/null 2>&1 ||
      kill "$(tr -d ' ' <"$MAIL_DIR/postfix/queue/pid/master.pid")" 2>/dev/null || true
  fi
}
