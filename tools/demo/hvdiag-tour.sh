# The main job's tour of hvdiag, sourced by main-job.sh once the service runs
# and the libraries are registered (it uses $wine, $bin, $work, $hv_root).
# Every step is an hvdiag command as a person would type it.

hv() {
  local shown="\$ hvdiag" word
  for word in "$@"; do
    case $word in
      *[!A-Za-z0-9_./:=+-]*) shown+=" \"$word\"" ;;
      *) shown+=" $word" ;;
    esac
  done
  echo "$shown"
  "$wine" "$bin/hvdiag.exe" "$@" | tr -d '\r'
}

echo "== Logging a mix of messages with hvdiag log"
hv log --location "Line 3" --provider Pump --severity Info --audience Op --verbosity 1 \
  --param batch:int=4712 --param operator=Keller "Pump P-102 started"
hv log --location "Line 3" --provider Pump --severity Warning --audience "Eng|Op" \
  --resource 1002 --arg P-102 --arg 9
hv log --location "Line 3" --provider Pump --severity Error --audience Dev \
  --resource 1006 --arg P-102 --arg 0x2A --child "Seal temperature 95 C" --child "Sensor T4 reads 95 C"
hv log --location "Line 3" --provider Pump --severity Audit --audience "VELTRA|Op" --user keller \
  "Recipe 17 released for production"
hv log --location "Line 3" --provider Conveyor --async "Belt speed 1.2 m/s"

echo
echo "== The sample clients of the user guide"
"$wine" "$bin/hvsample_client.exe" "Line 4" | tr -d '\r' | tail -n 1
(cd "$hv_root/samples/clients" && "$wine" cscript //nologo log-client.vbs "Line 5" | tr -d '\r')

echo
echo "== Adaptors and display groups"
hv adaptors
hv groups --lang de

echo
echo "== Reading back"
hv read --count 8
hv read --provider Pump --location "Line 3" --lang de
hv read --severity "Error|Warning" --oldest-first --count 3 --json

echo
echo "== Following new messages for 4 seconds"
follow_err="$work/follow.err"
rm -f "$follow_err"
"$wine" "$bin/hvdiag.exe" follow --for 4 2>"$follow_err" | tr -d '\r' &
follow_pid=$!
for _ in $(seq 100); do
  grep -q "following new messages" "$follow_err" 2>/dev/null && break
  sleep 0.1
done
"$wine" "$bin/hvdiag.exe" log --location "Line 3" --provider Pump --resource 1001 --arg P-103 >/dev/null
"$wine" "$bin/hvdiag.exe" log --location "Line 3" --provider Pump --severity Warning "Pump P-103 vibrates" >/dev/null
wait $follow_pid
tr -d '\r' <"$follow_err"

echo
echo "== Exporting to XML"
export="$work/messages.xml"
rm -f "$export"
hv export "Z:${export//\//\\}"
xmllint --noout "$export"
echo "xmllint accepts $export"
