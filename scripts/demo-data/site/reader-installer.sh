#!/bin/sh
# Installer of Moravel Reader 7.1.0.200 (demo). A self-extracting shell archive: the files
# it installs follow below as a base64-encoded tar archive, so it needs nothing beside it
# (the updater may already be emptying the folder it was unpacked to while this runs).
# It installs into the reader installation named in the reader's settings.
set -u
version=7.1.0.200
name=$(basename "$0")
conf="${XDG_CONFIG_HOME:-$HOME/.config}/Moravel Software/Moravel Reader.conf"
reader=$(sed -n 's/^Corvina_UpdateOldPath=//p' "$conf" 2>/dev/null | head -n 1)
if [ -z "$reader" ] || [ ! -d "$reader" ]; then
    echo "$name: no Moravel Reader installation named in $conf" >&2
    exit 1
fi
log="$reader/install.log"
echo "$name: started with $# argument(s)" >> "$log"
if base64 -d <<'PAYLOAD' | tar -xzf - -C "$reader"; then
@PAYLOAD@
PAYLOAD
    sed -i "s/version=\"[^\"]*\"/version=\"$version\"/" "$reader/UpdaterInfo.xml"
    echo "$name: installed Moravel Reader $version into $reader" >> "$log"
else
    echo "$name: FAILED to install Moravel Reader $version" >> "$log"
    exit 1
fi
