#!/usr/bin/env bash
# One end-to-end flow of the real monitor (the X11 tray route) under valgrind
# memcheck. Fails when valgrind reports a definite leak whose stack passes
# through the monitor's own code; leaks inside Qt, GLib or the X libraries
# are counted and shown, not failed on.
# Usage: valgrind_flow.sh MONITOR SERVER ARTIFACT_DIR
set -euo pipefail
monitor=$(realpath "$1")
server=$(realpath "$2")
artifacts=$(realpath -m "$3")
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$artifacts"
rm -f "$artifacts"/valgrind-*.xml
wrapper=$(mktemp /tmp/kestrond-valgrind-XXXXXX)
trap 'rm -f "$wrapper"' EXIT
cat >"$wrapper" <<WRAPPER
#!/bin/sh
exec valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
  --errors-for-leak-kinds=definite --num-callers=40 --child-silent-after-fork=yes --xml=yes \
  --xml-file="$artifacts/valgrind-%p.xml" "$monitor"
WRAPPER
chmod +x "$wrapper"
E2E_PATIENCE=10 "$here/session.sh" -- "$here/x11_tray_test.sh" "$wrapper" "$server" "$artifacts"
/usr/bin/python3 - "$artifacts" <<'PYTHON'
import glob, sys
import xml.etree.ElementTree as ET
ALLOCATORS = ("malloc", "calloc", "realloc", "operator new", "strdup", "g_malloc", "g_realloc",
              "g_try_malloc", "g_strdup", "__libc_", "reallocarray")
total = ours = 0
for path in glob.glob(sys.argv[1] + "/valgrind-*.xml"):
    try:
        root = ET.parse(path).getroot()
    except ET.ParseError:
        continue  # a child that exec'd before valgrind finished its file
    for error in root.iter("error"):
        kind = error.findtext("kind", "")
        if kind.startswith("Leak_") and kind != "Leak_DefinitelyLost":
            continue
        total += 1
        functions = [frame.findtext("fn", "") for frame in error.iter("frame")]
        # The innermost named frame that is not an allocator is the code at fault.
        culprit = next((fn for fn in functions if fn and not fn.startswith(ALLOCATORS)), "")
        if "kestrond::" in culprit or culprit == "main":
            ours += 1
            print("%s in our code:" % kind)
            print("\n".join("  " + fn for fn in functions[:15]))
print("valgrind: %d definite leaks or errors in all, %d in our code" % (total, ours))
print("valgrind flow: %d passed, %d failed" % (0 if ours else 1, 1 if ours else 0))
sys.exit(1 if ours else 0)
PYTHON
