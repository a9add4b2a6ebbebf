#!/usr/bin/env bash
# zemsynth with ORVEL_HTTP_PARSER=standard against the tools everyone has:
# curl and Python's http.client directly, then curl over https through the
# nginx server block of packaging/nginx (TLS, then client certificates).
# The strict default answers the same requests with the bare 400.
#   standard_http_test.sh SOURCE_DIR BUILD_DIR
set -u
src=$1
build=$2
slpd=$build/tools/orvel-slpd/orvel-slpd
proxy=$build/tools/zemproxy/zemproxy
synth=$build/orvel_apps/zemsynth
work=$(mktemp -d)
. "$src/tests/tools/test_lib.sh"
for tool in curl python3 openssl nginx; do
  command -v "$tool" >/dev/null || [[ -x /usr/sbin/$tool ]] || {
    echo "SKIP: $tool is not installed (scripts/setup-deps.sh test)"
    exit 77
  }
done
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)

da_port=$(free_port); pp=$(free_port); std=$(free_port); strict=$(free_port)
"$slpd" --listen 127.0.0.1 --port "$da_port" >"$work/slpd.log" 2>&1 & pids+=($!)
wait_port "$da_port"
"$proxy" --port "$pp" --da "127.0.0.1:$da_port" --addr 10.0.0.1 >"$work/proxy.log" 2>&1 & pids+=($!)
export ORVEL_PATH=$work  # no pelm.coords: a host without a proxy is refused
ORVEL_HTTP_PARSER=standard ORVEL_HTTP_LISTEN=127.0.0.1 \
  setsid "$synth" "$std" "127.0.0.1:$da_port" </dev/null >"$work/std.log" 2>&1 & pids+=($!)
setsid "$synth" "$strict" "127.0.0.1:$da_port" </dev/null >"$work/strict.log" 2>&1 & pids+=($!)
wait_port "$pp"; wait_port "$std"; wait_port "$strict"
for _ in $(seq 50); do grep -q "registered" "$work/proxy.log" && break; sleep 0.1; done

check "ORVEL_HTTP_LISTEN=127.0.0.1 binds loopback only" \
  '[[ $(ss -Hltn "sport = :$std" | awk "{print \$4}") == "127.0.0.1:$std" ]]'
check "the default binds every address" \
  '[[ $(ss -Hltn "sport = :$strict" | awk "{print \$4}") =~ ^(0\.0\.0\.0|\*):$strict$ ]]'

req='<?xml version="1.0"?>
<SynthZemReq><id>5</id><version>7</version><endpointlist num="1"><endpoint>10.0.0.1</endpoint></endpointlist><zonelist num="0"/></SynthZemReq>'
refused='<?xml version="1.0"?>
<SynthZemReq><id>6</id><version>8</version><endpointlist num="1"><endpoint>10.9.9.9</endpoint></endpointlist><zonelist num="0"/></SynthZemReq>'
printf '%s' "$req" >"$work/req.xml"
printf '%s' "$refused" >"$work/refused.xml"
ok_body='<SynthZemOk><id>5</id><version>7</version>'
# What $out must hold: the reply document, or a refusal's reason.
served='[[ $out == "200 "* && $out == *"$ok_body"* ]]'
says_why='[[ $(head -1 <<<"$out") == "400 text/plain; charset=utf-8" && -n $(sed -n 2p <<<"$out") ]]'

# curl as anyone types it: Host, User-Agent, Accept and Content-Type first.
post() {  # URL FILE [curl options...]: prints "STATUS CONTENT-TYPE" then the body
  local url=$1 file=$2
  shift 2
  curl -s -o "$work/body" -w '%{http_code} %{content_type}\n' --data-binary @"$file" \
    -H 'Content-Type: application/xml' "$@" "$url"
  cat "$work/body"
}
out=$(post "http://127.0.0.1:$std/query" "$work/req.xml")
check "curl: 200 with the SynthZemOk (got: $out)" "$served"
out=$(post "http://127.0.0.1:$std/query" "$work/refused.xml")
check "curl: a refusal says why in text/plain (got: $out)" \
  "$says_why"
out=$(post "http://127.0.0.1:$std/query" "$work/req.xml" -H 'Transfer-Encoding: chunked')
check "curl: a chunked body gets 411 (got: $out)" '[[ $out == "411 "* ]]'
out=$(post "http://127.0.0.1:$strict/query" "$work/req.xml")
check "curl against the strict default: bare 400 (got: $out)" '[[ $out == "400 " ]]'

pyclient() {  # PORT FILE: "STATUS" and the body, through http.client
  python3 - "$1" "$2" <<'PY'
import http.client, sys
c = http.client.HTTPConnection("127.0.0.1", int(sys.argv[1]), timeout=30)
c.request("POST", "/query", body=open(sys.argv[2], "rb").read(),
          headers={"Content-Type": "application/xml"})
r = c.getresponse()
print(r.status)
print(r.read().decode())
PY
}
out=$(pyclient "$std" "$work/req.xml")
check "http.client: 200 with the SynthZemOk (got: $out)" \
  '[[ $(head -1 <<<"$out") == 200 && $out == *"$ok_body"* ]]'
out=$(pyclient "$strict" "$work/req.xml")
check "http.client against the strict default: 400 (got: $out)" '[[ $(head -1 <<<"$out") == 400 ]]'

# TLS in front: a certificate authority, a server certificate for
# 127.0.0.1 and a client certificate, all made here.
tls=$work/tls
mkdir -p "$tls"
(
  cd "$tls" || exit 1
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=orvel-test-ca \
    -keyout ca.key -out ca.crt
  openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout zemsynth.key -out server.csr
  printf 'subjectAltName=IP:127.0.0.1\n' >san.ext
  openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 \
    -extfile san.ext -out zemsynth.crt
  openssl req -newkey rsa:2048 -nodes -subj /CN=orvel-test-client -keyout client.key -out client.csr
  openssl x509 -req -in client.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 -out client.crt
) >"$work/openssl.log" 2>&1
check "openssl made the certificates ($(tail -1 "$work/openssl.log"))" '[[ -s $tls/client.crt ]]'

# The packaged server block twice: as shipped (TLS only), and with client
# certificates required; each pointed at this test's files and ports.
t1=$(free_port); t2=$(free_port)
block() {  # PORT NAME [sed script]
  sed -e "s|listen 443 ssl;|listen 127.0.0.1:$1 ssl;|" \
    -e "s|127.0.0.1:7000|127.0.0.1:$std|" \
    -e "s|upstream zemsynth|upstream $2|; s|http://zemsynth;|http://$2;|" \
    -e "s|/etc/orvel/tls/zemsynth|$tls/zemsynth|; s|/etc/orvel/tls/clients-ca.crt|$tls/ca.crt|" \
    -e "${3:-}" "$src/packaging/nginx/zemsynth-tls.conf"
}
ngx=$work/nginx
mkdir -p "$ngx/logs"
{
  echo "worker_processes 1;"
  echo "pid $ngx/nginx.pid;"
  echo "error_log $ngx/logs/error.log;"
  echo "events { worker_connections 64; }"
  echo "http {"
  echo "  access_log $ngx/logs/access.log;"
  for d in client_body proxy fastcgi uwsgi scgi; do echo "  ${d}_temp_path $ngx/$d;"; done
  block "$t1" zemsynth
  block "$t2" zemsynth_certs 's|#ssl_|ssl_|'
  echo "}"
} >"$ngx/nginx.conf"
# Started as root, nginx's worker runs as nobody: let it into the folder.
chmod 755 "$work"
"$nginx_bin" -p "$ngx" -e "$ngx/logs/error.log" -c "$ngx/nginx.conf" -g 'daemon off;' \
  >"$work/nginx.out" 2>&1 & pids+=($!)
wait_port "$t1" && wait_port "$t2"
check "nginx started ($(tail -2 "$ngx/logs/error.log" "$work/nginx.out" 2>/dev/null | tr '\n' ' '))" \
  'ss -Hltn "sport = :$t1" | grep -q .'

out=$(post "https://127.0.0.1:$t1/query" "$work/req.xml" --cacert "$tls/ca.crt")
check "https through nginx: 200 with the SynthZemOk (got: $out)" \
  "$served"
out=$(post "https://127.0.0.1:$t1/query" "$work/refused.xml" --cacert "$tls/ca.crt")
check "https through nginx: the reason comes through (got: $out)" \
  "$says_why"
out=$(post "https://127.0.0.1:$t1/query" "$work/req.xml" --cacert "$tls/ca.crt" \
  -H 'Transfer-Encoding: chunked')
check "https through nginx: a chunked body arrives with its length (got: $out)" \
  "$served"
out=$(post "https://127.0.0.1:$t2/query" "$work/req.xml" --cacert "$tls/ca.crt")
check "client certificates required: refused without one (got: $out)" \
  '[[ $out == "400 "* && $out != *"$ok_body"* ]]'
out=$(post "https://127.0.0.1:$t2/query" "$work/req.xml" --cacert "$tls/ca.crt" \
  --cert "$tls/client.crt" --key "$tls/client.key")
check "client certificates required: served with one (got: $out)" \
  "$served"

echo "$passed passed, $failed failed"
((failed == 0))
