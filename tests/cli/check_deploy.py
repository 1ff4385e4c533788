"""Checks the examples in deploy/ without a cluster.

- The Kubernetes Job is read by PyYAML and checked field by field against the
  Kubernetes API models of Debian's python3-kubernetes (unknown fields, wrong
  types, missing required fields), then for what the converter relies on.
- The Slurm script passes bash -n and shellcheck.
- Both run the converter as they would on a cluster, with the scheduler's
  variables set, over a manifest on a scratch "archive": their options must be
  ones the program accepts, and the report must land where they say.
- The watch service's unit passes systemd-analyze verify, and its command,
  expanded from the example settings, converts a recording and stops with
  exit code 0 on SIGTERM.
- The container recipe builds on Debian 12 with scripts/install-deps.sh, and
  the runtime packages it installs hold every library the program needs.

usage: check_deploy.py SOURCE_DIR QUENVARO_CLI
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import kubernetes.client
import yaml

SOURCE, CLI = sys.argv[1], sys.argv[2]
DEPLOY = os.path.join(SOURCE, "deploy")
errors = []


def fail(message):
    errors.append(message)


# ---- the Kubernetes Job against the API models ----

PRIMITIVES = {"str": str, "int": int, "bool": bool, "float": (int, float)}


def check_model(value, type_name, path):
    """Checks VALUE (parsed YAML) against the model type TYPE_NAME."""
    if type_name == "object":
        return
    if type_name in PRIMITIVES:
        wanted = PRIMITIVES[type_name]
        if not isinstance(value, wanted) or (type_name == "int" and isinstance(value, bool)):
            fail(f"{path}: {value!r} is not {type_name}")
        return
    if type_name == "datetime":
        if not isinstance(value, str):
            fail(f"{path}: {value!r} is not a time")
        return
    m = re.fullmatch(r"list\[(.+)\]", type_name)
    if m:
        if not isinstance(value, list):
            fail(f"{path}: not a list")
            return
        for i, item in enumerate(value):
            check_model(item, m.group(1), f"{path}[{i}]")
        return
    m = re.fullmatch(r"dict\(str, (.+)\)", type_name)
    if m:
        if not isinstance(value, dict):
            fail(f"{path}: not a map")
            return
        for k, v in value.items():
            check_model(v, m.group(1), f"{path}.{k}")
        return
    model = getattr(kubernetes.client, type_name)
    if not isinstance(value, dict):
        fail(f"{path}: not a {type_name}")
        return
    by_json = {json_name: attr for attr, json_name in model.attribute_map.items()}
    kwargs = {}
    for key, item in value.items():
        if key not in by_json:
            fail(f"{path}: {type_name} has no field {key!r}")
            continue
        attr = by_json[key]
        check_model(item, model.openapi_types[attr], f"{path}.{key}")
        kwargs[attr] = item
    try:  # the models refuse missing required fields and values outside their enums
        model(**kwargs)
    except ValueError as e:
        fail(f"{path}: {e}")


def desired_state(obj):
    """A Kubernetes object's desired state: its one field besides the header
    (apiVersion, kind, metadata) and the status the cluster reports."""
    body = [v for k, v in obj.items() if k not in ("apiVersion", "kind", "metadata", "status")]
    if len(body) != 1:
        fail(f"expected one desired-state field besides the header, found {len(body)}")
        return {}
    return body[0]


def option(args, name):
    """The value of --NAME=VALUE or --NAME VALUE in ARGS, None when absent."""
    for i, a in enumerate(args):
        if a.startswith(name + "="):
            return a[len(name) + 1:]
        if a == name and i + 1 < len(args):
            return args[i + 1]
    return None


def run_cli(args, env, what):
    """Runs the converter like the scheduler would; returns its exit code."""
    p = subprocess.run(args, env=env, capture_output=True, text=True, timeout=120)
    if p.returncode != 2:  # 2: it ran through; the manifest's file is missing
        fail(f"{what}: exit code {p.returncode}, not 2:\n{p.stderr}")
    return p


def scheduler_free_env(scratch, extra):
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("SLURM_") and k != "JOB_COMPLETION_INDEX"}
    env.update(extra)
    return env


def make_archive(scratch):
    archive = os.path.join(scratch, "archive")
    for sub in ("mp4", "reports"):
        os.makedirs(os.path.join(archive, sub))
    with open(os.path.join(archive, "manifest.txt"), "w") as f:
        f.write("".join(f"{archive}/in/clip{i}.flv\n" for i in range(10)))
    return archive


def report_files(archive, shard):
    """The file numbers recorded in the shard's report."""
    path = os.path.join(archive, "reports", f"shard-{shard}.jsonl")
    if not os.path.exists(path):
        fail(f"no report at {path}")
        return set()
    import json
    with open(path) as f:
        return {json.loads(line)["file"] for line in f}


def check_kubernetes(scratch):
    path = os.path.join(DEPLOY, "kubernetes-job.yaml")
    with open(path) as f:
        docs = list(yaml.safe_load_all(f))
    if len(docs) != 1:
        fail(f"{path}: {len(docs)} documents, not 1")
        return
    job = docs[0]
    if job.get("apiVersion") != "batch/v1" or job.get("kind") != "Job":
        fail(f"{path}: not a batch/v1 Job")
        return
    check_model(job, "V1Job", "Job")
    if errors:
        return
    job_body = desired_state(job)
    pod = desired_state(job_body["template"])
    if job_body.get("completionMode") != "Indexed":
        fail("Job: completionMode is not Indexed")
    if pod.get("restartPolicy") not in ("Never", "OnFailure"):
        fail("Job: a Job's pods must have restartPolicy Never or OnFailure")
    container = pod["containers"][0]
    command, args = container.get("command", []), container.get("args", [])
    if option(args, "--shard") != "auto":
        fail("Job: the converter does not take --shard auto")
    if str(job_body.get("completions")) != option(args, "--shards"):
        fail(f"Job: completions {job_body.get('completions')} but --shards {option(args, '--shards')}")
    if job_body.get("parallelism", 1) > job_body.get("completions", 1):
        fail("Job: parallelism above completions")
    cpu = container.get("resources", {}).get("requests", {}).get("cpu")
    if cpu is not None and str(cpu) != option(args, "--jobs"):
        fail(f"Job: cpu request {cpu} but --jobs {option(args, '--jobs')}")
    # $(NAME) in the arguments is expanded only from the container's own env.
    env_names = {e["name"] for e in container.get("env", [])}
    for a in command + args:
        for name in re.findall(r"\$\(([A-Za-z_][A-Za-z0-9_]*)\)", a):
            if name not in env_names:
                fail(f"Job: $({name}) is not in the container's env")

    # Index 3 of the Job, on a scratch archive; tini is the image's, not ours.
    archive = make_archive(scratch)
    expanded = [a.replace("/archive", archive).replace("$(SHARD)", "3") for a in args]
    program = command[command.index("quenvaro-cli"):] if "quenvaro-cli" in command else command
    if not program or program[0] != "quenvaro-cli":
        fail("Job: the container does not run quenvaro-cli")
        return
    run_cli([CLI] + program[1:] + expanded, scheduler_free_env(scratch, {"JOB_COMPLETION_INDEX": "3"}),
            "the Job's converter")
    shards = int(option(args, "--shards"))
    if report_files(archive, 3) != {i for i in range(10) if i % shards == 3}:
        fail("Job: index 3 did not take its files")


def check_slurm(scratch):
    path = os.path.join(DEPLOY, "slurm-array.sh")
    for tool in (["bash", "-n", path], ["shellcheck", path]):
        if shutil.which(tool[0]) is None:
            fail(f"{tool[0]} is not installed (scripts/install-deps.sh installs it)")
            continue
        p = subprocess.run(tool, capture_output=True, text=True)
        if p.returncode != 0:
            fail(f"{' '.join(tool)}:\n{p.stdout}{p.stderr}")
    with open(path) as f:
        text = f.read()
    m = re.search(r"^#SBATCH --array=(\d+)-(\d+)\s*$", text, re.M)
    if not m:
        fail("slurm: no #SBATCH --array=FIRST-LAST line")
        return
    first, last = int(m.group(1)), int(m.group(2))
    # The third task of the array, as sbatch would start it.
    archive = make_archive(os.path.join(scratch, "slurm"))
    env = scheduler_free_env(scratch, {
        "SLURM_ARRAY_TASK_ID": str(first + 2), "SLURM_ARRAY_TASK_MIN": str(first),
        "SLURM_ARRAY_TASK_MAX": str(last), "SLURM_ARRAY_TASK_STEP": "1",
        "SLURM_ARRAY_TASK_COUNT": str(last - first + 1), "SLURM_CPUS_PER_TASK": "2",
        "MANIFEST": f"{archive}/manifest.txt", "OUTPUT": f"{archive}/mp4", "REPORTS": f"{archive}/reports",
        "QUENVARO": CLI})
    run_cli(["bash", path], env, "the Slurm script")
    count = last - first + 1
    if report_files(archive, first + 2) != {i for i in range(10) if i % count == 2}:
        fail("slurm: task 2 did not take its files")


# ---- the watch service ----

def unit_service_lines(text):
    """KEY -> value of the [Service] section of a unit file."""
    out, section = {}, None
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("["):
            section = line
        elif section == "[Service]" and "=" in line and not line.startswith("#"):
            key, value = line.split("=", 1)
            out[key] = value
    return out


def check_systemd(scratch):
    path = os.path.join(DEPLOY, "quenvaro-watch@.service")
    with open(path) as f:
        text = f.read()
    folder = os.path.join(scratch, "systemd")
    os.makedirs(folder)
    # systemd's own reading of the unit (an instance of it), with the
    # program it starts taken from this build.
    unit = os.path.join(folder, "quenvaro-watch@check.service")
    with open(unit, "w") as f:
        f.write(text.replace("/usr/bin/quenvaro-cli", CLI))
    if shutil.which("systemd-analyze") is None:
        fail("systemd-analyze is not installed (scripts/install-deps.sh installs it)")
    else:
        p = subprocess.run(["systemd-analyze", "verify", "--man=no", unit], capture_output=True, text=True)
        if p.returncode != 0 or (p.stdout + p.stderr).strip():
            fail(f"watch unit: systemd-analyze verify:\n{p.stdout}{p.stderr}")
    service = unit_service_lines(text)
    if service.get("KillSignal") != "SIGTERM" or service.get("Restart") != "on-failure":
        fail("watch unit: it must stop with SIGTERM and restart on failure")

    # Its command, as systemd expands it from the example settings (${X}: one
    # word; $X: split at spaces), on a scratch recording folder.
    env = {}
    with open(os.path.join(DEPLOY, "quenvaro-watch.conf")) as f:
        for line in f:
            if "=" in line and not line.startswith("#"):
                key, value = line.strip().split("=", 1)
                env[key] = value
    rec, out = os.path.join(folder, "recordings"), os.path.join(folder, "mp4")
    os.makedirs(out)
    env.update(RECORDINGS=rec, OUTPUT_DIR=out, REPORT=os.path.join(out, "report.jsonl"), SETTLE="0.5")
    words = []
    for w in service["ExecStart"].split():
        m = re.fullmatch(r"\$\{(\w+)\}|\$(\w+)", w)
        if not m:
            words.append(w)
        elif (m.group(1) or m.group(2)) not in env:
            fail(f"watch unit: quenvaro-watch.conf does not set {w}")
            return
        else:
            words += [env[m.group(1)]] if m.group(1) else env[m.group(2)].split()
    if words[0] != "/usr/bin/quenvaro-cli":
        fail(f"watch unit: starts {words[0]}, not the installed program")
    words[0] = CLI
    # A missing folder is a failure, which the restart policy retries.
    p = subprocess.run(words, capture_output=True, text=True, timeout=60)
    if p.returncode != 1 or "does not exist" not in p.stderr:
        fail(f"watch unit: a missing recording folder: exit code {p.returncode}:\n{p.stderr}")
    os.makedirs(os.path.join(rec, "live"))
    clip = os.path.join(folder, "clip.flv")
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=25", "-f", "lavfi",
                    "-i", "sine", "-t", "1", "-c:v", "libx264", "-c:a", "aac", clip], check=True)
    watcher = subprocess.Popen(words, stderr=subprocess.PIPE, text=True)
    try:
        os.rename(clip, os.path.join(rec, "live", "clip.flv"))  # a finished recording moved in
        report = env["REPORT"]
        for _ in range(600):
            if os.path.exists(report) and '"status":"done"' in open(report).read():
                break
            time.sleep(0.1)
        watcher.send_signal(signal.SIGTERM)
        _, err = watcher.communicate(timeout=int(service.get("TimeoutStopSec", "90")))
    finally:
        if watcher.poll() is None:
            watcher.kill()
    if watcher.returncode != 0:
        fail(f"watch unit: exit code {watcher.returncode} after SIGTERM, not 0:\n{err}")
    if not os.path.exists(os.path.join(out, "live", "clip.mp4")):
        fail(f"watch unit: the recording was not converted into {out}/live:\n{err}")


# ---- the container recipe ----

def packages_of(path):
    """The Debian packages holding PATH (tried with and without /usr)."""
    candidates = {path, os.path.realpath(path)}
    for c in list(candidates):
        candidates.add(c[4:] if c.startswith("/usr/") else "/usr" + c)
    for c in candidates:
        p = subprocess.run(["dpkg", "-S", c], capture_output=True, text=True)
        if p.returncode == 0:
            return {line.split(":")[0] for line in p.stdout.splitlines()}
    return set()


def check_container():
    path = os.path.join(DEPLOY, "Dockerfile")
    with open(path) as f:
        lines = f.read().replace("\\\n", " ").splitlines()
    stages = [l for l in lines if l.startswith("FROM ")]
    if not stages or not all(re.match(r"FROM debian:(12|bookworm)(-slim)?\b", s) for s in stages):
        fail("Dockerfile: every stage must start from Debian 12")
    for l in lines:
        m = re.match(r"COPY\s+(?!--from)(.+)\s+\S+$", l)
        if m:
            for src in m.group(1).split():
                if not os.path.exists(os.path.join(SOURCE, src)):
                    fail(f"Dockerfile: COPY {src}: no such file in the repository")
    runs = [l for l in lines if l.startswith("RUN ")]
    if not any("install-deps.sh" in r and "--runtime" not in r for r in runs):
        fail("Dockerfile: the build stage does not install with scripts/install-deps.sh")
    if not any("install-deps.sh --runtime" in r for r in runs):
        fail("Dockerfile: the image does not install with scripts/install-deps.sh --runtime")

    runtime = subprocess.run([os.path.join(SOURCE, "scripts", "install-deps.sh"), "--list", "--runtime"],
                             capture_output=True, text=True, check=True).stdout.split()
    entry = next((l for l in lines if l.startswith("ENTRYPOINT")), "")
    if "tini" in entry and "tini" not in runtime:
        fail("Dockerfile: tini is not among the runtime packages")
    # Every library our programs are linked against, and every library LibAV/
    # links to, comes from a runtime package (libc6 and libgcc-s1 are in every
    # Debian image).
    base = {"libc6", "libgcc-s1"}
    libav = os.path.join(os.path.dirname(CLI), "LibAV")
    for binary in (CLI, os.path.join(libav, "libmyutil.so")):
        needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+)\]",
                            subprocess.run(["readelf", "-d", binary], capture_output=True, text=True).stdout)
        ldd = subprocess.run(["ldd", binary], capture_output=True, text=True).stdout
        for lib in needed:
            m = re.search(re.escape(lib) + r" => (\S+)", ldd)
            where = m.group(1) if m else ("/lib64/" + lib if lib.startswith("ld-linux") else None)
            owners = packages_of(where) if where else set()
            if not owners & (set(runtime) | base):
                fail(f"{os.path.basename(binary)} needs {lib} ({where}, package {owners or '?'}), "
                     "not among the runtime packages")
    for name in os.listdir(libav):
        link = os.path.join(libav, name)
        if os.path.islink(link) and not packages_of(os.readlink(link)) & set(runtime):
            fail(f"LibAV/{name} -> {os.readlink(link)} is not in a runtime package")


with tempfile.TemporaryDirectory() as scratch:
    check_kubernetes(scratch)
    check_slurm(scratch)
    check_systemd(scratch)
    check_container()

for e in errors:
    print(e, file=sys.stderr)
sys.exit(1 if errors else 0)
