#!/usr/bin/env bash
# Cross-builds the Windows client with mingw-w64 and runs its tests under
# Wine: the unit tests of the Win32 shell, the resource check, and the
# end-to-end scenarios shared with the Linux client. Everything runs on a
# private Xvfb and a private Wine prefix, both removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake --preset mingw >/dev/null
cmake --build --preset mingw -j "$jobs"
for dll in $(x86_64-w64-mingw32-objdump -p build/mingw/src/win32/velmora-client.exe | sed -n 's/.*DLL Name: //p'); do
  case ${dll,,} in
    kernel32.dll|user32.dll|gdi32.dll|shell32.dll|ws2_32.dll|winscard.dll|msvcrt.dll|advapi32.dll) ;;
    *) echo "velmora-client.exe imports $dll, which is not a system DLL" >&2; exit 1 ;;
  esac
done

# The server peer, and pcscd's side of the reader test (velmora-reader, the
# simulated reader's control tool, a program on libpcsclite), are Linux programs.
[ -f build/linux/CMakeCache.txt ] || cmake --preset linux >/dev/null
cmake --build --preset linux -j "$jobs" --target velmora-server ifdvelmora simreader simreader-ctl reader-probe

work=$(mktemp -d /tmp/velmora-wine.XXXXXX)
# shellcheck source=scripts/wine-session.sh
. scripts/wine-session.sh

ctest --test-dir build/mingw --output-on-failure -j 2 "$@"
