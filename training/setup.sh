#!/bin/sh
# Installs what the training pipeline needs from Debian (run as root).
# Nothing here is needed to build or test the library.
set -eu

# pico and the mbrola voices live in contrib / non-free.
SRC=/etc/apt/sources.list.d/debian.sources
if [ -f "$SRC" ] && ! grep -q 'non-free' "$SRC"; then
  sed -i 's/^Components: main$/Components: main contrib non-free/' "$SRC"
fi
apt-get update

# Training: torch with the OpenMP OpenBLAS (the default BLAS is ~8x slower).
PKGS="python3-torch python3-numpy libopenblas0-openmp"
# Audio tools and synthesisers.
PKGS="$PKGS sox ffmpeg flac espeak-ng libttspico-utils flite
  open-jtalk open-jtalk-mecab-naist-jdic hts-voice-nitech-jp-atr503-m001
  mecab mecab-ipadic-utf8
  festival festvox-italp16k festvox-itapc16k festvox-kallpc16k festvox-kdlpc16k festvox-don
  festvox-us-slt-hts festvox-czech-ph festvox-czech-machac festvox-ru festvox-suopuhe-lj
  festvox-suopuhe-mv rhvoice rhvoice-english rhvoice-brazilian-portuguese
  mbrola mbrola-de1 mbrola-de2 mbrola-de4 mbrola-de6 mbrola-fr1 mbrola-fr4 mbrola-es1 mbrola-es2
  mbrola-it3 mbrola-it4 mbrola-br1 mbrola-br3 mbrola-pt1 mbrola-en1 mbrola-us1 mbrola-us2
  mbrola-us3 mbrola-nl2 mbrola-pl1 mbrola-ro1 mbrola-cz2 mbrola-hu1 mbrola-tr1 mbrola-sw1
  mbrola-gr2 mbrola-ca1"
# Every other Debian mbrola voice (each a real speaker's diphones) and the
# Festival and RHVoice voices of the unknown class's languages: speaker
# variety is what lets the classifier hear languages rather than voices.
PKGS="$PKGS mbrola-de3 mbrola-de5 mbrola-de7 mbrola-de8 mbrola-fr2 mbrola-fr3 mbrola-fr5
  mbrola-fr6 mbrola-fr7 mbrola-es3 mbrola-es4 mbrola-it1 mbrola-it2 mbrola-br2 mbrola-br4
  mbrola-nl1 mbrola-nl3 mbrola-ca2 mbrola-cz1 mbrola-gr1 mbrola-sw2 mbrola-tr2
  festvox-czech-dita festvox-czech-krb festvox-ca-ona-hts
  rhvoice-russian rhvoice-ukrainian"
# Running text: translated documentation.
PKGS="$PKGS manpages-de manpages-es manpages-fr manpages-it manpages-ja manpages-pt-br
  manpages-pl manpages-nl manpages-cs manpages-hu manpages-ru manpages-uk manpages-ro
  manpages-sv manpages-fi manpages-el
  fortunes-de fortunes-es fortunes-it fortunes-ru fortune-mod
  debian-reference-de debian-reference-en debian-reference-es debian-reference-fr
  debian-reference-it debian-reference-ja debian-reference-pt
  libreoffice-help-ko libreoffice-help-ja libreoffice-help-pt libreoffice-help-tr
  libreoffice-help-ca"
# Added later for the unknown class's thinnest languages (appended, see texts.py).
PKGS="$PKGS libreoffice-help-el libreoffice-help-da libreoffice-help-nl libreoffice-help-sv
  libreoffice-help-fi libreoffice-help-hu libreoffice-help-id manpages-da manpages-id
  debian-reference-id"
# Recorded speech permitted for training (see recorded.py).
PKGS="$PKGS asterisk-core-sounds-en-g722 asterisk-core-sounds-es-g722
  asterisk-core-sounds-fr-g722 asterisk-core-sounds-it-g722 asterisk-core-sounds-ru-g722
  klettres-data ktuberling-data fillets-ng-data-cs hedgewars-data alsa-utils"
# Music and sound effects for noise and for the detector's non-speech.
PKGS="$PKGS asterisk-moh-opsound-g722 supertux-data hedgewars-data"

DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $PKGS
