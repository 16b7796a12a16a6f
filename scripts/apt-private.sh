# Sourced by the Windows build scripts: an apt configuration of our own, so that fetching source
# packages or a backported tool neither reads nor changes the machine's apt set-up. The entry is
# derived from the machine's own Debian entry (same mirror, same keyring), for another suite or
# for sources.
#
#   apt_private_init DIR TYPE SUITE    TYPE: deb or deb-src; SUITE: e.g. bookworm, bookworm-backports
#   apt_private ARGS...                apt-get with that configuration
#   SUITE may contain @ for the machine's release code name: "@-backports".

apt_private_dir=""

apt_private_init() {
  local dir=$1 type=$2 suite=$3 codename entry="" f
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [[ -n $codename ]] || { echo "apt-private: no release code name in /etc/os-release" >&2; return 1; }
  suite=${suite//@/$codename}
  apt_private_dir=$dir
  mkdir -p "$dir"/{sources.list.d,lists/partial,cache/archives/partial}
  : >"$dir/sources.list"
  rm -f "$dir"/sources.list.d/*
  # deb822 stanzas: the first enabled "deb" stanza that carries the release's main suite.
  for f in /etc/apt/sources.list.d/*.sources; do
    [[ -f $f ]] || continue
    entry=$(awk -v RS= -v code="$codename" -v type="$type" -v suite="$suite" '
      /(^|\n)Types:[^\n]*deb([ \t]|\n|$)/ && $0 ~ ("(^|\n)Suites:[^\n]*[ \t]" code "([ \t]|\n|$)") &&
      !/(^|\n)Enabled:[ \t]*no/ {
        n = split($0, line, "\n")
        for (i = 1; i <= n; i++) {
          l = line[i]
          if (l ~ /^#/) continue
          if (l ~ /^Types:/) l = "Types: " type
          else if (l ~ /^Suites:/) l = "Suites: " suite
          else if (l ~ /^Components:/) l = "Components: main"
          print l
        }
        exit
      }' "$f")
    [[ -n $entry ]] && { printf '%s\n' "$entry" >"$dir/sources.list.d/private.sources"; return 0; }
  done
  # One-line format.
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [[ -f $f ]] || continue
    entry=$(awk -v code="$codename" -v type="$type" -v suite="$suite" '
      $1 == "deb" {
        opts = ""; i = 2
        if ($2 ~ /^\[/) { while ($i !~ /\]$/) { opts = opts $i " "; i++ } opts = opts $i " "; i++ }
        if ($(i + 1) == code) { print type " " opts $i " " suite " main"; exit }
      }' "$f")
    [[ -n $entry ]] && { printf '%s\n' "$entry" >"$dir/sources.list.d/private.list"; return 0; }
  done
  echo "apt-private: no Debian entry for '$codename' in /etc/apt to derive one from" >&2
  return 1
}

apt_private() {
  apt-get -o "Dir::Etc::SourceList=$apt_private_dir/sources.list" \
          -o "Dir::Etc::SourceParts=$apt_private_dir/sources.list.d" \
          -o "Dir::State::Lists=$apt_private_dir/lists" \
          -o "Dir::Cache=$apt_private_dir/cache" \
          -o "APT::Sandbox::User=root" "$@"
}
