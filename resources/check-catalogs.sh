#!/usr/bin/env bash
# Fails when a text the sources look up is missing from the committed
# template, or when a translation does not translate every text of it.
# Usage: check-catalogs.sh SOURCE_DIR SCRATCH_DIR
set -euo pipefail
source_dir=$1
scratch=$2
mkdir -p "$scratch"
"$source_dir/resources/update-template.sh" "$source_dir" "$scratch/generated.pot"
# Sorted byte-wise on both sides, as comm compares, whatever the locale.
msgids() { msgcat --no-wrap "$1" | sed -n 's/^msgid //p' | grep -v '^""$' | LC_ALL=C sort -u || true; }
missing=$(LC_ALL=C comm -23 <(msgids "$scratch/generated.pot") <(msgids "$source_dir/resources/kestrond-monitor.pot"))
if [[ -n $missing ]]; then
  echo "Texts missing from resources/kestrond-monitor.pot (run resources/update-template.sh . resources/kestrond-monitor.pot):" >&2
  echo "$missing" >&2
  exit 1
fi
for po in "$source_dir"/resources/*.po; do
  # Every text of the template translated, and none left fuzzy.
  msgcmp --use-untranslated "$po" "$source_dir/resources/kestrond-monitor.pot" >/dev/null 2>&1 ||
    { echo "$po does not cover the template" >&2; msgcmp "$po" "$source_dir/resources/kestrond-monitor.pot" >&2 || true; exit 1; }
  untranslated=$(msgattrib --untranslated --no-obsolete "$po" | grep -c '^msgid ' || true)
  if [[ $untranslated -gt 0 ]]; then
    echo "$po leaves texts untranslated" >&2
    exit 1
  fi
done
touch "$scratch/catalogs.checked"
