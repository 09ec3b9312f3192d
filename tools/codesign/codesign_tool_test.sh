#!/usr/bin/env bash
# dravik-codesign end to end: identities, signing, verifying, installing, and its errors.
#   codesign_tool_test.sh TOOL PROGRAM
set -euo pipefail
tool=$1
program=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# expect STATUS EXPECTED-STDERR-LINE COMMAND...
expect() {
  local want=$1 message=$2
  shift 2
  local got=0
  "$@" >"$dir/out" 2>"$dir/err" || got=$?
  [ "$got" = "$want" ] || fail "$* exited $got, expected $want: $(cat "$dir/err")"
  if [ -n "$message" ]; then
    [ "$(head -n1 "$dir/err")" = "$message" ] || fail "$*: stderr was '$(head -n1 "$dir/err")'"
  fi
}

team_req='anchor apple generic and certificate leaf[subject.OU] = "Q7TX2KM9RZ"'
cp "$program" "$dir/client"

expect 0 "" "$tool" anchor new --out "$dir/anchor"
[ "$(stat -c %a "$dir/anchor/anchor.key")" = 600 ] || fail "anchor secret not private"
expect 1 "dravik-codesign: $dir/anchor already holds an anchor" "$tool" anchor new --out "$dir/anchor"
expect 0 "" "$tool" cert issue --anchor "$dir/anchor" --team Q7TX2KM9RZ --out "$dir/team"
expect 0 "" "$tool" cert issue --anchor "$dir/anchor" --team OTHERTEAM1 \
  --field 1.2.840.113635.100.6.1.9 --out "$dir/apple"
expect 1 'dravik-codesign: invalid team "BAD TEAM"' \
  "$tool" cert issue --anchor "$dir/anchor" --team "BAD TEAM" --out "$dir/bad"
expect 1 'dravik-codesign: invalid field OID "1.x"' \
  "$tool" cert issue --anchor "$dir/anchor" --team T --field 1.x --out "$dir/bad"

expect 1 "" "$tool" verify --anchor-pub "$dir/anchor/anchor.pub" --requirement "$team_req" "$dir/client"
grep -q "code is not signed" "$dir/err" || fail "unsigned program not reported"
expect 0 "" "$tool" sign --cert "$dir/team" --identifier dravik "$dir/client"
[ -f "$dir/client.sig" ] || fail "no signature written"
expect 0 "" "$tool" verify --anchor-pub "$dir/anchor/anchor.pub" \
  --requirement "$team_req and identifier \"dravik\"" "$dir/client"
grep -q "identifier dravik, team Q7TX2KM9RZ, cdhash [0-9a-f]\{40\})$" "$dir/out" || fail "verify output: $(cat "$dir/out")"
expect 1 "" "$tool" verify --anchor-pub "$dir/anchor/anchor.pub" \
  --requirement 'identifier "dravik.agent"' "$dir/client"
grep -q "requirement failed" "$dir/err" || fail "unsatisfied requirement not reported"
expect 1 "dravik-codesign: requirement does not compile: expected \"generic\" at offset 12" \
  "$tool" verify --anchor-pub "$dir/anchor/anchor.pub" --requirement 'anchor apple' "$dir/client"

cp "$program" "$dir/apple-client"
expect 0 "" "$tool" sign --cert "$dir/apple" --identifier dravik "$dir/apple-client"
expect 0 "" "$tool" verify --anchor-pub "$dir/anchor/anchor.pub" \
  --requirement 'anchor apple generic and certificate leaf[field.1.2.840.113635.100.6.1.9] exists' \
  "$dir/apple-client"

printf x >>"$dir/client"
expect 1 "" "$tool" verify --anchor-pub "$dir/anchor/anchor.pub" --requirement "$team_req" "$dir/client"
grep -q "code modified after signing" "$dir/err" || fail "modified program not reported"

expect 1 'dravik-codesign: invalid identifier "a b"' \
  "$tool" sign --cert "$dir/team" --identifier "a b" "$dir/apple-client"
expect 1 "dravik-codesign: cannot open $dir/nothing/leaf.key: No such file or directory" \
  "$tool" sign --cert "$dir/nothing" --identifier dravik "$dir/apple-client"

expect 0 "" "$tool" install-anchor --anchor "$dir/anchor" --root "$dir/machine"
cmp -s "$dir/anchor/anchor.pub" "$dir/machine/System/Library/Security/dravik-anchor.pub" ||
  fail "anchor not installed"

expect 0 "" "$tool" dev-identity --dir "$dir/dev" --team Q7TX2KM9RZ
cp "$dir/dev/anchor/anchor.pub" "$dir/dev-anchor.pub"
expect 0 "" "$tool" dev-identity --dir "$dir/dev"
cmp -s "$dir/dev/anchor/anchor.pub" "$dir/dev-anchor.pub" || fail "dev anchor was remade"
[ -f "$dir/dev/team-Q7TX2KM9RZ/certificate.json" ] || fail "dev certificate missing"

expect 2 "dravik-codesign: no command" "$tool"
expect 2 "dravik-codesign: unknown command frobnicate" "$tool" frobnicate
expect 2 "dravik-codesign: unknown command anchor old" "$tool" anchor old
expect 2 "dravik-codesign: missing --out" "$tool" anchor new
expect 2 "dravik-codesign: unknown option --outt" "$tool" anchor new --outt x
expect 2 "dravik-codesign: --out needs a value" "$tool" anchor new --out
expect 2 "dravik-codesign: expected exactly one PROGRAM" "$tool" sign --cert x --identifier y
expect 2 "dravik-codesign: --team given more than once" \
  "$tool" cert issue --anchor a --team A --team B --out o
echo "dravik-codesign: all checks passed"
