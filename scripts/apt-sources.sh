# Where this machine's apt takes Debian's packages from, and through which proxy
# (sourced by scripts/wine-root.sh and scripts/install-deps): the scripts fetch from
# the machine's own mirror, whatever it is, and name none of their own. Everything is
# read through apt-config, so APT_CONFIG and apt's Dir:: settings are honoured.

# Prints one line "TYPE URI SUITE COMPONENT..." for each enabled source in apt's
# source lists, in the order apt reads them: the main list, then the .list (one-line
# format) and .sources (deb822 format) files of the parts directory in name order.
velk_apt_sources() {
  local list="" parts="" f
  eval "$(apt-config shell list Dir::Etc::sourcelist/f parts Dir::Etc::sourceparts/d)"
  local files=()
  [ -n "$list" ] && [ -f "$list" ] && files+=("$list")
  if [ -n "$parts" ] && [ -d "$parts" ]; then
    while IFS= read -r f; do
      files+=("$f")
    done < <(find "$parts" -maxdepth 1 -type f \( -name '*.list' -o -name '*.sources' \) | LC_ALL=C sort)
  fi
  [ ${#files[@]} -eq 0 ] && return 0
  awk '
    function flush(    i, j, k, nt, ns, nu, t, s, u, comps) {
      if (types != "" && uris != "" && suites != "" && tolower(enabled) != "no") {
        nt = split(types, t, " "); nu = split(uris, u, " "); ns = split(suites, s, " ")
        comps = components; gsub(/^ +| +$/, "", comps)
        for (i = 1; i <= nt; i++) for (j = 1; j <= nu; j++) for (k = 1; k <= ns; k++)
          print t[i], u[j], s[k] (comps == "" ? "" : " " comps)
      }
      types = uris = suites = components = enabled = ""; field = ""
    }
    FNR == 1 { if (NR > 1) flush(); deb822 = FILENAME ~ /\.sources$/ }
    { sub(/\r$/, "") }
    # One-line format: "TYPE [OPTIONS] URI SUITE [COMPONENT...]"; "#" starts a comment
    # anywhere on the line.
    !deb822 {
      sub(/#.*/, "")
      n = split($0, w, /[ \t]+/)
      m = 0
      for (i = 1; i <= n; i++) if (w[i] != "") v[++m] = w[i]
      if (m < 3) next
      i = 2
      if (substr(v[2], 1, 1) == "[") {
        while (i <= m && v[i] !~ /\]$/) i++
        i++
      }
      if (i + 1 > m) next
      line = v[1] " " v[i] " " v[i + 1]
      for (j = i + 2; j <= m; j++) line = line " " v[j]
      print line
      next
    }
    # deb822 format: stanzas of "Field: value" separated by blank lines; a line that
    # starts with "#" is a comment, one that starts with a blank continues the field.
    /^#/ { next }
    /^[ \t]*$/ { flush(); next }
    /^[ \t]/ {
      if (field != "") { val = $0; gsub(/[ \t]+/, " ", val); value[field] = value[field] val; set(field) }
      next
    }
    {
      c = index($0, ":")
      if (c == 0) next
      field = tolower(substr($0, 1, c - 1)); gsub(/[ \t]/, "", field)
      val = substr($0, c + 1); gsub(/[ \t]+/, " ", val)
      value[field] = val
      set(field)
    }
    function set(f) {
      if (f == "types") types = value[f]
      else if (f == "uris") uris = value[f]
      else if (f == "suites") suites = value[f]
      else if (f == "components") components = value[f]
      else if (f == "enabled") { enabled = value[f]; gsub(/ /, "", enabled) }
    }
    END { flush() }
  ' "${files[@]}"
}

# Prints the URI of Debian's main archive as apt's sources name it (without a final
# "/"), then the suites apt takes from that URI, on one line: "URI SUITE...". The
# main archive is the first binary ("deb") source, not a CD, whose suite is the
# release's own (CODENAME, by default this machine's from /etc/os-release; not
# CODENAME-security, which the security archive serves) with the component main.
# With none, says so on standard error and returns 1.
velk_debian_archive() {
  local codename=${1:-}
  if [ -z "$codename" ] && [ -r /etc/os-release ]; then
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  fi
  local sources archive
  sources=$(velk_apt_sources)
  archive=$(awk -v codename="$codename" '
    function bare(u) { sub(/\/+$/, "", u); return u }
    # A CD or DVD (cdrom:[label]/) cannot serve debootstrap.
    $1 == "deb" && $2 !~ /^cdrom:/ { for (i = 4; i <= NF; i++) if ($i == "main") { entries[++n] = bare($2) " " $3; break } }
    END {
      for (i = 1; i <= n && uri == ""; i++) {
        split(entries[i], e, " ")
        if (codename != "" && e[2] == codename) uri = e[1]
      }
      if (uri == "") exit
      line = uri
      for (i = 1; i <= n; i++) {
        split(entries[i], e, " ")
        if (e[1] == uri && !(e[2] in seen)) { seen[e[2]] = 1; line = line " " e[2] }
      }
      print line
    }' <<<"$sources")
  if [ -z "$archive" ]; then
    echo "${0##*/}: apt has no source for Debian's main archive: no \"deb\" entry for the" \
      "suite ${codename:-(no release codename in /etc/os-release)} with the component main" \
      "in its source lists; add this machine's Debian mirror to them" >&2
    return 1
  fi
  echo "$archive"
}

# Prints the proxy apt uses for URI (nothing when it uses none): its host's
# Acquire::SCHEME::Proxy::HOST, else Acquire::SCHEME::Proxy (https falls back to
# http's settings), else the http_proxy (https_proxy) of the environment; "DIRECT"
# is none.
velk_apt_proxy() {
  local uri=$1 scheme host
  scheme=${uri%%://*}
  host=${uri#*://}
  host=${host%%/*}
  host=${host##*@}
  host=${host%%:*}
  local names=("$scheme")
  [ "$scheme" = https ] && names+=(http)
  local name key value
  for name in "${names[@]}"; do
    for key in "Acquire::$name::Proxy::$host" "Acquire::$name::Proxy"; do
      value=""
      eval "$(apt-config shell value "$key")"
      if [ -n "$value" ]; then
        [ "$value" != DIRECT ] && echo "$value"
        return 0
      fi
    done
  done
  if [ "$scheme" = https ]; then
    value=${https_proxy:-${http_proxy:-}}
  else
    value=${http_proxy:-}
  fi
  [ -n "$value" ] && echo "$value"
  return 0
}
