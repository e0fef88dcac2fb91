# shellcheck shell=bash disable=SC2154
# What board/run makes of QEMU's trace of the bus: the I2C events, the SDA
# and SCL lines as a waveform, sigrok's decoding of it, and a picture.
# Sourced by host.sh; eeprom and protect come from board/run.

# /init's own transactions, left out of everything shown: the load of a
# writable chip (the first) and the read of the whole chip (the last).
own_transfers() {  # sets own_first and own_last to 1 or 0
	own_first=0
	own_last=0
	[ "$eeprom" = yes ] || return 0
	own_last=1
	[ "$protect" = yes ] || own_first=1
}

# QEMU's I2C events (i2c_event, i2c_send, i2c_recv) without /init's own.
cut_trace() {
	local own_first own_last
	own_transfers
	awk -v first="$own_first" -v last="$own_last" '
		!/^i2c_/ { next }
		{ line[++n] = $0 }
		/^i2c_event start\(/ { start[++t] = n }
		/^i2c_event finish\(/ && !end1 { end1 = n }
		END {
			from = first ? end1 + 1 : 1
			to = last && t ? start[t] - 1 : n
			for (i = from; i <= to; i++) print line[i]
		}'
}

# The bus's SCL and SDA as a Value Change Dump, from QEMU's
# bitbang_i2c_data events: "clk C dat D out O -> N", where C and D are the
# lines as the controller drives them and N is what the EEPROM drives on
# SDA after the event. The bus is open-drain: SDA is D AND N.
wire_vcd() {  # board name
	local own_first own_last
	own_transfers
	awk -v board="$1" -v first="$own_first" -v last="$own_last" -v step=5 -v gap=50 '
		BEGIN { pscl = 1; psda = 1 }
		$1 != "bitbang_i2c_data" { next }
		{
			scl = $3 + 0; sda = ($5 && $9) ? 1 : 0
			if (scl == pscl && sda == psda) next
			if (scl && pscl && psda && !sda && !busy) { t++; busy = 1 }
			if (busy) { n[t]++; c[t, n[t]] = scl " " sda }
			if (scl && pscl && !psda && sda) busy = 0
			pscl = scl; psda = sda
		}
		END {
			print "$comment"
			print "  SCL and SDA of the bus that " board "'"'"'s guest sees as /dev/i2c-0, from"
			print "  QEMU'"'"'s bitbang_i2c_data trace events. The trace carries no clock: each"
			print "  change is laid " step " us after the one before (about a 100 kHz bus), and"
			print "  " gap " us of idle bus separate the transactions."
			print "$end"
			print "$timescale 1us $end"
			print "$scope module i2c $end"
			print "$var wire 1 ! scl $end"
			print "$var wire 1 \" sda $end"
			print "$upscope $end"
			print "$enddefinitions $end"
			print "#0"; print "$dumpvars"; print "1!"; print "1\""; print "$end"
			time = 0; pscl = 1; psda = 1
			for (i = 1 + first; i <= t - last; i++) {
				time += gap
				for (j = 1; j <= n[i]; j++) {
					split(c[i, j], v, " ")
					time += step
					print "#" time
					if (v[1] != pscl) print v[1] "!"
					if (v[2] != psda) print v[2] "\""
					pscl = v[1]; psda = v[2]
				}
			}
			print "#" time + gap
		}'
}

i2c_classes=start:repeat-start:stop:ack:nack:address-read:address-write:data-read:data-write:warnings

# sigrok's I2C decoder on the waveform: one annotation a line.
decode_bus() {  # vcd [sigrok-cli option...]
	local vcd=$1
	shift
	sigrok-cli -I vcd -i "$vcd" -P i2c:scl=scl:sda=sda -A "i2c=$i2c_classes" "$@" |
		sed 's/i2c-1: //'
}

# The first two transactions on the bus, the program's when no --before
# command used it, drawn as SCL and SDA lanes, a transaction a panel, with
# the decoded conditions and bytes above them.
draw_bus() {  # board name, vcd, png
	local name=$1 vcd=$2 png=$3 dir
	dir=$(mktemp -d)
	awk '/^#/ { t = substr($0, 2) } /^[01][!"]$/ { v[substr($0, 2)] = substr($0, 1, 1); print t, v["!"], v["\""] }
		END { print t, v["!"], v["\""] }' "$vcd" >"$dir/lines"
	decode_bus "$vcd" --protocol-decoder-samplenum | awk -v dir="$dir" '
		{ split($1, r, "-"); $1 = ""; text = substr($0, 2) }
		text == "Start" { n++; from[n] = r[1] }
		n > 2 || text == "Write" || text == "Read" { next }
		{
			sub(/^Start repeat$/, "Sr", text); sub(/^Start$/, "S", text)
			sub(/^Stop$/, "P", text); sub(/^ACK$/, "A", text); sub(/^NACK$/, "N", text)
			if (sub(/^Address write: /, "", text)) text = text " W"
			if (sub(/^Address read: /, "", text)) text = text " R"
			sub(/^Data (read|write): /, "", text)
			printf "%d \"%s\"\n", (r[1] + r[2]) / 2, text >(dir "/labels" n)
		}
		text == "P" { to[n] = r[2] }
		END {
			for (i = 1; i <= 2; i++) printf "%d %d\n", from[i] - 20, to[i] + 20 >(dir "/window" i)
		}'
	[ -s "$dir/labels2" ] || { rm -rf "$dir"; die "--picture: fewer than two transactions on the bus"; }
	{
		echo "set terminal pngcairo size 1800,640 font 'DejaVu Sans,11'"
		echo "set output '$png'"
		echo "set termoption noenhanced"
		echo "set multiplot layout 2,1 title \"msgs_iic on $name: its write, then its read, as SCL and SDA carry them\" font ',13'"
		echo "set yrange [-0.5:4.2]; set ytics ('SDA' 0.4, 'SCL' 1.9) nomirror; set xtics nomirror"
		echo "unset key; set border 1"
		echo "set xlabel 'µs (the trace has no clock: one change every 5 µs)'"
		local i
		for i in 1 2; do
			read -r from to <"$dir/window$i"
			echo "set xrange [$from:$to]"
			echo "plot '$dir/lines' using 1:(\$2 * 0.8 + 1.5) with steps lw 2 lc rgb '#1f5fa8', \\"
			echo "     '' using 1:(\$3 * 0.8) with steps lw 2 lc rgb '#b8401f', \\"
			echo "     '$dir/labels$i' using 1:(3.1):2 with labels font ',10'"
		done
		echo "unset multiplot"
	} >"$dir/plot"
	gnuplot "$dir/plot" >>"$log" 2>&1 || { rm -rf "$dir"; die "gnuplot failed: see ${log#"$top"/}"; }
	rm -rf "$dir"
}
