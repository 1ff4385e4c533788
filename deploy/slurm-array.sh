#!/bin/bash
# Converts the FLV files listed in a manifest on shared storage as a Slurm
# array of 8 tasks, each taking the files whose line number modulo 8 is its
# place in the array (--shard auto reads SLURM_ARRAY_TASK_ID and
# SLURM_ARRAY_TASK_COUNT).
#
#   sbatch deploy/slurm-array.sh                       # paths below
#   MANIFEST=/data/list.txt OUTPUT=/data/mp4 sbatch deploy/slurm-array.sh
#   sbatch --array=0-3 deploy/slurm-array.sh           # 4 tasks instead
#
# sbatch passes on the environment it runs in and starts the task in the
# folder it runs in (the logs land there). A task that hits its time limit or
# is cancelled is stopped with SIGTERM and leaves no partial file; "sbatch" it
# again (or "scontrol requeue JOBID_TASK", which starts it once the job
# credential's lifetime, 120 s by default, has passed) and it goes on where it
# stopped. Exit code 2 (recorded as FAILED, 2:0): the task ran through but
# some files failed; its report says which.
#SBATCH --job-name=quenvaro-convert
#SBATCH --array=0-7
#SBATCH --cpus-per-task=2
#SBATCH --mem=2G
#SBATCH --time=12:00:00
#SBATCH --output=quenvaro-%A_%a.log
#SBATCH --requeue

set -u
MANIFEST=${MANIFEST:-/archive/manifest.txt}
OUTPUT=${OUTPUT:-/archive/mp4}
REPORTS=${REPORTS:-/archive/reports}
# The installed program, or the container image built from deploy/Dockerfile
# (converted with "apptainer build quenvaro.sif docker-daemon://quenvaro-cli:latest").
QUENVARO=${QUENVARO:-/opt/quenvaro/bin/quenvaro-cli}
IMAGE=${IMAGE:-}

mkdir -p "$OUTPUT" "$REPORTS"
args=(convert --manifest "$MANIFEST" --shard auto --jobs "${SLURM_CPUS_PER_TASK:-1}"
      --output-dir "$OUTPUT" --report "$REPORTS/shard-${SLURM_ARRAY_TASK_ID:?not an array job}.jsonl")
# exec: the time limit's SIGTERM reaches the converter itself.
if [ -n "$IMAGE" ]; then
  exec apptainer exec --bind "$(dirname "$MANIFEST")" --bind "$OUTPUT" --bind "$REPORTS" "$IMAGE" quenvaro-cli "${args[@]}"
fi
exec "$QUENVARO" "${args[@]}"
