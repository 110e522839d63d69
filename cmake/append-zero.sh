#!/bin/sh
# append-zero.sh IN OUT - copies IN to OUT and adds one zero byte, so that a text
# carried as a resource can be used as a zero-terminated string in place.
cat "$1" > "$2.tmp" && printf '\000' >> "$2.tmp" && mv "$2.tmp" "$2"
