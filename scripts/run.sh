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
cd "$folder"
exec "$root/build/parcelwise"
