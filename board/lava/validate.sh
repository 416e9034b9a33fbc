#!/usr/bin/env bash
# Checks the LAVA jobs of this folder: each passes LAVA's strict job schema
# and lava-run --validate against its device, the dictionary of the same
# name (job-NAME.yaml against board-NAME.jinja2, rendered by render.py),
# with the @...@ places of the job filled with stand-ins (empty files for
# what it deploys).
#   board/lava/validate.sh             every job-*.yaml here
#   board/lava/validate.sh --schema JOB   the schema alone, for one job
# One line per job; a refused job's line says why, and the status is 1.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "lava: $*" >&2; exit 1; }

# LAVA's own schema, strict: no key it does not know.
schema() {
  /usr/bin/python3 - "$1" <<'PY'
import sys, yaml
try:
    from lava_common.schemas import validate
except ImportError:
    sys.exit("lava: no LAVA schema here (tools/setup installs lava-dispatcher)")
from voluptuous import Invalid
try:
    validate(yaml.safe_load(open(sys.argv[1])), strict=True)
except (Invalid, yaml.YAMLError) as error:
    sys.exit("lava: %s is refused by LAVA's schema: %s" % (sys.argv[1], str(error).splitlines()[0]))
PY
}

if [ "${1:-}" = --schema ]; then
  [ $# -eq 2 ] || fail "usage: validate.sh [--schema JOB]"
  schema "$2"
  exit
fi
command -v lava-run >/dev/null || fail "no lava-run here (tools/setup installs lava-dispatcher)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/files" "$work/tftp"
# Even to validate, lava-run looks for a TFTP server (in.tftpd) and takes
# its folder from tftpd-hpa's settings. What checks the jobs needs no server
# here: where there is none, lava-run sees a stand-in that serves nothing,
# and the settings in a mount namespace of its own.
in_dispatcher=()
if [ ! -f /etc/default/tftpd-hpa ]; then
  mkdir "$work/default" "$work/bin" && cp -a /etc/default/. "$work/default/"
  echo "TFTP_DIRECTORY=\"$work/tftp\"" >"$work/default/tftpd-hpa"
  command -v in.tftpd >/dev/null || printf '#!/bin/sh\nexit 1\n' >"$work/bin/in.tftpd"
  chmod +x "$work/bin/in.tftpd" 2>/dev/null
  as_root=(); [ "$(id -u)" = 0 ] || as_root=(--map-root-user)
  in_dispatcher=(env PATH="$PATH:$work/bin" unshare "${as_root[@]}" --mount --propagation private
                 sh -c 'mount --bind "$0" /etc/default && exec "$@"' "$work/default")
fi
refused=0 count=0
for job in "$here"/job-*.yaml; do
  name=$(basename "$job" .yaml)
  name=${name#job-}
  count=$((count + 1))
  sed -e "s|@FILES@|file://$work/files|g" -e "s|@PACKAGES@|http://192.0.2.1/debs|g" \
    -e "s|@REPOSITORY@|https://git.example.org/board-toolset.git|g" "$job" >"$work/$name.yaml"
  grep -o '@FILES@/[^'"'"' ]*' "$job" | sed "s|^@FILES@|$work/files|" | xargs -r touch
  if ! "$here/render.py" "$here/board-$name.jinja2" STATE="$work" >"$work/$name-device.yaml" 2>"$work/err"; then
    echo "lava: $(basename "$job"): $(tail -n1 "$work/err")" >&2; refused=1; continue
  fi
  if ! schema "$work/$name.yaml" 2>"$work/err"; then
    echo "lava: $(basename "$job"): $(tail -n1 "$work/err" | sed 's/^lava: [^ ]* is //')" >&2; refused=1; continue
  fi
  if ! (cd "$work" && timeout 300 "${in_dispatcher[@]}" lava-run --validate --job-id 1 --output-dir "$work/out-$name" \
          --device "$work/$name-device.yaml" "$work/$name.yaml") >"$work/out" 2>&1; then
    why=$(/usr/bin/python3 -c '
import json, sys
why = []
for line in open(sys.argv[1], errors="replace"):
    try:
        record = json.loads(line.strip().lstrip("- "))
    except ValueError:
        continue
    msg = record.get("msg")
    if isinstance(msg, dict) and msg.get("case") == "job" and msg.get("error_msg"):
        why.insert(0, msg["error_msg"])
    elif record.get("lvl") == "error":
        why.append(str(msg))
print(" ".join((why or ["?"])[0].split()))' "$work/out")
    echo "lava: $(basename "$job"): lava-run --validate refuses it: $why" >&2; refused=1; continue
  fi
  echo "lava: $(basename "$job"): valid for $(sed -n 's/^device_type: *//p' "$job")"
done
[ "$count" -gt 0 ] || fail "no job-*.yaml in $here"
exit "$refused"
