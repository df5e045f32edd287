#!/usr/bin/env bash
# Builds the tools, checks the man pages, makes the Debian package and installs it into a scratch
# root, then runs the installed tools from there: bash scripts/check-package.sh
# BUILD_DIR (default build-pkg) and CMAKE_ARGS choose the build. Needs cmake, g++, groff
# (groff-base), dpkg-deb and dpkg-shlibdeps (dpkg-dev); nothing is installed on the machine.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build-pkg}

for tool in cmake cpack groff dpkg-deb dpkg-shlibdeps gzip; do
    command -v "$tool" >/dev/null || { echo "check-package: $tool is missing" >&2; exit 1; }
done

# shellcheck disable=SC2086
cmake -S . -B "$build" -DVANTREL_WERROR=ON -DVANTREL_TESTS=OFF ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"$(nproc)"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
for page in vantrel orlik-sim orlik-image; do
    file=$build/man/$page.1
    warnings=$(groff -ww -z -man "$file" 2>&1) || { echo "$file: groff failed" >&2; exit 1; }
    if [[ -n $warnings ]]; then
        printf '%s: groff warnings:\n%s\n' "$file" "$warnings" >&2
        exit 1
    fi
    grep -q "^\.TH .*\"vantrel $version\"" "$file" || { echo "$file: no version $version" >&2; exit 1; }
    echo "man page $page(1): renders without warnings"
done

rm -f "$build"/vantrel_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
debs=("$build"/vantrel_"$version"_*.deb)
deb=${debs[0]}
[[ -f $deb ]] || { echo "check-package: cpack made no vantrel_${version}_*.deb" >&2; exit 1; }
dpkg-deb --info "$deb" | sed -n 's/^ \(Package\|Version\|Architecture\|Depends\|Section\):/&/p'
dpkg-deb -c "$deb"
contents=$(dpkg-deb -c "$deb")
for want in ./usr/bin/vantrel ./usr/bin/orlik-sim ./usr/bin/orlik-image \
    ./usr/share/man/man1/vantrel.1.gz ./usr/share/man/man1/orlik-sim.1.gz \
    ./usr/share/man/man1/orlik-image.1.gz; do
    grep -q " $want\$" <<<"$contents" || { echo "check-package: $deb lacks $want" >&2; exit 1; }
done

# The package installed with dpkg into a scratch root of its own (its own database, no
# maintainer scripts run, dependencies checked against this machine below), and the tools run
# from there.
root=$(mktemp -d "${TMPDIR:-/tmp}/pkg-root.XXXXXX")
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/log"
touch "$root/var/lib/dpkg/status"
dpkg --root="$root" --log="$root/var/log/dpkg.log" --force-depends --force-not-root \
    -i "$deb" >/dev/null
dpkg --root="$root" -s vantrel | grep -q '^Status: install ok installed' ||
    { echo "check-package: dpkg did not install the package in $root" >&2; exit 1; }
# The dependencies that dpkg-shlibdeps found are installed on this machine.
deps=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $deps"
while IFS= read -r dep; do
    name=${dep%% *}
    dpkg -s "$name" >/dev/null 2>&1 || { echo "check-package: $name is not installed here" >&2; exit 1; }
done < <(tr ',' '\n' <<<"$deps" | sed 's/^ *//')

# apt's own resolver takes the package as "apt install ./vantrel_*.deb" would (simulated: nothing
# is installed on this machine).
if command -v apt-get >/dev/null; then
    apt-get install -s "$(realpath "$deb")" >"$root/apt.log" 2>&1 || { cat "$root/apt.log" >&2; exit 1; }
    grep -q '^Inst vantrel ' "$root/apt.log" || { cat "$root/apt.log" >&2; exit 1; }
    echo "apt install $deb: resolves (simulated)"
fi

help=$("$root/usr/bin/vantrel" -h </dev/null)
grep -q "Example: vantrel -c4 -p loadbios.com -d bios.bin -o 0x1C0000" <<<"$help" ||
    { echo "check-package: the installed vantrel -h differs" >&2; exit 1; }
[[ $("$root/usr/bin/orlik-sim" --version) == "orlik-sim $version" ]] ||
    { echo "check-package: the installed orlik-sim --version differs" >&2; exit 1; }
[[ $("$root/usr/bin/orlik-image" --version) == "orlik-image $version" ]] ||
    { echo "check-package: the installed orlik-image --version differs" >&2; exit 1; }
# The installed, compressed page as man shows it (where man-db is on the machine).
if command -v man >/dev/null; then
    man --warnings -l "$root/usr/share/man/man1/vantrel.1.gz" >/dev/null 2>"$root/man.err" || true
    if [[ -s $root/man.err ]]; then
        cat "$root/man.err" >&2
        exit 1
    fi
fi
echo "installed vantrel -h, orlik-sim --version and orlik-image --version run from $root"
echo "check-package: $deb passed"
