#!/bin/sh
# The demo's link hello|page, served by korvane-link-adapter ([hello] in
# korvane.ini): the request's fields arrive as KORVANE_FIELD_<name>, and what
# this prints is the page. A name "fail" shows the adapter's error page.
name=${KORVANE_FIELD_name:-world}
if [ "$name" = fail ]; then
  echo "hello.sh: asked to fail" >&2
  exit 3
fi
escaped=$(printf '%s' "$name" | sed 's/&/\&amp;/g; s/</\&lt;/g; s/>/\&gt;/g; s/"/\&quot;/g')
printf '<html><body><p>Hello, %s!</p></body></html>\n' "$escaped"
