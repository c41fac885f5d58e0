#!/usr/bin/env bash
# Installs what is missing, builds Parcelwise and starts it. The program keeps its files in the
# folder it is started from; by default that is ./run beside the build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPW_TESTS=OFF >/dev/null
cmake --build "$root/build" --target parcelwise
folder="${PARCELWISE_FOLDER:-$root/run}"
mkdir -p "$folder"
cp -f "$root/resources/Parcelwise_Help.rtf" "$folder/"
# A menu entry for the desktop: it starts the program in the same folder.
apps="${XDG_DATA_HOME:-$HOME/.local/share}"
mkdir -p "$apps/applications" "$apps/icons/hicolor/256x256/apps"
cp -f "$root/resources/parcelwise.png" "$apps/icons/hicolor/256x256/apps/parcelwise.png"
{
    grep -v '^Exec=' "$root/resources/parcelwise.desktop"
    # Exec takes a quoted program path (quotes and backslashes escaped) and the files a file
    # manager opens with it (%F); Path is taken as it is.
    quoted=$(printf '%s' "$root/build/parcelwise" | sed -e 's/[\\"`$]/\\\\&/g')
    printf 'Exec="%s" %%F\n' "$quoted"
    printf 'Path=%s\n' "$folder"
} > "$apps/applications/parcelwise.desktop"
cd "$folder"
exec "$root/build/parcelwise"
