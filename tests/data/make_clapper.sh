#!/usr/bin/env bash
# Makes a clapper: a picture and a sound that mark the same instants, for
# measuring where a clip's pictures and sound fall on its timeline.
#   clap_12fps.h264   H.264 Annex-B, 320x240, 12 fps, Constrained Baseline, an
#                     I frame (with SPS and PPS ahead) each second; black, but
#                     one white picture at 1 s, 5 s, 9 s ... (every 4 s)
#   clap_8k.aac       AAC-LC, 8000 Hz mono, in ADTS: silence, but 100 ms of
#                     1 kHz at 1 s, 5 s, 9 s ...
#   clap_16k.aac      the same at 16000 Hz
# usage: make_clapper.sh DIR [SECONDS]   (default 30 s; needs ffmpeg with libx264)
set -euo pipefail
dir=$1 seconds=${2:-30}
mkdir -p "$dir"
ffmpeg -nostdin -v error -y -f lavfi -i "color=black:size=320x240:rate=12" -t "$seconds" \
  -vf "drawbox=c=white:t=fill:enable='gte(n\,12)*eq(mod(n-12\,48)\,0)'" \
  -c:v libx264 -profile:v baseline -preset veryfast -b:v 100k -pix_fmt yuv420p \
  -x264-params 'keyint=12:min-keyint=12:scenecut=0:repeat-headers=1:bframes=0' \
  -bsf:v h264_mp4toannexb -f h264 "$dir/clap_12fps.h264"
for rate in 8000 16000; do
  ffmpeg -nostdin -v error -y -f lavfi -t "$seconds" \
    -i "aevalsrc='if(gte(t\,1)*lt(mod(t-1\,4)\,0.1)\,0.8*sin(2*PI*1000*t)\,0)':s=$rate:c=mono" \
    -c:a aac -b:a 24k -ac 1 -ar "$rate" -f adts "$dir/clap_$((rate / 1000))k.aac"
done
