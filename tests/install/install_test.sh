#!/usr/bin/env bash
# Corvane as a user outside this tree meets it: installed into a fresh temporary prefix,
# the example host built against that install with CMake (find_package) and with
# pkg-config, and run against a temporary machine-wide registry and per-user ones.
#
#   install_test.sh <build folder> <source folder>
#
# Shows: the machine-wide registration serves a user with none of their own, C++ hosts and
# the Python module alike; the C++ host, on the installed typed class (portula/portula.h),
# sets and reads properties, hears OnComm for a datagram and gets the control's error with
# its number and description; a user's own registration wins for that user; unregistering
# removes only that module's entries; --system is refused to anybody but root, naming the
# file; the tools speak English by default and Japanese under a Japanese locale; the
# installed corvane-ports and corvane.ports() list a mock machine's ports (umockdev). Exit 0
# on success, 1 on a failure.
set -euo pipefail
build=$1 source=$2

fail() { echo "FAIL: $*" >&2; exit 1; }

# The machine's registry and the module it names must rest on folders only root can
# change (not /tmp, which anybody may add to): the scratch folder goes under /run.
scratch=$(mktemp -d -p /run corvane-install-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
chmod 0755 "$scratch"  # the unprivileged check below walks into it
prefix="$scratch/prefix"

cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" || fail "install: $(cat "$scratch/install.log")"
libdir=$(cd "$prefix" && dirname "$(find . -name 'libcorvane_platform.so.1' -print -quit)")
libdir=${libdir#./}
[ "$libdir" != . ] || fail "no libcorvane_platform.so.1 under $prefix"
module="$prefix/$libdir/corvane/Corvane.so"
register="$prefix/bin/corvane-register"
[ -f "$module" ] || fail "no module at $module"
[ -L "$prefix/$libdir/libcorvane_platform.so" ] || fail "no development symlink"
[ -f "$prefix/include/corvane/portula/portula_ids.h" ] || fail "no published identifiers"
for header in portula_interface.h portula.h; do
  [ -f "$prefix/include/corvane/portula/$header" ] || fail "no portula/$header"
done
[ -f "$prefix/share/man/man1/corvane-register.1.gz" ] || fail "no man page"
[ -f "$prefix/share/man/man1/corvane-ports.1.gz" ] || fail "no man page of corvane-ports"
[ -f "$prefix/share/man/man1/corvane-device.1.gz" ] || fail "no man page of corvane-device"
[ -f "$prefix/share/locale/ja/LC_MESSAGES/corvane.mo" ] || fail "no Japanese catalogue"
if [ -d "$build/sample_app" ] && [ -x "$build/bin/Sampleton" ]; then
  [ -f "$prefix/share/applications/sampleton.desktop" ] || fail "no desktop entry"
  [ -f "$prefix/share/icons/hicolor/32x32/apps/sampleton.png" ] || fail "no icon"
  if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$prefix/share/applications/sampleton.desktop" || fail "desktop entry"
  fi
fi
if find "$prefix/include" -path '*/src/*' | grep -q .; then fail "private headers installed"; fi

# The registries of this test only: the machine's under the prefix (through the test
# stand-in for the folder fixed at build time; XDG_DATA_DIRS pointing elsewhere must not
# matter), a user with no registration, a user with one of their own.
export CORVANE_PLATFORM_MACHINE_HOME="$prefix/var/lib/corvane-platform"
export XDG_DATA_DIRS="$scratch/elsewhere"
machine_registry="$prefix/var/lib/corvane-platform/registry"
nobody_home="$scratch/user-without"
own_home="$scratch/user-with"

# Messages: English by default, Japanese under a Japanese locale. The locale is made for this
# test alone: a minimal machine has none, and newer C libraries ignore LANGUAGE under C.UTF-8
# as under C.
japanese_locales="$scratch/locales"
mkdir -p "$japanese_locales"
localedef -i ja_JP -f UTF-8 "$japanese_locales/ja_JP.UTF-8" >"$scratch/localedef.log" 2>&1 ||
  fail "localedef ja_JP.UTF-8 (the locales package): $(cat "$scratch/localedef.log")"
japanese() { LOCPATH="$japanese_locales" LC_ALL=ja_JP.UTF-8 "$@"; }
LC_ALL=C "$register" --help | grep -q '^Usage: corvane-register' || fail "English help"
if "$register" --help >/dev/full 2>/dev/null; then fail "help to a full disk reported success"; fi
japanese "$register" --help | grep -q '使い方' || fail "Japanese help"
ports_tool="$prefix/bin/corvane-ports"
LC_ALL=C "$ports_tool" --help | grep -q '^Usage: corvane-ports' || fail "corvane-ports help"
japanese "$ports_tool" --help | grep -q '使い方' || fail "corvane-ports Japanese help"
device_tool="$prefix/bin/corvane-device"
LC_ALL=C "$device_tool" --help | grep -q '^Usage: corvane-device' || fail "corvane-device help"
japanese "$device_tool" --help | grep -q '使い方' || fail "corvane-device Japanese help"

# The port list of a mock machine, through the installed tool (and below the installed module).
on_mock_machine() {
  CORVANE_PLATFORM_HOME="$nobody_home" umockdev-run \
    --device "$source/tests/platform/fixtures/serial_ports.umockdev" -- "$@"
}
if command -v umockdev-run >/dev/null; then
  out=$(on_mock_machine "$ports_tool" 2>&1) || fail "corvane-ports: $out"
  grep -q '^-  */dev/ttyUSB0  */dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3XQ1-if00-port0 ' <<<"$out" ||
    fail "corvane-ports lists no adapter: $out"
fi

CORVANE_PLATFORM_HOME="$nobody_home" "$register" --system "$module" >"$scratch/register.out" ||
  fail "machine-wide registration: $(cat "$scratch/register.out")"
grep -q "$machine_registry" "$scratch/register.out" || fail "registered elsewhere: $(cat "$scratch/register.out")"
[ "$(stat -c '%U %a' "$machine_registry")" = "root 644" ] || fail "machine registry $(stat -c '%U %a' "$machine_registry")"

# A module others may write is refused before root loads it, naming it.
untrusted="$scratch/open/Corvane.so"
mkdir -p "$scratch/open" && cp "$module" "$untrusted" && chmod 0666 "$untrusted"
status=0
LC_ALL=C "$register" --system "$untrusted" >/dev/null 2>"$scratch/untrusted.err" || status=$?
[ "$status" = 1 ] || fail "--system took a module anybody may write: status $status"
grep -q "refusing \"$untrusted\"" "$scratch/untrusted.err" || fail "not refused before loading: $(cat "$scratch/untrusted.err")"

# Anybody but root is refused, with the file named.
if command -v setpriv >/dev/null && [ "$(id -u)" = 0 ]; then
  status=0
  env HOME="$scratch" setpriv --reuid=65534 --regid=65534 --clear-groups \
    "$register" --system "$module" >/dev/null 2>"$scratch/refused.err" || status=$?
  [ "$status" = 1 ] || fail "non-root --system: status $status"
  grep -q "$machine_registry" "$scratch/refused.err" || fail "refusal names no file: $(cat "$scratch/refused.err")"
fi

# The example host, built with CMake against the installed package only.
cmake -S "$source/examples/host" -B "$scratch/host-cmake" -G Ninja \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >"$scratch/host-cmake.log" 2>&1 ||
  fail "configure the host: $(cat "$scratch/host-cmake.log")"
grep -q "Corvane module to register: $module" "$scratch/host-cmake.log" || fail "Corvane_MODULE"
cmake --build "$scratch/host-cmake" >>"$scratch/host-cmake.log" 2>&1 ||
  fail "build the host: $(cat "$scratch/host-cmake.log")"

# The same source with pkg-config and make.
cp "$source/examples/host/portula_udp_host.cpp" "$source/examples/host/Makefile" "$scratch/"
mkdir "$scratch/host-pc"
cp "$scratch/portula_udp_host.cpp" "$scratch/Makefile" "$scratch/host-pc/"
PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" make -s -C "$scratch/host-pc" \
  LDFLAGS="-Wl,-rpath,$prefix/$libdir" >"$scratch/host-pc.log" 2>&1 ||
  fail "pkg-config build: $(cat "$scratch/host-pc.log")"

# A consumer compiled as C++17 is told what it needs, by whichever header it includes first.
for header in platform/error.h platform/utf8.h portula/portula_ids.h portula/portula.h; do
  printf '#include <%s>\n' "$header" >"$scratch/cxx17.cpp"
  if "${CXX:-c++}" -std=c++17 -fsyntax-only -I"$prefix/include/corvane" "$scratch/cxx17.cpp" \
      >"$scratch/cxx17.log" 2>&1; then
    fail "$header compiles as C++17"
  fi
  grep -q "Corvane needs C++20" "$scratch/cxx17.log" || fail "C++17, $header: $(cat "$scratch/cxx17.log")"
done

run_host() {  # <host program> <user's folder>
  CORVANE_PLATFORM_HOME="$2" "$1" 2>&1
}
for host in "$scratch/host-cmake/portula_udp_host" "$scratch/host-pc/portula_udp_host"; do
  out=$(run_host "$host" "$nobody_home") || fail "$host for a user with no registration: $out"
  echo "$out"
  grep -q "served by $(realpath "$module")" <<<"$out" || fail "not served by the machine's module: $out"
  grep -q 'received "Hello, Portula! こんにちは"' <<<"$out" || fail "nothing arrived: $out"
  # The typed properties read back as set, and the control's error comes with its own number
  # and description.
  grep -Eq '^receiver: UDPUse true, LocalPort [0-9]+, RemoteHost 127\.0\.0\.1, RemotePort [0-9]+, RThreshold 1, PortOpen true$' <<<"$out" ||
    fail "typed properties: $out"
  grep -q '^refused: error 40021: 引数が範囲外です。$' <<<"$out" || fail "the control's error: $out"
done

# The Python module from the install, for the same user: found under the prefix, the
# members documented from the machine's registration, two controls exchanging frames.
if [ -d "$build/python/corvane" ]; then
  package=$(cd "$prefix" && find . -path '*/dist-packages/corvane/__init__.py' -print -quit)
  [ -n "$package" ] || fail "no Python package under $prefix"
  python_path="$prefix/$(dirname "$(dirname "${package#./}")")"
  installed_python() {
    (cd "$scratch" && CORVANE_PLATFORM_HOME="$nobody_home" PYTHONPATH="$python_path" \
      /usr/bin/python3 "$@" 2>&1)
  }
  out=$(installed_python -c 'import corvane
with corvane.Dispatch("Corvane.Portula") as p:
    print(corvane.__file__, p.__doc__)') || fail "Python: $out"
  grep -q "^$python_path/corvane/__init__.py" <<<"$out" || fail "corvane not from the install: $out"
  grep -q "Settings: String (str), read/write" <<<"$out" || fail "no members documented: $out"
  # Its version, the project's, as the module and its metadata (what pip and importlib.metadata
  # read) give it; RECORD names every file of the package with its hash as installed.
  project_version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
  out=$(installed_python - "$project_version" <<'PYTHON'
import base64, hashlib, importlib.metadata, pathlib, sys
import corvane, corvane.testing

versions = (importlib.metadata.version("corvane"), corvane.__version__, sys.argv[1])
assert len(set(versions)) == 1, f"metadata, __version__ and project differ: {versions}"
site = pathlib.Path(corvane.__file__).parent.parent
recorded = importlib.metadata.distribution("corvane").files
for entry in recorded:
    if entry.hash:
        data = entry.locate().read_bytes()
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        assert (entry.hash.mode, entry.hash.value) == ("sha256", digest), entry
        assert entry.size == len(data), entry
installed = {p.relative_to(site).as_posix()
             for folder in ("corvane", f"corvane-{sys.argv[1]}.dist-info")
             for p in (site / folder).rglob("*") if p.is_file() and "__pycache__" not in p.parts}
assert installed == {entry.as_posix() for entry in recorded}, f"RECORD {recorded}: {installed}"
assert pathlib.Path(corvane.testing.__file__).parent.parent == site / "corvane"
PYTHON
  ) || fail "the Python module's version and metadata: $out"
  out=$(installed_python "$source/examples/python/udp_pair.py") || fail "Python example: $out"
  echo "$out"
  if command -v umockdev-run >/dev/null; then
    # umockdev may warn on stderr (without /sys it cannot send its made-up uevents): only
    # the standard output is the answer.
    out=$(cd "$scratch" && PYTHONPATH="$python_path" on_mock_machine /usr/bin/python3 -c \
      'import corvane; print(sorted((p.device, p.serial_number) for p in corvane.ports()))' \
      2>"$scratch/ports.err") || fail "corvane.ports(): $out $(cat "$scratch/ports.err")"
    [ "$out" = "[('/dev/ttyS4', ''), ('/dev/ttyUSB0', 'A10K3XQ1'), ('/dev/ttyUSB1', 'B20M7KD4')]" ] ||
      fail "corvane.ports() from the install: $out $(cat "$scratch/ports.err")"
  fi
fi

# A user's own registration (a copy of the module) wins for that user only.
mkdir -p "$scratch/own"
cp "$module" "$scratch/own/Corvane.so"
CORVANE_PLATFORM_HOME="$own_home" "$register" "$scratch/own/Corvane.so" >/dev/null || fail "per-user registration"
out=$(run_host "$scratch/host-cmake/portula_udp_host" "$own_home") || fail "own registration: $out"
grep -q "served by $scratch/own/Corvane.so" <<<"$out" || fail "the user's entry did not win: $out"
out=$(run_host "$scratch/host-pc/portula_udp_host" "$nobody_home") || fail "$out"
grep -q "served by $(realpath "$module")" <<<"$out" || fail "another user lost the machine's entry: $out"

# Installed Sampleton, for a user with no registration, from a folder it may not write.
if [ -x "$prefix/bin/Sampleton" ] && [ -x "$build/bin/sample_app_udp_peer" ]; then
  status=0
  CORVANE_PLATFORM_HOME="$nobody_home" "$source/tests/install/installed_sampleton_test.sh" \
    "$prefix/bin/Sampleton" "$build/bin/sample_app_udp_peer" || status=$?
  [ "$status" = 0 ] || [ "$status" = 77 ] || fail "installed Sampleton"
fi

# Unregistering the copy machine-wide removes nothing; unregistering the module removes it.
"$register" --system --unregister "$scratch/own/Corvane.so" >/dev/null || fail "unregister the copy"
grep -q "$(realpath "$module")" "$machine_registry" || fail "the copy removed the module's entries"
"$register" --system --unregister "$module" >/dev/null || fail "unregister"
[ "$(cat "$machine_registry")" = "corvane-platform-registry 1" ] || fail "left behind: $(cat "$machine_registry")"
grep -q Corvane "$own_home/registry" || fail "the user's own entry went too"
echo "ok: installed, hosts built both ways, registries as expected"
