# Shell functions shared by scripts/bootstrap.sh and scripts/arm64.sh (sourced, not run). The
# caller defines log(), and sets sid (the folder of the private apt configuration) and, for
# another architecture than the machine's, sid_arch before it calls apt_unstable.

# Runs a command holding an exclusive lock named `name` in $cache (flock), so that bootstraps of
# several clones sharing the cache take turns at each cached artefact: a second one waits, then
# finds the first one's result. The caller sets cache.
locked() {  # name command...
  local name=$1; shift
  mkdir -p "$cache/locks"
  ( flock 9 || exit 1; "$@" ) 9>"$cache/locks/$name.lock"
}

# Installs the named Debian packages of the machine's own suite that are missing.
install_debian_packages() {
  locked apt install_missing_debian_packages "$@"
}
install_missing_debian_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  log "installing Debian packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}" >/dev/null
}

# apt-get with a private configuration under $sid that reads Debian unstable (binary and source
# packages of the machine's architecture, or binary packages of $sid_arch when set).
apt_unstable() {
  local arch_options=()
  [[ -n ${sid_arch:-} ]] && arch_options=(-o APT::Architecture="$sid_arch" -o APT::Architectures::="$sid_arch")
  apt-get -o Dir::Etc::sourcelist="$sid/sid.sources" -o Dir::Etc::sourceparts=/nonexistent \
          -o Dir::State::Lists="$sid/lists" -o Dir::Cache::archives="$sid/archives" \
          "${arch_options[@]}" -o APT::Sandbox::User=root "$@"
}

# Writes the private configuration and reads unstable's package lists, once.
prepare_unstable() {
  [[ -f $sid/updated ]] && return
  locked "apt-${sid_arch:-host}" read_unstable_lists
}
read_unstable_lists() {
  [[ -f $sid/updated ]] && return
  mkdir -p "$sid/lists/partial" "$sid/archives/partial"
  # Reuse the URIs of the machine's own sources; only the suite (and the architecture) differ.
  local uri types="deb deb-src" arch_line=""
  uri=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
  [[ -n ${sid_arch:-} ]] && { types=deb; arch_line="Architectures: $sid_arch"; }
  {
    echo "Types: $types"
    echo "URIs: ${uri:-http://deb.debian.org/debian}"
    echo "Suites: sid"
    echo "Components: main"
    [[ -n $arch_line ]] && echo "$arch_line"
    echo "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"
  } >"$sid/sid.sources"
  apt_unstable update -qq
  touch "$sid/updated"
}

# CPython 3.14 from unstable's binary packages with the runtime libraries it needs; the caller
# adds what else it wants.
cpython314_packages=(
  python3.14 python3.14-minimal libpython3.14-minimal libpython3.14-stdlib libpython3.14
  libpython3.14-dev libc6 libssl3t64 libexpat1 zlib1g libbz2-1.0 libffi8 liblzma5 libncursesw6
  libreadline8t64 libsqlite3-0 libtinfo6 libuuid1 libzstd1 libmpdec4 libgcc-s1 libstdc++6
  libcrypt1
)

# Downloads the named packages from unstable and unpacks them (not installs) into the folder
# `root`, which is made afresh. The caller holds root's lock; the downloads go to a folder of
# this process's own.
unpack_unstable() {  # root packages...
  local root=$1 debs=$1.debs.$$ d; shift
  prepare_unstable
  rm -rf "$root" "$debs"; mkdir -p "$root" "$debs"
  (cd "$debs" && locked "apt-${sid_arch:-host}" apt_unstable download -qq "$@")
  for d in "$debs"/*.deb; do dpkg-deb -x "$d" "$root"; done
  rm -rf "$debs"
}

# Debian's include/python3.14/pyconfig.h only picks the multiarch one, <$arch/python3.14/pyconfig.h>,
# which a compiler finds under /usr/include on an installed system but not in an unpacked tree.
# Puts the real header in its place, so that the include folder is all a build needs. The copy
# keeps the packaged header's time, so finished builds stay current.
own_pyconfig() {  # root multiarch-triplet
  local header=$1/usr/include/python3.14/pyconfig.h
  grep -q "include <$2/python3.14/pyconfig.h>" "$header" || return 0
  cp -p "$1/usr/include/$2/python3.14/pyconfig.h" "$header.new" && mv "$header.new" "$header"
}
