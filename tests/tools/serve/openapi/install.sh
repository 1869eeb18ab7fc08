#!/usr/bin/env bash
# Installs the OpenAPI checker's packages (@apidevtools/swagger-parser and ajv from the npm
# registry, at the versions in package-lock.json) into this folder's node_modules. Quiet and
# quick when they are already there.
set -euo pipefail
cd "$(dirname "$0")"
stamp=node_modules/.package-lock.json
if [ -f "$stamp" ] && [ "$stamp" -nt package-lock.json ] &&
    [ -d node_modules/@apidevtools/swagger-parser ] && [ -d node_modules/ajv ]; then
  exit 0
fi
if ! command -v npm >/dev/null; then
  echo "setup: npm is missing; cannot install the OpenAPI checker for the tests" >&2
  exit 1
fi
log=$(mktemp)
if ! npm ci --no-audit --no-fund --ignore-scripts >"$log" 2>&1; then
  cat "$log" >&2
  rm -f "$log"
  echo "setup: installing the OpenAPI checker (npm ci in $(pwd)) failed" >&2
  exit 1
fi
rm -f "$log"
