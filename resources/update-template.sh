#!/usr/bin/env bash
# Writes the catalog template (every text looked up with localizedString or
# localizedPlural, or marked with textKey) from the sources to the file given. "%@" and "%d" are
# the program's own placeholders, so no text is taken for a C format.
# Usage: update-template.sh SOURCE_DIR OUTPUT.pot
set -euo pipefail
source_dir=$1
output=$2
cd "$source_dir"
mapfile -t sources < <(find app base instances platform -name '*.cc' | LC_ALL=C sort)
xgettext --language=C++ --from-code=UTF-8 --sort-by-file --add-location=file \
  --keyword=localizedString --keyword=textKey --keyword=localizedPlural:1,2 \
  --flag=localizedString:1:no-c-format --flag=textKey:1:no-c-format \
  --flag=localizedPlural:1:no-c-format --flag=localizedPlural:2:no-c-format \
  --package-name=kestrond-monitor --msgid-bugs-address=none \
  --output="$output" "${sources[@]}"
