#!/usr/bin/env python3
"""Speed, memory and quality of conversions against Debian's ffmpeg command.

Three sets of cases (--set, default all three), each alternating in one run
between our command and the equivalent ffmpeg command:

classic  the window's classic settings (MPEG-4 768 kbit/s, 320x240, 15 fps,
         AAC 128 kbit/s stereo 44.1 kHz) on each standard clip (or on the
         inputs given), between:
           ours        quenvaro-cli with every core (its default)
           ours-1      quenvaro-cli --threads 1
           ffmpeg      the ffmpeg command at its default (all cores)
           ffmpeg-1    the ffmpeg command with -threads 1
h264     the H.264 presets of formats.ini: "H.264 1280x720 (HD)" on the 1080p
         clip and "H.264 640x360" on the 640x360 clip, against the ffmpeg
         command with the preset's figures (libx264 -preset veryfast, its
         bit rates and size) at its default threads
modern   an HEVC and an AV1 input in enhanced FLV, made by the test
         support's writer (bin/bench_enhanced_input), converted with the
         window's first preset; ffmpeg converts the same streams from the
         Matroska file they were laid out from (it cannot read such FLV)

For each it prints the median wall time, CPU time and peak memory over the
runs, the ratios of ours against each ffmpeg variant, and the PSNR of both
outputs against the source scaled to the output's size (and rate) with
ffmpeg's psnr filter, so that speed is never bought with quality. The
machine is shared and noisy: quote the ratios, which are taken run by run,
not the seconds, and say what the load was.

Usage: bench/speed_bench.py [--runs N] [--build DIR] [--set classic,h264,modern] [INPUT.flv ...]
Without inputs it makes (once, in DIR/bench-media) the two standard clips:
bench360.flv (60 s 640x360 H.264 30 fps + AAC) and bench1080.flv (20 s
1920x1080 H.264 30 fps + AAC), and for the modern set bench_hevc720.flv and
bench_av1_720.flv (10 s 1280x720 test pattern + AAC) with their .mkv.
Inputs given are converted with the classic settings only.
"""
import argparse
import configparser
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


def psnr(output, source, size="320x240", fps="15"):
    """PSNR of output against source scaled to size, both brought to the
    output's rate fps (which rounds the source's millisecond timestamps to
    its ticks). Our command starts the video at 0 and the ffmpeg command
    keeps the source's start (repeating its first picture up to it), so both
    timings are tried: as they are, and both moved to start at 0; the better
    one is the output's alignment to the source."""
    best = float("nan")
    for rebase in ("", "setpts=PTS-STARTPTS,"):
        graph = (f"[0:v]{rebase}fps={fps}[out];[1:v]{rebase}scale={size}:flags=bicubic,fps={fps}[ref];"
                 "[out][ref]psnr")
        err = subprocess.run(["ffmpeg", "-hide_banner", "-i", output, "-i", source, "-lavfi", graph, "-f", "null", "-"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE).stderr.decode(errors="replace")
        m = re.search(r"average:([0-9.]+|inf)", err)
        if m and not float(m.group(1)) <= best:
            best = float(m.group(1))
    return best


# The standard clips: name, size, seconds.
STANDARD_CLIPS = [("bench360.flv", "640x360", 60), ("bench1080.flv", "1920x1080", 20)]


def setup(clips, sets=False):
    """Parses --runs, --build (and with SETS --set) and the inputs; without
    inputs, makes CLIPS (once) in BUILD/bench-media. Returns the arguments,
    the CLI and the inputs."""
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=5)
    if sets:
        ap.add_argument("--set", default="classic,h264,modern", help="comma-separated: classic, h264, modern")
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("inputs", nargs="*")
    args = ap.parse_args()
    cli = os.path.join(args.build, "bin", "quenvaro-cli")
    if not os.access(cli, os.X_OK):
        sys.exit("build first: cmake --build build")
    inputs = args.inputs
    args.media = os.path.join(args.build, "bench-media")
    if not inputs:
        media = args.media
        os.makedirs(media, exist_ok=True)
        inputs = []
        for name, size, seconds in clips:
            inputs.append(os.path.join(media, name))
            make_clip(inputs[-1], size, seconds)
    return args, cli, inputs


def compare(title, cmds, outs, runs, quality):
    """Runs CMDS (name: command) in turn RUNS times after a warm-up and prints
    the figures; QUALITY(output) gives an output's PSNR. "ours" is compared
    with each ffmpeg variant there is."""
    walls = {k: [] for k in cmds}
    cpus = {k: [] for k in cmds}
    for name, cmd in cmds.items():  # warm-up: page cache, library loading
        timed(cmd)
    for _ in range(runs):
        for name, cmd in cmds.items():
            w, c = timed(cmd)
            walls[name].append(w)
            cpus[name].append(c)
    peaks = {k: peak_mib(cmd) for k, cmd in cmds.items()}
    print(f"== {title} ({runs} runs each, alternating; load {os.getloadavg()[0]:.1f})")
    print(f"{'':10} {'wall s':>8} {'cpu s':>8} {'peak MiB':>9} {'PSNR dB':>8}")
    for k in cmds:
        print(f"{k:10} {statistics.median(walls[k]):8.3f} {statistics.median(cpus[k]):8.3f} "
              f"{peaks[k]:9.1f} {quality(outs[k]):8.2f}")

    def ratio(a, b):
        return statistics.median(x / y for x, y in zip(walls[a], walls[b]))
    for a, b in (("ours", "ffmpeg"), ("ours", "ffmpeg-1"), ("ours-1", "ffmpeg-1")):
        if a in cmds and b in cmds:
            print(f"{a + ' / ' + b:20} (wall, median of run ratios): {ratio(a, b):.3f}")
    print(f"peak memory ours / ffmpeg: {peaks['ours'] / peaks['ffmpeg']:.2f}")
    print(flush=True)


def preset(build, section):
    """A preset of the build's formats.ini (SECTION; None: the first) as the
    window converts with it: our options, the ffmpeg command's, the output
    size and rate (None: the source's)."""
    ini = configparser.ConfigParser()
    ini.read(os.path.join(build, "bin", "formats.ini"))
    p = ini[section or ini.sections()[0]]
    size = f"{p['frame_width']}x{p['frame_height']}"
    vcodec, acodec = p.get("video_codec", "mpeg4"), p.get("audio_codec", "libfaac")
    vb, ab = int(p["video_bitrate"]), int(p["audio_bitrate"])
    audio = ["-ar", p["audio_frequency"], "-ac", p["audio_channels"]]
    ours = ["-vcodec", vcodec, "-acodec", acodec, "-s", size, "-b", str(vb), "-ab", str(ab)] + audio
    ff = ["-c:v", vcodec, "-c:a", "aac" if acodec == "libfaac" else acodec, "-s", size, "-b:v", f"{vb // 1000}k",
          "-b:a", f"{ab // 1000}k"] + audio
    if "x264_preset" in p:
        ours += ["-preset", p["x264_preset"]]
        ff += ["-preset", p["x264_preset"]]
    # Classic presets convert at 15 fps, the others at the source's rate.
    fps = None if p.get("keep_frame_rate", "0") != "0" else "15"
    if fps:
        ours += ["-r", fps]
        ff += ["-r", fps]
    return ours, ff, size, fps


def source_rate(path):
    """The rate the window reads from the source and passes on."""
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "stream=r_frame_rate",
                          "-of", "csv=p=0", path], stdout=subprocess.PIPE, check=True).stdout.decode().strip()
    return out.splitlines()[0]


def enhanced_inputs(args):
    """The HEVC and AV1 inputs (FLV, Matroska source), made once."""
    tool = os.path.join(args.build, "bin", "bench_enhanced_input")
    made = []
    for name, encoder in (("bench_hevc720", "libx265"), ("bench_av1_720", "libaom-av1")):
        flv, mkv = (os.path.join(args.media, name + ext) for ext in (".flv", ".mkv"))
        if not (os.path.exists(flv) and os.path.getsize(flv) > 0):
            if not os.access(tool, os.X_OK):
                sys.exit("build the tests' support first: cmake --build build --target bench_enhanced_input")
            os.makedirs(args.media, exist_ok=True)
            subprocess.run([tool, args.media, name, encoder, "1280x720", "10"], stdout=subprocess.DEVNULL, check=True)
        made.append((flv, mkv))
    return made


def main():
    args, cli, inputs = setup(STANDARD_CLIPS, sets=True)
    sets = args.set.split(",")
    ff = ["ffmpeg", "-nostdin", "-v", "error", "-y"]

    with tempfile.TemporaryDirectory() as tmp:
        outs = {name: os.path.join(tmp, name + ".mp4") for name in ("ours", "ours-1", "ffmpeg", "ffmpeg-1")}
        if "classic" in sets:
            for src in inputs:
                cmds = {
                    "ours": [cli, "-i", src] + OURS_OPTS + ["-y", outs["ours"]],
                    "ours-1": [cli, "--threads", "1", "-i", src] + OURS_OPTS + ["-y", outs["ours-1"]],
                    "ffmpeg": ff + ["-i", src] + FF_OPTS + [outs["ffmpeg"]],
                    "ffmpeg-1": ff + ["-threads", "1", "-i", src] + FF_OPTS + ["-threads", "1", outs["ffmpeg-1"]],
                }
                compare(f"{os.path.basename(src)}, classic", cmds, outs, args.runs, lambda o, s=src: psnr(o, s))
        if args.inputs:
            return
        if "h264" in sets:
            for src, section in zip(inputs, ("h264_640x360", "h264_1280x720")):
                ours, theirs, size, _ = preset(args.build, section)
                rate = source_rate(src)
                cmds = {"ours": [cli, "-i", src] + ours + ["-r", rate, "-y", outs["ours"]],
                        "ffmpeg": ff + ["-i", src] + theirs + [outs["ffmpeg"]]}
                compare(f"{os.path.basename(src)}, {section}", cmds, outs, args.runs,
                        lambda o, s=src, z=size, r=rate: psnr(o, s, z, r))
        if "modern" in sets:
            ours, theirs, size, fps = preset(args.build, None)
            for flv, mkv in enhanced_inputs(args):
                cmds = {"ours": [cli, "-i", flv] + ours + ["-y", outs["ours"]],
                        "ffmpeg": ff + ["-i", mkv] + theirs + [outs["ffmpeg"]]}
                compare(f"{os.path.basename(flv)} (ffmpeg: its .mkv), first preset", cmds, outs, args.runs,
                        lambda o, s=mkv, z=size, r=fps: psnr(o, s, z, r))


if __name__ == "__main__":
    main()
