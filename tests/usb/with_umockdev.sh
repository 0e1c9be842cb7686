#!/bin/sh
# Runs a USB test program under umockdev's preload library. A sanitizer runtime would insist on
# being loaded first, which the preload library prevents; its link-order check is switched off,
# and so is leak checking, which would report umockdev's own allocations.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0:detect_leaks=0"
exec umockdev-wrapper "$@"
