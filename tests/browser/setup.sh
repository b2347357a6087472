#!/usr/bin/env bash
# Installs what the browser test needs, and nothing when it is already there:
# Debian's Chromium (the test drives it, never a browser build of its own),
# Node.js with npm, and the pinned playwright-core into node_modules here.
# Run as root before the tests; the test itself never installs.
set -euo pipefail
cd "$(dirname "$0")"

missing=()
[ -x /usr/bin/chromium ] || missing+=(chromium)
# Node.js may come from another source that bundles npm; ask for Debian's
# packages only for a command that is really absent.
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# playwright-core downloads no browser; the lock file pins it exactly.
want=$(node -p 'require("./package.json").dependencies["playwright-core"]')
have=$(node -p 'require("./node_modules/playwright-core/package.json").version' 2>/dev/null || true)
if [ "$have" != "$want" ]; then
  npm ci --no-audit --no-fund --loglevel=error
fi
