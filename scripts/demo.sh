#!/usr/bin/env bash
# The demonstration station: writes a fresh configuration (one virtual device
# playing a generated audio file, one source, a continuous archive and a
# scheduled one, one user) into a state folder of its own and runs recserver
# in the foreground. Ctrl-C stops it in order.
#
#   LOGRUM2_DEMO_DIR   where the demo lives (default build/demo); its state
#                      and archives are made afresh on every run
#   LOGRUM2_DEMO_PORT  the server's port (default 9020)
#   LOGRUM2_DEMO_CONSOLE_PORT  the web console's port (default 9021)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bin=$root/build/bin
demo=${LOGRUM2_DEMO_DIR:-$root/build/demo}
port=${LOGRUM2_DEMO_PORT:-9020}
console_port=${LOGRUM2_DEMO_CONSOLE_PORT:-9021}
case $demo in /*) ;; *) demo=$root/$demo ;; esac

for tool in recserver logrum-reg logrum-client; do
  if [[ ! -x $bin/$tool ]]; then
    echo "demo: $bin/$tool is missing; build first (bash scripts/build.sh build)" >&2
    exit 1
  fi
done

# Only the demo's own folders are ever removed.
rm -rf "$demo/state" "$demo/archives"
mkdir -p "$demo/state" "$demo/archives/Continuous" "$demo/archives/Scheduled"
export LOGRUM2_HOME=$demo/state

# Ten seconds of programme: a melody of tones over a little noise, looped by
# the virtual device.
audio=$demo/programme.wav
if [[ ! -s $audio ]]; then
  ffmpeg -hide_banner -loglevel error -y \
    -f lavfi -i "sine=frequency=440:duration=2.5" -f lavfi -i "sine=frequency=554:duration=2.5" \
    -f lavfi -i "sine=frequency=659:duration=2.5" -f lavfi -i "sine=frequency=880:duration=2.5" \
    -filter_complex "[0][1][2][3]concat=n=4:v=0:a=1,volume=0.4,aformat=channel_layouts=stereo" \
    -ar 44100 "$audio"
fi
export LOGRUM2_VIRTUAL_DEVICES="DemoFile=file:$audio"

# The schedule: every day, on one minute from now and off two minutes later.
hex_le() {  # 32-bit little-endian as .reg hex bytes
  printf '%02x,%02x,%02x,%02x' $(($1 & 255)) $((($1 >> 8) & 255)) $((($1 >> 16) & 255)) $((($1 >> 24) & 255))
}
now=$(date +%s)
seconds_of_day() { date -d "@$1" +'%-H %-M %-S' | awk '{print $1 * 3600 + $2 * 60 + $3}'; }
start=$(seconds_of_day $((now + 60)))
stop=$(seconds_of_day $((now + 180)))
every_day=127
password=demo
digest=$("$bin/logrum-client" digest demo "$password")

sed -e "s|@PORT_HEX@|$(printf '%08x' "$port")|" \
    -e "s|@CONSOLE_PORT@|$console_port|" \
    -e "s|@DEVICE@|DemoFile|" \
    -e "s|@ARCHIVES@|$demo/archives|g" \
    -e "s|@START_DATA@|$(hex_le "$start"),$(hex_le 0),$(hex_le $every_day)|" \
    -e "s|@STOP_DATA@|$(hex_le "$stop"),$(hex_le 1),$(hex_le $every_day)|" \
    -e "s|@DIGEST@|$digest|" \
    -e "s|@CHECK_HEX@|$(printf '%08x' $((${#password} ^ 0xA5)))|" \
    App/Server/demo/demo.reg.in > "$demo/demo.reg"
"$bin/logrum-reg" import "$demo/demo.reg"

client="$bin/logrum-client --port $port --user demo --password $password"
cat <<TEXT
demo: state folder $LOGRUM2_HOME, archives in $demo/archives
demo: archive "Continuous" records all the time (1-minute segments);
demo: archive "Scheduled" records from $(date -d "@$((now + 60))" +%H:%M:%S) to $(date -d "@$((now + 180))" +%H:%M:%S).
demo: open the web console at http://127.0.0.1:$console_port/
demo:   (the archive list, the status of "Continuous" with its level graph, the archive
demo:   browser with playable segments once the first minute is recorded, live listening)
demo: or follow it from another terminal with:
  $client list
  $client status Continuous
  $client index Continuous $(date +%Y-%m-%dT00:00:00) $(date -d tomorrow +%Y-%m-%dT00:00:00)
  $client live Continuous -o - --seconds 10 | mpg123 -
demo: Ctrl-C stops the server; every open segment is finished first.
TEXT
# Opens the status window of "Continuous" once the console answers, so that a
# new visitor sees its level graph move at once.
(/usr/bin/python3 - "$console_port" <<'PY' &
import http.cookiejar, json, sys, time, urllib.request
base = "http://127.0.0.1:%s" % sys.argv[1]
opener = urllib.request.build_opener(urllib.request.HTTPCookieProcessor(http.cookiejar.CookieJar()))
for _ in range(300):
    try:
        token = json.load(opener.open(base + "/api/session", timeout=5))["token"]
        break
    except OSError:
        time.sleep(0.2)
else:
    sys.exit(0)
request = urllib.request.Request(base + "/api/command/show", method="POST",
                                 data=json.dumps({"archive": "Continuous", "shown": True}).encode(),
                                 headers={"Content-Type": "application/json", "X-Console-Token": token})
try:
    opener.open(request, timeout=5)
except OSError:
    pass
PY
)
exec "$bin/recserver"
