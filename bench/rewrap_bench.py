#!/usr/bin/env python3
"""How much faster the lossless rewrap is than the window's re-encode.

Converts each input, alternating in one run, with:
  reencode   quenvaro-cli convert with the first preset (what the window does
             by default: MPEG-4 320x240 at 15 fps, AAC), one file at a time
  rewrap     quenvaro-cli convert --preset copy (H.264 and AAC copied into MP4)
  ffmpeg     ffmpeg -c copy, the same rewrap by Debian's command, for reference
and prints the median wall times and the median of the run-by-run ratio
reencode / rewrap. It measures and does not judge: the ratio moves with the
number of cores the re-encode may use. It exits with status 1 only when a
conversion fails or the rewrap's video packets are not the input's.

Usage: bench/rewrap_bench.py [--runs N] [--build DIR] [INPUT.flv ...]
Without inputs it uses (making it once) the standard bench360.flv of
bench/speed_bench.py: 60 s of 640x360 H.264 at 30 fps with AAC.
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

sys.path.insert(0, os.path.join(ROOT, "bench"))
from speed_bench import STANDARD_CLIPS, setup  # noqa: E402  the standard clips


def timed(cmd):
    t0 = time.perf_counter()
    proc = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    wall = time.perf_counter() - t0
    if proc.returncode != 0:
        sys.exit(f"failed: {' '.join(cmd)}\n{proc.stderr.decode(errors='replace')}")
    return wall


def packet_hashes(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_data_hash", "md5",
                          "-show_entries", "packet=data_hash", "-of", "csv=p=0", path],
                         capture_output=True, text=True, check=True)
    return out.stdout.split()


def main():
    args, cli, inputs = setup(STANDARD_CLIPS[:1])

    with tempfile.TemporaryDirectory() as tmp:
        for src in inputs:
            outs = {name: os.path.join(tmp, name) for name in ("reencode", "rewrap")}
            for d in outs.values():
                os.makedirs(d, exist_ok=True)
            stem = os.path.splitext(os.path.basename(src))[0]
            cmds = {
                "reencode": [cli, "convert", "--jobs", "1", "--preset", "1", "-y", "--output-dir", outs["reencode"], src],
                "rewrap": [cli, "convert", "--jobs", "1", "--preset", "copy", "-y", "--output-dir", outs["rewrap"], src],
                "ffmpeg": ["ffmpeg", "-v", "error", "-y", "-i", src, "-c", "copy", os.path.join(tmp, "ffmpeg.mp4")],
            }
            walls = {k: [] for k in cmds}
            for cmd in cmds.values():  # warm-up: page cache, library loading
                timed(cmd)
            for _ in range(args.runs):
                for name, cmd in cmds.items():
                    walls[name].append(timed(cmd))
            rewrapped = os.path.join(outs["rewrap"], stem + ".mp4")
            if packet_hashes(rewrapped) != packet_hashes(src):
                sys.exit(f"{rewrapped}: the video packets are not the input's")
            ratio = statistics.median(r / w for r, w in zip(walls["reencode"], walls["rewrap"]))
            print(f"== {os.path.basename(src)} ({args.runs} runs each, alternating)")
            for k in cmds:
                print(f"{k:10} {statistics.median(walls[k]):8.3f} s")
            print(f"reencode / rewrap (median of run ratios): {ratio:.1f}")
            print(f"rewrap / ffmpeg -c copy: {statistics.median(w / f for w, f in zip(walls['rewrap'], walls['ffmpeg'])):.2f}")
            print()
    return 0


if __name__ == "__main__":
    sys.exit(main())
