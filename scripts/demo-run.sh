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

dp() { "$tool" --root "$root" "$@"; }

setup="$build/setup/DrossgateSetup"

# The four rules as the setup window's rows hold them: condition, action, target.
rules_conditions=("X-Spam-Flag: YES" "Subject: [SPAM]" "IMFSCL: {> 7}" "X-Spam-Level: *****")
rules_actions=(move move delete forward)
rules_targets=('Inbox\Spam' "Junk" "" "Spam Desk <spamdesk@$domain>")

echo "== Creating the demo platform in $root"
rm -rf "$root"
dp init --demo --domain "$domain" --computer MAIL1 >/dev/null

# The setup program's Qt wants a private runtime folder; the demo brings its own.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$scratch}"
# It takes the sink library from the folder it runs in, as it would on the server.
ds() { (cd "$build/sink" && DROSSGATE_PLATFORM="$root" "$setup" "$@"); }

echo "== Installing the sink with four rules and registering it on every mailbox (DrossgateSetup)"
password_file="$scratch/password"
(umask 077 && printf '%s\n' 'demo-only-secret' >"$password_file")
rule_args=()
for i in 0 1 2 3; do
  rule_args+=(--rule "${rules_conditions[$i]}" "${rules_actions[$i]}" "${rules_targets[$i]}")
  printf '   rule %d: %-22s %-8s %s\n' $((i + 1)) "${rules_conditions[$i]}" "${rules_actions[$i]}" \
    "${rules_targets[$i]}"
done
ds --install --identity 'EXAMPLE\svc-drossgate' --password-file "$password_file" "${rule_args[@]}" \
  --register-all
ds --list | sed -n 's/^MbxUninstList\t/   registered: /p'

echo "== Delivering $(grep -vc '^#' $corpus/manifest.tsv) messages"
report="$scratch/report"
while IFS=$'\t' read -r file alias scl what; do
  [[ -z "$file" || "$file" == \#* ]] && continue
  before=$(ls "$root/pickup" | grep -c '\.eml$' || true)
  args=(deliver --to "$alias")
  [[ "$scl" != "-" ]] && args+=(--scl "$scl")
  json=$(dp "${args[@]}" "$corpus/$file")
  now=$(sed -n 's/.*"now":"\([^"]*\)".*/\1/p' <<<"$json")
  after=$(ls "$root/pickup" | grep -c '\.eml$' || true)
  # A forward stays parked (hidden, in the mailbox root) until the pickup service hands it on.
  if [[ "$now" == *"~~redirect.eml" ]] || { [[ -z "$now" ]] && ((after > before)); }; then
    where="forwarded to the spam desk"
    why="rule 4: ${rules_conditions[3]}"
  elif [[ -n "$now" ]]; then
    where=${now#"$mbx/"}
    where=${where%/*}
    case "$where" in
      */Spam) why="rule 1: ${rules_conditions[0]}" ;;
      */Junk) why="rule 2: ${rules_conditions[1]}" ;;
      *) why="no rule matched" ;;
    esac
  else
    where="deleted"
    why="rule 3: ${rules_conditions[2]} (SCL $scl)"
  fi
  printf '%s\t%s\t%s\t%s\t%s\n' "$file" "$alias" "$what" "$where" "$why" >>"$report"
done <"$corpus/manifest.tsv"

echo "== Running the SMTP pickup service once"
dp smtp --once | sed 's/^/   /'

echo
printf '%-30s %-7s %-50s %-30s %s\n' MESSAGE TO "WHAT IT IS" "WHERE IT WENT" WHY
printf '%-30s %-7s %-50s %-30s %s\n' ------- -- ---------- ------------- ---
while IFS=$'\t' read -r file alias what where why; do
  printf '%-30s %-7s %-50s %-30s %s\n' "$file" "$alias" "$what" "$where" "$why"
done <"$report"

echo
echo "The spam desk's inbox now holds:"
dp ls "$mbx/spamdesk/Inbox" | sed 's/^/   /'
echo
echo "Inspect the platform:  $tool --root $root ls $mbx/ada --recursive"
echo "Open the setup window on this platform (it shows the installed rules and registrations):"
echo "   cd $build/sink && DROSSGATE_PLATFORM=$root $setup"
