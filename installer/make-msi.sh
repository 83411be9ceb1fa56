#!/bin/sh
# Builds the MSI package with wixl (msitools) from installer/velmora-client.wxs.
#   installer/make-msi.sh OUT.msi VERSION velmora-client.exe velmora-close-running.exe
# wixl takes only relative paths, so everything is staged in one folder;
# msibuild then adds what wixl cannot write (see the .wxs).
set -eu
out=$1 version=$2 client=$3 closer=$4
here=$(cd "$(dirname "$0")" && pwd)
case $out in /*) ;; *) out=$(pwd)/$out ;; esac
stage=$(mktemp -d "${TMPDIR:-/tmp}/velmora-msi.XXXXXX")
trap 'rm -rf "$stage"' EXIT
cp "$client" "$stage/velmora-client.exe"
cp "$closer" "$stage/velmora-close-running.exe"
cp "$here/../src/win32/ui/icons/client.ico" "$here/velmora-client.wxs" "$stage/"
cp -r "$here/policy" "$stage/policy"
rm -f "$out"
(cd "$stage" && wixl -a x64 -o "$out" -D Version="$version" -D ClientExe=velmora-client.exe \
  -D CloseExe=velmora-close-running.exe -D Icon=client.ico -D PolicyDir=policy velmora-client.wxs)
# Every build has a product code of its own, so a rebuild of the same
# version must count as an upgrade too (wixl's MajorUpgrade has no
# AllowSameVersionUpgrades): the upgrade row takes its maximum inclusively.
upgrade_code=$(msiinfo export "$out" Property | awk -F '\t' '$1 == "UpgradeCode" { sub(/\r$/, "", $2); print $2 }')
# One query per msibuild call. The public properties are secure: passed on
# to the installation when it runs elevated. HOST and PORT are not given to an uninstall:
# their values are removed all the same.
for query in \
  "UPDATE \`Component\` SET \`Condition\` = 'AUTOSTART = \"1\"' WHERE \`Component\` = 'Autostart'" \
  "UPDATE \`Component\` SET \`Condition\` = 'HOST OR REMOVE~=\"ALL\"' WHERE \`Component\` = 'PolicyHost'" \
  "UPDATE \`Component\` SET \`Condition\` = 'PORT OR REMOVE~=\"ALL\"' WHERE \`Component\` = 'PolicyPort'" \
  "UPDATE \`Property\` SET \`Value\` = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;HOST;PORT;AUTOSTART' WHERE \`Property\` = 'SecureCustomProperties'" \
  "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'WIX_UPGRADE_DETECTED'" \
  "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`) VALUES ('$upgrade_code', '$version', 513, 'WIX_UPGRADE_DETECTED')" \
  "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('CloseRunningClient', 2, 'CloseRunning', '')"
do
  msibuild "$out" -q "$query"
done
