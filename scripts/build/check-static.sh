#!/usr/bin/env bash
# Fails unless the executable is fully static (static-pie: no interpreter, no
# shared library) and calls nothing of the name service, which a static
# program can only reach by loading the C library's shared modules at run
# time: user, group, host and service look-ups.
#
# usage: scripts/build/check-static.sh path/to/kelvo-vmhelper   (READELF overrides readelf)
set -euo pipefail
bin=$1
readelf=${READELF:-readelf}
fail() { echo "check-static: $bin: $*" >&2; exit 1; }

headers=$("$readelf" -hlW "$bin")
grep -q 'Type:[[:space:]]*DYN' <<<"$headers" || fail "not a position-independent executable"
grep -q 'Requesting program interpreter' <<<"$headers" && fail "needs a program interpreter (dynamic)"
needed=$("$readelf" -dW "$bin" | grep '(NEEDED)' || true)
[ -z "$needed" ] || fail "needs shared libraries:"$'\n'"$needed"

nss=$("$readelf" -sW "$bin" | awk '{print $8}' | sed 's/@.*//' |
    grep -E '^(getpw(nam|uid|ent)(_r)?|getgr(nam|gid|ent)(_r)?|getgrouplist|initgroups|getspnam(_r)?|getaddrinfo|getnameinfo|gethostbyname2?(_r)?|gethostbyaddr(_r)?|getservby(name|port)(_r)?|getprotoby(name|number)(_r)?|res_n?(query|search|send|mkquery)|__nss_[a-z_]*lookup2?)$' |
    sort -u || true)
[ -z "$nss" ] || fail "calls the name service:"$'\n'"$nss"
