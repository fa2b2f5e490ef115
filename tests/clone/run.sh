#!/usr/bin/env bash
# Runs the clone test and the writer tables on small loop-mounted file systems that share blocks
# between files: XFS made with reflink and btrfs. Needs root (loop devices, mount) and the tools
# of xfsprogs and btrfs-progs; without them it says why and exits 77 (skipped). The file systems
# are unmounted and their images removed on every way out.
# Usage: run.sh BUILD_TESTS_DIR [PROGRAM...]
set -euo pipefail
bin=${1:?usage: run.sh BUILD_TESTS_DIR [PROGRAM...]}
shift
programs=("$@")
# The FLAC writer's tables pin the copy's exact bytes, padding included: they are not run here.
[ ${#programs[@]} -gt 0 ] ||
  programs=(test_clone test_id3_write test_atomic test_concurrent robust/test_robust_crash)

skip() {
  echo "clone file systems skipped: $*"
  exit 77
}
[ "$(id -u)" -eq 0 ] || skip "not root (loop mounts need root)"
kinds=()
command -v mkfs.xfs >/dev/null && kinds+=(xfs)
command -v mkfs.btrfs >/dev/null && kinds+=(btrfs)
[ ${#kinds[@]} -gt 0 ] || skip "neither mkfs.xfs nor mkfs.btrfs found (xfsprogs, btrfs-progs)"

work=$(mktemp -d "${TMPDIR:-/tmp}/qid3-clone.XXXXXX")
mounted=()
cleanup() {
  local m
  for m in "${mounted[@]}"; do
    umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true
  done
  rm -rf "$work"
}
chmod 755 "$work"
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

failed=0
for kind in "${kinds[@]}"; do
  img="$work/$kind.img"
  mnt="$work/$kind"
  mkdir -p "$mnt"
  # mkfs.xfs wants more than 300 MB; the image is sparse, so it costs what is written.
  truncate -s 320M "$img"
  case "$kind" in
    xfs) mkfs.xfs -q -m reflink=1 "$img" ;;
    btrfs) mkfs.btrfs -q "$img" >/dev/null ;;
  esac
  if ! mount -o loop "$img" "$mnt"; then
    echo "clone file systems: cannot mount $kind (loop devices?)" >&2
    failed=1
    continue
  fi
  mounted+=("$mnt")
  # Like /tmp: the ownership tests write as other users.
  chmod 1777 "$mnt"
  for p in "${programs[@]}"; do
    echo "== $p on $kind"
    if ! TMPDIR="$mnt" "$bin/$p" --gtest_brief=1; then
      echo "FAILED: $p on $kind" >&2
      failed=1
    fi
  done
done
exit $failed
