# Sourced by scripts that fetch packages from Debian's archive without touching the
# machine's own apt set-up: it is only read (for the mirror), never changed.
#
#   . scripts/private-apt.sh
#   private_apt DIR LINE...   writes an apt configuration under DIR whose sources are the
#                             LINEs ("deb-src", "deb [arch=mipsel]", ... – the mirror and
#                             "bookworm main" are added), runs apt-get update with it and
#                             exports APT_CONFIG, so that later apt-get calls use it.
#
# DEBIAN_MIRROR overrides the mirror found in /etc/apt.

debian_mirror()
{
	if [ -n "${DEBIAN_MIRROR:-}" ]; then
		echo "$DEBIAN_MIRROR"
		return
	fi
	# deb822 sources first, then one-line ones: the URI of the first "deb" entry for bookworm.
	m=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk 'BEGIN { RS = "" }
	{
		t = 0; s = 0; u = ""
		n = split($0, L, "\n")
		for (i = 1; i <= n; i++) {
			if (L[i] ~ /^Types:/ && L[i] ~ /[ \t]deb([ \t]|$)/) t = 1
			if (L[i] ~ /^Suites:/ && L[i] ~ /[ \t]bookworm([ \t]|$)/) s = 1
			if (L[i] ~ /^URIs:/) { split(L[i], W, /[ \t]+/); u = W[2] }
		}
		if (t && s && u != "") { print u; exit }
	}')
	if [ -z "$m" ]; then
		m=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | awk '
		$1 == "deb" {
			i = 2
			if ($i ~ /^\[/) while ($i !~ /\]$/) i++
			if ($i ~ /^\[/ || $i ~ /\]$/) i++
			if ($(i + 1) == "bookworm") { print $i; exit }
		}')
	fi
	[ -n "$m" ] || { echo "no Debian bookworm mirror in /etc/apt; set DEBIAN_MIRROR" >&2; return 1; }
	echo "$m"
}

private_apt()
{
	pa_dir=$1
	shift
	pa_mirror=$(debian_mirror) || return 1
	mkdir -p "$pa_dir/state/lists/partial" "$pa_dir/cache/archives/partial" \
		"$pa_dir/sources.list.d" "$pa_dir/apt.conf.d"
	: >"$pa_dir/sources.list"
	for pa_line in "$@"; do
		case $pa_line in
		*\[*\]) pa_line="${pa_line%]} signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" ;;
		*) pa_line="$pa_line [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" ;;
		esac
		echo "$pa_line $pa_mirror bookworm main" >>"$pa_dir/sources.list"
	done
	cat >"$pa_dir/apt.conf" <<EOF
Dir::Etc::SourceList "$pa_dir/sources.list";
Dir::Etc::SourceParts "$pa_dir/sources.list.d";
Dir::Etc::Parts "$pa_dir/apt.conf.d";
Dir::State "$pa_dir/state";
Dir::Cache "$pa_dir/cache";
EOF
	APT_CONFIG=$pa_dir/apt.conf
	export APT_CONFIG
	apt-get update -qq
}
