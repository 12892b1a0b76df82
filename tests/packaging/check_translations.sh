#!/usr/bin/env bash
# The translations cover every text of the program and reach the build as the files
# start-up loads.
#   check_translations.sh SOURCE_DIR LANG_DIR LUPDATE LCONVERT
set -u
src=$1 lang=$2 lupdate=$3 lconvert=$4
work="${TMPDIR:-/tmp}/translations"
mkdir -p "$work"
failures=0 passes=0
check() {
    if "${@:2}"; then echo "ok   $1"; passes=$((passes + 1)); else echo "FAIL $1"; failures=$((failures + 1)); fi
}

# A text in src/ that a .ts file lacks comes out of lupdate unfinished.
for ts in "$src"/translations/corvina_*.ts; do
    name=$(basename "$ts")
    cp "$ts" "$work/$name"
    (cd "$src" && "$lupdate" -silent -no-obsolete src -ts "$work/$name") >/dev/null 2>&1
    check "$name translates every text of src/" [ "$(grep -c 'type="unfinished"' "$work/$name")" -eq 0 ]
    [ "$(grep -c 'type="unfinished"' "$work/$name")" -eq 0 ] || \
        grep -B3 'type="unfinished"' "$work/$name" | grep '<source>'
    check "$name has the contexts of all five classes" \
        [ "$(grep -cE '<name>(UpdaterApp|DlgUpdateChecking|DlgMessage|DlgDownload|QHttpDownLoadS)</name>' "$ts")" -eq 5 ]
    check "$name keeps the Range header value untranslated" \
        grep -qF '<translation>bytes=%1-</translation>' "$ts"
done

# Each compiled file holds the translations, under the name start-up looks for.
expect() { # expect DIR TEXT
    local qm="$lang/$1/corvina_$1.qm"
    "$lconvert" -i "$qm" -of ts -o "$work/$1.ts" 2>/dev/null && grep -qF "$2" "$work/$1.ts"
}
check "zh_cn: lang/zh_cn/corvina_zh_cn.qm in Simplified Chinese" expect zh_cn "<translation>正在检查更新...</translation>"
check "zh_tw: lang/zh_tw/corvina_zh_tw.qm in Traditional Chinese" expect zh_tw "<translation>正在檢查更新...</translation>"
check "ja_jp: lang/ja_jp/corvina_ja_jp.qm in Japanese" expect ja_jp "<translation>更新を確認しています...</translation>"
check "ko_kr: lang/ko_kr/corvina_ko_kr.qm in Korean" expect ko_kr "<translation>업데이트 확인 중...</translation>"

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
