#!/bin/bash
# A real rsyslogd as the collector of the forwarding tests, in the foreground
# with a configuration of its own, listening on 127.0.0.1 with imtcp (RFC 5424
# in octet-counting frames) and imrelp, and writing each message it receives,
# as received, to DIR/received.log (one line each; line feeds inside a message
# arrive as "#012").
#
# With a file DIR/tls.env (shell assignments) both inputs speak TLS only:
#   TLS_CA, TLS_CERT, TLS_KEY     the collector's CA file, certificate and key
#   TLS_CLIENT                    empty: imtcp asks for no client certificate
#                                 and imrelp takes any of the CA's; otherwise
#                                 the name a client's certificate must carry
#                                 (x509/name on both inputs)
#
#   collector.sh start DIR        picks two free ports, writes DIR/tcp.port and
#                                 DIR/relp.port, starts rsyslogd, waits until
#                                 both ports answer
#
# Two files in DIR, when present, change the configuration: collector.conf.in
# replaces it whole (@TCP@, @RELP@ and @DIR@ become the ports and DIR), and
# default-limits leaves rsyslogd's own message size limit in place.
#   collector.sh restart DIR      starts it again on the same ports
#   collector.sh kill DIR         SIGKILL, as a crash would
#   collector.sh stop DIR         SIGTERM, then waits for it to end
#
# The TLS collectors of the Windows run (whose tests cannot start their own):
#   collector.sh start-tls DIR    makes the certificates in DIR/certs (with
#                                 make_certs.sh) and starts one collector in
#                                 DIR/tls-NAME for each certificate NAME that
#                                 the tests show (server, stranger, elsewhere,
#                                 expired), and DIR/tls-mutual, which shows
#                                 server and asks for a client certificate
#                                 naming client.test
#   collector.sh stop-tls DIR     stops them
set -u
command=${1:?start, restart, kill or stop}
dir=${2:?the collector folder}
rsyslogd=${RSYSLOGD:-/usr/sbin/rsyslogd}

answers() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

running() { [ -s "$dir/collector.pid" ] && kill -0 "$(cat "$dir/collector.pid")" 2>/dev/null; }

launch() {
  local tcp=$1 relp=$2
  mkdir -p "$dir/work"
  if [ -f "$dir/collector.conf.in" ]; then
    sed -e "s|@TCP@|$tcp|g" -e "s|@RELP@|$relp|g" -e "s|@DIR@|$dir|g" "$dir/collector.conf.in" >"$dir/rsyslog.conf"
  else
    local size=' maxMessageSize="256k"'
    [ -f "$dir/default-limits" ] && size=
    local tcp_module='module(load="imtcp")' relp_tls='' global_tls=''
    if [ -f "$dir/tls.env" ]; then
      local TLS_CA TLS_CERT TLS_KEY TLS_CLIENT=''
      # shellcheck disable=SC1091
      . "$dir/tls.env"
      global_tls=" defaultNetstreamDriverCAFile=\"$TLS_CA\" defaultNetstreamDriverCertFile=\"$TLS_CERT\""
      global_tls+=" defaultNetstreamDriverKeyFile=\"$TLS_KEY\""
      relp_tls="tls=\"on\" tls.caCert=\"$TLS_CA\" tls.myCert=\"$TLS_CERT\" tls.myPrivKey=\"$TLS_KEY\""
      if [ -n "$TLS_CLIENT" ]; then
        tcp_module="module(load=\"imtcp\" streamDriver.name=\"gtls\" streamDriver.mode=\"1\""
        tcp_module+=" streamDriver.authMode=\"x509/name\" permittedPeer=[\"$TLS_CLIENT\"])"
        relp_tls+=" tls.authMode=\"name\" tls.permittedPeer=[\"$TLS_CLIENT\"]"
      else
        tcp_module='module(load="imtcp" streamDriver.name="gtls" streamDriver.mode="1" streamDriver.authMode="anon")'
        relp_tls+=' tls.authMode="certvalid"'
      fi
    fi
    cat >"$dir/rsyslog.conf" <<CONF
global(workDirectory="$dir/work"$size$global_tls)
# Each message is written before the input takes the next one (and before
# RELP acknowledges it), so a collector killed mid-run has lost nothing it
# acknowledged.
main_queue(queue.type="Direct")
$tcp_module
module(load="imrelp")
template(name="raw" type="string" string="%rawmsg%\n")
ruleset(name="received") {
  action(type="omfile" file="$dir/received.log" template="raw")
}
input(type="imtcp" port="$tcp" address="127.0.0.1" ruleset="received")
input(type="imrelp" port="$relp" address="127.0.0.1" ruleset="received" $relp_tls)
CONF
  fi
  "$rsyslogd" -n -f "$dir/rsyslog.conf" -i "$dir/rsyslogd.pid" >>"$dir/rsyslogd.out" 2>&1 &
  echo $! >"$dir/collector.pid"
  for _ in $(seq 100); do
    if answers "$tcp" && answers "$relp"; then return 0; fi
    running || return 1
    sleep 0.1
  done
  return 1
}

halt() {
  running || return 0
  local pid
  pid=$(cat "$dir/collector.pid")
  kill "-$1" "$pid" 2>/dev/null
  for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.05
  done
  kill -KILL "$pid" 2>/dev/null
}

case $command in
  start)
    if [ ! -x "$rsyslogd" ]; then
      echo "collector.sh: $rsyslogd is missing: install the packages rsyslog, rsyslog-relp and rsyslog-gnutls" >&2
      exit 2
    fi
    mkdir -p "$dir"
    for _ in $(seq 20); do
      tcp=$((20000 + RANDOM % 40000))
      relp=$((tcp + 1))
      if answers "$tcp" || answers "$relp"; then continue; fi
      echo "$tcp" >"$dir/tcp.port"
      echo "$relp" >"$dir/relp.port"
      if launch "$tcp" "$relp"; then exit 0; fi
      halt TERM
    done
    echo "collector.sh: rsyslogd did not start (see $dir/rsyslogd.out)" >&2
    exit 1
    ;;
  restart)
    launch "$(cat "$dir/tcp.port")" "$(cat "$dir/relp.port")" || {
      echo "collector.sh: rsyslogd did not start again (see $dir/rsyslogd.out)" >&2
      exit 1
    }
    ;;
  start-tls)
    bash "$(dirname "$0")/make_certs.sh" "$dir/certs" || exit 1
    for name in server stranger elsewhere expired mutual; do
      cert=$name client=
      [ "$name" = mutual ] && cert=server client=client.test
      mkdir -p "$dir/tls-$name"
      printf 'TLS_CA=%s\nTLS_CERT=%s\nTLS_KEY=%s\nTLS_CLIENT=%s\n' "$dir/certs/ca.pem" "$dir/certs/$cert.pem" \
        "$dir/certs/$cert.key" "$client" >"$dir/tls-$name/tls.env"
      bash "$0" start "$dir/tls-$name" || exit 1
    done
    ;;
  stop-tls)
    for folder in "$dir"/tls-*; do
      [ -d "$folder" ] && bash "$0" stop "$folder"
    done
    exit 0
    ;;
  kill) halt KILL ;;
  stop) halt TERM ;;
  *) echo "collector.sh: unknown command $command" >&2; exit 2 ;;
esac
