# Sourced by gen_streams.sh, scripts/demo.sh and the benchmark scripts.
#
# stamp_filter: FFmpeg video filters that draw each picture's frame number n
# into the top band, where the simulated card reads it (sim/kms_stamp.h): 24
# square cells of iw/24, black (luma 16) or white (235): white, black, the 20
# bits of n (most significant first), their parity, black.
stamp_filter() {
    local cells=24 bits=20 k bit par="" f
    local box="y=0:w=iw/$cells+1:h=iw/$cells+1:color=white:t=fill"
    f="drawbox=x=0:y=0:w=iw:h=iw/$cells+1:color=black:t=fill,drawbox=x=0:$box"
    for ((k = 0; k < bits; k++)); do
        bit="mod(floor(n/$((1 << (bits - 1 - k)))),2)"
        f+=",drawbox=x=iw*$((k + 2))/$cells:$box:enable='$bit'"
        par+="${par:++}$bit"
    done
    echo "$f,drawbox=x=iw*$((bits + 2))/$cells:$box:enable='mod($par,2)'"
}
