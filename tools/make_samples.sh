#!/usr/bin/env bash
# Regenerates the short sample recordings in samples/ with espeak-ng (22.05 kHz
# FLAC, so the demo's resampling path is exercised). The texts are our own.
set -euo pipefail
cd "$(dirname "$0")/../samples"
command -v espeak-ng >/dev/null && command -v sox >/dev/null ||
  { echo "needs espeak-ng and sox (apt-get install espeak-ng sox)" >&2; exit 1; }
say() {  # language, text
  espeak-ng -v "$1" -s 150 -w "/tmp/qx_sample_$1.wav" "$2"
  sox "/tmp/qx_sample_$1.wav" "$1.flac"
  rm -f "/tmp/qx_sample_$1.wav"
}
say en "The weather is lovely today, and we are going for a long walk along the river before dinner. Afterwards we will read a book by the fire."
say de "Das Wetter ist heute wunderbar, und wir machen vor dem Abendessen einen langen Spaziergang am Fluss. Danach lesen wir am Kamin ein Buch."
say fr "Il fait très beau aujourd'hui, et nous allons faire une longue promenade le long de la rivière avant le dîner. Ensuite nous lirons un livre près du feu."
say es "Hoy hace un tiempo estupendo, y vamos a dar un largo paseo por el río antes de la cena. Después leeremos un libro junto al fuego."
