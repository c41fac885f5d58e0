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
folder=$(cd "$folder" && pwd)
cp -f "$root/resources/Parcelwise_Help.rtf" "$folder/"
# A menu entry for the desktop: it starts the program in the same folder. The icon goes in
# every size the desktop asks for.
apps="${XDG_DATA_HOME:-$HOME/.local/share}"
mkdir -p "$apps/applications"
for icon in "$root"/resources/icons/parcelwise-*.png; do
    [ -f "$icon" ] || continue
    size=${icon##*-}
    size=${size%.png}
    mkdir -p "$apps/icons/hicolor/${size}x${size}/apps"
    cp -f "$icon" "$apps/icons/hicolor/${size}x${size}/apps/parcelwise.png"
done
if [ -f "$root/resources/icons/parcelwise.svg" ]; then
    mkdir -p "$apps/icons/hicolor/scalable/apps"
    cp -f "$root/resources/icons/parcelwise.svg" "$apps/icons/hicolor/scalable/apps/parcelwise.svg"
fi
if entry=$("$root/scripts/desktop-entry.sh" "$root/build/parcelwise" "$folder"); then
    printf '%s\n' "$entry" > "$apps/applications/parcelwise.desktop"
else
    echo "No menu entry written; the program starts all the same." >&2
fi
# The commands of the README call the program as build/parcelwise; a link on the PATH lets a
# shell call it as parcelwise.
if [ "$(command -v parcelwise 2>/dev/null)" = "" ]; then
    echo "To call the program as 'parcelwise': mkdir -p ~/.local/bin && ln -sf \"$root/build/parcelwise\" ~/.local/bin/parcelwise" >&2
fi
cd "$folder"
exec "$root/build/parcelwise"
