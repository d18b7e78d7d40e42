#!/bin/sh
# Installs the build into STAGE (DESTDIR) and checks what is there: the programs and the man pages and, when
# the folders are given, the units, the services' users and the udev rules; each unit's ExecStart runs an
# installed program.
#   sh staged.sh CMAKE BUILD STAGE BINDIR MANDIR [UNITDIR SYSUSERSDIR RULESDIR]
set -eu
cmake=$1 build=$2 stage=$3 bin=$4 man=$5
rm -rf "$stage"
DESTDIR=$stage "$cmake" --install "$build" >/dev/null
want="$bin/stream-relay $bin/accessory-bridge $bin/relay-probe $man/man8/stream-relay.8 $man/man8/accessory-bridge.8
  $man/man1/relay-probe.1"
units=""
if [ $# -gt 5 ]; then
  units="$6/stream-relay.service $6/accessory-bridge.service"
  want="$want $units $7/stream-relay.conf $7/accessory-bridge.conf $8/60-accessory-bridge.rules
    $8/90-accessory-bridge-link.rules"
fi
status=0
got=$(cd "$stage" && find . ! -type d | sed 's/^\.//' | sort)
want=$(printf '%s\n' $want | sort)
if [ "$got" != "$want" ]; then
  echo "the staged install holds:"; echo "$got"; echo "where these were expected:"; echo "$want"
  status=1
fi
for unit in $units; do
  program=$(sed -n 's/^ExecStart=.* //p' "$stage$unit")
  case $program in
    "$bin"/*) [ -x "$stage$program" ] || { echo "$unit runs $program, not installed"; status=1; } ;;
    *) echo "$unit runs \"$program\", not a program in $bin"; status=1 ;;
  esac
done
[ "$status" = 0 ] && echo "staged install: $(echo "$want" | wc -l) files at their places, the units run $bin's programs"
exit "$status"
