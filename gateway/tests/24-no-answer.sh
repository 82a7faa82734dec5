# A message service that takes the call and never answers: the sender gives up after its
# 30-second call timeout, in real time, and says so.
. ./lib.sh
service -n
began=$(cut -d' ' -f1 /proc/uptime)
send 16 'are you there'
ended=$(cut -d' ' -f1 /proc/uptime)
seconds=$(awk -v a="$began" -v b="$ended" 'BEGIN { printf "%d", b - a }')
if [ "$seconds" -ge 30 ] && [ "$seconds" -le 33 ]; then
	echo "the sender gave up after 30 s"
else
	echo "the sender gave up after $seconds s"
fi
received
