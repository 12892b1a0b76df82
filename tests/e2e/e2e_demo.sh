#!/usr/bin/env bash
# End to end: the headless demo run (scripts/demo-run) against a real nginx under Xvfb,
# with a site signed by a demo key the reader's updater trusts (update-keys.pub), checked
# from the outside: the server's access log, the files the updater downloaded and
# unpacked, what the reader's installers and the install counter were given, the copied
# plug-in, what the updater verified and the exit code. Then the same with no server,
# with the offer declined, with a package missing on the server, with a package
# changed on the server after signing, the whole update over https (nginx with a
# certificate of a throw-away authority the updater trusts through with-trusted-ca),
# over https without that trust, and through a real proxy (tinyproxy, open and with basic
# authentication, over http and https).
#
#   e2e_demo.sh UPDATER MKPACKAGE LANG_DIR MORAVEL_KEY
set -u
updater=$1 mkpackage=$2 langdir=$3 keytool=$4
root=$(cd "$(dirname "$0")/../.." && pwd)
work="${TMPDIR:-/tmp}/e2e"
failures=0 passes=0

check() { # check DESCRIPTION COMMAND...
    if "${@:2}"; then
        echo "ok   $1"
        passes=$((passes + 1))
    else
        echo "FAIL $1"
        failures=$((failures + 1))
    fi
}
contains() { grep -qF -- "$2" "$1"; }
count_is() { [ "$(grep -cE -- "$2" "$1")" -eq "$3" ]; }
same() { cmp -s "$1" "$2"; }
absent() { local p; for p; do [ ! -e "$p" ] || return 1; done; }
# size_kept_hash_changed SITE NAME: packages/NAME has the size the reply announces for it,
# but not the sha256.
size_kept_hash_changed() {
    python3 - "$1" "$2" <<'PY'
import hashlib, os, re, sys
site, name = sys.argv[1:]
with open(os.path.join(site, "reply.xml"), encoding="utf-8") as f:
    module = re.search(r'<module [^>]*url="[^"]*/%s"[^>]*>' % re.escape(name), f.read()).group(0)
with open(os.path.join(site, "packages", name), "rb") as f:
    data = f.read()
size = re.search(r' size="([0-9]+)"', module).group(1)
sha256 = re.search(r' sha256="([0-9a-f]{64})"', module).group(1)
sys.exit(0 if size == str(len(data)) and sha256 != hashlib.sha256(data).hexdigest() else 1)
PY
}
show() { echo "---- $1"; cat "$1" 2>/dev/null; }

run_demo() { # run_demo NAME ARGS...: runs the demo into $work/NAME, sets $rc
    local name=$1; shift
    echo "== $name"
    "$root/scripts/demo-run" --headless --updater "$updater" --mkpackage "$mkpackage" \
        --keytool "$keytool" --lang-dir "$langdir" --out "$work/$name" --timeout 90 "$@" > "$work/$name.out" 2>&1
    rc=$?
}

mkdir -p "$work"
# Nothing of the test's own environment may be touched by the demo.
before=$(find "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" | sort)

# ---- 1: a manual check that offers a reader update, a silent module and a plug-in ----
run_demo update
d="$work/update"
box="$d/sandbox"
dl="$box/tmp/MoravelCorvina"
log="$d/reader/install.log"
site="$d/site/packages"
check "update run exits with 0" [ "$rc" -eq 0 ]
check "the reader's updater trusts the demo key that signed the served site for its product" \
    "$root/tools/mksite/mksite" --verify "$d/reader/update-keys.pub" "$d/site" --keytool "$keytool" --mkpackage "$mkpackage" \
    --product "Moravel Reader"
check "the updater verifies the reply once" count_is "$d/updater.log" '^update reply verified$' 1
for p in MoravelReader-7.1.0.200.pkg SpellDictionaries-2.3.pkg JSWordCount.js; do
    check "the updater verifies $p against the reply's sha256" \
        count_is "$d/updater.log" "^package verified: \"${p//./\\.}\"\$" 1
done
check "nothing is refused" count_is "$d/updater.log" 'refused' 0
check "the reply is requested once, with the product, version, build, platform and language" \
    count_is "$d/nginx/access.log" '"GET /addons/get_addons.php/get_addons.php\?addon=Update%20List&product=Moravel%20Reader&version=7\.0&build=0\.100&platform=x86&EmbededLanguage=en-US HTTP/1\.1" 200 ' 1
for p in MoravelReader-7.1.0.200.pkg SpellDictionaries-2.3.pkg JSWordCount.js; do
    check "$p is fetched once from its first byte" \
        count_is "$d/nginx/access.log" "\"GET /packages/$p HTTP/1\\.1\" 20[06] $(stat -c %s "$site/$p") " 1
done
check "no other request reaches the server" count_is "$d/nginx/access.log" '.' 4
check "the reader package is kept in the download folder as served" \
    same "$dl/MoravelReader-7.1.0.200.pkg" "$site/MoravelReader-7.1.0.200.pkg"
check "the silent package is kept in the download folder as served" \
    same "$dl/SpellDictionaries-2.3.pkg" "$site/SpellDictionaries-2.3.pkg"
check "the unpack folder holds the last unpacked package" \
    same "$dl/uncompress/dictionaries/de_DE.dic" "$d/site-src/dictionaries/dictionaries/de_DE.dic"
check "the questions and both Install prompts are answered, no warning is shown" \
    count_is "$d/driver.log" '^[0-9]+ message 404x139 .*: pressed OK$' 3
check "no message box (warning) appears" count_is "$d/driver.log" ' messagebox ' 0
check "the package's *.run installer runs, without arguments" \
    contains "$log" "MoravelReader-7.1.0.200.run: started with 0 argument(s)"
check "the *.run installer installs the new reader" \
    contains "$log" "MoravelReader-7.1.0.200.run: installed Moravel Reader 7.1.0.200 into $d/reader"
check "the installed reader is the new one" \
    [ "$("$d/reader/bin/moravel-reader")" = "Moravel Reader 7.1.0.200 (demo)" ]
check "installUpdate runs once, without arguments, for the package without installer" \
    count_is "$log" '^installUpdate: started with 0 argument\(s\)$' 1
check "installUpdate installs the files of the unpacked package" \
    same "$d/reader/dictionaries/en_GB.dic" "$d/site-src/dictionaries/dictionaries/en_GB.dic"
check "countinstalltion runs once with /version, the recorded version, /oldversion, the version" \
    count_is "$log" '^countinstalltion: \[/version\] \[7\.0\.0\.100\] \[/oldversion\] \[7\.0\.0\.100\]$' 1
js="$box/data/Moravel Software/Moravel Reader/SilentInstall/JavaScripts"
check "the plug-in is copied into the reader's JavaScript folder" \
    same "$js/JSWordCount.js" "$d/site-src/JSWordCount.js"
check "the copied plug-in leaves the download folder" [ ! -e "$dl/JSWordCount.js" ]
check "the updater reads the parameters the reader wrote" \
    contains "$d/updater.log" 'Updater Param:  "type:\"Update List\",updater:\"Manual\"'
if [ "$failures" -ne 0 ]; then
    show "$work/update.out"; show "$d/driver.log"; show "$log"; show "$d/nginx/access.log"
    show "$d/updater.log"
fi

# ---- 1b: the reader's next release, published with a delta from the one installed ----
f=$failures
run_demo next --next-release
d="$work/next"
check "next-release run exits with 0" [ "$rc" -eq 0 ]
check "the first run keeps the reader's content as its base" \
    contains "$d/updater.log" 'base of Moravel Reader kept: content '
check "the second run downloads the delta, verified, from its first byte" \
    count_is "$d/nginx/access.log" '"GET /packages/deltas/MoravelReader-7\.1\.0\.201\.pkg\.[0-9a-f]{16}\.delta HTTP/1\.1" 20[06] ' 1
check "the next release's full package is never requested" \
    count_is "$d/nginx/access.log" 'MoravelReader-7\.1\.0\.201\.pkg ' 0
check "the log says how many bytes the delta saved" \
    count_is "$d/updater-next.log" 'delta for Moravel Reader used: [0-9]+ bytes downloaded instead of [0-9]+ \([0-9]+ bytes saved\)' 1
check "the rebuilt release is installed" \
    contains "$d/reader/install.log" 'MoravelReader-7.1.0.201.run: installed Moravel Reader 7.1.0.201'
check "the rebuilt release becomes the next base" \
    count_is "$d/updater-next.log" 'base of Moravel Reader kept: content ' 1
[ "$failures" -eq "$f" ] || { show "$work/next.out"; show "$d/updater-next.log"; show "$d/nginx/access.log"; }

# ---- 2: the same manual check with the server down ----
f=$failures
run_demo offline --offline
d="$work/offline"
check "offline run exits with 0" [ "$rc" -eq 0 ]
check "one message is shown and answered with OK" \
    count_is "$d/driver.log" '^[0-9]+ message 404x139 .*: pressed OK$' 1
check "no download window and no warning appear" count_is "$d/driver.log" 'download|messagebox' 0
check "the failed query counts as an error, not as an answer" \
    contains "$d/updater.log" "error:"
check "nothing is downloaded" [ ! -e "$d/sandbox/tmp/MoravelCorvina/uncompress" ]
check "nothing is installed" [ ! -s "$d/reader/install.log" ]
[ "$failures" -eq "$f" ] || { show "$work/offline.out"; show "$d/driver.log"; show "$d/updater.log"; }

# ---- 3: the offer declined ----
f=$failures
run_demo declined --answer cancel
d="$work/declined"
check "declined run exits with 0" [ "$rc" -eq 0 ]
check "only the question is shown" count_is "$d/driver.log" '^[0-9]+ message 404x139 .*: pressed Cancel$' 1
check "only the reply is requested" count_is "$d/nginx/access.log" '.' 1
check "nothing is installed after Cancel" [ ! -s "$d/reader/install.log" ]
[ "$failures" -eq "$f" ] || { show "$work/declined.out"; show "$d/driver.log"; show "$d/updater.log"; }

# ---- 4: a package the server has lost ----
f=$failures
run_demo dropped --drop SpellDictionaries-2.3.pkg
d="$work/dropped"
check "a run with a lost package still exits with 0" [ "$rc" -eq 0 ]
check "the failed download is reported once in a message box" \
    count_is "$d/driver.log" '^[0-9]+ messagebox .*: pressed Return$' 1
check "the lost package is asked for once and not found" \
    count_is "$d/nginx/access.log" '"GET /packages/SpellDictionaries-2\.3\.pkg HTTP/1\.1" 404 ' 1
check "the modules before it are installed" \
    contains "$d/reader/install.log" "MoravelReader-7.1.0.200.run: installed Moravel Reader 7.1.0.200"
check "installUpdate does not run for the lost package" \
    count_is "$d/reader/install.log" '^installUpdate' 0
check "the module after it is installed" \
    same "$d/sandbox/data/Moravel Software/Moravel Reader/SilentInstall/JavaScripts/JSWordCount.js" \
        "$d/site-src/JSWordCount.js"
[ "$failures" -eq "$f" ] || { show "$work/dropped.out"; show "$d/driver.log"; show "$d/updater.log"; }

# ---- 5: a package changed on the server after the site was signed ----
f=$failures
run_demo tampered --tamper SpellDictionaries-2.3.pkg
d="$work/tampered"
dl="$d/sandbox/tmp/MoravelCorvina"
check "a run with a changed package still exits with 0" [ "$rc" -eq 0 ]
check "the served package has its announced size but another hash" \
    size_kept_hash_changed "$d/site" SpellDictionaries-2.3.pkg
check "the reply is still verified" count_is "$d/updater.log" '^update reply verified$' 1
check "the changed package is refused for its SHA-256" \
    count_is "$d/updater.log" '^package refused, its SHA-256 is not the reply.s: ".*/SpellDictionaries-2\.3\.pkg(\.part)?"$' 1
check "the changed package is served whole, so no transfer fails" \
    count_is "$d/nginx/access.log" \
        "\"GET /packages/SpellDictionaries-2\\.3\\.pkg HTTP/1\\.1\" 20[06] $(stat -c %s "$d/site/packages/SpellDictionaries-2.3.pkg") " 1
check "the warning that it could not be installed is shown once" \
    count_is "$d/driver.log" '^[0-9]+ messagebox .*: pressed Return$' 1
check "installUpdate does not run for the changed package" count_is "$d/reader/install.log" '^installUpdate' 0
check "nothing of the changed package is unpacked or installed" \
    absent "$dl/uncompress/dictionaries" "$dl/uncompress/Setup.xml" "$d/reader/dictionaries"
check "the changed package is not kept in the download folder" absent "$dl/SpellDictionaries-2.3.pkg"
check "the reader package before it is verified and installed" \
    contains "$d/reader/install.log" "MoravelReader-7.1.0.200.run: installed Moravel Reader 7.1.0.200"
check "the plug-in after it is verified and copied" \
    same "$d/sandbox/data/Moravel Software/Moravel Reader/SilentInstall/JavaScripts/JSWordCount.js" \
        "$d/site-src/JSWordCount.js"
check "the demo's summary names what was verified and what refused" \
    contains "$work/tampered.out" "refused, its SHA-256 is not the reply's: SpellDictionaries-2.3.pkg"
[ "$failures" -eq "$f" ] || { show "$work/tampered.out"; show "$d/driver.log"; show "$d/updater.log"; }

# ---- 6: the whole update over https, the demo authority trusted as an administrator would ----
f=$failures
run_demo https --https
d="$work/https"
h="$work/update"
check "https run exits with 0" [ "$rc" -eq 0 ]
check "the updater is pointed at an https request server" \
    contains "$work/https.out" "running MoravelUpdater (language en_US) against https://127.0.0.1:"
check "the reply the updater saved names only https package urls" \
    count_is "$d/sandbox/tmp/MoravelCorvina/update_tmpfile.xml" ' url="https://127\.0\.0\.1:[0-9]+/packages/' 3
check "the updater verifies the reply once" count_is "$d/updater.log" '^update reply verified$' 1
for p in MoravelReader-7.1.0.200.pkg SpellDictionaries-2.3.pkg JSWordCount.js; do
    check "the updater verifies $p, fetched over https" \
        count_is "$d/updater.log" "^package verified: \"${p//./\\.}\"\$" 1
    check "$p is fetched once over TLS" \
        count_is "$d/nginx/access.log" "\"GET /packages/$p HTTP/1\\.1\" 20[06] $(stat -c %s "$d/site/packages/$p") .* https TLSv1\\.[23]\$" 1
done
check "the reply is requested once over TLS" \
    count_is "$d/nginx/access.log" '"GET /addons/get_addons\.php/get_addons\.php\?addon=Update%20List&.* HTTP/1\.1" 200 .* https TLSv1\.[23]$' 1
check "no other request reaches the server" count_is "$d/nginx/access.log" '.' 4
check "no certificate error and nothing refused" count_is "$d/updater.log" 'TLS error|refused' 0
check "the same windows are answered as in the http run" same "$d/driver.log" "$h/driver.log"
check "the installers log the same as in the http run" \
    same <(sed "s|$d/|DEMO/|g" "$d/reader/install.log") <(sed "s|$h/|DEMO/|g" "$h/reader/install.log")
check "the installed reader is the new one" \
    [ "$("$d/reader/bin/moravel-reader")" = "Moravel Reader 7.1.0.200 (demo)" ]
check "the dictionaries are installed" \
    same "$d/reader/dictionaries/en_GB.dic" "$d/site-src/dictionaries/dictionaries/en_GB.dic"
check "the plug-in is copied" \
    same "$d/sandbox/data/Moravel Software/Moravel Reader/SilentInstall/JavaScripts/JSWordCount.js" \
        "$d/site-src/JSWordCount.js"
trusted_only_inside() { # the demo authority never reaches the machine's own store
    local c
    for c in "$d"/pki/store/*.0; do [ -e "$c" ] && [ ! -e "/etc/ssl/certs/${c##*/}" ] || return 1; done
}
check "the demo authority is trusted in the updater's namespace only" trusted_only_inside
[ "$failures" -eq "$f" ] || { show "$work/https.out"; show "$d/driver.log"; show "$d/nginx/access.log"; show "$d/updater.log"; }

# ---- 7: https without the trust: the certificate is refused, nothing is fetched ----
f=$failures
run_demo untrusted --https --untrusted
d="$work/untrusted"
check "untrusted run exits with 0" [ "$rc" -eq 0 ]
check "the certificate check fails, naming the demo authority as issuer" \
    contains "$d/updater.log" 'TLS error: "The issuer certificate of a locally looked up certificate could not be found" certificate: "127.0.0.1" issued by "Moravel Test CA'
check "the failed check counts as a failed query, not as an answer" \
    count_is "$d/updater.log" '^Update query failed: no complete reply from the server' 1
check "one message is shown and answered with OK" \
    count_is "$d/driver.log" '^[0-9]+ message 404x139 .*: pressed OK$' 1
check "no download window and no warning appear" count_is "$d/driver.log" 'download|messagebox' 0
check "the updater breaks off the TLS handshake" \
    contains "$d/nginx/error.log" "closed connection while SSL handshaking"
check "no request reaches the server" [ ! -s "$d/nginx/access.log" ]
check "nothing is downloaded" absent "$d/sandbox/tmp/MoravelCorvina/uncompress" \
    "$d/sandbox/tmp/MoravelCorvina/MoravelReader-7.1.0.200.pkg"
check "nothing is installed" [ ! -s "$d/reader/install.log" ]
[ "$failures" -eq "$f" ] || { show "$work/untrusted.out"; show "$d/driver.log"; show "$d/nginx/error.log"; show "$d/updater.log"; }

# ---- 8-10: the whole update through tinyproxy, over http, https (CONNECT) and with basic
# authentication; the site's name resolves only in the proxy's own /etc/hosts ----
unresolved() { ! getent hosts "$1" >/dev/null; }
check "the updater's machine cannot resolve the site's name itself" unresolved updates.moravel.test
only_site() { # only_site LOG PORT: every request the proxy logs is for the demo site
    ! grep -E 'Request \(file descriptor [0-9]+\): ' "$1" \
        | grep -vqE ": (GET http://updates\.moravel\.test:$2/|CONNECT updates\.moravel\.test:$2 )"
}
for row in "proxy-http open http" "proxy-https open https --https" "proxy-auth auth http"; do
    set -- $row
    name=$1 kind=$2 scheme=$3 f=$failures
    run_demo "$name" --proxy "$kind" ${4:-}
    d="$work/$name" px="$work/$name/proxy/tinyproxy.log" h="$work/update"
    port=$(sed -n 's|.*against [a-z]*://updates\.moravel\.test:\([0-9]*\)/.*|\1|p' "$work/$name.out")
    check "$name run exits with 0" [ "$rc" -eq 0 ]
    check "$name: the updater logs its proxy, from ${scheme}_proxy, without the password" \
        count_is "$d/updater.log" "^proxy for $scheme: http://$([ "$kind" = auth ] && echo 'demo@')127\\.0\\.0\\.1:[0-9]+ \\(environment: ${scheme}_proxy\\)\$" 1
    check "$name: the password is nowhere in the updater's log" count_is "$d/updater.log" 's3cret' 0
    check "$name: the updater verifies the reply and the three packages" \
        count_is "$d/updater.log" '^(update reply|package) verified' 4
    if [ "$scheme" = https ]; then
        check "$name: every transfer is a CONNECT tunnel to the site" \
            count_is "$px" "Request \\(file descriptor [0-9]+\\): CONNECT updates\\.moravel\\.test:$port HTTP/1\\.1\$" 4
    else
        for p in 'addons/get_addons.php/get_addons.php?addon=Update%20List&' packages/MoravelReader-7.1.0.200.pkg \
                 packages/SpellDictionaries-2.3.pkg packages/JSWordCount.js; do
            check "$name: the proxy forwards GET /$p" contains "$px" ": GET http://updates.moravel.test:$port/$p"
        done
    fi
    check "$name: the proxy is asked only for the demo site" only_site "$px" "$port"
    check "$name: the proxy opens one connection to the site per transfer" \
        count_is "$px" '^CONNECT .*: Established connection to host "updates\.moravel\.test"' 4
    via='via="1\.1 [^"]* \(tinyproxy/[0-9.]+\)" http -$'
    [ "$scheme" = http ] || via='via="-" https TLSv1\.[23]$'
    check "$name: the four requests reach nginx from the proxy, naming the site" \
        count_is "$d/nginx/access.log" "^127\\.0\\.0\\.1 .* host=\"updates\\.moravel\\.test:$port\" $via" 4
    check "$name: no other request reaches the server" count_is "$d/nginx/access.log" '.' 4
    check "$name: the installers log the same as in the direct run" \
        same <(sed "s|$d/|DEMO/|g" "$d/reader/install.log") <(sed "s|$h/|DEMO/|g" "$h/reader/install.log")
    check "$name: the proxy is stopped" [ -z "$(pgrep -f "$d/proxy/" 2>/dev/null)" ]
    [ "$failures" -eq "$f" ] || { show "$work/$name.out"; show "$px"; show "$d/nginx/access.log"; show "$d/updater.log"; }
done

after=$(find "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" | sort)
check "the test's own home, settings and data folders are untouched" [ "$before" = "$after" ]
check "no server, driver or updater is left running" \
    [ -z "$(pgrep -f "$work/" 2>/dev/null)" ]
# gone PIDFILE: the process that demo-run recorded (PID and start time) has ended, though
# another process may have its PID by now.
gone() {
    local pid start
    read -r pid start < "$1" && [ -n "$start" ] || return 1
    [ "$(sed 's/.*) //' "/proc/$pid/stat" 2>/dev/null | cut -d ' ' -f 20)" != "$start" ]
}
for name in update offline declined dropped tampered https untrusted proxy-http proxy-https proxy-auth; do
    check "the $name run's X server is gone" gone "$work/$name/xvfb.pid"
done

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
