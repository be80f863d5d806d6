#!/usr/bin/env bash
# Regenerates every picture, animation and sound of resources/assets from
# Debian's ImageMagick and sox. The outputs are committed; run this only to
# change them.
set -euo pipefail
out=$(cd "$(dirname "$0")/.." && pwd)/resources/assets
mkdir -p "$out"
convert=/usr/bin/convert # /usr/local/bin/convert may be a stand-in
if [ ! -x "$convert" ] || ! command -v sox >/dev/null; then
    echo "make-assets.sh needs Debian's imagemagick and sox: apt-get install imagemagick sox" >&2
    exit 1
fi
cd "$out"

# Camera body drawn at 64x64: rounded body, lens, viewfinder bump.
camera() { # $1 = body colour, $2 = output, extra draw args follow
    local body=$1 dest=$2
    shift 2
    "$convert" -size 64x64 xc:none \
        -fill "$body" -stroke '#1d2b3a' -strokewidth 2 \
        -draw 'roundrectangle 20,10 40,20 3,3' \
        -draw 'roundrectangle 4,16 60,54 8,8' \
        -fill '#f4f7fb' -draw 'circle 32,35 32,23' \
        -fill '#1d2b3a' -stroke none -draw 'circle 32,35 32,29' \
        -fill '#ffd84a' -draw 'rectangle 48,21 54,25' \
        "$@" "$dest"
}

camera '#3b8fd9' cam.png

# Uploading: an arrow rising over the lens, eight frames.
frames=()
for i in 0 1 2 3 4 5 6 7; do
    y=$((44 - i * 3))
    camera '#3b8fd9' "up$i.png" -fill '#27c46b' -stroke '#0f5130' -strokewidth 1 \
        -draw "polygon 32,$((y - 12)) 41,$((y - 3)) 36,$((y - 3)) 36,$((y + 6)) 28,$((y + 6)) 28,$((y - 3)) 23,$((y - 3))"
    frames+=("up$i.png")
done
"$convert" -dispose background -delay 10 -loop 0 "${frames[@]}" cam-uploading.gif
rm -f "${frames[@]}"

# Uploaded: a green check mark that blinks.
camera '#3b8fd9' ok0.png -fill none -stroke '#27c46b' -strokewidth 6 -draw 'polyline 22,35 30,43 44,27'
camera '#3b8fd9' ok1.png -fill none -stroke '#8ee8b3' -strokewidth 6 -draw 'polyline 22,35 30,43 44,27'
"$convert" -dispose background -delay 40 -loop 0 ok0.png ok1.png cam-uploaded.gif
rm -f ok0.png ok1.png

# Crosshair: black cross with a white outline, 27x27 and 54x54.
cross() { # $1 = size, $2 = scale, $3 = output
    local s=$1 k=$2 c=$(($1 / 2))
    "$convert" -size "${s}x${s}" xc:none \
        -stroke white -strokewidth $((3 * k)) -draw "line $c,0 $c,$((s - 1))" -draw "line 0,$c $((s - 1)),$c" \
        -stroke black -strokewidth "$k" -draw "line $c,0 $c,$((s - 1))" -draw "line 0,$c $((s - 1)),$c" \
        "$3"
}
cross 27 1 Grabber.png
cross 54 2 Grabber@2x.png

# Drop widget background: a rounded tile with a downward arrow into a tray.
"$convert" -size 60x60 xc:none \
    -fill '#2f6fb0' -stroke '#163a5e' -strokewidth 2 -draw 'roundrectangle 1,1 58,58 10,10' \
    -fill white -stroke none -draw 'polygon 30,44 18,30 25,30 25,12 35,12 35,30 42,30' \
    -fill none -stroke white -strokewidth 3 -draw 'polyline 12,40 12,50 48,50 48,40' \
    drop_widget.png

# Paste hint picture: a link chip with the keys Ctrl and V.
"$convert" -size 300x300 xc:none \
    -fill '#2f6fb0' -stroke '#f4f7fb' -strokewidth 4 -draw 'roundrectangle 10,40 290,150 24,24' \
    -fill none -stroke white -strokewidth 10 \
    -draw 'roundrectangle 50,75 130,115 20,20' -draw 'roundrectangle 110,75 190,115 20,20' \
    -fill '#f4f7fb' -stroke '#1d2b3a' -strokewidth 3 \
    -draw 'roundrectangle 30,180 150,270 14,14' -draw 'roundrectangle 170,180 270,270 14,14' \
    -fill '#1d2b3a' -stroke none \
    -draw 'polygon 60,205 70,205 70,245 60,245' -draw 'polygon 60,235 110,235 110,245 60,245' \
    -draw 'polygon 200,205 212,205 222,240 232,205 244,205 228,250 216,250' \
    grab_share_brightloom.png

# The program's icon for the desktop: the camera as a vector (resources/linux/brightloom.svg),
# rendered at the sizes of the icon theme.
if command -v rsvg-convert >/dev/null; then
    linux=$(dirname "$out")/linux
    for size in 16 22 24 32 48 64 128 256; do
        mkdir -p "$linux/icons/$size"
        rsvg-convert -w "$size" -h "$size" "$linux/brightloom.svg" -o "$linux/icons/$size/brightloom.png"
    done
else
    echo "make-assets.sh: rsvg-convert (librsvg2-bin) is missing; the desktop icons were left as they are" >&2
fi

# Sounds: a short shutter click and a soft two-tone bell.
sox -q -n -r 44100 -b 16 Shutter-02.wav synth 0.015 square 2000 : synth 0.03 noise fade q 0 0.03 0.03 gain -6
sox -q -n -r 44100 -b 16 SmallGlockA.wav synth 0.8 sine 880 sine 1320 remix - fade q 0.005 0.8 0.75 gain -6
