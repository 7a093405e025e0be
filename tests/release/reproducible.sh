#!/usr/bin/env bash
# Two clones of the commit checked out in SOURCE, at paths of different lengths under WORK, each
# make the release archive with scripts/release: the two archives are the same, byte for byte.
#
#   reproducible.sh SOURCE WORK
set -euo pipefail
source=$1 work=$2
commit=$(git -C "$source" rev-parse HEAD)
rm -rf "$work"
for clone in one second-clone; do
    git clone -q --no-checkout "$source" "$work/$clone"
    git -C "$work/$clone" checkout -q --detach "$commit"
    env -u TESSARIN_SIGN_PFX -u SOURCE_DATE_EPOCH "$work/$clone/scripts/release" \
        >"$work/$clone.log" 2>&1 || { cat "$work/$clone.log"; exit 1; }
done
archives=("$work"/*/build/release/Tessarin-*.zip)
[ ${#archives[@]} -eq 2 ] || { echo "FAILED: archives made: ${archives[*]}"; exit 1; }
cmp "${archives[@]}" || { echo "FAILED: the two clones' archives differ"; exit 1; }
echo "PASSED: both clones of $commit made $(basename "${archives[0]}"), byte for byte the same"
