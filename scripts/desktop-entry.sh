#!/usr/bin/env bash
# Prints the desktop menu entry that starts PROGRAM in FOLDER:
#   desktop-entry.sh PROGRAM FOLDER
# Values are escaped as desktop entries require: every value escapes backslashes and line
# breaks; the program in Exec is quoted (quotes, backslashes, "$" and "`" escaped inside) and
# its "%" doubled, so no field code can hide in a folder's name. Paths that are not UTF-8 or
# hold other control characters cannot be written into an entry, and neither can a program path
# with "%" (the desktop's launcher looks the program up before it undoes the doubling, and finds
# nothing); the script then fails with the reason.
set -euo pipefail
if [ $# -ne 2 ]; then
    echo "usage: $0 PROGRAM FOLDER" >&2
    exit 2
fi
program=$1
folder=$2
root=$(cd "$(dirname "$0")/.." && pwd)

writable() {
    printf '%s' "$1" | iconv -f UTF-8 -t UTF-8 >/dev/null 2>&1 || return 1
    local rest=${1//[$'\n\t\r']/}
    case $rest in *[[:cntrl:]]*) return 1 ;; esac
    return 0
}

# The escapes of a string value.
string_value() {
    local s=$1
    s=${s//\\/\\\\}
    s=${s//$'\n'/\\n}
    s=${s//$'\t'/\\t}
    s=${s//$'\r'/\\r}
    printf '%s' "$s"
}

# One quoted argument of Exec, before the string escapes.
exec_argument() {
    local s=$1
    s=${s//\\/\\\\}
    s=${s//\"/\\\"}
    s=${s//\$/\\\$}
    s=${s//\`/\\\`}
    s=${s//%/%%}
    printf '"%s"' "$s"
}

case $program in
*%*)
    echo "$0: cannot write a desktop entry for a program whose path holds \"%\" ($program): the desktop's launcher cannot start it; build the program in a folder whose path has no \"%\"" >&2
    exit 1
    ;;
esac
for path in "$program" "$folder"; do
    if ! writable "$path"; then
        echo "$0: cannot write a desktop entry for a path that is not UTF-8 or holds control characters" >&2
        exit 1
    fi
done

grep -v -e '^Exec=' -e '^Path=' "$root/resources/parcelwise.desktop"
# The files a file manager opens with the program follow it (%F).
printf 'Exec=%s %%F\n' "$(string_value "$(exec_argument "$program")")"
printf 'Path=%s\n' "$(string_value "$folder")"
