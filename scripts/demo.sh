#!/usr/bin/env bash
# Sets everything up, builds the helper bundle, and shows its layout and the connector table it
# ships.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh default >/dev/null
bundle=build/default/bundles/PendraMacSandboxHelper.app
echo "Helper bundle: $bundle"
(cd build/default/bundles && find PendraMacSandboxHelper.app | sort)
echo
echo "Connectors shipped in $bundle/Contents/Resources/ApplicationConnectors.plist:"
plistutil -i "$bundle/Contents/Resources/ApplicationConnectors.plist" -f xml 2>/dev/null |
    sed -n 's/^\t<key>\(.*\)<\/key>$/  \1/p'
