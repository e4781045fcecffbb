#!/bin/sh
# Every catalogue complete: each text the console or widgetkit marks for
# translation is in its catalogue, and no entry is untranslated or fuzzy
# (fragments that disagree about one text merge into a fuzzy entry).
# Usage: check-complete.sh <locale folder> <source root>
set -u
locale=$1
src=$2
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
status=0

xgettext -o "$tmp/opsdesk.pot" --from-code=UTF-8 -C --force-po \
  -k_ -kwxTRANSLATE -kwxPLURAL:1,2 -kwxGetTranslation:1 \
  "$src"/opsdesk/src/*.cpp "$src"/opsdesk/src/*.h || exit 1
xgettext -o "$tmp/widgetkit.pot" --from-code=UTF-8 -C --force-po -kWK_ \
  "$src"/widgetkit/src/*.cpp || exit 1

for dir in "$locale"/*/; do
  lang=$(basename "$dir")
  for po in "$dir"*.po; do
    [ -e "$po" ] || continue
    name=$(basename "$po" .po)
    merged="$tmp/$lang-$name.po"
    # shellcheck disable=SC2086
    msgcat --use-first -o "$merged" "$po" $(ls "$dir$name.d"/*.po 2>/dev/null) || { status=1; continue; }
    # Fragments that give one text two translations: msgcat without
    # --use-first marks them fuzzy.
    # shellcheck disable=SC2086
    conflicts=$(msgcat "$po" $(ls "$dir$name.d"/*.po 2>/dev/null) | msgattrib --only-fuzzy - | grep -c '^msgid ')
    if [ "$conflicts" -gt 1 ]; then
      echo " ! $lang/$name: a text translated differently in two files" >&2
      status=1
    fi
    stats=$(LC_ALL=C msgfmt --statistics -o /dev/null "$merged" 2>&1)
    case $stats in
      *untranslated*|*fuzzy*) echo " ! $lang/$name: $stats" >&2; status=1 ;;
    esac
    if [ -e "$tmp/$name.pot" ] && ! msgcmp "$merged" "$tmp/$name.pot" 2>"$tmp/cmp"; then
      grep -v 'warning: this message is not used' "$tmp/cmp" >&2
      echo " ! $lang/$name: texts of the sources missing from the catalogue" >&2
      status=1
    fi
  done
done
exit $status
