"""Runs deploy/slurm-array.sh under a real one-node Slurm cluster.

munged, slurmctld and slurmd are started directly (no systemd, no cgroups)
from a private configuration in a scratch folder, with their own ports and
munge socket, so that nothing on the machine is used or changed. The script
is submitted with sbatch as the README tells a user, and the test checks what
the scheduler does to it:

- a manifest of short recordings and one broken file over the script's array:
  every good input converted exactly once, the broken one failed, and the
  completion log records exit code 2 for its task and 0 for the others;
- over a stepped array, a task cancelled mid-file with scancel and one killed
  with SIGKILL (a lost node), both requeued: each file converted once, the
  stale temporary removed.

All the while no output under a final name is incomplete or changes.

usage: slurm_test.py SOURCE_DIR BIN_DIR   (as root; Slurm and munge installed)
"""
import ctypes
import glob
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

SOURCE, BIN = sys.argv[1], sys.argv[2]
SCRIPT = os.path.join(SOURCE, "deploy", "slurm-array.sh")
NODE = socket.gethostname().split(".")[0]
# Below ctest's timeout, so that the daemons are always torn down here.
DEADLINE = time.monotonic() + 200
errors = []


def check(ok, message):
    if not ok:
        errors.append(message)
        print("FAIL:", message, flush=True)


def run(*args, **kw):
    r = subprocess.run(args, capture_output=True, text=True, **kw)
    if r.returncode != 0:
        raise RuntimeError(f"{' '.join(args)}: exit {r.returncode}: {r.stderr}")
    return r.stdout


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Cluster:
    """munged, slurmctld and slurmd of a one-node cluster in DIR."""

    def __init__(self, dir):
        self.dir, self.daemons = dir, []
        self.conf = os.path.join(dir, "slurm.conf")
        self.jobcomp = os.path.join(dir, "jobcomp.txt")
        os.environ["SLURM_CONF"] = self.conf

    def up(self):
        dir = self.dir
        os.chmod(dir, 0o755)  # munged wants its socket's folder open to all
        for sub in ("state", "spool"):
            os.mkdir(os.path.join(dir, sub))
        memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") // 2**20
        with open(self.conf, "w") as f:
            f.write(f"""ClusterName=quenvaro
SlurmctldHost={NODE}(127.0.0.1)
SlurmctldPort={free_port()}
SlurmdPort={free_port()}
SlurmUser=root
AuthType=auth/munge
CredType=cred/munge
# A requeued task waits out the credential lifetime (120 s by default).
AuthInfo=socket={dir}/munge.socket,cred_expire=5
StateSaveLocation={dir}/state
SlurmdSpoolDir={dir}/spool
SlurmctldPidFile={dir}/slurmctld.pid
SlurmdPidFile={dir}/slurmd.pid
SlurmctldLogFile={dir}/slurmctld.log
SlurmdLogFile={dir}/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/filetxt
JobCompLoc={self.jobcomp}
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
MpiDefault=none
MailProg=/bin/true
SchedulerParameters=sched_interval=1,batch_sched_delay=0
ReturnToService=2
# The node as configured here, whatever the machine has.
SlurmdParameters=config_overrides
KillWait=5
MinJobAge=600
NodeName={NODE} NodeAddr=127.0.0.1 CPUs=2 RealMemory={memory} State=UNKNOWN
PartitionName=main Nodes={NODE} Default=YES MaxTime=INFINITE State=UP
""")
        key = os.path.join(dir, "munge.key")
        run("mungekey", "--create", f"--keyfile={key}")
        self.start("munged", "-F", f"--socket={dir}/munge.socket", f"--key-file={key}",
                   f"--log-file={dir}/munged.log", f"--pid-file={dir}/munged.pid",
                   f"--seed-file={dir}/munged.seed")
        self.wait(lambda: os.path.exists(f"{dir}/munge.socket"), 10, "munged did not start")
        self.start("slurmctld", "-D", "-f", self.conf)
        self.start("slurmd", "-D", "-f", self.conf)
        self.wait(lambda: self.query("sinfo", "-h", "-o", "%t") == "idle", 30, "the node did not come up idle")

    def start(self, *args):
        # PR_SET_PDEATHSIG: a daemon outlives no test killed outright.
        prctl = ctypes.CDLL(None, use_errno=True).prctl
        with open(os.path.join(self.dir, args[0] + ".out"), "w") as out:
            self.daemons.append(subprocess.Popen(args, stdout=out, stderr=subprocess.STDOUT,
                                                 preexec_fn=lambda: prctl(1, signal.SIGTERM)))

    def query(self, *args):
        r = subprocess.run(args, capture_output=True, text=True)
        return r.stdout.strip() if r.returncode == 0 else None

    def wait(self, done, seconds, what, look=lambda: None):
        end = min(time.monotonic() + seconds, DEADLINE)
        while not done():
            if time.monotonic() > end or any(d.poll() is not None for d in self.daemons):
                raise RuntimeError(what + self.logs())
            look()
            time.sleep(0.1)

    def logs(self):
        text = ""
        for name in ("munged.out", "slurmctld.log", "slurmd.log"):
            path = os.path.join(self.dir, name)
            if os.path.exists(path):
                text += f"\n--- {name}\n" + "".join(open(path, errors="replace").readlines()[-15:])
        return text

    def records(self, job):
        """The completion log's records of the tasks of array JOB that ended
        (a requeue adds one of the task pending again): task -> [fields]."""
        out = {}
        if os.path.exists(self.jobcomp):
            for line in open(self.jobcomp):
                fields = dict(re.findall(r"(\w+)=(\S*)", line))
                if fields.get("ArrayJobId") == job and fields["JobState"] != "PENDING":
                    out.setdefault(int(fields["ArrayTaskId"]), []).append(fields)
        return out

    def ended(self, job, runs):
        """Whether each task of JOB in RUNS (task -> count) has ended that many times."""
        records = self.records(job)
        return all(len(records.get(t, [])) >= n for t, n in runs.items())

    def codes(self, job):
        """The state and exit code the scheduler last recorded for each task."""
        return {t: (r[-1]["JobState"], r[-1]["ExitCode"]) for t, r in self.records(job).items()}

    def stop(self):
        subprocess.run(["scancel", "--user=root"], capture_output=True)
        end = time.monotonic() + 15
        while self.query("squeue", "-h") and time.monotonic() < end:
            time.sleep(0.2)
        for d in reversed(self.daemons):
            d.terminate()
            try:
                d.wait(10)
            except subprocess.TimeoutExpired:
                d.kill()
                d.wait()


class FinalNames:
    """Watches output folders: an output under its final name must be a whole
    file when it first shows, and never change after."""

    def __init__(self, work):
        self.work, self.seen, self.looks = work, {}, 0

    def look(self):
        self.looks += 1
        for folder in glob.glob(os.path.join(self.work, "*", "mp4")):
            for name in os.listdir(folder):
                if name.startswith(".") or not name.endswith(".mp4"):
                    continue
                path = os.path.join(folder, name)
                st = os.stat(path)
                if path not in self.seen:
                    self.seen[path] = (st.st_ino, st.st_size)
                    p = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of",
                                        "csv=p=0", path], capture_output=True, text=True)
                    check(p.returncode == 0 and not p.stderr, f"{name} incomplete under its final name: {p.stderr}")
                else:
                    check(self.seen[path] == (st.st_ino, st.st_size), f"{name} changed under its final name")


def duration(path):
    return float(run("ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path))


def temporaries(folder):
    return sorted(n for n in os.listdir(folder) if n.endswith((".qvpart", ".qvnew")))


def reports(folder):
    """Every line of every shard's report, in order."""
    lines = []
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name)) as f:
            lines += [json.loads(line) for line in f]
    return lines


def make_media(dir):
    """Twelve short recordings of distinct lengths, two long ones, a broken one."""
    media = os.path.join(dir, "flv")
    os.mkdir(media)
    short = {f"rec{i:02}": 1 + 0.25 * i for i in range(12)}
    source = ["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=25",
              "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100"]
    outputs = []
    for name, seconds in short.items():
        outputs += ["-map", "0:v", "-map", "1:a", "-t", str(seconds), "-c:v", "flv1", "-c:a", "libmp3lame",
                    os.path.join(media, name + ".flv")]
    run(*source, *outputs)
    # Two minutes at 640x480: several seconds of work a file, long enough to be
    # caught in the middle. Ten seconds made once and repeated without encoding.
    part, parts = os.path.join(media, "part.flv"), os.path.join(media, "parts.txt")
    run(*source, "-s", "640x480", "-t", "10", "-c:v", "flv1", "-c:a", "libmp3lame", part)
    with open(parts, "w") as f:
        f.write(f"file '{part}'\n" * 12)
    long0 = os.path.join(media, "long0.flv")
    run("ffmpeg", "-v", "error", "-f", "concat", "-safe", "0", "-i", parts, "-c", "copy", long0)
    shutil.copy(long0, os.path.join(media, "long1.flv"))
    with open(os.path.join(media, "rec00.flv"), "rb") as f:
        head = f.read(13)
    with open(os.path.join(media, "broken.flv"), "wb") as f:  # an FLV header, then no tag at all
        f.write(head + b"\xff" * 4096)
    return media, {n: duration(os.path.join(media, n + ".flv")) for n in [*short, "long0", "long1"]}


def submit(work, name, paths, *options):
    """sbatch of the script as a user runs it, over a manifest of PATHS; returns the job, its folders."""
    folder = os.path.join(work, name)
    os.mkdir(folder)
    manifest = os.path.join(folder, "manifest.txt")
    with open(manifest, "w") as f:
        f.write("".join(p + "\n" for p in paths))
    env = dict(os.environ, MANIFEST=manifest, OUTPUT=os.path.join(folder, "mp4"),
               REPORTS=os.path.join(folder, "reports"), QUENVARO=os.path.join(BIN, "quenvaro-cli"))
    job = run("sbatch", "--parsable", *options, SCRIPT, cwd=folder, env=env).strip()
    return job, folder


def check_outputs(folder, lengths):
    mp4 = os.path.join(folder, "mp4")
    check(sorted(os.listdir(mp4)) == sorted(n + ".mp4" for n in lengths),
          f"{mp4} holds {sorted(os.listdir(mp4))}")
    for name, seconds in lengths.items():
        path = os.path.join(mp4, name + ".mp4")
        if os.path.exists(path):
            got = duration(path)
            check(abs(got - seconds) < 0.2, f"{name}.mp4 lasts {got} s, not {seconds}")


def archive_run(cluster, work, media, lengths, watch):
    """The script's own array over twelve recordings and a broken file."""
    short = {n: s for n, s in lengths.items() if n.startswith("rec")}
    paths = [os.path.join(media, n + ".flv") for n in sorted(short)] + [os.path.join(media, "broken.flv")]
    job, folder = submit(work, "archive", paths)
    first, last = map(int, re.search(r"^#SBATCH --array=(\d+)-(\d+)\s*$", open(SCRIPT).read(), re.M).groups())
    tasks = range(first, last + 1)
    cluster.wait(lambda: cluster.ended(job, {t: 1 for t in tasks}), 90, "the array did not finish", watch.look)
    watch.look()

    done = {}
    for r in reports(os.path.join(folder, "reports")):
        done.setdefault(r["input"], []).append(r["status"])
    expected = {p: ["done"] for p in paths[:-1]}
    expected[paths[-1]] = ["failed"]
    check(done == expected, f"the reports' union is {done}")
    check_outputs(folder, short)
    check(temporaries(os.path.join(folder, "mp4")) == [], "temporaries left in the output folder")
    broken = first + (len(paths) - 1) % len(tasks)
    codes = cluster.codes(job)
    check(codes == {t: ("FAILED", "2:0") if t == broken else ("COMPLETED", "0:0") for t in tasks},
          f"the scheduler recorded {codes}")
    logs = [n for n in os.listdir(folder) if re.fullmatch(rf"quenvaro-{job}_\d+\.log", n)]
    check(len(logs) == len(tasks), f"task logs in the submission folder: {logs}")


def wait_mid_file(cluster, folder, name, watch):
    """Waits until NAME's temporary holds data: the task is in the middle of it."""
    mp4 = os.path.join(folder, "mp4")

    def writing():
        return os.path.isdir(mp4) and any(
            t.startswith(f".{name}.mp4.") and os.path.getsize(os.path.join(mp4, t)) > 0 for t in temporaries(mp4))
    cluster.wait(writing, 60, f"{name} was never being written", watch.look)


def requeue_run(cluster, work, media, lengths, watch):
    """Two tasks of one long file each, stopped mid-file: the first cancelled
    with scancel, the second killed with SIGKILL as a lost node or the
    out-of-memory killer leaves it; then both requeued. A stepped array, whose
    tasks 1 and 3 are the manifest's shards 0 and 1."""
    job, folder = submit(work, "requeue", [os.path.join(media, n + ".flv") for n in ("long0", "long1")],
                         "--array=1-3:2")
    mp4 = os.path.join(folder, "mp4")
    wait_mid_file(cluster, folder, "long0", watch)
    run("scancel", f"{job}_1")
    cluster.wait(lambda: cluster.ended(job, {1: 1}), 30, "the cancelled task did not end", watch.look)
    check(cluster.codes(job)[1][0] == "CANCELLED", f"task 1 recorded {cluster.codes(job)}")
    wait_mid_file(cluster, folder, "long1", watch)
    # What SIGTERM stopped took its temporary away; no final name appeared.
    check(not any(t.startswith(".long0.") for t in temporaries(mp4)), "the cancelled task left its temporary")
    check(not os.path.exists(os.path.join(mp4, "long0.mp4")), "the cancelled file has an output")
    run("scancel", "--batch", "--signal=KILL", f"{job}_3")
    cluster.wait(lambda: cluster.ended(job, {3: 1}), 30, "the killed task did not end", watch.look)
    check(cluster.codes(job)[3] == ("FAILED", "0:9"), f"task 3 recorded {cluster.codes(job)}")
    stale = temporaries(mp4)
    check(len(stale) == 1 and stale[0].startswith(".long1.mp4."), f"the killed task left {stale}")

    run("scontrol", "requeue", f"{job}_1,{job}_3")
    cluster.wait(lambda: cluster.ended(job, {1: 2, 3: 2}), 90, "the requeued tasks did not finish", watch.look)
    watch.look()
    codes = cluster.codes(job)
    check(codes == {1: ("COMPLETED", "0:0"), 3: ("COMPLETED", "0:0")}, f"the requeued tasks recorded {codes}")
    check_outputs(folder, {n: lengths[n] for n in ("long0", "long1")})
    check(temporaries(mp4) == [], f"temporaries left: {temporaries(mp4)}")
    statuses = [(r["input"].split("/")[-1], r["status"], r["shard"]) for r in reports(os.path.join(folder, "reports"))]
    check(statuses == [("long0.flv", "stopped", "0/2"), ("long0.flv", "done", "0/2"), ("long1.flv", "done", "1/2")],
          f"the reports say {statuses}")


def main():
    if os.geteuid() != 0:
        sys.exit("the cluster's daemons run as root: run this test as root")
    for tool in ("munged", "mungekey", "slurmctld", "slurmd", "sbatch", "ffmpeg", "ffprobe"):
        if not shutil.which(tool, path=os.environ["PATH"] + ":/usr/sbin:/sbin"):
            sys.exit(f"{tool} is missing: scripts/install-deps.sh installs Slurm and munge")
    os.environ["PATH"] += ":/usr/sbin:/sbin"
    dir = tempfile.mkdtemp(prefix="quenvaro-slurm.")
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("stopped"))  # ctest's timeout: still tear down
    cluster = Cluster(dir)
    try:
        started = time.monotonic()
        cluster.up()
        media, lengths = make_media(dir)
        print(f"cluster up and media made in {time.monotonic() - started:.1f} s", flush=True)
        work = os.path.join(dir, "work")
        os.mkdir(work)
        watch = FinalNames(work)
        archive_run(cluster, work, media, lengths, watch)
        print(f"archive run checked at {time.monotonic() - started:.1f} s", flush=True)
        requeue_run(cluster, work, media, lengths, watch)
        print(f"requeue run checked at {time.monotonic() - started:.1f} s; "
              f"{watch.looks} looks at the output folders", flush=True)
    except Exception as e:
        errors.append(repr(e))
        print("ERROR:", e, file=sys.stderr)
    finally:
        cluster.stop()
        shutil.rmtree(dir, ignore_errors=True)
    for e in errors:
        print("FAIL:", e, file=sys.stderr)
    sys.exit(1 if errors else 0)


main()
