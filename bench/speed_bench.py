#!/usr/bin/env python3
"""Speed, memory and quality of one conversion against Debian's ffmpeg command.

Converts each input with the window's settings (MPEG-4 768 kbit/s, 320x240,
15 fps, AAC 128 kbit/s stereo 44.1 kHz), alternating in one run between:
  ours        quenvaro-cli with every core (its default)
  ours-1      quenvaro-cli --threads 1
  ffmpeg      the ffmpeg command at its default (all cores)
  ffmpeg-1    the ffmpeg command with -threads 1
and prints for each the median wall time, CPU time and peak memory over the
runs, the ratios of ours against each ffmpeg variant, and the PSNR of both
outputs against the source scaled to 320x240 at 15 fps (ffmpeg's psnr filter),
so that speed is never bought with quality. The machine is shared and noisy:
quote the ratios, which are taken run by run, not the seconds.

Usage: bench/speed_bench.py [--runs N] [--build DIR] [INPUT.flv ...]
Without inputs it makes (once, in DIR/bench-media) the two standard clips:
bench360.flv (60 s 640x360 H.264 30 fps + AAC) and bench1080.flv (20 s
1920x1080 H.264 30 fps + AAC).
"""
import argparse
import os
import re
import resource
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

OURS_OPTS = ["-vcodec", "mpeg4", "-acodec", "libfaac", "-s", "320x240", "-r", "15", "-b", "768000",
             "-ab", "128000", "-ar", "44100", "-ac", "2"]
FF_OPTS = ["-c:v", "mpeg4", "-c:a", "aac", "-s", "320x240", "-r", "15", "-b:v", "768k", "-b:a", "128k",
           "-ar", "44100", "-ac", "2"]


def make_clip(path, size, seconds):
    if os.path.exists(path):
        return
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", f"testsrc2=d={seconds}:s={size}:r=30",
                    "-f", "lavfi", "-i", f"sine=d={seconds}:f=440", "-ac", "2", "-c:v", "libx264", "-preset",
                    "veryfast", "-b:v", "1500k" if size == "640x360" else "6000k", "-c:a", "aac", "-b:a", "128k",
                    "-ar", "44100", path + ".tmp.flv"], check=True)
    os.rename(path + ".tmp.flv", path)


def timed(cmd):
    """Runs cmd; returns its wall and CPU seconds."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, err = proc.communicate()
    wall = time.perf_counter() - t0
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if proc.returncode != 0:
        sys.exit(f"failed: {' '.join(cmd)}\n{err.decode(errors='replace')}")
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu


def peak_mib(cmd):
    """The child's own peak resident size (RUSAGE_CHILDREN keeps the maximum of all children)."""
    out = subprocess.run(["/usr/bin/time", "-f", "%M"] + cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                         check=True).stderr.decode().strip().splitlines()[-1]
    return int(out) / 1024.0


def psnr(output, source):
    graph = "[1:v]scale=320x240:flags=bicubic,fps=15[ref];[0:v][ref]psnr"
    err = subprocess.run(["ffmpeg", "-hide_banner", "-i", output, "-i", source, "-lavfi", graph, "-f", "null", "-"],
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE).stderr.decode(errors="replace")
    m = re.search(r"average:([0-9.]+|inf)", err)
    return float(m.group(1)) if m else float("nan")


# The standard clips: name, size, seconds.
STANDARD_CLIPS = [("bench360.flv", "640x360", 60), ("bench1080.flv", "1920x1080", 20)]


def setup(clips):
    """Parses --runs, --build and the inputs; without inputs, makes CLIPS
    (once) in BUILD/bench-media. Returns the arguments, the CLI and the inputs."""
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("inputs", nargs="*")
    args = ap.parse_args()
    cli = os.path.join(args.build, "bin", "quenvaro-cli")
    if not os.access(cli, os.X_OK):
        sys.exit("build first: cmake --build build")
    inputs = args.inputs
    if not inputs:
        media = os.path.join(args.build, "bench-media")
        os.makedirs(media, exist_ok=True)
        inputs = []
        for name, size, seconds in clips:
            inputs.append(os.path.join(media, name))
            make_clip(inputs[-1], size, seconds)
    return args, cli, inputs


def main():
    args, cli, inputs = setup(STANDARD_CLIPS)

    with tempfile.TemporaryDirectory() as tmp:
        for src in inputs:
            outs = {name: os.path.join(tmp, name + ".mp4") for name in ("ours", "ours-1", "ffmpeg", "ffmpeg-1")}
            cmds = {
                "ours": [cli] + ["-i", src] + OURS_OPTS + ["-y", outs["ours"]],
                "ours-1": [cli, "--threads", "1", "-i", src] + OURS_OPTS + ["-y", outs["ours-1"]],
                "ffmpeg": ["ffmpeg", "-v", "error", "-y", "-i", src] + FF_OPTS + [outs["ffmpeg"]],
                "ffmpeg-1": ["ffmpeg", "-v", "error", "-y", "-threads", "1", "-i", src] + FF_OPTS +
                            ["-threads", "1", outs["ffmpeg-1"]],
            }
            walls = {k: [] for k in cmds}
            cpus = {k: [] for k in cmds}
            for name, cmd in cmds.items():  # warm-up: page cache, library loading
                timed(cmd)
            for _ in range(args.runs):
                for name, cmd in cmds.items():
                    w, c = timed(cmd)
                    walls[name].append(w)
                    cpus[name].append(c)
            peaks = {k: peak_mib(cmd) for k, cmd in cmds.items()}
            print(f"== {os.path.basename(src)} ({args.runs} runs each, alternating)")
            print(f"{'':10} {'wall s':>8} {'cpu s':>8} {'peak MiB':>9} {'PSNR dB':>8}")
            for k in cmds:
                print(f"{k:10} {statistics.median(walls[k]):8.3f} {statistics.median(cpus[k]):8.3f} "
                      f"{peaks[k]:9.1f} {psnr(outs[k], src):8.2f}")

            def ratio(a, b):
                return statistics.median(x / y for x, y in zip(walls[a], walls[b]))
            print(f"ours / ffmpeg        (wall, median of run ratios): {ratio('ours', 'ffmpeg'):.3f}")
            print(f"ours / ffmpeg-1      : {ratio('ours', 'ffmpeg-1'):.3f}")
            print(f"ours-1 / ffmpeg-1    : {ratio('ours-1', 'ffmpeg-1'):.3f}")
            print(f"peak memory ours / ffmpeg: {peaks['ours'] / peaks['ffmpeg']:.2f}")
            print()


if __name__ == "__main__":
    main()
