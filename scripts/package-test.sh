#!/usr/bin/env bash
# The Debian package as a school deploys it: build it and check what it
# holds; install it with apt-get into a fresh Debian root that has nothing but
# what the package depends on, and on this machine; run the installed program
# as a normal user against the demo site (the end-to-end test, with the web
# engine's sandbox on) in both; then remove it and check that nothing is left.
# Needs root and the Debian mirror. QUILLBY_FRESH_ROOT=0 skips the fresh root.
# Usage: scripts/package-test.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${1:-build}
PUPIL=quillbypupil

say() { echo "package test [${SECONDS} s]: $*"; }
fail() {
  echo "package test: FAILED: $*" >&2
  exit 1
}
installed() { dpkg-query -W -f='${Status}' "$@" 2>/dev/null | grep -q "ok installed"; }
[ "$(id -u)" -eq 0 ] || fail "run as root: it installs the package and adds a user"
export DEBIAN_FRONTEND=noninteractive

scripts/setup.sh
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
BUILD=$(realpath "$BUILD")
rm -f "$BUILD"/quillby_*.deb
cmake --build "$BUILD" -j2 --target package
debs=("$BUILD"/quillby_*_amd64.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "no single quillby_<version>_amd64.deb in $BUILD"
DEB=${debs[0]}
say "$(basename "$DEB"): $(stat -c %s "$DEB") bytes, installed size $(dpkg-deb -f "$DEB" Installed-Size) KiB"

WORK=$(mktemp -d /tmp/quillby-package.XXXXXX)
chmod 755 "$WORK"
installed_here=0
cleanup() {
  local status=$?
  if [ $installed_here -eq 1 ] && installed quillby; then apt-get purge -y -qq quillby >/dev/null 2>&1 || true; fi
  if id "$PUPIL" >/dev/null 2>&1; then
    # Anything of the test user's still running was started by this test.
    mapfile -t pids < <(pgrep -u "$PUPIL" || true)
    [ ${#pids[@]} -eq 0 ] || kill -9 "${pids[@]}" 2>/dev/null || true
    userdel -r "$PUPIL" >/dev/null 2>&1 || true
  fi
  # The fresh root's mounts lived in namespaces of their own; never delete
  # through one that is still there.
  if grep -qF " $WORK/" /proc/mounts; then
    echo "package test: $WORK still has mounts; not deleted" >&2
  elif [ $status -eq 0 ]; then
    rm -rf "$WORK"
  else
    echo "package test: kept $WORK for inspection" >&2
  fi
}
trap cleanup EXIT

# ---- what the package holds -------------------------------------------------

X=$WORK/extracted
dpkg -x "$DEB" "$X"
tops=$(find "$X" -mindepth 1 -maxdepth 1 -printf '/%f ' | sed 's|/usr ||; s|/etc ||')
[ -z "$tops" ] || fail "the package installs $tops"
for f in usr/lib/quillby/quillby usr/lib/quillby/lame_enc.so usr/lib/quillby/libtessel_httpsocket.so.1 \
  usr/lib/quillby/moviehost/host.html usr/lib/quillby/moviehost/host.js usr/lib/quillby/moviehost/ruffle.js \
  usr/share/applications/quillby.desktop; do
  [ -e "$X/$f" ] || fail "the package lacks /$f"
done
ls "$X"/usr/lib/quillby/moviehost/core.ruffle.*.js "$X"/usr/lib/quillby/moviehost/*.wasm >/dev/null ||
  fail "the package lacks the Flash player's core scripts or WebAssembly"
[ "$(readlink "$X/usr/bin/quillby")" = ../lib/quillby/quillby ] || fail "/usr/bin/quillby is not a link to /usr/lib/quillby/quillby"
if [ -f src/host/app/resources/quillby.png ]; then
  [ -f "$X/usr/share/icons/hicolor/128x128/apps/quillby.png" ] || fail "the package lacks the window icon"
else
  say "warning: no window icon in the sources, the menu entry has none"
fi
desktop-file-validate "$X/usr/share/applications/quillby.desktop"

leaked=$(grep -rlF -e "$ROOT/" -e "$BUILD/" "$X" || true)
[ -z "$leaked" ] || fail "build or source paths in: $leaked"
while IFS= read -r -d '' f; do
  readelf -h "$f" >/dev/null 2>&1 || continue
  paths=$(readelf -d "$f" | sed -n 's/.*(\(RPATH\|RUNPATH\)).*\[\(.*\)\]/\2/p')
  case $paths in '' | '$ORIGIN') ;; *) fail "${f#"$X"} searches libraries in $paths" ;; esac
done < <(find "$X" -type f -print0)

depends=$(dpkg-deb -f "$DEB" Depends)
say "Depends: $depends"
for p in fonts-wqy-microhei libqt6webengine6-data libqt6webenginecore6-bin libmp3lame0; do
  grep -Eq "(^|, )$p( |,|$)" <<<"$depends" || fail "Depends lacks $p"
done
! grep -Eq -- "-dev( |,|$)" <<<"$depends" || fail "Depends names a -dev package"

# ---- the test user and the end-to-end test, where that user can read them ---

! id "$PUPIL" >/dev/null 2>&1 || userdel -r "$PUPIL" >/dev/null 2>&1
useradd --create-home --shell /bin/sh "$PUPIL"
E=$WORK/e2e
mkdir -p "$E/tests/e2e" "$E/node_modules" "$E/bin"
cp tests/e2e/*.mjs "$E/tests/e2e/"
cp -r node_modules/ws "$E/node_modules/"
cp "$BUILD/bin/demosite" "$BUILD/bin/lame_enc.so" "$E/bin/"
cp -r "$BUILD/demo/site" "$E/site"
cp -r "$BUILD/as3-site" "$E/as3-site"
chown -R "$PUPIL:" "$E"

# run_e2e NAME PROGRAM HOME: the end-to-end test of PROGRAM as the test user
# with that home and a temporary directory of its own. Meanwhile, the web engine's
# renderer must run sandboxed (namespaces of its own and a seccomp filter)
# and nothing may turn the sandbox off.
run_e2e() {
  local name=$1 program=$2 home=$3 log=$WORK/e2e-$1.log
  mkdir -p "$home" "$WORK/tmp-$name" "$WORK/artefacts-$name"
  chown "$PUPIL:" "$home" "$WORK/tmp-$name" "$WORK/artefacts-$name"
  runuser -u "$PUPIL" -- env -i PATH=/usr/bin:/bin HOME="$home" USER="$PUPIL" LOGNAME="$PUPIL" LANG=C.UTF-8 \
    TMPDIR="$WORK/tmp-$name" E2E_QUILLBY="$program" E2E_HOME="$home" E2E_DEMOSITE="$E/bin/demosite" \
    E2E_SITE_ROOT="$E/site" E2E_AS3_SITE_ROOT="$E/as3-site" E2E_ENCODER="$E/bin/lame_enc.so" E2E_MPG123="$(command -v mpg123)" \
    E2E_ARTEFACTS="$WORK/artefacts-$name" \
    "$(command -v node)" --test --test-reporter=tap "$E/tests/e2e/demo_course.test.mjs" >"$log" 2>&1 &
  local e2e=$! sandboxed="" unsandboxed="" main p ns
  while kill -0 $e2e 2>/dev/null; do
    main=$(pgrep -u "$PUPIL" -x quillby | head -n 1 || true)
    if [ -n "$main" ]; then
      grep -qz '^QTWEBENGINE_DISABLE_SANDBOX=' "/proc/$main/environ" 2>/dev/null && unsandboxed="QTWEBENGINE_DISABLE_SANDBOX set"
      for p in $(pgrep -u "$PUPIL" -f QtWebEngineProcess || true); do
        { tr '\0' ' ' <"/proc/$p/cmdline"; } 2>/dev/null | grep -q -- '--no-sandbox' && unsandboxed="a web engine process with --no-sandbox"
        [ "$(awk '/^Seccomp:/ { print $2 }' "/proc/$p/status" 2>/dev/null)" = 2 ] || continue
        for ns in user pid net; do
          [ "$(readlink "/proc/$p/ns/$ns" 2>/dev/null)" != "$(readlink "/proc/$main/ns/$ns")" ] || continue 2
        done
        sandboxed=$p
      done
    fi
    sleep 0.5
  done
  local status=0
  wait $e2e || status=$?
  cat "$log"
  [ $status -eq 0 ] || fail "$name: the end-to-end test of the installed program as $PUPIL"
  [ -z "$unsandboxed" ] || fail "$name: the web engine ran without its sandbox: $unsandboxed"
  [ -n "$sandboxed" ] || fail "$name: no web engine process in the sandbox (own user, pid and net namespaces, seccomp)"
  [ -f "$home/.local/share/quillby/sz/VerDel.Dat" ] || fail "$name: no cache in $home/.local/share/quillby/sz"
  say "$name, as $PUPIL: the movie's calls answered, a recording uploaded, the renderer sandboxed"
  say "$name, $(grep -o 'first ExternalInterface call answered .*' "$log")"
}

# ---- a fresh Debian root with only the package and what it depends on --------

if [ "${QUILLBY_FRESH_ROOT:-1}" != 0 ]; then
  . /etc/os-release
  R=$WORK/root
  MIRROR=${QUILLBY_DEBIAN_MIRROR:-http://deb.debian.org/debian}
  say "a fresh $VERSION_CODENAME root from $MIRROR"
  debootstrap --variant=minbase "$VERSION_CODENAME" "$R" "$MIRROR" >"$WORK/debootstrap.log" 2>&1 ||
    { tail -n 20 "$WORK/debootstrap.log"; fail "debootstrap"; }
  # This machine's archives, updates and security fixes included.
  if ls /etc/apt/sources.list.d/*.sources /etc/apt/sources.list.d/*.list >/dev/null 2>&1 || [ -s /etc/apt/sources.list ]; then
    rm -f "$R/etc/apt/sources.list"
    cp /etc/apt/sources.list.d/*.sources /etc/apt/sources.list.d/*.list "$R/etc/apt/sources.list.d/" 2>/dev/null || true
    [ ! -s /etc/apt/sources.list ] || cp /etc/apt/sources.list "$R/etc/apt/"
  fi
  cp "$DEB" "$R/tmp/"
  # Its own mount namespace: /proc and /dev are gone when it ends.
  unshare --mount --fork sh -c "mount -t proc proc '$R/proc' && mount --rbind /dev '$R/dev' &&
    chroot '$R' sh -c 'apt-get update -qq && apt-get install -y -qq --no-install-recommends /tmp/$(basename "$DEB")'" \
    >"$WORK/root-install.log" 2>&1 || { tail -n 30 "$WORK/root-install.log"; fail "apt-get install in the fresh root"; }
  extra=$(chroot "$R" dpkg-query -W -f='${Package}\n' | grep -E -- '-dev$|^nodejs$|^npm$' || true)
  [ -z "$extra" ] || fail "the fresh root has $extra"
  ! chroot "$R" sh -c 'ldd /usr/lib/quillby/quillby /usr/lib/quillby/lame_enc.so' | grep "not found" ||
    fail "libraries missing in the fresh root"
  say "installed in the fresh root: $(chroot "$R" dpkg-query -W -f='${Package}\n' | wc -l) packages, no -dev, no Node.js"

  # Entered with bubblewrap as the test user, so the program's own sandbox
  # nests in it (a chroot would forbid user namespaces).
  chroot "$R" useradd --uid "$(id -u "$PUPIL")" --no-create-home --home-dir "$WORK/home-fresh-root" "$PUPIL"
  mkdir -p "$R$WORK/home-fresh-root" "$R$WORK/tmp-fresh-root"
  cat >"$E/quillby-fresh-root" <<EOF
#!/bin/sh
exec bwrap --bind '$R' / --dev /dev --tmpfs /dev/shm --proc /proc --ro-bind /sys /sys --unshare-pid \\
  --bind '$WORK/home-fresh-root' '$WORK/home-fresh-root' --bind '$WORK/tmp-fresh-root' '$WORK/tmp-fresh-root' \\
  --chdir "\$PWD" /usr/bin/quillby "\$@"
EOF
  chmod 755 "$E/quillby-fresh-root"
  run_e2e fresh-root "$E/quillby-fresh-root" "$WORK/home-fresh-root"
fi

# ---- installed with apt-get on this machine ------------------------------------

if installed quillby; then
  say "removing the quillby installed before this test"
  apt-get purge -y -qq quillby
fi
installed_here=1
apt-get install -y -qq --no-install-recommends "$DEB"
dpkg -L quillby >"$WORK/installed.list"
bad=$(grep -Ev '^/(\.|usr|etc)(/|$)' "$WORK/installed.list" || true)
[ -z "$bad" ] || fail "dpkg -L lists paths outside /usr and /etc: $bad"

# Every library the program and the encoder library load comes from a package
# that the package's dependencies bring in, and none from a -dev package.
closure=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks --no-replaces \
  --no-enhances quillby | grep -v '^ ' | sort -u)
programs=(/usr/lib/quillby/quillby /usr/lib/quillby/lame_enc.so /usr/lib/quillby/libtessel_httpsocket.so.1)
for f in "${programs[@]}"; do
  ! ldd "$f" | grep -q "not found" || fail "$f: $(ldd "$f" | grep 'not found')"
done
mapfile -t libs < <(for f in "${programs[@]}"; do ldd "$f" | awk '$2 == "=>" { print $3 }'; done | sort -u)
# dpkg knows a library by one of its names: as ldd gives it, resolved, with
# or without /usr in front. One query for all of them.
names() {
  local p=$1
  echo "$p"
  realpath "$p"
  case $p in /usr/*) echo "${p#/usr}" ;; *) echo "/usr$p" ;; esac
}
declare -A owner_of
while IFS= read -r line; do
  pkg=${line%%: /*}
  owner_of[${line#"$pkg: "}]=${pkg%%[:,]*}
done < <(for lib in "${libs[@]}"; do names "$lib"; done | sort -u | xargs dpkg -S 2>/dev/null || true)
for lib in "${libs[@]}"; do
  pkg=""
  for name in $(names "$lib"); do [ -n "$pkg" ] || pkg=${owner_of[$name]:-}; done
  [ -n "$pkg" ] || fail "the program loads $lib, which no package holds"
  case $pkg in *-dev) fail "the program loads $lib from the -dev package $pkg" ;; esac
  grep -qx "$pkg" <<<"$closure" || fail "the program loads $lib from $pkg, which the package does not depend on"
done
say "installed here; every library it loads comes from its dependencies"

run_e2e host /usr/bin/quillby "$(getent passwd "$PUPIL" | cut -d: -f6)"

# Nothing the package installed was changed or added to, and the user wrote
# nowhere but its own directories.
dpkg --verify quillby || fail "files of the package changed"
[ "$(find /usr/lib/quillby | sort)" = "$(grep '^/usr/lib/quillby' "$WORK/installed.list" | sort)" ] ||
  fail "files added to /usr/lib/quillby"
strays=$(find /usr /etc /var /opt -xdev -user "$PUPIL" 2>/dev/null | head -n 5)
[ -z "$strays" ] || fail "$PUPIL wrote outside its own directories: $strays"

# ---- removed ------------------------------------------------------------------

apt-get remove -y -qq quillby
! installed quillby || fail "quillby still installed"
while IFS= read -r p; do
  [ "$p" != /. ] || continue
  if [ -L "$p" ] || { [ -e "$p" ] && [ ! -d "$p" ]; }; then fail "$p left after removal"; fi
  if [ -d "$p" ] && [ -z "$(ls -A "$p")" ] && ! dpkg -S "$p" >/dev/null 2>&1; then
    fail "empty directory $p left after removal"
  fi
done <"$WORK/installed.list"
# The ldconfig calls CPack adds keep dpkg's record until a purge.
apt-get purge -y -qq quillby
! dpkg-query -W quillby >/dev/null 2>&1 || fail "dpkg still knows quillby after the purge"
say "removed; nothing of it left"
