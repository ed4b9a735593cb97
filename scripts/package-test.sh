#!/usr/bin/env bash
# The Debian packages as a school deploys them, one per release: Debian 12
# built on this machine, Debian 13 built in a fresh trixie root. Each package
# is checked for what it holds and by its own release's tools (lintian,
# desktop-file-validate, appstreamcli), which must have nothing to report;
# installed with apt-get into a fresh root of its release that has nothing
# but what the package depends on; run there as a normal user against the
# demo site (the end-to-end test, with the web engine's sandbox on); and
# removed with nothing left. The Debian 12 package is also installed, run and
# removed on this machine.
# Needs root and the Debian mirror. QUILLBY_FRESH_ROOT=0 skips the fresh roots
# and with them the Debian 13 package.
# Usage: scripts/package-test.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${1:-build}
PUPIL=quillbypupil
MIRROR=${QUILLBY_DEBIAN_MIRROR:-http://deb.debian.org/debian}
SECURITY_MIRROR=${QUILLBY_DEBIAN_SECURITY_MIRROR:-http://deb.debian.org/debian-security}
# The release whose package is built in a root of its own.
OTHER=trixie
# Where the sources are built in that root: the same path every run, so the
# compiler cache hits across runs wherever the checkout is.
SRC_IN_ROOT=/src/quillby

say() { echo "package test [${SECONDS} s]: $*"; }
fail() {
  echo "package test: FAILED: $*" >&2
  exit 1
}
installed() { dpkg-query -W -f='${Status}' "$@" 2>/dev/null | grep -q "ok installed"; }
[ "$(id -u)" -eq 0 ] || fail "run as root: it installs the package and adds a user"
export DEBIAN_FRONTEND=noninteractive
. /etc/os-release
HERE=$VERSION_CODENAME
FRESH=${QUILLBY_FRESH_ROOT:-1}
[ "$HERE" != "$OTHER" ] || fail "this machine runs $OTHER already; build its package with --target package"

WORK=$(mktemp -d /tmp/quillby-package.XXXXXX)
chmod 755 "$WORK"
installed_here=0
cleanup() {
  local status=$?
  # A root still being made is let finish, then deleted with the rest.
  wait 2>/dev/null || true
  if [ $installed_here -eq 1 ] && installed quillby; then apt-get purge -y -qq quillby >/dev/null 2>&1 || true; fi
  if id "$PUPIL" >/dev/null 2>&1; then
    # Anything of the test user's still running was started by this test.
    mapfile -t pids < <(pgrep -u "$PUPIL" || true)
    [ ${#pids[@]} -eq 0 ] || kill -9 "${pids[@]}" 2>/dev/null || true
    userdel -r "$PUPIL" >/dev/null 2>&1 || true
  fi
  # The roots' mounts lived in namespaces of their own; never delete through
  # one that is still there.
  if grep -qF " $WORK/" /proc/mounts; then
    echo "package test: $WORK still has mounts; not deleted" >&2
  elif [ $status -eq 0 ]; then
    rm -rf "$WORK"
  else
    echo "package test: kept $WORK for inspection" >&2
  fi
}
trap cleanup EXIT

# step NAME: ends a step of this process; the steps and their times are
# listed at the end, those of the jobs in the background too.
STEPS=$WORK/steps
step_start=$SECONDS
step() {
  local took=$((SECONDS - step_start))
  printf '%6d s  %s\n' "$took" "$1" >>"$STEPS"
  say "$1 ($took s)"
  step_start=$SECONDS
}
# background NAME FUNCTION...: runs FUNCTION with its own log and step list;
# finish NAME waits for it and shows what it did.
declare -A JOBS
background() {
  local name=$1
  shift
  : >"$WORK/steps-$name"
  (
    STEPS=$WORK/steps-$name
    step_start=$SECONDS
    "$@"
  ) >"$WORK/$name.log" 2>&1 &
  JOBS[$name]=$!
}
finish() {
  local status=0
  wait "${JOBS[$1]}" || status=$?
  grep '^package test' "$WORK/$1.log" || true
  [ $status -eq 0 ] || { tail -n 40 "$WORK/$1.log"; fail "$1"; }
}

scripts/setup.sh

# ---- fresh Debian roots -------------------------------------------------------

# in_root R COMMAND...: COMMAND in the root R with /proc and /dev, and the
# compiler cache where R has a place for it, in a mount namespace of its own:
# the mounts go when it ends.
CCACHE_HOST=$(ccache -k cache_dir 2>/dev/null || true)
in_root() {
  unshare --mount --fork sh -c '
    r=$1 cache=$2
    shift 2
    mount -t proc proc "$r/proc" && mount --rbind /dev "$r/dev" || exit 1
    if [ -n "$cache" ] && [ -d "$r/var/cache/ccache" ]; then
      mkdir -p "$cache" && mount --bind "$cache" "$r/var/cache/ccache" || exit 1
    fi
    exec chroot "$r" "$@"' sh "$1" "$CCACHE_HOST" "${@:2}"
}
# Debian's checks run as nobody: lintian will not otherwise.
AS_NOBODY=(setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME=/tmp)

# make_root CODENAME R: a minbase root of the release, with its updates and
# security fixes. dpkg in it skips syncing each file: the roots are thrown away.
make_root() {
  local codename=$1 r=$2 log=$WORK/debootstrap-$1.log
  debootstrap --variant=minbase "$codename" "$r" "$MIRROR" >"$log" 2>&1 ||
    { tail -n 20 "$log"; fail "debootstrap $codename"; }
  printf '%s\n' "deb $MIRROR $codename main" "deb $MIRROR $codename-updates main" \
    "deb $SECURITY_MIRROR $codename-security main" >"$r/etc/apt/sources.list"
  echo force-unsafe-io >"$r/etc/dpkg/dpkg.cfg.d/quillby-test"
  in_root "$r" apt-get update -qq >>"$log" 2>&1 || { tail -n 20 "$log"; fail "apt-get update in the $codename root"; }
  step "a fresh $codename root"
}

# install_in_root R DEB: DEB installed with apt-get into the fresh root R,
# which then has nothing but what it depends on.
install_in_root() {
  local r=$1 deb=$2 name
  name=$(basename "$r")-root
  cp "$deb" "$r/tmp/"
  in_root "$r" apt-get install -y -qq --no-install-recommends "/tmp/$(basename "$deb")" >"$WORK/$name-install.log" 2>&1 ||
    { tail -n 30 "$WORK/$name-install.log"; fail "apt-get install in the $name"; }
  local extra
  extra=$(dpkg-query --root="$r" -W -f='${Package}\n' | grep -E -- '-dev$|^nodejs$|^npm$' || true)
  [ -z "$extra" ] || fail "the $name has $extra"
  ! in_root "$r" sh -c 'ldd /usr/lib/quillby/quillby /usr/lib/quillby/lame_enc.so' | grep "not found" ||
    fail "libraries missing in the $name"
  say "installed in the $name: $(dpkg-query --root="$r" -W | wc -l) packages, no -dev, no Node.js"
  step "$(basename "$deb") installed in the $name"
}

# build_root: a copy of the other release's fresh root with what building
# the package needs (scripts/setup.sh package-build) and the sources.
build_root() {
  make_root "$OTHER" "$OTHER_ROOT"
  cp -a "$OTHER_ROOT" "$B"
  mkdir -p "$B$SRC_IN_ROOT" "$B/var/cache/ccache"
  # The sources as checked out, and the Flash player that setup.sh put beside them.
  (
    git ls-files -z -c -o --exclude-standard
    find node_modules/@ruffle-rs/ruffle -type f -print0
  ) | tar --null -T - -cf - | tar -xf - -C "$B$SRC_IN_ROOT"
  # Nothing in the build root reads documentation.
  printf '%s\n' 'path-exclude=/usr/share/doc/*' 'path-exclude=/usr/share/man/*' \
    'path-exclude=/usr/share/locale/*' 'path-exclude=/usr/share/info/*' >"$B/etc/dpkg/dpkg.cfg.d/quillby-no-docs"
  in_root "$B" "$SRC_IN_ROOT/scripts/setup.sh" package-build >"$WORK/$OTHER-setup.log" 2>&1 ||
    { tail -n 30 "$WORK/$OTHER-setup.log"; fail "scripts/setup.sh package-build in the $OTHER root"; }
  say "$OTHER build root: $(grep -o 'Fetched .*' "$WORK/$OTHER-setup.log" | tail -n 1)"
  step "the $OTHER build root: scripts/setup.sh package-build"
}

# Meanwhile, the roots are made: the other release's with a copy to build
# in, and, once this release's package is built, this release's with the
# package installed (it waits there for its end-to-end test).
if [ "$FRESH" != 0 ]; then
  say "a fresh $OTHER root and a fresh $HERE root from $MIRROR, in the background"
  OTHER_ROOT=$WORK/$OTHER
  B=$WORK/$OTHER-build
  background "$OTHER-build-root" build_root
fi

cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
BUILD=$(realpath "$BUILD")
rm -f "$BUILD"/quillby_*.deb
cmake --build "$BUILD" -j2 --target package
debs=("$BUILD"/quillby_*_amd64.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "no single quillby_<version>_amd64.deb in $BUILD"
DEB=${debs[0]}
step "the $HERE package built"

if [ "$FRESH" != 0 ]; then
  here_root() {
    make_root "$HERE" "$WORK/$HERE"
    install_in_root "$WORK/$HERE" "$DEB"
  }
  background "$HERE-root" here_root
fi

# ---- what a package holds, and Debian's own checks of it --------------------

# check_package DEB TOOLS SOURCE BUILD: DEB holds what the program needs and
# nothing of the machine it was built on (SOURCE and BUILD are the paths it
# was built from and in); then lintian, desktop-file-validate and appstreamcli
# of its release (in the root TOOLS, or on this machine when empty).
check_package() {
  local deb=$1 tools=$2 src=$3 build=$4
  local name dir x
  name=$(basename "$deb" .deb)
  dir=$WORK/check-$name
  x=$tools$dir/tree
  mkdir -p "$tools$dir"
  cp "$deb" "$tools$dir/"
  dpkg -x "$deb" "$x"
  say "$name.deb: $(stat -c %s "$deb") bytes, installed size $(dpkg-deb -f "$deb" Installed-Size) KiB"

  local tops f paths leaked depends p
  tops=$(find "$x" -mindepth 1 -maxdepth 1 -printf '/%f ' | sed 's|/usr ||; s|/etc ||')
  [ -z "$tops" ] || fail "$name installs $tops"
  for f in usr/lib/quillby/quillby usr/lib/quillby/lame_enc.so usr/lib/quillby/libtessel_httpsocket.so.1 \
    usr/lib/quillby/moviehost/host.html usr/lib/quillby/moviehost/host.js usr/lib/quillby/moviehost/ruffle.js \
    usr/lib/quillby/moviehost/LICENSE_MIT usr/lib/quillby/moviehost/LICENSE_APACHE \
    usr/share/applications/quillby.desktop usr/share/icons/hicolor/128x128/apps/quillby.png \
    usr/share/metainfo/cn.quillby.quillby.metainfo.xml usr/share/man/man1/quillby.1.gz \
    usr/share/doc/quillby/copyright usr/share/doc/quillby/changelog.Debian.gz; do
    [ -e "$x/$f" ] || fail "$name lacks /$f"
  done
  ls "$x"/usr/lib/quillby/moviehost/core.ruffle.*.js "$x"/usr/lib/quillby/moviehost/*.wasm >/dev/null ||
    fail "$name lacks the Flash player's core scripts or WebAssembly"
  [ "$(readlink "$x/usr/bin/quillby")" = ../lib/quillby/quillby ] || fail "/usr/bin/quillby is not a link to /usr/lib/quillby/quillby"
  leaked=$(grep -rlF -e "$src/" -e "$build/" "$x" || true)
  [ -z "$leaked" ] || fail "build or source paths in: $leaked"
  while IFS= read -r -d '' f; do
    readelf -h "$f" >/dev/null 2>&1 || continue
    paths=$(readelf -d "$f" | sed -n 's/.*(\(RPATH\|RUNPATH\)).*\[\(.*\)\]/\2/p')
    case $paths in '' | '$ORIGIN') ;; *) fail "${f#"$x"} searches libraries in $paths" ;; esac
  done < <(find "$x" -type f -print0)
  depends=$(dpkg-deb -f "$deb" Depends)
  say "$name Depends: $depends"
  for p in fonts-wqy-microhei libqt6webengine6-data libqt6webenginecore6-bin libmp3lame0; do
    grep -Eq "(^|, )$p( |,|$)" <<<"$depends" || fail "$name: Depends lacks $p"
  done
  ! grep -Eq -- "-dev( |,|$)" <<<"$depends" || fail "$name: Depends names a -dev package"
  [ -z "$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -E 'post|pre')" ] || fail "$name has maintainer scripts"

  local tool=("${AS_NOBODY[@]}") out status
  [ -z "$tools" ] || tool=(in_root "$tools" "${AS_NOBODY[@]}")
  status=0
  out=$("${tool[@]}" lintian --display-info --pedantic --fail-on error,warning "$dir/$name.deb" 2>&1) || status=$?
  [ -z "$out" ] || echo "$out"
  [ $status -eq 0 ] && ! grep -Eq '^[EW]: ' <<<"$out" || fail "$name: lintian reports errors or warnings"
  say "$name: $("${tool[@]}" lintian --version): no errors, no warnings"
  out=$("${tool[@]}" desktop-file-validate "$dir/tree/usr/share/applications/quillby.desktop" 2>&1) ||
    fail "$name: desktop-file-validate: $out"
  [ -z "$out" ] || fail "$name: desktop-file-validate: $out"
  status=0
  out=$("${tool[@]}" appstreamcli validate --no-net --pedantic \
    "$dir/tree/usr/share/metainfo/cn.quillby.quillby.metainfo.xml" 2>&1) || status=$?
  echo "$out"
  [ $status -eq 0 ] && ! grep -Eq '^[EWIP]: ' <<<"$out" || fail "$name: appstreamcli reports issues"
  say "$name: desktop-file-validate and $("${tool[@]}" appstreamcli --version | head -n 1): nothing to report"
}

check_package "$DEB" "" "$ROOT" "$BUILD"
step "the $HERE package checked: contents, lintian, desktop-file-validate, appstreamcli"

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

# check_removed R LIST: no file, link or empty directory of the package in
# LIST (its dpkg -L) is left in the root R ("" for this machine), and dpkg
# knows nothing of it.
check_removed() {
  local r=$1 list=$2 p
  ! dpkg-query --root="${r:-/}" -W quillby >/dev/null 2>&1 || fail "dpkg still knows quillby after its removal"
  while IFS= read -r p; do
    [ "$p" != /. ] || continue
    if [ -L "$r$p" ] || { [ -e "$r$p" ] && [ ! -d "$r$p" ]; }; then fail "$r$p left after removal"; fi
    if [ -d "$r$p" ] && [ -z "$(ls -A "$r$p")" ] && ! dpkg --root="${r:-/}" -S "$p" >/dev/null 2>&1; then
      fail "empty directory $r$p left after removal"
    fi
  done <"$list"
}

# ---- each package in a fresh root of its release -----------------------------

# e2e_in_root R: the end-to-end test of the program installed in the fresh
# root R; then the package is purged from it and nothing of it is left.
e2e_in_root() {
  local r=$1 name
  name=$(basename "$r")-root
  # Entered with bubblewrap as the test user, so the program's own sandbox
  # nests in it (a chroot would forbid user namespaces).
  in_root "$r" useradd --uid "$(id -u "$PUPIL")" --no-create-home --home-dir "$WORK/home-$name" "$PUPIL"
  mkdir -p "$r$WORK/home-$name" "$r$WORK/tmp-$name"
  cat >"$E/quillby-$name" <<EOF
#!/bin/sh
exec bwrap --bind '$r' / --dev /dev --tmpfs /dev/shm --proc /proc --ro-bind /sys /sys --unshare-pid \\
  --bind '$WORK/home-$name' '$WORK/home-$name' --bind '$WORK/tmp-$name' '$WORK/tmp-$name' \\
  --chdir "\$PWD" /usr/bin/quillby "\$@"
EOF
  chmod 755 "$E/quillby-$name"
  run_e2e "$name" "$E/quillby-$name" "$WORK/home-$name"
  step "the end-to-end test in the $name"

  dpkg-query --root="$r" -L quillby >"$WORK/$name-installed.list"
  in_root "$r" apt-get purge -y -qq quillby >"$WORK/$name-remove.log" 2>&1 ||
    { tail -n 30 "$WORK/$name-remove.log"; fail "apt-get purge in the $name"; }
  check_removed "$r" "$WORK/$name-installed.list"
  say "removed from the $name; nothing of it left"
  step "removed from the $name"
}

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
step "$(basename "$DEB") installed on this machine"

run_e2e host /usr/bin/quillby "$(getent passwd "$PUPIL" | cut -d: -f6)"
step "the end-to-end test on this machine"

# Nothing the package installed was changed or added to, and the user wrote
# nowhere but its own directories.
dpkg --verify quillby || fail "files of the package changed"
[ "$(find /usr/lib/quillby | sort)" = "$(grep '^/usr/lib/quillby' "$WORK/installed.list" | sort)" ] ||
  fail "files added to /usr/lib/quillby"
strays=$(find /usr /etc /var /opt -xdev -user "$PUPIL" 2>/dev/null | head -n 5)
[ -z "$strays" ] || fail "$PUPIL wrote outside its own directories: $strays"

# ---- removed ------------------------------------------------------------------

apt-get remove -y -qq quillby
check_removed "" "$WORK/installed.list"
say "removed; nothing of it left"
step "removed from this machine"

# ---- each package in a fresh root; the other release's built in a root of its own

if [ "$FRESH" != 0 ]; then
  # This release's root is ready well before the other's build root: its test
  # runs while that root is still being made.
  finish "$HERE-root"
  step "waited for the $HERE root"
  e2e_in_root "$WORK/$HERE"
  rm -rf "${WORK:?}/$HERE" &

  finish "$OTHER-build-root"
  step "waited for the $OTHER build root"
  # Debian's checks come in while the package builds.
  background "$OTHER-checks" in_root "$B" "$SRC_IN_ROOT/scripts/setup.sh" package-check
  in_root "$B" env CCACHE_DIR=/var/cache/ccache CCACHE_STATSLOG=/tmp/ccache.log sh -ec "cd $SRC_IN_ROOT
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLBY_BUILD_TESTS=OFF \\
      -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache
    cmake --build build -j2
    cd build && cpack -G DEB" >"$WORK/$OTHER-build.log" 2>&1 ||
    { tail -n 40 "$WORK/$OTHER-build.log"; fail "the build in the $OTHER root"; }
  say "$OTHER compiler cache: $(in_root "$B" env CCACHE_STATSLOG=/tmp/ccache.log ccache --show-log-stats |
    grep -E -m 2 '^ *(Hits|Misses):' | tr -s ' ' | paste -sd ',' || true)"
  other_debs=("$B$SRC_IN_ROOT"/build/quillby_*_amd64.deb)
  [ ${#other_debs[@]} -eq 1 ] && [ -f "${other_debs[0]}" ] || fail "no single package built in the $OTHER root"
  cp "${other_debs[0]}" "$BUILD/"
  OTHER_DEB=$BUILD/$(basename "${other_debs[0]}")
  step "the $OTHER package built in its root"
  finish "$OTHER-checks"
  step "waited for scripts/setup.sh package-check in the $OTHER root"
  check_package "$OTHER_DEB" "$B" "$SRC_IN_ROOT" "$SRC_IN_ROOT/build"
  step "the $OTHER package checked: contents, lintian, desktop-file-validate, appstreamcli"
  # The fresh root takes over what the build root downloaded.
  cp -l "$B"/var/cache/apt/archives/*.deb "$OTHER_ROOT/var/cache/apt/archives/" 2>/dev/null || true
  rm -rf "$B" &
  remover=$!
  install_in_root "$OTHER_ROOT" "$OTHER_DEB"
  wait $remover
  e2e_in_root "$OTHER_ROOT"
fi

echo "package test: the packages"
for deb in "$DEB" ${OTHER_DEB:+"$OTHER_DEB"}; do
  echo "  $(basename "$deb"): $(stat -c %s "$deb") bytes, installed size $(dpkg-deb -f "$deb" Installed-Size) KiB"
done
echo "package test: the steps"
cat "$STEPS"
for job in "${!JOBS[@]}"; do
  echo "package test: meanwhile, in the background ($job)"
  cat "$WORK/steps-$job"
done
say "passed"
