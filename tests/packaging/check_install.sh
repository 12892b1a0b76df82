#!/usr/bin/env bash
# `cmake --install` lays the updater out as a reader installation expects it, the
# installed program runs, and cpack builds a Debian package with the right contents.
#   check_install.sh BUILD_DIR
set -u
build=$1
work="${TMPDIR:-/tmp}/install"
prefix="$work/prefix"
dir="$prefix/lib/moravel-reader"
failures=0 passes=0
check() {
    if "${@:2}"; then echo "ok   $1"; passes=$((passes + 1)); else echo "FAIL $1"; failures=$((failures + 1)); fi
}
mkdir -p "$work"

cmake --install "$build" --prefix "$prefix" > "$work/install.log" 2>&1
check "cmake --install succeeds" [ $? -eq 0 ]
check "the updater lands in <prefix>/lib/moravel-reader" [ -x "$dir/MoravelUpdater" ]
for l in zh_cn zh_tw ja_jp ko_kr; do
    check "lang/$l/corvina_$l.qm is beside it" [ -s "$dir/lang/$l/corvina_$l.qm" ]
done
check "every compiled translation is installed" \
    [ "$(cd "$build/lang" && find . -name '*.qm' | sort)" = "$(cd "$dir/lang" && find . -name '*.qm' | sort)" ]
# A build configured with publisher keys also installs them as update-keys.pub; the
# copyright and changelog go where Debian keeps a package's documentation.
keys=$(sed -n 's/^MORAVEL_UPDATE_PUBLIC_KEYS:STRING=//p' "$build/CMakeCache.txt" | tr -d '[:space:]')
doc="$prefix/share/doc/moravel-updater"
expected=$(printf '%s\n' "$dir/MoravelUpdater" "$doc/copyright" "$doc/changelog.gz" \
    ${keys:+"$dir/update-keys.pub"} | sort)
check "nothing else is installed" \
    [ "$(find "$prefix" -type f | grep -v "^$dir/lang/.*\.qm$" | sort)" = "$expected" ]

# The installed program as the reader starts it, with nothing to do: it ends with 0.
QT_QPA_PLATFORM=offscreen timeout 60 "$dir/MoravelUpdater" > "$work/run.log" 2>&1
check "the installed updater runs and ends with 0 when there is nothing to do" [ $? -eq 0 ]

(cd "$build" && cpack -B "$work/package") > "$work/cpack.log" 2>&1
cpack_status=$?
check "cpack builds the Debian package" [ $cpack_status -eq 0 ]
[ $cpack_status -eq 0 ] || tail -n 20 "$work/cpack.log"
deb=$(ls "$work"/package/moravel-updater_*.deb 2>/dev/null | head -n 1)
check "the package is named moravel-updater_<version>_<arch>.deb" [ -n "$deb" ]
if [ -n "$deb" ]; then
    depends=$(dpkg-deb -f "$deb" Depends)
    for lib in libqt5widgets5 libqt5network5 libqt5core5a liblzma5 libc6 libssl3 ca-certificates; do
        check "the package depends on $lib" grep -q "$lib" <<< "$depends"
    done
    check "the package is moravel-updater" [ "$(dpkg-deb -f "$deb" Package)" = moravel-updater ]
    # Built for the machine it was built on (i386 in the 32-bit check, scripts/test-i386).
    arch=$(dpkg --print-architecture)
    check "the package is for $arch" [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ]
    rm -rf "$work/unpacked" && dpkg-deb -x "$deb" "$work/unpacked"
    exe="$work/unpacked/usr/lib/moravel-reader/MoravelUpdater"
    case $arch in
        i386) elf="ELF 32-bit LSB .*executable, Intel 80386" ;;
        amd64) elf="ELF 64-bit LSB .*executable, x86-64" ;;
        *) elf="ELF .*executable" ;;
    esac
    check "the packaged updater is an $elf program" grep -q "^$elf" <<< "$(file -b "$exe")"
    # Each library the program needs resolves to a file of this architecture's library
    # folder, which a package of this architecture named in Depends brings.
    multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
    owner() {  # the package of a library file, as dpkg knows the path (/lib or /usr/lib)
        local p
        for p in "$1" "$(readlink -f "$1")" "${1#/usr}"; do
            dpkg -S "$p" 2>/dev/null | head -n 1 | sed 's/: .*//' | grep . && return
        done
    }
    libs=$(ldd "$exe")
    depends_names=$(tr ',|' '\n\n' <<< "$depends" | awk '{ print $1 }')
    for needed in $(objdump -p "$exe" | awk '$1 == "NEEDED" { print $2 }'); do
        path=$(awk -v n="$needed" '$1 == n && $3 ~ /^\// { print $3 }' <<< "$libs")
        pkg=$(owner "$path")
        check "$needed resolves from $multiarch to an $arch package in Depends ($path, $pkg)" \
            bash -c '[[ $(readlink -f "$1") == */$2/* && $3 == *:$4 ]] && grep -qxF "${3%:*}" <<< "$5"' \
            _ "$path" "$multiarch" "$pkg" "$arch" "$depends_names"
    done
    contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
    check "the package holds /usr/lib/moravel-reader/MoravelUpdater" \
        grep -qx './usr/lib/moravel-reader/MoravelUpdater' <<< "$contents"
    check "the package holds the translations" \
        grep -qx './usr/lib/moravel-reader/lang/zh_cn/corvina_zh_cn.qm' <<< "$contents"
    [ -z "$keys" ] || check "the package holds update-keys.pub" \
        grep -qx './usr/lib/moravel-reader/update-keys.pub' <<< "$contents"
    # gzip -n: no name and no time in the header (bytes 4 to 9), so the bytes follow the text.
    check "the changelog is compressed without a name or time stamp" \
        [ "$(od -An -tx1 -j3 -N5 "$work/unpacked/usr/share/doc/moravel-updater/changelog.gz" | tr -d ' ')" = 0000000000 ]
    # Lintian's errors and warnings, but for the tags the README names with the reason
    # (none at present).
    allowed=()
    lintian --no-tag-display-limit "$deb" > "$work/lintian.log" 2>&1
    findings=$(grep -E '^[EW]: ' "$work/lintian.log")
    for tag in ${allowed[@]+"${allowed[@]}"}; do findings=$(grep -vw -- "$tag" <<< "$findings"); done
    check "lintian finds no error and no warning in the package" [ -z "$findings" ]
    [ -z "$findings" ] || cat "$work/lintian.log"
fi

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
