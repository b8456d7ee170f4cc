# Sourced by the scripts here: `apt_install NAME PACKAGE...` installs the Debian packages
# that are missing (nothing at all when every one is there), as root or through sudo.
# NAME prefixes the one line it prints.
apt_install() {
  local who=$1 p sudo=""
  shift
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "$who: installing ${missing[*]}"
  $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
    "${missing[@]}" >/dev/null
}
