#!/usr/bin/env bash
# capture_corpus.sh -- records the requests that curl really sends, as the
# seed corpus of the fuzz targets. A tiny listener on 127.0.0.1 stores each
# connection's bytes and answers with an empty reply; curl talks to it.
# Usage: fuzz/capture_corpus.sh   (rewrites fuzz/corpus/*/curl-*)
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'kill "$listener" 2>/dev/null || true; rm -rf "$work"' EXIT

python3 - "$work" >"$work/port" <<'PY' &
import os, socket, sys
out = sys.argv[1]
srv = socket.socket()
srv.bind(("127.0.0.1", 0))
srv.listen(8)
print(srv.getsockname()[1], flush=True)
n = 0
while True:
    conn, _ = srv.accept()
    conn.settimeout(0.5)
    data = b""
    try:
        while True:
            piece = conn.recv(65536)
            if not piece:
                break
            data += piece
    except socket.timeout:
        pass
    conn.sendall(b"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n")
    conn.close()
    with open(os.path.join(out, "req-%03d" % n), "wb") as f:
        f.write(data)
    n += 1
PY
listener=$!
while [ ! -s "$work/port" ]; do sleep 0.05; done
base="http://127.0.0.1:$(cat "$work/port")"

printf 'RIFF\x10\x00\x00\x00WEBPVP8 image bytes\r\n' >"$work/avatar.webp"
printf 'RIFF\x10\x00\x00\x00WEBPVP8 \x00\x01\x02 news image' >"$work/news.webp"

# Each capture: a name, then the curl arguments.
captures=(
  "get-root|$base/"
  "get-list|$base/v1/list/1"
  "get-news|$base/v1/news/1"
  "get-checkupdate|$base/v1/checkupdate"
  "get-isadmin|$base/v1/isadmin/1/sid-admin"
  "get-islike|$base/v1/islike/2/sid-user/1"
  "get-connect-test|$base/v1/connect-test"
  "get-upload|$base/uploads/avatar/2024/5/16/11715860000.webp"
  "get-icon|$base/img/icon.png"
  "signin-new|-F uid=0 -F sid=sid-new -F nickname=Newcomer $base/v1/signin"
  "signin-avatar|-F uid=0 -F sid=sid-pic -F nickname=Pic -F avatar=@$work/avatar.webp -F hash=h-pic $base/v1/signin"
  "signin-known|-F uid=2 -F sid=sid-user $base/v1/signin"
  "postavatar|-F uid=2 -F sid=sid-user -F avatar=@$work/avatar.webp -F hash=h-new $base/v1/postavatar"
  "postnews-new|-F uid=1 -F sid=sid-admin -F id=0 -F title=Hello -F content=World -F 0=@$work/news.webp;filename=0 -F 1=@$work/news.webp;filename=1 $base/v1/postnews"
  "postnews-edit|-F uid=1 -F sid=sid-admin -F id=1 -F title=Edited -F content= -F keep=;filename=uploads%2Fimg%2F2024%2F5%2F16%2F1%2F01715860000.webp $base/v1/postnews"
  "postnickname|-d uid=2&sid=sid-user&nickname=J+D%C3%A9 $base/v1/postnickname"
  "like|-d id=1&sid=sid-user&uid=2 $base/v1/like"
  "delnews|-d uid=1&sid=sid-admin&id=1 $base/v1/delnews"
)
i=0
for c in "${captures[@]}"; do
  name=${c%%|*}
  # shellcheck disable=SC2086
  curl -s -o /dev/null --max-time 5 ${c#*|} || true
  while [ ! -e "$work/req-$(printf %03d $i)" ]; do sleep 0.05; done
  mv "$work/req-$(printf %03d $i)" "$work/$name"
  i=$((i + 1))
done

mkdir -p corpus/request_text corpus/whole_request corpus/multipart corpus/url_form
for c in "${captures[@]}"; do
  name=${c%%|*}
  cp "$work/$name" "corpus/request_text/curl-$name"
  cp "$work/$name" "corpus/whole_request/curl-$name"
  # The form targets take what the handlers give them: the multipart body
  # behind its boundary line, the URL-encoded body, and the request path.
  python3 - "$work/$name" "$name" <<'PY'
import sys
data = open(sys.argv[1], "rb").read()
name = sys.argv[2]
head, _, body = data.partition(b"\r\n\r\n")
path = head.split(b" ")[1]
if b"boundary=" in head:
    boundary = head.split(b"boundary=")[1].split(b"\r\n")[0]
    open("corpus/multipart/curl-" + name, "wb").write(boundary + b"\n" + body)
elif body:
    open("corpus/url_form/curl-" + name, "wb").write(body)
open("corpus/url_form/path-" + name, "wb").write(path)
if path.count(b"/") > 2:
    open("corpus/multipart/path-" + name, "wb").write(b"\n" + path)
PY
done
ls corpus/*
