#!/usr/bin/env bash
# Builds the set as 32-bit Windows programs and checks it under Wine, in a prefix of its own, case
# by case: the programs are GUI-subsystem PE files that need no compiler DLL beside them; the set
# installs into one program folder (the adapter in its KVLB\ folder) and the stand-in component
# registers with regsvr32; the monitor launches the service, whose first port answers this
# machine's curl over TLS with the build's ECDSA certificate; an echo with a path id opens a
# session through the installed adapter and answers 0; the HTTPS gates, bodies without a usable
# "Parameter", the version gates and the unlock of an opening, sessions, value store and component
# calls then answer from outside as they do in the Linux build, each call reaching the stand-in's
# journal; the README's worked example for page authors prints the replies the README shows
# (scripts/check-readme-road.sh); the worker's -allstop ends the set again.
# Each case prints "ok: ..." or "FAIL: ...", the last line is "check-win-set: N passed, M failed",
# and the exit status is non-zero when a case failed.
#
#   scripts/check-win-set.sh [--built] [build folder]     (default: build-win)
#
# --built checks the set already in the build folder (the test command's) without building it.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/win-check-cases.sh
. "$here/scripts/win-check-cases.sh" "$@"

programs="KVLBTessarionMain KVLBTessarionMonitor KVLBTessarionWorker"
for p in $programs; do
  exe="$build/bin/$p.exe"
  head=$(i686-w64-mingw32-objdump -f -p "$exe" 2>&1)
  if ! grep -q 'file format pei-i386' <<<"$head"; then
    fail "$p.exe is no 32-bit PE file"
  elif ! grep -q 'Subsystem.*(Windows GUI)' <<<"$head"; then
    fail "$p.exe is not a GUI program"
  elif dlls=$(grep -iE 'DLL Name: (libstdc|libgcc|libwinpthread)' <<<"$head"); then
    fail "$p.exe needs a compiler DLL: $dlls"
  else
    ok "$p.exe is a 32-bit GUI program without compiler DLLs"
  fi
done

wine_prefix "$build/wine"

# One program folder as the installer leaves it: the programs, the adapter in KVLB\, the stand-in
# component beside them in Component\, registered in the prefix.
if dest=$(kvlb_wine_install_set "$build"); then
  ok "the stand-in component registers with regsvr32 from the program folder"
else
  fail "the set could not be installed into the prefix, or regsvr32 did not register the component"
fi

(cd "$dest" && setsid wine KVLBTessarionMonitor.exe >"$build/wine/monitor.log" 2>&1 </dev/null &)
if ! until_ 60 listening; then
  fail "the monitor's service does not listen on $port"
  exit 1
fi
ok "the monitor launched the service, which listens on 127.0.0.1:$port"

origin='https://app.example.test'
# post <request JSON> [curl options...]: the service's raw answer; curl's status when there is none.
# The page's Origin is $origin, none when it is empty.
post() {
  local request=$1 page=()
  shift
  request=$(printf '%s' "$request" | base64 -w0)
  [ -n "$origin" ] && page=(-H "Origin: $origin")
  curl -sS --max-time 20 --cacert "$build/certs/kvlb_ec_cert.pem" "${page[@]}" "$@" \
    --data-urlencode "Parameter=$request" "https://127.0.0.1:$port/" 2>/dev/null || echo "(no answer: curl $?)"
}
# field <answer> <key>: the key's value, still in Base64; "-" when the answer has no such key.
field() {
  local v
  v=$(grep -o "\"$2\": *\"[^\"]*\"" <<<"$1" | sed 's/.*: *"\(.*\)"/\1/')
  [ -n "$v" ] || grep -q "\"$2\":" <<<"$1" || v=-
  printf '%s' "$v"
}
# value <answer> <key>: the key's value decoded, "-" when absent.
value() {
  local v
  v=$(field "$1" "$2")
  if [ "$v" = - ]; then printf -; else base64 -d <<<"$v" 2>/dev/null; fi
}
# ask <request JSON>: the "result" of the service's answer, still in Base64.
ask() { field "$(post "$1")" result; }

result=$(ask '{"FunctionName":"TessarionEcho","PathID":"5D0E7B21C48A4F93B6E2D7150A9C3F68","minServerVersion":"1.0.21.0630"}')
if [ "$result" = "MA==" ]; then
  ok "the echo with a path id opened a session through the installed adapter over TLS: result 0"
else
  fail "the echo with a path id answered result '$result' ($(base64 -d <<<"$result" 2>/dev/null)), not 0"
fi

# Black-box cases against the running set, one line per case.
pathid='"PathID":"5D0E7B21C48A4F93B6E2D7150A9C3F68","minServerVersion":"1.0.21.0630"'
journal="$WINEPREFIX/drive_c/ProgramData/SigningComponent/journal.txt"

# gate <what> <expected result, or "none" for no reply> <request JSON> [curl options...]
gate() {
  local what=$1 want=$2 request=$3 answer got
  shift 3
  answer=$(post "$request" "$@")
  if [ "$want" = none ]; then
    got=$([[ $answer == "(no answer"* ]] && echo none || echo "$answer")
  else
    got=$(value "$answer" result)
  fi
  if [ "$got" = "$want" ]; then ok "$what: $want"; else fail "$what: '$got', not '$want' ($answer)"; fi
}
gate "a GET gets no reply" none '{"FunctionName":"TessarionEcho"}' -X GET
gate "a PUT gets no reply" none '{"FunctionName":"TessarionEcho"}' -X PUT
gate "a Host that is not local" 61904 '{"FunctionName":"TessarionEcho"}' -H "Host: example.com:$port"
gate "a Host without a port" 61904 '{"FunctionName":"TessarionEcho"}' -H 'Host: localhost'
gate "TLS 1.2 with Host localhost" 0 "{\"FunctionName\":\"TessarionEcho\",$pathid}" \
  -H "Host: localhost:$port" --tls-max 1.2
gate "TLS 1.3" 0 "{\"FunctionName\":\"TessarionEcho\",$pathid}" --tlsv1.3
origin='' gate "no origin and no referer" 61012 '{"FunctionName":"TessarionEcho"}'
origin='' gate "no origin and a referer without a path" 61012 '{"FunctionName":"TessarionEcho"}' -e https:
origin='' gate "an origin rebuilt from the referer" 0 "{\"FunctionName\":\"TessarionEcho\",$pathid}" \
  -e https://app.example.test/pay/page.html
origin='https://elsewhere.test' gate "an origin outside the allow-list" 61908 \
  "{\"FunctionName\":\"TessarionEcho\",$pathid}"
gate "a body that is no Base64 JSON gets no reply" none '[1, 2'
gate "a missing FunctionName reaches the adapter, which knows no such function" 61005 "{$pathid}"

# A body without a usable "Parameter" field gets no reply either; the same form with one does.
# body <what> <expected result, or "none"> <curl options giving the body...>
body() {
  local what=$1 want=$2 answer got
  shift 2
  answer=$(curl -sS --max-time 20 --cacert "$build/certs/kvlb_ec_cert.pem" -H "Origin: $origin" "$@" \
    "https://127.0.0.1:$port/" 2>/dev/null || echo "(no answer: curl $?)")
  if [ "$want" = none ]; then
    got=$([[ $answer == "(no answer"* ]] && echo none || echo "$answer")
  else
    got=$(value "$answer" result)
  fi
  if [ "$got" = "$want" ]; then ok "$what: $want"; else fail "$what: '$got', not '$want' ($answer)"; fi
}
body "the body Parameter=x gets no reply" none --data-binary 'Parameter=x'
body "the body Foo=bar gets no reply" none --data-binary 'Foo=bar'
body "the body = gets no reply" none --data-binary '='
body "an empty body gets no reply" none --data-binary ''
body "a JSON body that is no form gets no reply" none -H 'Content-Type: application/json' \
  --data-binary '{"FunctionName":"TessarionEcho"}'
body "the body Parameter=e30= (Base64 of {}, an object without members) gets no reply" none \
  --data-urlencode 'Parameter=e30='
body "a JSON object in Parameter beside Foo=bar reaches the session manager, which finds no adapter" 61009 \
  --data-binary 'Foo=bar' --data-urlencode "Parameter=$(printf '%s' '{"FunctionName":"TessarionEcho"}' | base64 -w0)"

# What an opening answers for the versions a page gives: "minServerVersion" is needed, and both
# are compared part by part, the service's with 1.0.21.0630, the adapter's with 1,0,20,907.
# opening <what> <expected result> <version members>
opening() {
  gate "an opening with $1" "$2" "{\"FunctionName\":\"TessarionEcho\",\"PathID\":\"5D0E7B21C48A4F93B6E2D7150A9C3F68\"${3:+,$3}}"
}
opening "no minServerVersion" 61203 ''
for v in '1..21.0630' '1.0.21.' '' '1.0' '1.0.21.0631' '1.0.x.0630'; do
  opening "minServerVersion \"$v\"" 61203 "\"minServerVersion\":\"$v\""
done
for v in '1.0.21.630' '1,0,21,0630' '1.0.20.9999' '0.0.0.0'; do
  opening "minServerVersion \"$v\"" 0 "\"minServerVersion\":\"$v\""
done
for v in '1.0' '1..20.907' '1.0.20.' '1.0.20.908'; do
  opening "minLibVersion \"$v\"" 61204 "\"minServerVersion\":\"1.0.21.0630\",\"minLibVersion\":\"$v\""
done
for v in '' '1.0.20.907' '1.0.19.9999'; do
  opening "minLibVersion \"$v\"" 0 "\"minServerVersion\":\"1.0.21.0630\",\"minLibVersion\":\"$v\""
done

# opened: a new session by an echo (extra JSON members optional); prints its SessionID.
opened() { value "$(post "{\"FunctionName\":\"TessarionEcho\",$pathid${1:+,$1}}")" SessionID; }
# call <what> <session> <expected result> <JSON members>
call() {
  local what=$1 sid=$2 want=$3 answer got
  answer=$(post "{\"SessionId\":\"$sid\",$4}")
  got=$(value "$answer" result)
  if [ "$got" = "$want" ]; then ok "$what: '$want'"; else fail "$what: '$got', not '$want' ($answer)"; fi
}
# journalled <what> <line>: the component's journal ends with the line.
journalled() {
  if [ "$(tail -n 1 "$journal" 2>/dev/null | tr -d '\r')" = "$2" ]; then
    ok "$1 reached the component's journal"
  else
    fail "$1: the journal ends with '$(tail -n 1 "$journal" 2>/dev/null)', not '$2'"
  fi
}

s1=$(opened) s2=$(opened)
if [ -n "$s1" ] && [ "$s1" != - ] && [ -n "$s2" ] && [ "$s2" != - ] && [ "$s1" != "$s2" ]; then
  ok "a second opening gets its own SessionID"
else
  fail "the openings answered the SessionIDs '$s1' and '$s2'"
fi
call "P11Init through the first session" "$s1" 1000 '"FunctionName":"P11Init","strLoadLibName":"token.dll"'
journalled "P11Init" $'P11Init\tbstr:"token.dll"'
call "GetVersion through the second session" "$s2" GetVersion:ok '"FunctionName":"GetVersion","flag":"1"'
journalled "GetVersion" $'GetVersion\tint:1'
call "an unknown function name" "$s1" 61005 '"FunctionName":"NoSuchFunction"'

# The value store of an open session.
call "setTessarionValue" "$s2" 0 \
  '"FunctionName":"setTessarionValue","channel":"Basket","domain_list":"app.example.test","value":"three apples","timeout":"5"'
call "getTessarionValue from an allowed origin" "$s2" "three apples" '"FunctionName":"getTessarionValue","channel":"Basket"'
origin='https://other.test' call "getTessarionValue from another origin" "$s2" "" \
  '"FunctionName":"getTessarionValue","channel":"Basket"'
call "setTessarionValue for a list of host patterns" "$s2" 0 \
  '"FunctionName":"setTessarionValue","channel":"Wild","domain_list":"other.test;*.example.test","value":"pears","timeout":"0"'
call "getTessarionValue from an origin the list's pattern names" "$s2" pears '"FunctionName":"getTessarionValue","channel":"Wild"'
call "getTessarionValue of an unknown channel" "$s2" "" '"FunctionName":"getTessarionValue","channel":"nothing"'
call "getTessarionValue without a channel" "$s2" 61005 '"FunctionName":"getTessarionValue"'
call "setTessarionValue without a value" "$s2" 61005 \
  '"FunctionName":"setTessarionValue","channel":"Basket","domain_list":"x"'
call "setTessarionValue with a negative timeout" "$s2" 61005 \
  '"FunctionName":"setTessarionValue","channel":"Basket","domain_list":"x","value":"v","timeout":"-1"'

# An opening from an allowed origin unlocks its session's adapter copy, and the session's later
# requests are not held against their origin; a page meets 61908 on an open session only after it
# released that copy itself, until it unlocks it again.
s4=$(opened)
unlock='"FunctionName":"Tessarion_Unlock","TessarionFunctionIndex":"-2","url"'
call "a component function straight after the opening" "$s4" 1000 '"FunctionName":"P11Init","strLoadLibName":"c.dll"'
origin='https://elsewhere.test' call "the open session asked from an origin outside the allow-list" "$s4" 1000 \
  '"FunctionName":"P11Init","strLoadLibName":"d.dll"'
call "the page releases the session's adapter copy (index -3)" "$s4" "" \
  '"FunctionName":"Tessarion_Release","TessarionFunctionIndex":"-3"'
call "a component function after that release" "$s4" 61908 '"FunctionName":"P11Init","strLoadLibName":"e.dll"'
call "GetVersion after that release (no unlock check)" "$s4" GetVersion:ok '"FunctionName":"GetVersion","flag":"5"'
call "Tessarion_Unlock for an origin outside the allow-list" "$s4" 61908 "$unlock:\"https://elsewhere.test\""
call "Tessarion_Unlock for the page's origin" "$s4" 0 "$unlock:\"$origin\""
call "a component function after the unlock" "$s4" 1000 '"FunctionName":"P11Init","strLoadLibName":"f.dll"'
journalled "P11Init after the unlock" $'P11Init\tbstr:"f.dll"'

# Releases: each session has its own adapter copy, so releasing one leaves the other answering.
# release <what> <session> <command> <expected answer>
release() {
  local answer
  answer=$(post "{\"SessionId\":\"$2\",\"FunctionName\":\"$3\"}")
  if [ "$answer" = "$4" ]; then ok "$1"; else fail "$1: answered '$answer', not '$4'"; fi
}
release "TessarionRelease of the first session answers no keys" "$s1" TessarionRelease '{}'
call "the second session after the first one's release" "$s2" 1000 '"FunctionName":"P11Init","strLoadLibName":"b.dll"'
journalled "P11Init of the second session" $'P11Init\tbstr:"b.dll"'
call "the released session is gone (no path id to reopen it)" "$s1" 61009 '"FunctionName":"P11Init","strLoadLibName":"a.dll"'
release "TessarionClose of an unknown session answers no keys" 0123456789ABCDEF TessarionClose '{}'
s3=$(opened '"TessarionMode":"true"')
release "TessarionClose of a browser-mode session answers no keys" "$s3" TessarionClose '{}'
call "a browser-mode session stays after TessarionClose" "$s3" GetVersion:ok '"FunctionName":"GetVersion","flag":"2"'
release "TessarionForceRelease of a browser-mode session answers no keys" "$s3" TessarionForceRelease '{}'
call "a browser-mode session is gone after TessarionForceRelease" "$s3" 61009 '"FunctionName":"GetVersion","flag":"3"'
release "TessarionClose of the second session answers no keys" "$s2" TessarionClose '{}'
call "the second session is gone after TessarionClose" "$s2" 61009 '"FunctionName":"GetVersion","flag":"4"'

release "TessarionRelease of the unlocked session answers no keys" "$s4" TessarionRelease '{}'

# The README's worked example for page authors, block by block, as a person pastes it.
# count_cases <what> <status> <output>: a program's own "ok: "/"FAIL: " lines printed and counted as
# this check's cases; one that failed without saying which case is a failed case too.
count_cases() {
  printf '%s\n' "$3"
  passed=$((passed + $(grep -c '^ok: ' <<<"$3")))
  failed=$((failed + $(grep -c '^FAIL: ' <<<"$3")))
  if [ "$2" -ne 0 ] && ! grep -q '^FAIL: ' <<<"$3"; then
    fail "$1 ended with status $2"
  fi
}
road_log=$(bash "$here/scripts/check-readme-road.sh" "$build" 2>&1)
count_cases "the README's road" $? "$road_log"

# The 68 component functions through one session, each answer and the journal line the stand-in
# wrote for it checked by the Linux build's client of the adapter's function table (one line per
# function). KVLB_SET_FUNCTIONS_CHECK names the client; by default the one of the Linux build in
# build/, which is built first when it is missing.
functions_check=${KVLB_SET_FUNCTIONS_CHECK:-}
if [ -z "$functions_check" ]; then
  functions_check=$here/build/tests/kvlb_set_functions_check
  if [ ! -x "$functions_check" ]; then
    { [ -f "$here/build/CMakeCache.txt" ] ||
      cmake -S "$here" -B "$here/build" -G Ninja -DKVLB_WERROR=ON >/dev/null; } &&
      cmake --build "$here/build" --target kvlb_set_functions_check >/dev/null
  fi
fi
if [ -x "$functions_check" ]; then
  functions_log=$(timeout 300 "$functions_check" "$port" "$build/certs/kvlb_ec_cert.pem" "$journal" 2>&1)
  count_cases "the component functions' client" $? "$functions_log"
else
  fail "no client of the component functions at $functions_check"
fi

# The certificate the set serves: under Wine the version detection always finds Windows 10, so it
# is the build's ECDSA certificate, and the server signs its handshake with the EC key.
handshake=$(timeout 20 openssl s_client -connect "127.0.0.1:$port" </dev/null 2>/dev/null)
served=$(openssl x509 <<<"$handshake" 2>/dev/null)
served_print=$(openssl x509 -noout -fingerprint -sha256 <<<"$served" 2>/dev/null)
built_print=$(openssl x509 -noout -fingerprint -sha256 -in "$build/certs/kvlb_ec_cert.pem" 2>/dev/null)
served_key=$(openssl x509 -noout -text <<<"$served" 2>/dev/null | grep -o 'Public Key Algorithm: .*')
signature=$(grep -o 'Peer signature type: .*' <<<"$handshake")
if [ -n "$built_print" ] && [ "$served_print" = "$built_print" ] &&
  [ "$served_key" = "Public Key Algorithm: id-ecPublicKey" ] && [ "$signature" = "Peer signature type: ECDSA" ]; then
  ok "the set serves the build's ECDSA certificate (kvlb_ec_cert.pem, EC key, ECDSA handshake signature)"
else
  fail "the set serves '${served_print:-no certificate}' (${served_key:-no key}, ${signature:-no signature}), not the build's ECDSA certificate '$built_print'"
fi

# The customer page in headless Chromium on this machine, trusting the build's certificate: it
# opens a session with the path id, unlocks, calls P11ReadData and shows the decoded answer, with
# non-ASCII text both ways. Page, page server and browser driver are the Linux build's
# kvlb_browser_page (its folder: KVLB_LINUX_BUILD, default build, which the test command builds).
page_tool="${KVLB_LINUX_BUILD:-$here/build}/tests/kvlb_browser_page"
if [ ! -x "$page_tool" ]; then
  fail "the page in headless Chromium: no $page_tool (build the Linux build, or set KVLB_LINUX_BUILD)"
else
  settings="$WINEPREFIX/drive_c/ProgramData/SigningComponent/settings.ini" kept=$(mktemp)
  label='Étiquette 日本' text='Signé 署名' had=0
  mkdir -p "$(dirname "$settings")"
  [ -f "$settings" ] && cp "$settings" "$kept" && had=1
  printf '\r\ncomponent_text=%s\r\n' "$text" >>"$settings"
  shown=$("$page_tool" --service-port "$port" --cert "$build/certs/kvlb_ec_cert.pem" --host app.example.test \
    --label "$label" --work "$build/wine/browser" 2>"$build/wine/browser.err" </dev/null)
  page_status=$?
  # The settings as they were, for whatever runs after.
  if [ "$had" -eq 1 ]; then cp "$kept" "$settings"; else rm -f "$settings"; fi
  rm -f "$kept"
  sid=$(sed -n 's/^session=//p' <<<"$shown")
  if [ "$page_status" -eq 0 ] && [[ $sid =~ ^[0-9A-Z]{8}_SID$ ]] &&
    [ "$(grep -v '^session=\|^origin=' <<<"$shown")" = "$(printf 'open=0\nunlock=0\nanswer=%s\nstate=done' "$text")" ]; then
    ok "the page in headless Chromium opened a session, unlocked and shows the component's answer"
  else
    fail "the page in headless Chromium (exit $page_status): $(tr '\n' ' ' <<<"$shown")$(head -c 2000 "$build/wine/browser.err")"
  fi
  journalled "the page's P11ReadData" "P11ReadData"$'\t'"bstr:\"$label\""$'\tint:1\tint:2'
fi

worker -allstop
for _ in $(seq 80); do
  listening || break
  sleep 0.25
done
if listening; then
  fail "the service still listens after the worker's -allstop"
else
  ok "the worker's -allstop ended the set"
fi
