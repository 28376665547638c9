#!/usr/bin/env python3
"""deploy/slurm on a Slurm cluster of the test's own (argv[1]: the program): munged, slurmctld and three slurmd
(n1..n3, four GPUs each) on this host, all under one temporary folder. The cluster's TaskProlog gives every task
its node's simulator settings, so the batch scripts run as an operator would submit them."""
import collections, csv, json, os, signal, socket, shutil, stat, subprocess, sys, tempfile, threading

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SLURM = os.path.join(ROOT, "deploy", "slurm")
PROGRAM = os.path.abspath(sys.argv[1])
BUILD = os.environ.get("TESSMOR_BUILD_DIR", os.path.dirname(PROGRAM))
OPTIONS = ["--sizes", "256", "--trials", "7", "--sample-ms", "10", "--warmup-seconds", "0"]
PATH = os.environ.get("PATH", os.defpath) + ":/usr/sbin:/sbin"  # where Debian puts the daemons
missing = [d for d in ("munged", "slurmctld", "slurmd") if not shutil.which(d, path=PATH)]
if missing:
    print(f"slurm_test: skipped: {', '.join(missing)} not installed (Debian packages slurm-wlm and munge)")
    sys.exit(77)
if os.geteuid() != 0:
    sys.exit("slurm_test: needs root: slurmd starts the jobs, munged runs as the munge user")


def uuid(node, gpu):  # the simulator's 32 hex digits, and the form the program reports
    h = f"7e55b0c4d1e2f30415263748596a{node:02x}{gpu:02x}"
    return h, f"GPU-{h[:8]}-{h[8:12]}-{h[12:16]}-{h[16:20]}-{h[20:]}"


class Cluster:
    def __init__(self, tmp):
        self.daemons, self.stopping, self.ended = [], False, "no result in 150 s"
        self.env = dict(os.environ, SLURM_CONF=f"{tmp}/slurm.conf", PATH=PATH)
        self.env.pop("LD_LIBRARY_PATH", None)  # only the TaskProlog says where the driver is

    def start(self, argv, ready):
        """Starts a foreground daemon and reads its stderr until a line holds `ready`. A thread drains the rest;
        a daemon that ends before stop() interrupts the main thread (SIGALRM), so the test fails at once."""
        daemon = subprocess.Popen(argv, env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE, text=True, errors="replace")
        self.daemons.append(daemon)
        said = collections.deque(maxlen=20)
        for line in daemon.stderr:
            said.append(line)
            if ready in line:
                break
        else:
            raise RuntimeError(f"{argv[0]} ended before it was ready:\n{''.join(said)}")

        def drain():
            said.extend(daemon.stderr)
            if not self.stopping:
                self.ended = f"{argv[0]} ended:\n{''.join(said)}"
                signal.pthread_kill(threading.main_thread().ident, signal.SIGALRM)
        threading.Thread(target=drain, daemon=True).start()

    def stop(self):
        self.stopping = True
        for daemon in reversed(self.daemons):
            daemon.terminate()
            try:
                daemon.wait(timeout=15)
            except subprocess.TimeoutExpired:
                daemon.kill()
                daemon.wait()

    def run(self, *argv, check=True):
        done = subprocess.run(argv, env=self.env, capture_output=True, text=True)
        if check and done.returncode:
            raise RuntimeError(f"{' '.join(argv)}: exit {done.returncode}\n{done.stdout}{done.stderr}")
        return done

    def drained(self):  # {node: reason} of the drained and draining nodes
        lines = self.run("sinfo", "-h", "-N", "-o", "%N|%T|%E").stdout.splitlines()
        return {node: reason for node, state, reason in (line.split("|", 2) for line in lines) if "drain" in state}


def configure(tmp):
    host = socket.gethostname().split(".")[0]
    sockets = [socket.create_server(("127.0.0.1", 0)) for _ in range(4)]
    ctld_port, *node_ports = [s.getsockname()[1] for s in sockets]
    for s in sockets:
        s.close()
    munge = f"{tmp}/munge"
    os.makedirs(munge, mode=0o755)  # munged wants its socket's folder open to all
    with open(f"{munge}/key", "wb") as f:
        f.write(os.urandom(128))
    os.chmod(f"{munge}/key", 0o400)
    for path in (munge, f"{munge}/key"):
        shutil.chown(path, "munge", "munge")
    for folder in ("dev", "spool", "case"):
        os.makedirs(f"{tmp}/{folder}")
    for i in range(4):  # the GPUs' device files: Slurm only needs them to exist
        os.mknod(f"{tmp}/dev/nvidia{i}", stat.S_IFCHR | 0o666, os.makedev(1, 3))
    files = {"task_prolog": f'#!/bin/sh\nexec cat "{tmp}/case/$SLURMD_NODENAME.env"\n', "plugstack.conf": "",
             "gres.conf": f"NodeName=n[1-3] Name=gpu File={tmp}/dev/nvidia[0-3]\n"}
    files["slurm.conf"] = f"""ClusterName=tessmor
SlurmctldHost={host}(127.0.0.1)
SlurmctldPort={ctld_port}
SlurmUser=root
AuthType=auth/munge
AuthInfo=socket={munge}/socket
CredType=cred/munge
StateSaveLocation={tmp}/state
SlurmdSpoolDir={tmp}/spool/%n
SlurmctldPidFile={tmp}/slurmctld.pid
SlurmdPidFile={tmp}/spool/%n.pid
# Three slurmd with four CPUs each on a host that may have fewer.
SlurmdParameters=config_overrides
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
MpiDefault=none
MailProg=/bin/true
PlugStackConfig={tmp}/plugstack.conf
TaskProlog={tmp}/task_prolog
GresTypes=gpu
""" + "".join(f"NodeName=n{k} NodeHostname={host} NodeAddr=127.0.0.1 Port={port} CPUs=4 Gres=gpu:4\n"
              for k, port in enumerate(node_ports, 1)) + "PartitionName=gpus Nodes=n[1-3] Default=YES State=UP\n"
    for name, text in files.items():
        with open(f"{tmp}/{name}", "w") as f:
            f.write(text)
    os.chmod(f"{tmp}/task_prolog", 0o755)
    return munge


def write_case(tmp, changes):
    """The TaskProlog's exports per node: four simulated GPUs and the program, with `changes` {node: {NAME: value}}."""
    for k in (1, 2, 3):
        env = {"LD_LIBRARY_PATH": f"{BUILD}/sim/cuda:{BUILD}/sim/nvml", "TESSMOR_BENCH": PROGRAM,
               "TESSMOR_SIM_DEVICES": "4", **{f"TESSMOR_SIM_DEVICE{i}_UUID": uuid(k, i)[0] for i in range(4)},
               **changes.get(k, {})}
        with open(f"{tmp}/case/n{k}.env", "w") as f:
            f.writelines(f"export {name}={value}\n" for name, value in env.items())


def read(path):  # a JSON file's value, a CSV file's rows, another file's text; None when it is missing
    if not os.path.exists(path):
        return None
    with open(path, newline="", encoding="utf-8") as f:
        kind = os.path.splitext(path)[1]
        return json.load(f) if kind == ".json" else list(csv.DictReader(f)) if kind == ".csv" else f.read()


def screen_case(cluster, tmp):
    """12 GPUs, one cohort: on n2 one 10 % slower at full clock, on n3 one whose SM clock falls to 1700 MHz."""
    slow, throttled = uuid(2, 2)[1], uuid(3, 1)[1]
    write_case(tmp, {2: {"TESSMOR_SIM_DEVICE2_TFLOPS": "90", "TESSMOR_SIM_DEVICE2_TFLOPS_FP32": "45"},
                     3: {"TESSMOR_SIM_DEVICE1_CLOCK_DROP": "1:1700"}})
    screen = f"{tmp}/screen1"
    job = cluster.run("sbatch", "--parsable", "--nodes=3", "--ntasks-per-node=4", f"--output={tmp}/screen.out",
                      f"{SLURM}/screen.sbatch", screen, *OPTIONS).stdout.strip()
    merge = cluster.run("sbatch", "--wait", f"--dependency=afterany:{job}", f"--output={tmp}/merge.out",
                        f"{SLURM}/merge.sbatch", screen, "--drain", check=False)
    results = {(k, i): read(f"{screen}/n{k}/gpu{i}/result.json") for k in (1, 2, 3) for i in range(4)}
    statuses = {run: r and r["status"] for run, r in results.items()}
    # Each node's tasks had its four GPUs, one each; which task had which is Slurm's choice.
    seen = {k: sorted(r["device"]["uuid"] for (n, _), r in results.items() if r and n == k) for k in (1, 2, 3)}
    want = {k: sorted(uuid(k, i)[1] for i in range(4)) for k in (1, 2, 3)}
    verdicts = {}
    for line in read(f"{screen}/fleet/fleet.csv") or []:
        verdicts.setdefault(line["uuid"], set()).add((line["verdict"], line["cause"]))
    expected = {u: {("ok", "")} for gpus in want.values() for u in gpus}
    expected |= {slow: {("fail", "full clock")}, throttled: {("warn", "clock")}}
    drained = cluster.drained()
    return [(set(statuses.values()) == {"completed"}, f"case 1: run statuses {statuses}"),
            (seen == want, f"case 1: GPUs by node {seen}"),
            (verdicts == expected, f"case 1: fleet.csv verdicts {verdicts}"),
            (merge.returncode == 2, f"case 1: merge exit {merge.returncode}, not 2\n{read(f'{tmp}/merge.out')}"),
            (drained == {"n2": f"tessmor-bench: fail full clock {slow}"}, f"case 1: drained {drained}")]


def no_driver_case(cluster, tmp):
    """Through submit: n1 has no CUDA driver, n3 cannot start the program; the merge still lists every GPU."""
    for node in cluster.drained():
        cluster.run("scontrol", "update", f"nodename={node}", "state=resume")
    write_case(tmp, {1: {"LD_LIBRARY_PATH": f"{BUILD}/sim/nvml"}, 3: {"TESSMOR_BENCH": f"{tmp}/no-such-program"}})
    screen = f"{tmp}/screen2"
    submit = cluster.run(f"{SLURM}/submit", "--nodes", "3", "--gpus-per-node", "4", "--drain", "--wait", screen,
                         "--", *OPTIONS, check=False)
    errors = {i: (read(f"{screen}/n1/gpu{i}/result.json") or {}).get("error") for i in range(4)}
    evidence = {i: read(f"{screen}/n3/gpu{i}/task-error.txt") or "" for i in range(4)}
    verdicts = {os.path.relpath(line["folder"], screen): line["verdict"]
                for line in read(f"{screen}/fleet/fleet.csv") or []}
    expected = {f"n{k}/gpu{i}": v for k, v in ((1, "fail"), (2, "ok"), (3, "unreadable")) for i in range(4)}
    drained = cluster.drained()
    return [(set(errors.values()) == {"NVIDIA CUDA driver not found. Install a compatible NVIDIA driver."},
             f"case 2: n1's errors {errors}"),
            (all("exit status 127" in t and "no-such-program" in t for t in evidence.values()),
             f"case 2: n3's task-error.txt {evidence}"),
            (verdicts == expected, f"case 2: fleet.csv verdicts {verdicts}"),
            (submit.returncode == 2, f"case 2: submit exit {submit.returncode}, not 2\n{submit.stdout}{submit.stderr}"),
            (list(drained) == ["n1"] and drained["n1"].startswith("tessmor-bench: fail ")
             and "driver not found" in drained["n1"], f"case 2: drained {drained}")]


def main():
    tmp = tempfile.mkdtemp(prefix="tessmor-slurm-")
    os.chmod(tmp, 0o755)  # munged (as munge) and the TaskProlog look inside
    cluster, checks = Cluster(tmp), []

    def interrupted(*_):
        raise RuntimeError(cluster.ended)
    # The one deadline: a cluster that never runs the jobs would hang sbatch --wait until ctest kills this
    # process, leaving the daemons behind. The alarm ends the test through the cleanup instead.
    signal.signal(signal.SIGALRM, interrupted)
    signal.alarm(150)
    try:
        munge = configure(tmp)
        cluster.start(["setpriv", "--reuid=munge", "--regid=munge", "--init-groups", "munged", "--foreground",
                       f"--key-file={munge}/key", f"--socket={munge}/socket", f"--pid-file={munge}/pid",
                       f"--seed-file={munge}/seed", f"--log-file={munge}/log"], "work threads")
        cluster.start(["slurmctld", "-D", "-vvv", "-f", f"{tmp}/slurm.conf"], "slurmctld listening on")
        for k in (1, 2, 3):  # started, not yet registered: jobs pend until their nodes are
            cluster.start(["slurmd", "-D", "-N", f"n{k}", "-f", f"{tmp}/slurm.conf"], "slurmd started on")
        checks = screen_case(cluster, tmp) + no_driver_case(cluster, tmp)
    except RuntimeError as error:  # a daemon or a Slurm command failed, or the deadline passed
        checks = [(False, str(error))]
    finally:
        signal.alarm(0)
        cluster.stop()
        shutil.rmtree(tmp, ignore_errors=True)
    failed = [message for ok, message in checks if not ok]
    sys.exit("slurm_test: " + "\n".join(failed) if failed else 0)


main()
