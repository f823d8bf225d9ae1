#!/usr/bin/env bash
# The control's Debian package as dpkg drives it on a real system: its maintainer scripts
# run by dpkg itself in a chroot of this test's own of the release this machine runs (the
# packages depend on what that release ships), never on this machine.
#
#   maintainer_scripts_test.sh <build folder> <source folder>
#
# Builds the two packages the registration needs (libcorvane-platform1, corvane) from the
# source folder into <build folder>/maintainer-scripts, and the same two of the last version
# that kept the machine-wide registry in /usr/share/corvane-platform (from the source folder's
# git history, once: they are kept in <build folder>/maintainer-scripts/previous-<commit>).
# Then installs those, fails an upgrade of the library (a package owns one of its files: the
# old registry stays and the copy goes), upgrades to this tree's (the registry, with an entry
# no package wrote, moves to /var/lib/corvane-platform and the old folder goes), upgrades
# again, fails an upgrade (a newer package whose preinst fails), fails a removal (a
# conflicting package whose preinst fails), fails a deconfiguration (a breaking package
# whose preinst fails), removes, purges and installs afresh. After each step: the package's
# state, whether the control is in the machine-wide registry, and that nothing under
# /usr/local changed (registries are waiting there, as source installs would leave them).
#
# The chroot's base (debootstrap --variant=minbase <this release>, a few minutes) is made once and
# kept in $CORVANE_TEST_CHROOT_CACHE (default /var/cache/corvane-tests, outside the build
# trees so that every tree shares it and outside /tmp so that it survives clean-ups; delete
# it to refresh). Each run works on an overlay of it (or a copy) that it throws away.
# Exit 0 on success, 77 (skipped) when not run as root, 1 on a failure, also when the
# base cannot be made or the previous version's commit is not in the history (a shallow
# clone).
set -euo pipefail
build=$(realpath "$1") source=$(realpath "$2")

fail() { echo "FAIL: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || { echo "skipped: dpkg in a chroot needs root"; exit 77; }
for tool in debootstrap dpkg-deb chroot flock git; do
  command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/setup.sh installs it)"
done
started=$SECONDS
phase() { echo "[$((SECONDS - started)) s] $*"; }

work="$build/maintainer-scripts"
root="$work/root"
# A run killed before its clean-up may have left its mounts behind.
umount "$root/proc" 2>/dev/null || true
umount "$root" 2>/dev/null || true
mountpoint -q "$root" && fail "$root is still mounted"
rm -rf "$work/root" "$work/layer" "$work/debs"
mkdir -p "$work/debs"

# The two packages, built from a source tree with the prefix a Debian package has.
build_packages() {  # <source tree> <build folder>: into <build folder>/packages
  local log="$2.log"
  cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_INSTALL_PREFIX=/usr -DCORVANE_PACKAGE_DEB=ON -DCORVANE_BUILD_TESTS=OFF \
    -DCORVANE_BUILD_BENCH=OFF -DCORVANE_BUILD_SAMPLE=OFF -DCORVANE_BUILD_PYTHON=OFF \
    >"$log" 2>&1 || fail "configure the packages of $1: $(tail -20 "$log")"
  cmake --build "$2" >>"$log" 2>&1 || fail "build the packages of $1: $(tail -20 "$log")"
  rm -rf "$2/packages"
  (cd "$2" && cpack -G DEB -B "$2/packages" -D 'CPACK_COMPONENTS_ALL=runtime;module') \
    >>"$log" 2>&1 || fail "cpack in $2: $(tail -20 "$log")"
  library_deb=$(echo "$2"/packages/libcorvane-platform1_*.deb)
  control_deb=$(echo "$2"/packages/corvane_*.deb)
  if [ ! -f "$library_deb" ] || [ ! -f "$control_deb" ]; then fail "no packages in $2/packages"; fi
}

# The last version that kept the machine-wide registry in /usr/share/corvane-platform.
previous_commit=8b052606a60d27fc9a4f74214520991a4ff790a6
previous="$work/previous-${previous_commit:0:12}"
if [ ! -f "$previous/library.deb" ] || [ ! -f "$previous/control.deb" ]; then
  phase "building the packages of $previous_commit (once, kept in $previous)"
  git_error=$(git -C "$source" cat-file -e "$previous_commit^{commit}" 2>&1) ||
    fail "commit $previous_commit, the version the packages upgrade from, is not in the" \
      "history of $source (a shallow clone? git fetch --unshallow): ${git_error}"
  rm -rf "$previous" "$previous.partial"
  mkdir -p "$previous.partial/source"
  git -C "$source" archive "$previous_commit" | tar -x -C "$previous.partial/source" ||
    fail "git archive $previous_commit"
  build_packages "$previous.partial/source" "$previous.partial/build"
  cp "$library_deb" "$previous.partial/library.deb"
  cp "$control_deb" "$previous.partial/control.deb"
  rm -rf "$previous.partial/source" "$previous.partial/build"
  mv "$previous.partial" "$previous"
fi
previous_version=$(dpkg-deb -f "$previous/control.deb" Version)

phase "building the packages"
build_packages "$source" "$work/build"
version=$(dpkg-deb -f "$control_deb" Version)
dpkg --compare-versions "$version" gt "$previous_version" ||
  fail "this tree's version $version is not newer than $previous_version, which it upgrades"
module=$(dpkg-deb -c "$control_deb" | awk '{print $6}' | grep '/Corvane\.so$' | sed 's/^\.//')
[ -n "$module" ] || fail "no Corvane.so in $control_deb"
cp "$library_deb" "$work/debs/library.deb"
cp "$control_deb" "$work/debs/control.deb"
cp "$previous/library.deb" "$work/debs/previous-library.deb"
cp "$previous/control.deb" "$work/debs/previous-control.deb"

# Packages made from that one: a newer version, and one that fails in its preinst.
repack() {  # <version> <file> [preinst-fails]
  local tree="$work/repack"
  rm -rf "$tree"
  dpkg-deb -R "$control_deb" "$tree"
  sed -i "s/^Version: .*/Version: $1/" "$tree/DEBIAN/control"
  if [ "${3-}" = preinst-fails ]; then
    printf '#!/bin/sh\necho "this preinst fails on purpose" >&2\nexit 1\n' >"$tree/DEBIAN/preinst"
    chmod 0755 "$tree/DEBIAN/preinst"
  fi
  dpkg-deb --root-owner-group -b "$tree" "$work/debs/$2" >/dev/null
  rm -rf "$tree"
}
# A package of its own that takes the control's place (<relation>: corvane) and fails.
failing_rival() {  # <name> <relation field> <file>
  local tree="$work/rival"
  rm -rf "$tree"
  mkdir -p "$tree/DEBIAN"
  printf 'Package: %s\nVersion: 1\nArchitecture: all\nMaintainer: Corvane developers <corvane@example.org>\n%s\nDescription: fails to take the place of corvane\n' \
    "$1" "$2" >"$tree/DEBIAN/control"
  printf '#!/bin/sh\nexit 1\n' >"$tree/DEBIAN/preinst"
  chmod 0755 "$tree/DEBIAN/preinst"
  dpkg-deb --root-owner-group -b "$tree" "$work/debs/$3" >/dev/null
  rm -rf "$tree"
}
newer="$version+1"
repack "$newer" newer.deb
repack "$version+2" failing-upgrade.deb preinst-fails
failing_rival corvane-conflicting $'Conflicts: corvane\nReplaces: corvane' conflicting.deb
failing_rival corvane-breaking 'Breaks: corvane' breaking.deb
# A package that owns the new library's file, so that dpkg takes back the library's upgrade.
library_file=$(dpkg-deb -c "$library_deb" | awk '$1 ~ /^-/ && $6 ~ /libcorvane_platform\.so\./ {print $6}')
[ -n "$library_file" ] || fail "no libcorvane_platform.so.* in $library_deb"
tree="$work/owner"
rm -rf "$tree"
mkdir -p "$tree/DEBIAN" "$tree/$(dirname "$library_file")"
: >"$tree/$library_file"
printf 'Package: corvane-file-owner\nVersion: 1\nArchitecture: all\nMaintainer: Corvane developers <corvane@example.org>\nDescription: owns a file of libcorvane-platform1\n' \
  >"$tree/DEBIAN/control"
dpkg-deb --root-owner-group -b "$tree" "$work/debs/file-owner.deb" >/dev/null
rm -rf "$tree"

# The cached base, made once; a lock keeps two runs from making it at the same time.
cache="${CORVANE_TEST_CHROOT_CACHE:-/var/cache/corvane-tests}"
# The release this machine runs, the one the packages were built against.
release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
[ -n "$release" ] || fail "/etc/os-release names no release (VERSION_CODENAME)"
base="$cache/$release-minbase"
mkdir -p "$cache"
exec 9>"$cache/lock"
flock 9
if [ ! -e "$base/.complete" ]; then
  phase "making the $release base in $base (once)"
  rm -rf "$base.partial"
  mirror=$(grep -h -m1 '^URIs:' /etc/apt/sources.list.d/debian.sources 2>/dev/null | awk '{print $2}' || true)
  debootstrap --variant=minbase "$release" "$base.partial" ${mirror:+"$mirror"} \
    >"$cache/debootstrap.log" 2>&1 ||
    fail "debootstrap (log $cache/debootstrap.log): $(tail -20 "$cache/debootstrap.log")"
  cp /etc/resolv.conf "$base.partial/etc/resolv.conf" 2>/dev/null || true
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    cp /etc/apt/sources.list.d/debian.sources "$base.partial/etc/apt/sources.list.d/"
    rm -f "$base.partial/etc/apt/sources.list"
  fi
  chroot "$base.partial" apt-get update -qq >>"$cache/debootstrap.log" 2>&1 ||
    fail "apt-get update in the base: $(tail -20 "$cache/debootstrap.log")"
  touch "$base.partial/.complete"
  rm -rf "$base"
  mv "$base.partial" "$base"
fi
flock -s 9  # others may use the base too, but nobody remakes it under this run

# This run's root: an overlay of the base where the kernel offers one, else a copy.
cleanup() {
  umount "$root/proc" 2>/dev/null || true
  umount "$root" 2>/dev/null || true
  if ! mountpoint -q "$root" && ! mountpoint -q "$root/proc"; then
    rm -rf "$work/root" "$work/layer"
  fi
}
trap cleanup EXIT
phase "preparing the chroot"
mkdir -p "$root" "$work/layer/upper" "$work/layer/work"
if ! mount -t overlay overlay \
  -o "lowerdir=$base,upperdir=$work/layer/upper,workdir=$work/layer/work" "$root" 2>/dev/null; then
  cp -a "$base/." "$root/"
fi
mount -t proc proc "$root/proc"
[ -c "$root/dev/null" ] || fail "the base has no /dev/null"
cp "$work"/debs/*.deb "$root/tmp/"
in_root() {
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8 "$@"
}

# Registries under /usr/local, as source installs of the previous and this version leave
# them: no step may touch them.
for local_registry in "$root/usr/local/share/corvane-platform/registry" \
  "$root/usr/local/var/lib/corvane-platform/registry"; do
  mkdir -p "$(dirname "$local_registry")"
  echo "corvane-platform-registry 1" >"$local_registry"
  chmod 0644 "$local_registry"
done
usr_local() { (cd "$root/usr/local" && find . -printf '%p %y %s %m %T@\n' | sort); }
usr_local_before=$(usr_local)

# The machine registry of the previous packages, then of this tree's.
old_registry_folder="$root/usr/share/corvane-platform"
machine_registry="$old_registry_folder/registry"
entries() {  # how many lines of the machine registry name the module (0 without one)
  if [ -f "$machine_registry" ]; then grep -cF "$module" "$machine_registry" || true; else echo 0; fi
}

# <what> <dpkg's verdict: ok|fails> <corvane's state afterwards: "ii VERSION", "rc VERSION"
# or gone> <registered: yes|no> <script call dpkg must make, or -> <command...>
step() {
  local what=$1 verdict=$2 state=$3 registered=$4 call=$5 status=0 out
  shift 5
  phase "$what"
  out=$(in_root "$@" 2>&1) || status=$?
  if [ "$verdict" = ok ] && [ "$status" != 0 ]; then fail "$what: status $status: $out"; fi
  if [ "$verdict" = fails ] && [ "$status" = 0 ]; then fail "$what succeeded: $out"; fi
  if [ "$call" != - ] && ! grep -qF "$call" <<<"$out"; then
    fail "$what: dpkg did not run \"$call\": $out"
  fi
  local now
  # shellcheck disable=SC2016  # dpkg-query's fields, not the shell's
  now=$(in_root dpkg-query -W -f='${db:Status-Abbrev}${Version}' corvane 2>/dev/null || true)
  [ -n "$now" ] || now=gone
  case "$now" in un*|pn*) now=gone ;; esac
  [ "$now" = "$state" ] || fail "$what: corvane is \"$now\", not \"$state\": $out"
  local count
  count=$(entries)
  if [ "$registered" = yes ]; then
    [ "$count" -gt 0 ] || fail "$what: the control is not registered machine-wide: $out"
    [ -z "${registered_entries-}" ] || [ "$count" = "$registered_entries" ] ||
      fail "$what: $count entries name the module, not $registered_entries"
    registered_entries=$count
    [ "$(stat -c '%U %a' "$machine_registry")" = "root 644" ] ||
      fail "$what: machine registry $(stat -c '%U %a' "$machine_registry")"
  else
    [ "$count" = 0 ] || fail "$what: the control is still registered: $(cat "$machine_registry")"
  fi
  [ "$(usr_local)" = "$usr_local_before" ] ||
    fail "$what: /usr/local changed: $(diff <(echo "$usr_local_before") <(usr_local) || true)"
}

install_packages=(apt-get install -y --no-install-recommends -o Dpkg::Use-Pty=0)
step "install the previous version" ok "ii $previous_version" yes - \
  "${install_packages[@]}" /tmp/previous-library.deb /tmp/previous-control.deb
# An entry no package wrote (another component's ProgID): only the registry itself, carried
# across, brings it to the new place.
carried=$'progid\tExample.Carried\t{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}'
echo "$carried" >>"$machine_registry"
# An upgrade of the library that dpkg takes back (another package owns one of its files):
# the old library stays with its registry, and the copy its preinst made goes again.
in_root dpkg -i /tmp/file-owner.deb >/dev/null
step "failed upgrade of the library from the previous version" fails "ii $previous_version" yes \
  "postrm ( abort-upgrade " dpkg --debug=2 -i /tmp/library.deb
[ ! -e "$root/var/lib/corvane-platform" ] || fail "the failed upgrade left $root/var/lib/corvane-platform"
grep -qxF "$carried" "$machine_registry" || fail "the failed upgrade lost what was registered"
in_root dpkg -P corvane-file-owner >/dev/null
machine_registry="$root/var/lib/corvane-platform/registry"
step "upgrade from the previous version" ok "ii $version" yes - \
  "${install_packages[@]}" /tmp/library.deb /tmp/control.deb
grep -qxF "$carried" "$machine_registry" ||
  fail "the upgrade lost what was registered: $(cat "$machine_registry")"
[ ! -e "$old_registry_folder" ] ||
  fail "the upgrade left $old_registry_folder: $(ls -la "$old_registry_folder")"
[ "$(stat -c '%U %a' "$(dirname "$machine_registry")")" = "root 755" ] ||
  fail "the machine registry's folder is $(stat -c '%U %a' "$(dirname "$machine_registry")")"
sed -i "/Example\.Carried/d" "$machine_registry"
# Other architectures' builds of the library may be installed beside it.
# shellcheck disable=SC2016  # dpkg-query's field, not the shell's
multi_arch=$(in_root dpkg-query -W -f='${Multi-Arch}' libcorvane-platform1)
[ "$multi_arch" = same ] || fail "libcorvane-platform1 is Multi-Arch \"$multi_arch\", not same"
# The package brings the port lister with what it needs (libudev through its dependencies).
ports=$(in_root corvane-ports --json 2>&1) && [[ "$ports" == "["* ]] ||
  fail "the installed corvane-ports: $ports"
device_version=$(in_root corvane-device --version 2>&1) &&
  [[ "$device_version" == "corvane-device (Corvane) "* ]] ||
  fail "the installed corvane-device: $device_version"
step "upgrade" ok "ii $newer" yes - dpkg -i /tmp/newer.deb
# dpkg --debug=2 names each maintainer script it runs with its arguments, which shows that
# each failing step took the way back through corvane's postinst that it is there for.
step "failed upgrade" fails "ii $newer" yes "corvane.postinst ( abort-upgrade " \
  dpkg --debug=2 -i /tmp/failing-upgrade.deb
step "failed removal in favour of a conflicting package" fails "ii $newer" yes \
  "corvane.postinst ( abort-remove " dpkg --debug=2 -i /tmp/conflicting.deb
step "failed deconfiguration for a breaking package" fails "ii $newer" yes \
  "corvane.postinst ( abort-deconfigure " dpkg --debug=2 --auto-deconfigure -i /tmp/breaking.deb
step "remove" ok "rc $newer" no - dpkg -r corvane
[ -f "$machine_registry" ] || fail "remove: the machine registry went before the purge"
step "purge" ok gone no - dpkg -P corvane
[ ! -e "$(dirname "$machine_registry")" ] || fail "purge left $(dirname "$machine_registry")"
step "install after the purge" ok "ii $version" yes - "${install_packages[@]}" /tmp/control.deb
[ ! -e "$old_registry_folder" ] || fail "a fresh install made $old_registry_folder"
phase "ok: registered after install, upgrades and every failed step, carried across from the" \
  "previous version; gone after removal; /usr/local untouched"
