#!/usr/bin/env bash
# The demo itself, on an existing build: scripts/demo-run.sh BUILD_DIR [PLATFORM_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "$1")
root=$(realpath -m "${2:-demo-platform}")
tool="$build/tools/drossgate-platform"
corpus=demo/corpus
domain=example.com
mbx="file://./backofficestorage/$domain/MBX"
events=http://schemas.microsoft.com/exchange/events

dp() { "$tool" --root "$root" "$@"; }

# The four rules: condition, then action as the setup program writes it.
rules_conditions=("X-Spam-Flag: YES" "Subject: [SPAM]" "IMFSCL: {> 7}" "X-Spam-Level: *****")
rules_targets=('Inbox\Spam' "Junk" "[Null]" "Spam Desk <spamdesk@$domain>")

echo "== Creating the demo platform in $root"
rm -rf "$root"
dp init --demo --domain "$domain" --computer MAIL1 >/dev/null

echo "== Installing the sink with four rules"
constructor=$(mktemp)
trap 'rm -f "$constructor"' EXIT
{
  for t in "${rules_targets[@]}"; do printf '%s\t' "$t"; done
  printf '\r'
  for c in "${rules_conditions[@]}"; do printf '%s\t' "$c"; done
  printf '\r65535'
} >"$constructor"
dp catalog install --app Drossgate --dll "$build/sink/Drossgate.so" \
  --constructor-string-file "$constructor" >/dev/null
for i in 0 1 2 3; do
  printf '   rule %d: %-22s -> %s\n' $((i + 1)) "${rules_conditions[$i]}" "${rules_targets[$i]}"
done

echo "== Registering the sink on every mailbox's inbox"
for alias in ada bruno dmitri spamdesk; do
  inbox=$(dp show "$mbx/$alias" --json | sed -n 's/.*"urn:schemas:httpmail:inbox":"\([^"]*\)".*/\1/p')
  dp set "$inbox/Drossgate.reg" --create item \
    --prop "DAV:contentclass=urn:content-class:storeeventreg" \
    --prop "$events/EventMethod=onsyncsave" \
    --prop "$events/SinkClass=Drossgate.DrossgateCls" \
    --prop "$events/MatchScope=SHALLOW" \
    --prop "$events/criteria= WHERE \"DAV:ishidden\" = FALSE" \
    --prop "$events/priority=65535" \
    --prop "DAV:ishidden:bool=true" >/dev/null
  echo "   $inbox"
done

echo "== Delivering $(grep -vc '^#' $corpus/manifest.tsv) messages"
report=$(mktemp)
trap 'rm -f "$constructor" "$report"' EXIT
while IFS=$'\t' read -r file alias scl what; do
  [[ -z "$file" || "$file" == \#* ]] && continue
  before=$(ls "$root/pickup" | grep -c '\.eml$' || true)
  args=(deliver --to "$alias")
  [[ "$scl" != "-" ]] && args+=(--scl "$scl")
  json=$(dp "${args[@]}" "$corpus/$file")
  now=$(sed -n 's/.*"now":"\([^"]*\)".*/\1/p' <<<"$json")
  after=$(ls "$root/pickup" | grep -c '\.eml$' || true)
  if [[ -n "$now" ]]; then
    where=${now#"$mbx/"}
    where=${where%/*}
    case "$where" in
      */Spam) why="rule 1: ${rules_conditions[0]}" ;;
      */Junk) why="rule 2: ${rules_conditions[1]}" ;;
      *) why="no rule matched" ;;
    esac
  elif ((after > before)); then
    where="forwarded to the spam desk"
    why="rule 4: ${rules_conditions[3]}"
  else
    where="deleted"
    why="rule 3: ${rules_conditions[2]} (SCL $scl)"
  fi
  printf '%s\t%s\t%s\t%s\t%s\n' "$file" "$alias" "$what" "$where" "$why" >>"$report"
done <"$corpus/manifest.tsv"

echo "== Running the SMTP pickup service once"
dp smtp --once | sed 's/^/   /'

echo
printf '%-30s %-7s %-48s %-30s %s\n' MESSAGE TO "WHAT IT IS" "WHERE IT WENT" WHY
printf '%-30s %-7s %-48s %-30s %s\n' ------- -- ---------- ------------- ---
while IFS=$'\t' read -r file alias what where why; do
  printf '%-30s %-7s %-48s %-30s %s\n' "$file" "$alias" "$what" "$where" "$why"
done <"$report"

echo
echo "The spam desk's inbox now holds:"
dp ls "$mbx/spamdesk/Inbox" | sed 's/^/   /'
echo
echo "Inspect the platform:  $tool --root $root ls $mbx/ada --recursive"
if [[ -x "$build/setup/DrossgateSetup" ]]; then
  echo "Open the setup window: DROSSGATE_PLATFORM=$root $build/setup/DrossgateSetup"
fi
