#!/usr/bin/env bash
# Builds the Debian package of Nuv4OndekoService from this tree and leaves it
# in dist/: installs what the build needs when it is missing (debian/control's
# Build-Depends, and lintian), builds with dpkg-buildpackage -b in build-deb/
# (the three shipped programs only; no tests), then checks the package with
# lintian, which must report no error and no warning. Run as root on Debian 12.
# Exit codes: 0 built and accepted; 1 failed; 77 the build tools cannot be
# installed here (the last line says why).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
work="$root/build-deb"
dist="$root/dist"

apt_install() {
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=600 "$@" >/dev/null
}

t0=$SECONDS
missing=()
for tool in dpkg-buildpackage:dpkg-dev lintian:lintian; do
  command -v "${tool%%:*}" >/dev/null || missing+=("${tool##*:}")
done
if ((${#missing[@]})); then
  echo "build-deb: installing ${missing[*]}"
  if ! { apt-get update -qq && apt_install "${missing[@]}"; }; then
    echo "build-deb: skipped: cannot install ${missing[*]}"
    exit 77
  fi
fi
if ! dpkg-checkbuilddeps >/dev/null 2>&1; then
  echo "build-deb: installing the build dependencies"
  if ! { apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
         apt-get build-dep -y -qq -o DPkg::Lock::Timeout=600 "$root" >/dev/null; }; then
    echo "build-deb: skipped: cannot install the build dependencies: $(dpkg-checkbuilddeps 2>&1 || true)"
    exit 77
  fi
fi

# A copy of the tree (tracked and new files, not the build trees), so that
# dpkg-buildpackage writes its results beside it in build-deb/ and nothing
# into the tree itself. Its path stays the same from build to build: with
# ccache the objects of the previous package build are reused.
rm -rf "$work"
mkdir -p "$work/src" "$dist"
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git -C "$root" ls-files -z --cached --others --exclude-standard |
    tar --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -C "$work/src" -xf -
else
  tar --exclude='./build*' --exclude=./dist --exclude=./demo -cf - . | tar -C "$work/src" -xf -
fi
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi

echo "build-deb: dpkg-buildpackage -b (log: build-deb/build.log)"
t1=$SECONDS
if ! (cd "$work/src" && DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" \
        dpkg-buildpackage -b -us -uc) >"$work/build.log" 2>&1; then
  grep -E -B2 -A6 'error|Error' "$work/build.log" | head -n 60
  echo "build-deb: the package build failed (full log: build-deb/build.log)"
  exit 1
fi
build_s=$((SECONDS - t1))
rm -f "$dist"/nuv4ondeko_*.deb "$dist"/nuv4ondeko-dbgsym_*.deb "$dist"/nuv4ondeko_*.buildinfo \
      "$dist"/nuv4ondeko_*.changes
mv "$work"/nuv4ondeko*.deb "$work"/nuv4ondeko_*.buildinfo "$work"/nuv4ondeko_*.changes "$dist"/
deb="$(ls "$dist"/nuv4ondeko_*.deb)"

t2=$SECONDS
status=0
lintian_out="$(lintian --fail-on error,warning --display-info "$deb" 2>&1)" || status=1
# (lintian's own remark that it runs as root is no finding)
lintian_out="$(grep -v 'running with root privileges' <<<"$lintian_out" || true)"
lintian_s=$((SECONDS - t2))
echo "build-deb: lintian ${deb#"$root"/}:"
if [[ -n "$lintian_out" ]]; then echo "$lintian_out" | sed 's/^/    /'; else echo "    (nothing to report)"; fi
echo "build-deb: ${deb#"$root"/} ($(du -k "$deb" | cut -f1) KiB); package build ${build_s} s, lintian ${lintian_s} s, all $((SECONDS - t0)) s"
if ((status)); then
  echo "build-deb: lintian reports errors or warnings"
  exit 1
fi
