#!/usr/bin/env bash
# The Debian mirror and proxy that scripts/apt-sources.sh reads from apt's own
# configuration, for a table of source lists in both of apt's formats, read through
# apt-config from a configuration of their own (APT_CONFIG).
set -uo pipefail
. "$(dirname "$0")/../../scripts/apt-sources.sh"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() {
  echo "FAIL: $case: $*" >&2
  failures=$((failures + 1))
}

# A fresh apt configuration for the case NAME, with the extra configuration lines
# given; its source lists are written with put.
new_case() {
  case=$1
  shift
  rm -rf "$tmp/etc"
  mkdir -p "$tmp/etc/sources.list.d" "$tmp/etc/apt.conf.d"
  {
    echo "#clear Acquire::http::Proxy;"
    echo "#clear Acquire::https::Proxy;"
    echo "Dir::Etc \"$tmp/etc\";"
    printf '%s\n' "$@"
  } >"$tmp/apt.conf"
  export APT_CONFIG=$tmp/apt.conf
}
put() { cat >"$tmp/etc/$1"; }

expect_archive() {
  local codename=$1 want=$2 got
  got=$(velk_debian_archive "$codename" 2>"$tmp/err") || fail "no archive found: $(cat "$tmp/err")"
  [ "$got" = "$want" ] || fail "archive '$got', expected '$want'"
}
expect_no_archive() {
  local got
  if got=$(velk_debian_archive "$1" 2>"$tmp/err"); then
    fail "archive '$got' found, expected none"
  elif ! grep -q "apt has no source for Debian's main archive" "$tmp/err"; then
    fail "unclear error: $(cat "$tmp/err")"
  fi
}

new_case "one-line format with options and comments"
put sources.list <<'L'
# deb http://commented.example/debian bookworm main
deb http://contrib-only.example/debian bookworm contrib # not main
deb-src http://source-only.example/debian bookworm main
deb [arch=amd64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://mirror.example/debian/ bookworm main contrib # the main archive
deb	http://mirror.example/debian	bookworm-updates	main
deb http://security.example/debian-security bookworm-security main
L
expect_archive bookworm "http://mirror.example/debian bookworm bookworm-updates"

new_case "deb822 format: security first, comments in the stanza, folded fields, several suites"
put sources.list.d/debian.sources <<'S'
# the security archive
Types: deb
URIs: http://security.example/debian-security
Suites: bookworm-security
Components: main

Types: deb deb-src
# through a caching proxy
URIs: http://cache.example:3142/debian
Suites: bookworm
  bookworm-updates
Components: main contrib
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
S
expect_archive bookworm "http://cache.example:3142/debian bookworm bookworm-updates"

new_case "other repositories, a disabled stanza and files apt ignores come before the archive"
put sources.list <<'L'
deb https://vendor.example/linux/debian bookworm stable
deb http://backports.example/debian bookworm-backports main
L
put sources.list.d/a-disabled.sources <<'S'
Types: deb
URIs: http://disabled.example/debian
Suites: trixie
Components: main
enabled: no
S
put sources.list.d/b-old.list.save <<'L'
deb http://saved.example/debian bookworm main
L
put sources.list.d/c-node.sources <<'S'
Types: deb
URIs: https://node.example/node_20.x
Suites: nodistro
Components: main
S
put sources.list.d/d-debian.list <<'L'
deb https://mirror.example/debian trixie main
deb https://mirror.example/debian trixie-updates main non-free-firmware
L
put sources.list.d/e-second.sources <<'S'
Types: deb
URIs: http://second.example/debian
Suites: trixie
Components: main
S
expect_archive trixie "https://mirror.example/debian trixie trixie-updates"

new_case "an installation DVD and the main list come before the parts directory"
put sources.list.d/00-first.sources <<'S'
Types: deb
URIs: http://parts.example/debian
Suites: bookworm
Components: main
S
put sources.list <<'L'
deb cdrom:[Debian GNU/Linux 12.5.0 _Bookworm_ - Official amd64 DVD Binary-1]/ bookworm contrib main
deb cdrom:[Debian-12.5.0-DVD-1]/ bookworm main
deb http://list.example/debian bookworm main
L
expect_archive bookworm "http://list.example/debian bookworm"

new_case "security and source entries only"
put sources.list.d/debian.sources <<'S'
Types: deb
URIs: http://security.example/debian-security
Suites: bookworm-security
Components: main

Types: deb-src
URIs: http://mirror.example/debian
Suites: bookworm
Components: main
S
expect_no_archive bookworm

new_case "only commented-out entries"
put sources.list <<'L'
#deb http://mirror.example/debian bookworm main
L
put sources.list.d/debian.sources <<'S'
#Types: deb
#URIs: http://mirror.example/debian
#Suites: bookworm
#Components: main
S
expect_no_archive bookworm

new_case "no source lists at all"
rm -rf "$tmp/etc/sources.list.d"
expect_no_archive bookworm

new_case "another release's archive"
put sources.list <<'L'
deb http://mirror.example/debian bullseye main
L
expect_no_archive bookworm

# The proxy for a URI: NAME, apt configuration lines, http_proxy of the
# environment, URI, expected proxy.
proxy_cases=(
  "none|||http://mirror.example/debian|"
  "apt's proxy|Acquire::http::Proxy \"http://proxy.example:3128/\";||http://mirror.example/debian|http://proxy.example:3128/"
  "apt's before the environment's|Acquire::http::Proxy \"http://apt.example:3128/\";|http://env.example:8080/|http://mirror.example/debian|http://apt.example:3128/"
  "the environment's||http://env.example:8080/|http://mirror.example/debian|http://env.example:8080/"
  "the mirror's host is direct|Acquire::http::Proxy \"http://proxy.example:3128/\"; Acquire::http::Proxy::mirror.example \"DIRECT\";||http://mirror.example:80/debian|"
  "a proxy for the mirror's host|Acquire::http::Proxy::mirror.example \"http://host.example:3128/\";||http://user@mirror.example/debian|http://host.example:3128/"
  "https falls back to http's|Acquire::http::Proxy \"http://proxy.example:3128/\";||https://mirror.example/debian|http://proxy.example:3128/"
  "https's own|Acquire::http::Proxy \"http://proxy.example:3128/\"; Acquire::https::Proxy \"http://tls.example:3128/\";||https://mirror.example/debian|http://tls.example:3128/"
)
for row in "${proxy_cases[@]}"; do
  IFS='|' read -r name conf env uri want <<<"$row"
  new_case "proxy: $name" "$conf"
  got=$(unset http_proxy https_proxy; [ -n "$env" ] && export http_proxy=$env; velk_apt_proxy "$uri")
  [ "$got" = "$want" ] || fail "proxy '$got', expected '$want'"
done

if [ "$failures" -ne 0 ]; then
  echo "$failures failures" >&2
  exit 1
fi
echo "all cases pass"
