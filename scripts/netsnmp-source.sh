# netsnmp-source.sh: sourced by the scripts that build Net-SNMP themselves (the
# Windows build, the fuzz build); defines fetch_netsnmp_source.
#
# fetch_netsnmp_source CACHE VERSION: fetches Debian's source package of
# Net-SNMP (patches applied) into CACHE/src through an apt configuration of its
# own in CACHE/apt, so that the machine's apt sources stay as they are, and
# sets src to the unpacked folder of that upstream VERSION. Needs root (apt)
# and dpkg-dev (dpkg-source).
fetch_netsnmp_source() {
  local cache=$1 version=$2 apt=$1/apt codename mirror
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  mirror=$({ cat /etc/apt/sources.list /etc/apt/sources.list.d/*.sources /etc/apt/sources.list.d/*.list 2>/dev/null || true; } |
           grep -E '^[[:space:]]*(URIs:|deb )' | grep -v security | grep -oE 'https?://[^[:space:]]+' | head -n1)
  [[ -n $mirror ]] || { echo "netsnmp-source: no Debian mirror in the apt sources" >&2; exit 1; }
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/parts" "$cache/src"
  printf 'deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] %s %s main\n' \
    "$mirror" "$codename" >"$apt/sources.list"
  local options=(-o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts="$apt/parts"
                 -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache" -o APT::Sandbox::User=root)
  apt-get "${options[@]}" update -qq
  rm -rf "$cache/src"/net-snmp*
  (cd "$cache/src" && apt-get "${options[@]}" source -qq "net-snmp" >/dev/null)
  src=$(ls -d "$cache/src"/net-snmp-"$version"*/ 2>/dev/null | head -n1)
  [[ -n $src && -x $src/configure && -d $src/snmplib ]] ||
    { echo "netsnmp-source: no Net-SNMP $version source in $cache/src" >&2; exit 1; }
}
