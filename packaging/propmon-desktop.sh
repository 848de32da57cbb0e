#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Starts propmon from the desktop menu in a folder of its own: the "propmon"
# folder in the user's documents folder, made when missing, or the folder
# PROPMON_FOLDER names (the station's service sets it from station.env).
# propmon keeps its settings file, its help page, the gram snapshots and its
# log in the current folder, and a menu entry would otherwise start it
# wherever the session happens to be.  Arguments are passed on to propmon
# unchanged.

say() {
    echo "propmon-desktop: $1" >&2
    # Started from a menu nobody sees stderr; tell the desktop as well.
    if command -v notify-send >/dev/null 2>&1; then
        notify-send --app-name=propmon "propmon" "$1" >/dev/null 2>&1 || :
    fi
}

if [ -z "${HOME:-}" ]; then
    say "HOME is not set; cannot find the documents folder"
    exit 1
fi

if [ -n "${PROPMON_FOLDER:-}" ]; then
    folder=$PROPMON_FOLDER
else
    # xdg-user-dir answers $HOME itself when no documents folder is configured.
    documents=""
    if command -v xdg-user-dir >/dev/null 2>&1; then
        documents=$(xdg-user-dir DOCUMENTS 2>/dev/null) || documents=""
    fi
    case "$documents" in
    "" | "$HOME" | "$HOME/") documents="$HOME/Documents" ;;
    esac
    folder="$documents/propmon"
fi
if ! mkdir -p -- "$folder" 2>/dev/null || [ ! -d "$folder" ] || [ ! -w "$folder" ]; then
    say "cannot make or write to the folder $folder"
    exit 1
fi

here=$(dirname -- "$(readlink -f -- "$0")")
help_source="$here/../share/doc/propmon/Stanag Help.htm"
help_target="$folder/Stanag Help.htm"
if [ -f "$help_source" ] && [ ! -e "$help_target" ]; then
    # Copied under a temporary name so that an interrupted copy never leaves a
    # half page that would then count as present.
    if cp -- "$help_source" "$help_target.part" 2>/dev/null &&
        mv -f -- "$help_target.part" "$help_target" 2>/dev/null; then
        :
    else
        rm -f -- "$help_target.part"
        say "could not copy the help page into $folder (carrying on without it)"
    fi
fi

cd -- "$folder" || {
    say "cannot enter the folder $folder"
    exit 1
}

# The propmon installed beside this script, else the one on PATH.
if [ -x "$here/propmon" ] && [ ! -d "$here/propmon" ]; then
    exec "$here/propmon" "$@"
fi
if command -v propmon >/dev/null 2>&1; then
    exec propmon "$@"
fi
say "propmon is not installed next to $0 nor on PATH"
exit 127
